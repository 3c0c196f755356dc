#include "sanperf_exporter/security/check_pool.h"

#include <signal.h>

#include <algorithm>
#include <utility>

namespace sanperf_exporter::security {

check_pool::check_pool(unsigned threads)
    : threads_(threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency())) {}

check_pool::~check_pool() { stop(); }

void check_pool::submit(const std::string& source, job j) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!stopping_) {
            if (workers_.empty()) {
                // Signals are for the process's signal thread: the workers
                // start with every one blocked.
                sigset_t all;
                sigset_t before;
                sigfillset(&all);
                pthread_sigmask(SIG_SETMASK, &all, &before);
                for (unsigned i = 0; i < threads_; ++i)
                    workers_.emplace_back(&check_pool::work, this);
                pthread_sigmask(SIG_SETMASK, &before, nullptr);
            }
            auto& queue = jobs_[source];
            if (queue.empty()) turns_.push_back(source);
            queue.push_back(std::move(j));
            lock.unlock();
            queued_.notify_one();
            return;
        }
    }
    j(true);
}

void check_pool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
        if (stopping_) return;
        std::string source = std::move(turns_.front());
        turns_.pop_front();
        auto it = jobs_.find(source);
        job next = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) {
            jobs_.erase(it);
        } else {
            turns_.push_back(std::move(source));
        }
        lock.unlock();
        next(false);
        lock.lock();
    }
}

void check_pool::stop() {
    std::map<std::string, std::deque<job>> left;
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        left = std::move(jobs_);
        jobs_.clear();
        turns_.clear();
        workers = std::move(workers_);
        workers_.clear();
    }
    queued_.notify_all();
    for (auto& [source, queue] : left) {
        for (job& j : queue) j(true);
    }
    for (std::thread& t : workers) t.join();
}

}  // namespace sanperf_exporter::security
