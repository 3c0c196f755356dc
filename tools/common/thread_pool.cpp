#include "common/thread_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <utility>

namespace sanperf_tools {

namespace {

// Items one thread takes at a time: each is a few file reads, so a run of
// them costs far more than taking it, and the last runs still even out the
// threads' finishing times.
constexpr std::size_t run_length = 8;

}  // namespace

thread_pool::thread_pool(unsigned threads) {
    if (threads <= 1) return;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { serve(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        stop();
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

thread_pool::~thread_pool() { stop(); }

void thread_pool::stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
}

void thread_pool::take_items() {
    for (;;) {
        const std::size_t first = next_.fetch_add(run_length);
        if (first >= count_) return;
        const std::size_t end = std::min(first + run_length, count_);
        for (std::size_t i = first; i < end; ++i) {
            try {
                (*work_)(i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(lock_);
                if (!error_) error_ = std::current_exception();
                next_ = count_;
                return;
            }
        }
    }
}

void thread_pool::serve() {
    std::unique_lock<std::mutex> hold(lock_);
    // No batch is handed in before the constructor returns, but this thread
    // may first get here after the first one was.
    unsigned long long served = 0;
    for (;;) {
        start_.wait(hold, [&] { return stopping_ || batch_ != served; });
        if (stopping_) return;
        served = batch_;
        hold.unlock();
        take_items();
        hold.lock();
        if (--busy_ == 0) finished_.notify_one();
    }
}

void thread_pool::run(std::size_t count, const std::function<void(std::size_t)>& work) {
    // A batch that is one run long is not worth waking anyone for.
    if (workers_.empty() || count <= run_length) {
        for (std::size_t i = 0; i < count; ++i) work(i);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        work_ = &work;
        count_ = count;
        next_ = 0;
        error_ = nullptr;
        busy_ = static_cast<unsigned>(workers_.size());
        ++batch_;
    }
    start_.notify_all();
    take_items();
    std::unique_lock<std::mutex> hold(lock_);
    finished_.wait(hold, [this] { return busy_ == 0; });
    work_ = nullptr;
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

std::string threads_help() {
    return "Threads that read the tree's sessions and sockets (default: the cores this process "
           "may run on, at most " +
           std::to_string(max_default_threads) + "); 1 reads them all on one thread";
}

unsigned default_threads() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    // Beyond 1,024 cores the set is too small and the call fails.
    int n = sched_getaffinity(0, sizeof cores, &cores) == 0
                ? CPU_COUNT(&cores)
                : static_cast<int>(std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp(n, 1, static_cast<int>(max_default_threads)));
}

}  // namespace sanperf_tools
