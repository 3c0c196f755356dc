// gzip for response bodies, and whether a client accepts it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sanperf_exporter {

// True when an Accept-Encoding header value allows gzip: a "gzip" (or
// "x-gzip") or "*" coding whose q is not 0. A null header allows nothing.
bool accepts_gzip(const char* accept_encoding);

// The pieces of text, one after the other, in the gzip format, at a fast
// compression level. Throws std::bad_alloc when zlib runs out of memory.
std::string gzip(const std::vector<std::string_view>& text);

}  // namespace sanperf_exporter
