#include "sanperf_exporter/http/unescape.h"

namespace sanperf_exporter {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::size_t unescape_without_nul(void*, MHD_Connection*, char* s) {
    char* out = s;
    for (const char* in = s; *in != '\0'; ++in) {
        const int high = in[0] == '%' ? hex_digit(in[1]) : -1;
        const int low = high >= 0 ? hex_digit(in[2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            *out++ = static_cast<char>(high * 16 + low);
            in += 2;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return static_cast<std::size_t>(out - s);
}

}  // namespace sanperf_exporter
