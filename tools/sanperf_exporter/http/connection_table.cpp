#include "sanperf_exporter/http/connection_table.h"

#include "sanperf_exporter/http/client_source.h"

#include <malloc.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <utility>

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

connection_table::connection_table(connection_limits limits, exporter_metrics& metrics,
                                   reserved_sources reserved)
    : limits_(limits),
      reserved_(std::move(reserved)),
      metrics_(metrics),
      watcher_([this] { watch(); }) {}

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
    const bool reserved = reserved_.contains(address, length);
    std::lock_guard<std::mutex> hold(lock_);
    auto it = per_source_.find(source);
    const unsigned held = it != per_source_.end() ? it->second : 0;
    if (held >= limits_.per_source) {
        metrics_.count_refused_connection(exporter_metrics::over_source_limit);
        return false;
    }
    const unsigned taken = open_ - evicting_;
    const bool full = taken >= limits_.total;
    // The places open to everyone: all but the reserved ones, which only
    // reserved connections take up.
    const bool unreserved_full =
        full || taken - reserved_open_ >= limits_.total - std::min(limits_.reserved, limits_.total);
    if (reserved) {
        // First from the unreserved client holding the most, however few it
        // holds; failing that (its connections all busy), by the rule for
        // everyone, which may close another reserved client's connection.
        if (full && !evict_from(unreserved_, 0, true) &&
            !evict_from(per_source_, held + 1, false)) {
            metrics_.count_refused_connection(exporter_metrics::over_total);
            return false;
        }
        if (unreserved_full) metrics_.count_reserved_admission();
        return true;
    }
    if (!unreserved_full) return true;
    auto mine = unreserved_.find(source);
    if (evict_from(unreserved_, (mine != unreserved_.end() ? mine->second : 0) + 1, true))
        return true;
    metrics_.count_refused_connection(full ? exporter_metrics::over_total
                                           : exporter_metrics::over_unreserved);
    return false;
}

bool connection_table::evict_from(const std::unordered_map<std::string, unsigned>& holdings,
                                  unsigned least, bool unreserved_only) {
    if (evicting_ >= max_evicting) return false;
    const std::string* most = nullptr;
    unsigned most_held = 0;
    for (const auto& [source, n] : holdings) {
        if (n > most_held) {
            most = &source;
            most_held = n;
        }
    }
    // Only a client left with more than the newcomer then gives way, so
    // two clients cannot close each other's connections in turn.
    if (most == nullptr || most_held <= least) return false;
    // Waiting for its next request's headers, earliest deadline first: the
    // first of the client's is the one idle longest.
    for (entry* e : waiting_) {
        if (e->source != *most || (unreserved_only && e->reserved)) continue;
        unlist(e);
        // It counts as its client's no more: the next eviction weighs what
        // each client holds after this one.
        release_source(e);
        e->evicted = true;
        ++evicting_;
        // As at a deadline: the connection's own thread reads end of file
        // and closes it.
        shutdown(e->fd, SHUT_RDWR);
        metrics_.count_eviction();
        return true;
    }
    return false;
}

connection_table::entry* connection_table::opened(const sockaddr* address, socklen_t length,
                                                  int fd) {
    auto e = std::make_unique<entry>();
    e->source = client_source(address, length);
    e->fd = fd;
    e->reserved = reserved_.contains(address, length);
    std::lock_guard<std::mutex> hold(lock_);
    ++open_;
    peak_ = std::max(peak_, open_);
    ++per_source_[e->source];
    if (e->reserved)
        ++reserved_open_;
    else
        ++unreserved_[e->source];
    e->deadline = clock::now() + limits_.header_timeout;
    const bool first = waiting_.empty();
    e->position = waiting_.insert(waiting_.end(), e.get());
    e->waiting = true;
    if (first) wake_.notify_one();
    return e.release();
}

void connection_table::closed(entry* e) {
    std::unique_ptr<entry> owned(e);
    bool drained = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        --open_;
        if (e->evicted)
            --evicting_;
        else
            release_source(e);
        unlist(e);
        end_response(e);
        drained = peak_ >= trim_after_peak && open_ <= peak_ / 4;
        if (drained) peak_ = open_;
    }
    // The memory of a flood's connections is free now but kept by the
    // allocator, spread over its arenas; handed back, it leaves the
    // resident size what the connections still open need.
    if (drained) malloc_trim(0);
}

void connection_table::release_source(entry* e) {
    const auto drop = [e](std::unordered_map<std::string, unsigned>& holdings) {
        auto it = holdings.find(e->source);
        if (--it->second == 0) holdings.erase(it);
    };
    drop(per_source_);
    if (e->reserved)
        --reserved_open_;
    else
        drop(unreserved_);
}

void connection_table::unlist(entry* e) {
    if (e->waiting) (e->sending ? sending_ : waiting_).erase(e->position);
    e->waiting = false;
}

void connection_table::end_response(entry* e) {
    if (!e->responding) return;
    e->responding = false;
    auto it = responses_.find(e->source);
    if (--it->second == 0) responses_.erase(it);
}

bool connection_table::begin_response(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    if (e->responding) return true;
    unsigned& n = responses_[e->source];
    if (n >= limits_.responses_per_source) {
        if (n == 0) responses_.erase(e->source);
        return false;
    }
    ++n;
    e->responding = true;
    return true;
}

void connection_table::sending(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    unlist(e);
    e->deadline = clock::now() + limits_.write_timeout;
    const bool first =
        sending_.empty() && (waiting_.empty() || e->deadline < waiting_.front()->deadline);
    e->position = sending_.insert(sending_.end(), e);
    e->waiting = true;
    e->sending = true;
    if (first) wake_.notify_one();
}

void connection_table::headers_complete(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    unlist(e);
}

void connection_table::awaiting_request(entry* e) {
    std::lock_guard<std::mutex> hold(lock_);
    unlist(e);
    end_response(e);
    // Deadlines only grow, so the end keeps the list in order.
    e->deadline = clock::now() + limits_.header_timeout;
    const bool first =
        waiting_.empty() && (sending_.empty() || e->deadline < sending_.front()->deadline);
    e->position = waiting_.insert(waiting_.end(), e);
    e->waiting = true;
    e->sending = false;
    if (first) wake_.notify_one();
}

void connection_table::watch() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        const auto now = clock::now();
        for (std::list<entry*>* list : {&waiting_, &sending_}) {
            while (!list->empty() && list->front()->deadline <= now) {
                entry* e = list->front();
                list->pop_front();
                e->waiting = false;
                // libmicrohttpd closes the socket only after telling closed(),
                // which waits for this lock: the descriptor is still this
                // connection's. Shut down, the socket reads end of file on the
                // connection's own thread, which then closes it.
                shutdown(e->fd, SHUT_RDWR);
                if (list == &waiting_)
                    metrics_.count_header_timeout();
                else
                    metrics_.count_write_timeout();
            }
        }
        if (waiting_.empty() && sending_.empty()) {
            wake_.wait(hold);
            continue;
        }
        // A copy: the entry may close, and go, while this waits.
        clock::time_point next = clock::time_point::max();
        if (!waiting_.empty()) next = waiting_.front()->deadline;
        if (!sending_.empty()) next = std::min(next, sending_.front()->deadline);
        wake_.wait_until(hold, next);
    }
}

}  // namespace sanperf_exporter
