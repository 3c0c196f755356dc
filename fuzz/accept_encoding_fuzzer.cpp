// Feeds arbitrary Accept-Encoding values to the test that decides whether a
// response is compressed. It must read nothing past the value's end, and say
// yes only when the value names gzip, x-gzip or * somewhere: a q of zero
// can only take gzip away, never give it.
#include "sanperf_exporter/http/gzip.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A header value as libmicrohttpd hands it over: cut at the first NUL.
    std::string value(reinterpret_cast<const char*>(data), size);
    value.resize(value.find('\0') == std::string::npos ? size : value.find('\0'));
    const bool yes = sanperf_exporter::accepts_gzip(value.c_str());
    std::string lower;
    for (char c : value) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    const bool named =
        lower.find("gzip") != std::string::npos || lower.find('*') != std::string::npos;
    if (yes && !named) std::abort();
    return 0;
}
