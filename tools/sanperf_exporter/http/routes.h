// The exporter's paths, and which of them a request names. The built-in
// paths are fixed; the telemetry path is the operator's, and is refused at
// start-up when it would hide one of them.
#pragma once

#include <string>

namespace sanperf_exporter {

enum class route { landing, healthy, ready, metrics };

class route_table {
public:
    // Why telemetry_path cannot serve the metrics (not a path, or a
    // built-in one); empty when it can.
    static std::string refusal(const std::string& telemetry_path);

    // telemetry_path must have no refusal.
    explicit route_table(std::string telemetry_path);

    const std::string& telemetry_path() const { return telemetry_path_; }

    // What a request gets before anything else is looked at: its route
    // (status 0), 404 for a path that is none, 405 for a method other than
    // GET and HEAD. The target is the path, or an absolute URL.
    struct decision {
        unsigned status = 0;
        route which = route::landing;
    };
    decision decide(const char* method, const char* target) const;

    // The landing page: the version and a link to the metrics.
    std::string landing_page() const;

private:
    std::string telemetry_path_;
};

}  // namespace sanperf_exporter
