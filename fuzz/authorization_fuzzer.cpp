// Feeds arbitrary Authorization header values to the basic-auth parser.
// Whatever it accepts must round-trip: the user has no colon, neither part
// holds a NUL, and encoding "user:password" again gives back the very base64
// text of the header (one canonical form only).
#include "sanperf_exporter/security/basic_auth_header.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string encode_base64(std::string_view in) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) group |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) group |= static_cast<unsigned char>(in[i + 2]);
        out += alphabet[group >> 18 & 63];
        out += alphabet[group >> 12 & 63];
        out += i + 1 < in.size() ? alphabet[group >> 6 & 63] : '=';
        out += i + 2 < in.size() ? alphabet[group & 63] : '=';
    }
    return out;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view value(reinterpret_cast<const char*>(data), size);
    auto credentials = sanperf_exporter::security::parse_basic_authorization(value);
    if (!credentials) return 0;

    if (credentials->user.find(':') != std::string::npos) std::abort();
    if (credentials->user.find('\0') != std::string::npos) std::abort();
    if (credentials->password.find('\0') != std::string::npos) std::abort();

    // The token is what follows the scheme and its blanks, up to trailing blanks.
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    while (!value.empty() && blank(value.back())) value.remove_suffix(1);
    value.remove_prefix(5);
    while (!value.empty() && blank(value.front())) value.remove_prefix(1);
    if (encode_base64(credentials->user + ":" + credentials->password) != value) std::abort();
    return 0;
}
