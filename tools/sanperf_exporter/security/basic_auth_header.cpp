#include "sanperf_exporter/security/basic_auth_header.h"

#include <cctype>
#include <cstdint>

namespace sanperf_exporter::security {
namespace {

constexpr std::size_t max_value_length = 4096;

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Standard base64 with padding, refusing every text but the one an encoder
// would write for the decoded bytes.
std::optional<std::string> decode_base64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::size_t data_chars = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            int v = 0;
            if (j < data_chars) {
                v = sextet(text[i + j]);
                if (v < 0) return std::nullopt;
            }
            group = group << 6 | static_cast<std::uint32_t>(v);
        }
        // The bits under the padding must be zero, or two texts would decode alike.
        if (padding == 1 && last && (group & 0xff) != 0) return std::nullopt;
        if (padding == 2 && last && (group & 0xffff) != 0) return std::nullopt;
        std::size_t bytes = last ? 3 - padding : 3;
        for (std::size_t b = 0; b < bytes; ++b)
            out.push_back(static_cast<char>(group >> (16 - 8 * b) & 0xff));
    }
    return out;
}

}  // namespace

std::optional<basic_credentials> parse_basic_authorization(std::string_view value) {
    if (value.size() > max_value_length) return std::nullopt;
    while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
    while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);

    constexpr std::string_view scheme = "basic";
    if (value.size() <= scheme.size() || !is_blank(value[scheme.size()])) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != scheme[i]) return std::nullopt;
    }
    value.remove_prefix(scheme.size());
    while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);

    std::optional<std::string> decoded = decode_base64(value);
    if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
    std::size_t colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return basic_credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

}  // namespace sanperf_exporter::security
