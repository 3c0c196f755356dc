#include "sanperf_exporter/tree_reader.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "sanperf_exporter/log.h"

namespace sanperf_exporter {

namespace {

// Every scrape of a broken tree fails the same way.
rate_limited_log read_failures;
rate_limited_log compress_failures;

// Clients remembered before those with nothing left to remember (no
// response in progress, a full bucket) are forgotten.
constexpr std::size_t sources_kept = 256;

}  // namespace

tree_reader::body::~body() {
    if (in_progress) --*in_progress;
}

bool tree_reader::source_state::take_token(clock::time_point now, clock::duration refill_every) {
    const double earned = std::chrono::duration<double>(now - refilled) / refill_every;
    tokens = std::min<double>(reads_per_source_burst, tokens + earned);
    refilled = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

tree_reader::tree_reader(producer p, clock::duration refill_every)
    : produce_(std::move(p)), refill_every_(refill_every), thread_([this] { run(); }) {}

tree_reader::~tree_reader() {
    if (thread_.joinable()) stop(std::chrono::milliseconds::max());
}

void tree_reader::request(waiter w, const std::string& source, collector_set which,
                          bool wants_gzip) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!stopping_) {
            queue_.push_back({std::move(w), source, which, wants_gzip});
            wake_.notify_one();
            return;
        }
    }
    w(nullptr);
}

tree_reader::source_state& tree_reader::state_of(const std::string& source) {
    const auto now = clock::now();
    if (sources_.size() > std::max(sources_kept, 2 * swept_at_)) {
        for (auto it = sources_.begin(); it != sources_.end();) {
            const source_state& s = it->second;
            const bool idle =
                *s.in_progress == 0 && now - s.refilled >= refill_every_ * reads_per_source_burst;
            it = idle ? sources_.erase(it) : std::next(it);
        }
        swept_at_ = sources_.size();
    }
    auto [it, added] = sources_.try_emplace(source);
    if (added) it->second.refilled = now;
    return it->second;
}

std::shared_ptr<tree_read> tree_reader::held_read(source_state& s) const {
    if (*s.in_progress < reads_held_per_source) return nullptr;
    for (const std::weak_ptr<tree_read>& g : s.given)
        if (g.expired()) return nullptr;
    return s.given[0].lock();
}

void tree_reader::serve(pending& p, source_state& s, const std::shared_ptr<tree_read>& read) {
    if (!read) {
        p.w(nullptr);
        return;
    }
    // A client's first gzip form of a read is part of its request; another
    // of the same read costs it one of its reads.
    bool gzip = p.gzip;
    if (gzip && !read->has_form(p.which, true)) {
        if (s.gzipped_read != read->number)
            s.gzipped_read = read->number;
        else
            gzip = s.take_token(clock::now(), refill_every_);
    }
    const tree_read::form* f = nullptr;
    try {
        f = &read->form_for(p.which, gzip);
    } catch (const std::exception& e) {
        compress_failures.log(rate_limited_log::clock::now(), log_level::error,
                              "compressing the metrics failed", {{"err", e.what()}});
        p.w(nullptr);
        return;
    }
    if (s.given[0].lock() != read) {
        std::move_backward(std::begin(s.given), std::end(s.given) - 1, std::end(s.given));
        s.given[0] = read;
    }
    auto b = std::make_shared<body>();
    b->read = read;
    b->form = f;
    b->in_progress = s.in_progress;
    ++*s.in_progress;
    p.w(std::move(b));
}

void tree_reader::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        std::vector<pending> arrived;
        arrived.swap(queue_);
        hold.unlock();

        // Each request is served at once from a read it shares, or waits
        // for a new one, which it may start.
        std::vector<pending> waiting;
        const auto now = clock::now();
        for (pending& p : arrived) {
            source_state& s = state_of(p.source);
            std::shared_ptr<tree_read> read = held_read(s);
            // Over its rate, the latest read; none yet, the first.
            if (!read && !s.take_token(now, refill_every_)) read = latest_;
            if (read)
                serve(p, s, read);
            else
                waiting.push_back(std::move(p));
        }
        if (!waiting.empty()) {
            std::shared_ptr<tree_read> fresh;
            try {
                fresh = produce_();
            } catch (const std::exception& e) {
                read_failures.log(rate_limited_log::clock::now(), log_level::error,
                                  "reading the tree failed", {{"err", e.what()}});
            }
            if (fresh) latest_ = fresh;
            // The requests that came while it ran share it.
            hold.lock();
            std::vector<pending> joined;
            joined.swap(queue_);
            hold.unlock();
            for (pending& p : waiting) serve(p, state_of(p.source), fresh);
            for (pending& p : joined) {
                source_state& s = state_of(p.source);
                std::shared_ptr<tree_read> held = fresh ? held_read(s) : nullptr;
                serve(p, s, held ? held : fresh);
            }
        }
        hold.lock();
    }
    std::vector<pending> left;
    left.swap(queue_);
    done_ = true;
    finished_.notify_all();
    hold.unlock();
    for (pending& p : left) p.w(nullptr);
}

bool tree_reader::stop(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    stopping_ = true;
    wake_.notify_one();
    bool ended = limit == std::chrono::milliseconds::max()
                     ? (finished_.wait(hold, [this] { return done_; }), true)
                     : finished_.wait_for(hold, limit, [this] { return done_; });
    // A read that does not end in time keeps its thread; the requests
    // waiting for it are answered now so that none stays suspended.
    std::vector<pending> left;
    if (!ended) left.swap(queue_);
    hold.unlock();
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
    for (pending& p : left) p.w(nullptr);
    return ended;
}

}  // namespace sanperf_exporter
