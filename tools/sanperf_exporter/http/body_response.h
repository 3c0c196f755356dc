// A metric response sent straight from the read it shares with every other
// response of that read: nothing of the body is copied for it.
#pragma once

#include <microhttpd.h>

#include <memory>

#include "sanperf_exporter/tree_reader.h"

namespace sanperf_exporter {

// A response of the body's form, which keeps the body (and so its read)
// alive until libmicrohttpd is done with it; null when out of memory.
MHD_Response* make_body_response(std::shared_ptr<const tree_reader::body> body);

}  // namespace sanperf_exporter
