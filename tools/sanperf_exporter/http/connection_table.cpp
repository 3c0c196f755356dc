#include "sanperf_exporter/http/connection_table.h"

#include "sanperf_exporter/http/client_source.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace sanperf_exporter {

connection_limits limits_for_descriptors(rlim_t descriptors) {
    const rlim_t usable = descriptors > 2 * reserved_descriptors
                              ? descriptors - reserved_descriptors
                              : descriptors / 2;
    connection_limits limits;
    limits.total = static_cast<unsigned>(std::min<rlim_t>(usable, 16384));
    limits.per_source = std::max(4u, limits.total / 16);
    return limits;
}

rlim_t raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur;
}

connection_table::connection_table(connection_limits limits, exporter_metrics& metrics)
    : limits_(limits), metrics_(metrics), watcher_([this] { watch(); }) {}

connection_table::~connection_table() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    watcher_.join();
}

bool connection_table::admit(const sockaddr* address, socklen_t length) {
    const std::string source = client_source(address, length);
    std::lock_guard<std::mutex> hold(lock_);
    if (open_ >= limits_.total) {
        metrics_.count_refused_connection(exporter_metrics::over_total);
        return false;
    }
    auto it = per_source_.find(source);
    if (it != per_source_.end() && it->second >= limits_.per_source) {
        metrics_.count_refused_connection(exporter_metrics::over_source_limit);
        return false;
    }
    return true;
}

connection_table::entry* connection_table::opened(const sockaddr* address, socklen_t length,
                                                  int fd) {
    auto e = std::make_unique<entry>();
    e->source = client_source(address, length);
    e->fd = fd;
    std::lock_guard<std::mutex> hold(lock_);
    ++open_;
    ++per_source_[e->source];
    e->deadline = clock::now() + limits_.header_timeout;
    const bool first = waiting_.empty();
    e->position = waiting_.insert(waiting_.end(), e.get());
    e->waiting = true;
    if (first) wake_.notify_one();
    return e.release();
}

void connection_table::closed(entry* e) {
    std::unique_ptr<entry> owned(e);
    std::lock_guard<std::mutex> hold(lock_);
    --open_;
    auto it = per_source_.find(e->source);
    if (--it->second == 0) per_source_.erase(it);
    if (e->waiting) waiting_.erase(e->position);
}

void connection_table::headers_complete(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!e->waiting) return;
    waiting_.erase(e->position);
    e->waiting = false;
}

void connection_table::awaiting_request(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    if (e->waiting) waiting_.erase(e->position);
    // Deadlines only grow, so the end keeps the list in order.
    e->deadline = clock::now() + limits_.header_timeout;
    const bool first = waiting_.empty();
    e->position = waiting_.insert(waiting_.end(), e);
    e->waiting = true;
    if (first) wake_.notify_one();
}

void connection_table::watch() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        const auto now = clock::now();
        while (!waiting_.empty() && waiting_.front()->deadline <= now) {
            entry* e = waiting_.front();
            waiting_.pop_front();
            e->waiting = false;
            // libmicrohttpd closes the socket only after telling closed(),
            // which waits for this lock: the descriptor is still this
            // connection's. Shut down, the socket reads end of file on the
            // connection's own thread, which then closes it.
            shutdown(e->fd, SHUT_RDWR);
            metrics_.count_header_timeout();
        }
        if (waiting_.empty()) {
            wake_.wait(hold);
        } else {
            // A copy: the entry may close, and go, while this waits.
            const clock::time_point next = waiting_.front()->deadline;
            wake_.wait_until(hold, next);
        }
    }
}

}  // namespace sanperf_exporter
