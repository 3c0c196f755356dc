#include "sanperf_exporter/security/failure_limit.h"

#include <algorithm>
#include <cmath>

namespace sanperf_exporter::security {

failure_limit::failure_limit(unsigned burst, std::chrono::milliseconds period)
    : burst_(std::max(1u, burst)), period_(std::max(period, std::chrono::milliseconds(1))) {}

failure_limit::bucket& failure_limit::refilled(const std::string& source, clock::time_point now) {
    auto [it, fresh] = buckets_.try_emplace(source, bucket{static_cast<double>(burst_), now});
    bucket& b = it->second;
    if (!fresh && now > b.updated) {
        double per_second = burst_ / std::chrono::duration<double>(period_).count();
        b.tokens = std::min<double>(
            burst_, b.tokens + per_second * std::chrono::duration<double>(now - b.updated).count());
        b.updated = now;
    }
    return b;
}

unsigned failure_limit::wait_seconds(const bucket& b) const {
    double per_second = burst_ / std::chrono::duration<double>(period_).count();
    return std::max(1u, static_cast<unsigned>(std::ceil((1.0 - b.tokens) / per_second)));
}

void failure_limit::forget_full(clock::time_point now) {
    // Once a period is plenty: the map holds at most the sources seen
    // within the last one.
    if (now - last_sweep_ < period_) return;
    last_sweep_ = now;
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        if (refilled(it->first, now).tokens >= burst_) {
            it = buckets_.erase(it);
        } else {
            ++it;
        }
    }
}

bool failure_limit::allows(const std::string& source, clock::time_point now,
                           unsigned& retry_after) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = buckets_.find(source);
    if (it == buckets_.end()) return true;
    const bucket& b = refilled(source, now);
    if (b.tokens >= 1.0) return true;
    retry_after = wait_seconds(b);
    return false;
}

bool failure_limit::take(const std::string& source, clock::time_point now, unsigned& retry_after) {
    std::lock_guard<std::mutex> hold(mutex_);
    forget_full(now);
    bucket& b = refilled(source, now);
    if (b.tokens < 1.0) {
        retry_after = wait_seconds(b);
        return false;
    }
    b.tokens -= 1.0;
    return true;
}

void failure_limit::give_back(const std::string& source, clock::time_point now) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = buckets_.find(source);
    if (it == buckets_.end()) return;
    bucket& b = refilled(source, now);
    b.tokens = std::min<double>(burst_, b.tokens + 1.0);
}

}  // namespace sanperf_exporter::security
