// The standard process_* metrics of the running exporter, from /proc/self.
#pragma once

#include "common/sink.h"

namespace sanperf_exporter {

// process_cpu_seconds_total, process_resident_memory_bytes,
// process_virtual_memory_bytes, process_open_fds, process_max_fds and
// process_start_time_seconds. A value that cannot be read is left out.
void render_process_metrics(sanperf_tools::sink& out);

}  // namespace sanperf_exporter
