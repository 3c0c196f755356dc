#include "sanperf_exporter/http/request_head.h"

#include <microhttpd.h>

#include <strings.h>

#include <cstring>

namespace sanperf_exporter {

namespace {

bool is_token_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

}  // namespace

bool request_head_check::add(const char* name, const char* value) {
    bool ok = name != nullptr && *name != '\0' && value != nullptr;
    for (const char* p = name; ok && *p != '\0'; ++p)
        ok = is_token_char(static_cast<unsigned char>(*p));
    for (const char* p = value; ok && *p != '\0'; ++p) {
        const auto b = static_cast<unsigned char>(*p);
        ok = b == '\t' || (b >= 0x20 && b != 0x7f);
    }
    if (!ok) {
        bad_ = true;
        return false;
    }
    if (strcasecmp(name, MHD_HTTP_HEADER_HOST) == 0) ++hosts_;
    if (strcasecmp(name, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0 && lengths_++ == 0)
        length_not_zero_ = std::strcmp(value, "0") != 0;
    if (strcasecmp(name, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) encoding_ = true;
    return true;
}

bool request_head_check::malformed(const char* method, const char* version) const {
    if (bad_ || lengths_ > 1) return true;
    if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 && hosts_ != 1) return true;
    if (lengths_ > 0 && encoding_) return true;
    return (encoding_ || length_not_zero_) && is_get_or_head(method);
}

bool is_get_or_head(const char* method) {
    return std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
           std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
}

}  // namespace sanperf_exporter
