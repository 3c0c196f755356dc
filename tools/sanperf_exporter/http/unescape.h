// How request paths and query arguments are decoded.
#pragma once

#include <cstddef>

struct MHD_Connection;

namespace sanperf_exporter {

// libmicrohttpd's unescape callback: decodes %HH in the NUL-terminated s in
// place, except %00, and returns the new length. A decoded NUL would end the
// path early as C strings go, and "/metrics%00" would pass for "/metrics".
std::size_t unescape_without_nul(void*, MHD_Connection*, char* s);

}  // namespace sanperf_exporter
