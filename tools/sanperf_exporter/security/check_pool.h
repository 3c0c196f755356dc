// Threads for slow checks (bcrypt), apart from the threads that serve
// connections. Jobs queue per source address and the sources take turns, so
// however many jobs one address queues, another address's job waits for one
// round at most.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sanperf_exporter::security {

class check_pool {
public:
    // A job runs once: with false on a pool thread, or with true when the
    // pool stops before running it.
    using job = std::function<void(bool cancelled)>;

    // threads 0: one per core. The threads start with the first job, so a
    // process may make a pool before it may start threads.
    explicit check_pool(unsigned threads = 0);
    ~check_pool();
    check_pool(const check_pool&) = delete;
    check_pool& operator=(const check_pool&) = delete;

    // Queues a job behind source's earlier ones. After stop(), cancels it
    // at once.
    void submit(const std::string& source, job j);

    // Cancels every queued job, waits for those running, and ends the
    // threads. Idempotent.
    void stop();

    unsigned threads() const { return threads_; }

private:
    void work();

    unsigned threads_;
    std::mutex mutex_;
    std::condition_variable queued_;
    bool stopping_ = false;
    std::map<std::string, std::deque<job>> jobs_;  // by source; no empty queues
    std::deque<std::string> turns_;                // sources with jobs, next first
    std::vector<std::thread> workers_;
};

}  // namespace sanperf_exporter::security
