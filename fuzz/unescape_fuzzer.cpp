// Feeds arbitrary paths to the URL decoder libmicrohttpd calls on every
// request line. The decoded text must never hold a NUL (which would cut a
// path short, "/metrics%00x" passing for "/metrics"), its length must be
// the one returned, never longer than the input, and text without a % must
// come out unchanged.
#include "sanperf_exporter/http/unescape.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A NUL-terminated string, as the callback is given; the input's own NUL
    // bytes become '0' so the whole input is decoded.
    std::vector<char> text(data, data + size);
    for (char& c : text)
        if (c == '\0') c = '0';
    const std::string before(text.begin(), text.end());
    text.push_back('\0');
    const std::size_t length =
        sanperf_exporter::unescape_without_nul(nullptr, nullptr, text.data());
    if (length != std::strlen(text.data()) || length > size) std::abort();
    if (before.find('%') == std::string::npos && before != text.data()) std::abort();
    // Each %HH that is decoded shortens the text by two.
    if ((size - length) % 2 != 0) std::abort();
    return 0;
}
