// Events per client source (failed logins, TLS handshakes), as a token
// bucket: a source may have `burst` of them at once, and one more every
// period / burst after.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sanperf_exporter::security {

// Failed logins a client address may make at once, and in how long it may
// make as many again.
constexpr unsigned login_failure_burst = 5;
constexpr std::chrono::seconds login_failure_period{10};

class failure_limit {
public:
    using clock = std::chrono::steady_clock;

    failure_limit(unsigned burst, std::chrono::milliseconds period);

    // Whether source may try a password now. When not, retry_after holds
    // the whole seconds until it may.
    bool allows(const std::string& source, clock::time_point now, unsigned& retry_after);
    // Like allows, and takes a failure's token ahead of a check, so checks
    // already queued count against the source too.
    bool take(const std::string& source, clock::time_point now, unsigned& retry_after);
    // Returns the token of a check that succeeded.
    void give_back(const std::string& source, clock::time_point now);

    unsigned burst() const { return burst_; }
    std::chrono::milliseconds period() const { return period_; }

private:
    struct bucket {
        double tokens;
        clock::time_point updated;
    };
    bucket& refilled(const std::string& source, clock::time_point now);
    unsigned wait_seconds(const bucket& b) const;
    void forget_full(clock::time_point now);

    unsigned burst_;
    std::chrono::milliseconds period_;
    std::mutex mutex_;
    // Only sources seen recently: a full bucket is dropped, as it
    // says nothing an absent one does not.
    std::unordered_map<std::string, bucket> buckets_;
    clock::time_point last_sweep_{};
};

}  // namespace sanperf_exporter::security
