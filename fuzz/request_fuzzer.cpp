// Feeds arbitrary request heads to the decisions taken before a request is
// served: whether its head is malformed, and which route it names. The input
// is split at NUL bytes into a telemetry path, a method, a target, an HTTP
// version, then header names and values in turn. It aborts when:
// - a telemetry path the route table accepts hides a built-in route or does
//   not reach the metrics itself;
// - a route's status disagrees with its method, a 404 depends on the
//   method, or a target's absolute form ("http://host/x") is routed unlike
//   its path;
// - the head's verdict depends on the order of its headers or the case of
//   their names, or a head stays well-formed with a second Content-Length,
//   a second Host on HTTP/1.1, or a Content-Length beside a
//   Transfer-Encoding.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sanperf_exporter/http/request_head.h"
#include "sanperf_exporter/http/routes.h"

namespace {

using namespace sanperf_exporter;
using header_list = std::vector<std::pair<std::string, std::string>>;

void check(bool ok) {
    if (!ok) std::abort();
}

bool malformed(const header_list& headers, const std::string& method, const std::string& version) {
    request_head_check c;
    for (const auto& [name, value] : headers)
        if (!c.add(name.c_str(), value.c_str())) break;
    return c.malformed(method.c_str(), version.c_str());
}

bool has(const header_list& headers, const char* name) {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name) == 0) return true;
    return false;
}

void check_routes(const std::string& telemetry_path, const std::string& method,
                  const std::string& target) {
    const bool accepted = route_table::refusal(telemetry_path).empty();
    const route_table routes(accepted ? telemetry_path : "/metrics");
    if (accepted) {
        check(telemetry_path[0] == '/');
        const route_table::decision m = routes.decide("GET", telemetry_path.c_str());
        check(m.status == 0 && m.which == route::metrics);
        for (auto [path, which] :
             {std::pair{"/", route::landing}, std::pair{"/-/healthy", route::healthy},
              std::pair{"/-/ready", route::ready}}) {
            const route_table::decision b = routes.decide("HEAD", path);
            check(b.status == 0 && b.which == which);
        }
    }
    const route_table::decision d = routes.decide(method.c_str(), target.c_str());
    const bool get_or_head = method == "GET" || method == "HEAD";
    check(d.status == 0 || d.status == 404 || d.status == 405);
    check(d.status != 0 || get_or_head);
    check(d.status != 405 || !get_or_head);
    check((d.status == 404) == (routes.decide("GET", target.c_str()).status == 404));
    if (!target.empty() && target[0] == '/') {
        for (const char* authority : {"http://host:9748", "HTTPS://[::1]"}) {
            const route_table::decision a =
                routes.decide(method.c_str(), (authority + target).c_str());
            check(a.status == d.status && (d.status == 404 || a.which == d.which));
        }
    }
}

void check_head(const header_list& headers, const std::string& method, const std::string& version) {
    const bool bad = malformed(headers, method, version);

    header_list reversed(headers.rbegin(), headers.rend());
    check(malformed(reversed, method, version) == bad);
    header_list shouted = headers;
    for (auto& h : shouted)
        for (char& c : h.first) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    check(malformed(shouted, method, version) == bad);

    header_list more = headers;
    more.emplace_back("content-length", "0");
    more.emplace_back("Content-Length", "0");
    check(malformed(more, method, version));
    if (has(headers, "Content-Length")) {
        more = headers;
        more.emplace_back("Transfer-Encoding", "chunked");
        check(malformed(more, method, version));
    }
    if (!bad && version == "HTTP/1.1") {
        more = headers;
        more.emplace_back("Host", "example");
        check(malformed(more, method, version));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\0')
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    fields.resize(std::max<std::size_t>(fields.size(), 4));
    const std::string& method = fields[1];
    const std::string& target = fields[2];
    const std::string& version = fields[3];
    header_list headers;
    for (std::size_t i = 4; i + 1 < fields.size(); i += 2)
        headers.emplace_back(fields[i], fields[i + 1]);

    check_routes(fields[0], method, target);
    check_head(headers, method, version);
    return 0;
}
