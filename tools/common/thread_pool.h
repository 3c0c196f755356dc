// A few threads, started once, that share out one batch of independent
// work items at a time with the thread that hands the batch in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sanperf_tools {

class thread_pool {
public:
    // threads: how many threads work on a batch, the caller's own included,
    // so threads - 1 are started (none for 1). They block every signal:
    // signals stay with the program's own threads.
    explicit thread_pool(unsigned threads);
    ~thread_pool();
    thread_pool(const thread_pool&) = delete;
    thread_pool& operator=(const thread_pool&) = delete;

    unsigned threads() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // Calls work(i) once for every i below count, in runs of consecutive
    // items taken by whichever thread is free, the calling thread among
    // them; returns when all are done. If a call throws, the items not yet
    // started are skipped and the first exception is rethrown here. One
    // batch at a time: run is not to be called from two threads at once.
    void run(std::size_t count, const std::function<void(std::size_t)>& work);

private:
    void stop();
    void serve();
    void take_items();

    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable start_, finished_;
    bool stopping_ = false;
    unsigned long long batch_ = 0;  // counts the batches handed in
    unsigned busy_ = 0;             // workers not yet done with the batch
    // The batch: set under lock_ before the workers are woken.
    const std::function<void(std::size_t)>* work_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_{0};
    std::exception_ptr error_;
};

// The number of threads the programs read the tree with unless told
// otherwise: the cores this process may run on, at most
// max_default_threads. max_threads bounds what they may be told.
unsigned default_threads();
constexpr unsigned max_default_threads = 8;
constexpr unsigned max_threads = 256;
// The programs' help text for --threads.
std::string threads_help();

}  // namespace sanperf_tools
