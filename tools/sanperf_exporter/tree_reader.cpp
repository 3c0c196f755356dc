#include "sanperf_exporter/tree_reader.h"

#include <exception>

#include "sanperf_exporter/http/gzip.h"
#include "sanperf_exporter/log.h"

namespace sanperf_exporter {

namespace {

// Every scrape of a broken tree fails the same way.
rate_limited_log read_failures;
rate_limited_log compress_failures;

}  // namespace

tree_reader::tree_reader(producer p) : produce_(std::move(p)), thread_([this] { run(); }) {}

tree_reader::~tree_reader() {
    if (thread_.joinable()) stop(std::chrono::milliseconds::max());
}

void tree_reader::request(waiter w, bool wants_gzip, collector_set which) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!stopping_) {
            queue_.push_back({std::move(w), wants_gzip, which});
            wake_.notify_one();
            return;
        }
    }
    w(nullptr);
}

void tree_reader::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        // The read starts with the queue left in place, so requests that
        // come while it runs join it; those for the same collectors as the
        // oldest are taken together at its end, the others wait their turn.
        const collector_set which = queue_.front().which;
        hold.unlock();
        auto result = std::make_shared<scrape_result>();
        bool ok = true;
        try {
            produce_(result->body, which);
        } catch (const std::exception& e) {
            read_failures.log(rate_limited_log::clock::now(), log_level::error,
                              "reading the tree failed", {{"err", e.what()}});
            ok = false;
        }
        hold.lock();
        std::vector<pending> served, later;
        for (pending& p : queue_) (p.which == which ? served : later).push_back(std::move(p));
        queue_.swap(later);
        hold.unlock();

        bool gzip_wanted = false;
        for (const pending& p : served) gzip_wanted |= p.gzip;
        if (ok && gzip_wanted) {
            try {
                result->gzip_body = gzip(result->body);
            } catch (const std::exception& e) {
                compress_failures.log(rate_limited_log::clock::now(), log_level::error,
                                      "compressing the metrics failed", {{"err", e.what()}});
                ok = false;
            }
        }
        std::shared_ptr<const scrape_result> shared;
        if (ok) shared = std::move(result);
        for (pending& p : served) p.w(shared);
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
