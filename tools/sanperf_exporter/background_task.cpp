#include "sanperf_exporter/background_task.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace sanperf_exporter {

struct background_task::shared {
    std::function<void()> work;
    std::mutex lock;
    std::condition_variable changed;
    bool wanted = false;
    bool running = false;
    bool stopping = false;
    bool finished = false;  // the thread is past its last use of work
};

background_task::background_task(std::function<void()> work) : state_(std::make_shared<shared>()) {
    state_->work = std::move(work);
    std::thread([s = state_] {
        std::unique_lock<std::mutex> hold(s->lock);
        for (;;) {
            s->changed.wait(hold, [&] { return s->wanted || s->stopping; });
            if (s->stopping) break;
            s->wanted = false;
            s->running = true;
            hold.unlock();
            s->work();
            hold.lock();
            s->running = false;
            s->changed.notify_all();
        }
        s->finished = true;
        s->changed.notify_all();
    }).detach();
}

background_task::~background_task() {
    if (!stopped_) stop(std::chrono::steady_clock::time_point::max());
}

void background_task::request() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->wanted = true;
    }
    state_->changed.notify_all();
}

bool background_task::stop(std::chrono::steady_clock::time_point deadline) {
    stopped_ = true;
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->stopping = true;
    state_->changed.notify_all();
    return state_->changed.wait_until(hold, deadline, [this] { return state_->finished; });
}

}  // namespace sanperf_exporter
