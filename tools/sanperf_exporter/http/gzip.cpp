#include "sanperf_exporter/http/gzip.h"

#include <zlib.h>

#include <new>

namespace sanperf_exporter {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

// The q of one coding's parameters ("q=0.5"); 1 without one. Only a q of
// zero ("0", "0.", "0.000") refuses.
bool q_is_zero(std::string_view params) {
    while (!params.empty()) {
        std::size_t semi = params.find(';');
        std::string_view param = trim(params.substr(0, semi));
        params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
        if (param.size() < 2 || (param[0] | 0x20) != 'q' || param[1] != '=') continue;
        std::string_view value = trim(param.substr(2));
        if (value.empty() || value[0] != '0') return false;
        for (char c : value.substr(1))
            if (c != '.' && c != '0') return false;
        return true;
    }
    return false;
}

}  // namespace

bool accepts_gzip(const char* accept_encoding) {
    if (accept_encoding == nullptr) return false;
    std::string_view rest(accept_encoding);
    bool star = false;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        std::size_t semi = item.find(';');
        std::string_view coding = trim(item.substr(0, semi));
        std::string_view params = semi == std::string_view::npos ? "" : item.substr(semi + 1);
        if (iequals(coding, "gzip") || iequals(coding, "x-gzip")) return !q_is_zero(params);
        if (coding == "*") star = !q_is_zero(params);
    }
    return star;
}

std::string gzip(const std::vector<std::string_view>& text) {
    z_stream z{};
    // 16 + 15: the gzip wrapper around a full window; level 1 is the fastest.
    if (deflateInit2(&z, 1, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    uLong total = 0;
    for (std::string_view piece : text) total += piece.size();
    // Room for the worst case; more should the pieces fed one by one need it.
    std::string out(deflateBound(&z, total), '\0');
    std::size_t piece = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0 && piece < text.size()) {
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text[piece].data()));
            z.avail_in = static_cast<uInt>(text[piece].size());
            ++piece;
        }
        if (z.total_out == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + z.total_out);
        z.avail_out = static_cast<uInt>(out.size() - z.total_out);
        rc = deflate(&z, piece < text.size() || z.avail_in > 0 ? Z_NO_FLUSH : Z_FINISH);
        if (rc == Z_BUF_ERROR) rc = Z_OK;  // no progress possible until fed or given room
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::bad_alloc();
    return out;
}

}  // namespace sanperf_exporter
