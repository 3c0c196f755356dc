// A metric request's collect[] arguments: which collectors its read runs.
#pragma once

#include <string>
#include <vector>

#include "sanperf_exporter/tree_reader.h"

namespace sanperf_exporter {

// The set that the collect[] values asked name, bit i being enabled[i]: all
// the enabled collectors when asked is empty. False, with the reason for the
// client in why, when a name is disabled (one of known) or unknown.
bool collectors_asked(const std::vector<std::string>& asked,
                      const std::vector<std::string>& enabled,
                      const std::vector<std::string>& known, tree_reader::collector_set& which,
                      std::string& why);

}  // namespace sanperf_exporter
