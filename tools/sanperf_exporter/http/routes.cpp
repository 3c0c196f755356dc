#include "sanperf_exporter/http/routes.h"

#include <microhttpd.h>

#include <strings.h>

#include <cstring>
#include <utility>

#include "sanperf_exporter/http/request_head.h"

namespace sanperf_exporter {

namespace {

struct built_in {
    const char* path;
    route which;
};
const built_in built_ins[] = {
    {"/", route::landing},
    {"/-/healthy", route::healthy},
    {"/-/ready", route::ready},
};

std::string html_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The path of a request target: itself in the usual origin form, the part
// after the authority in the absolute form ("http://host:9748/metrics"),
// which a server must accept too.
const char* path_of(const char* target) {
    for (const char* scheme : {"http://", "https://"}) {
        const std::size_t n = std::strlen(scheme);
        if (strncasecmp(target, scheme, n) != 0) continue;
        const char* slash = std::strchr(target + n, '/');
        return slash != nullptr ? slash : "/";
    }
    return target;
}

}  // namespace

std::string route_table::refusal(const std::string& telemetry_path) {
    if (telemetry_path.empty() || telemetry_path.front() != '/')
        return "the telemetry path must start with /";
    for (const built_in& b : built_ins)
        if (telemetry_path == b.path)
            return telemetry_path == "/"
                       ? "the telemetry path must not be / itself"
                       : telemetry_path + " is a built-in path; the metrics need one of their own";
    return {};
}

route_table::route_table(std::string telemetry_path) : telemetry_path_(std::move(telemetry_path)) {}

route_table::decision route_table::decide(const char* method, const char* target) const {
    const char* path = path_of(target);
    decision d;
    if (telemetry_path_ == path) {
        d.which = route::metrics;
    } else {
        const built_in* found = nullptr;
        for (const built_in& b : built_ins)
            if (std::strcmp(path, b.path) == 0) found = &b;
        if (found == nullptr) {
            d.status = MHD_HTTP_NOT_FOUND;
            return d;
        }
        d.which = found->which;
    }
    if (!is_get_or_head(method)) d.status = MHD_HTTP_METHOD_NOT_ALLOWED;
    return d;
}

std::string route_table::landing_page() const {
    const std::string path = html_escape(telemetry_path_);
    return "<!DOCTYPE html>\n<html><head><title>sanperf exporter</title></head><body>\n"
           "<h1>sanperf exporter</h1>\n<p>Version " SANPERF_VERSION
           "</p>\n"
           "<p><a href=\"" +
           path + "\">" + path + "</a></p>\n</body></html>\n";
}

}  // namespace sanperf_exporter
