#include "background_task.h"

#include <utility>

namespace sanperf_exporter {

background_task::background_task(std::function<void()> work)
    : work_(std::move(work)), thread_([this] { loop(); }) {}

background_task::~background_task() {
    if (thread_.joinable()) stop(std::chrono::steady_clock::time_point::max());
}

void background_task::request() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        wanted_ = true;
    }
    changed_.notify_all();
}

bool background_task::stop(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(lock_);
    stopping_ = true;
    changed_.notify_all();
    if (!changed_.wait_until(hold, deadline, [this] { return !running_; })) {
        thread_.detach();
        return false;
    }
    hold.unlock();
    thread_.join();
    return true;
}

void background_task::loop() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return wanted_ || stopping_; });
        if (stopping_) return;
        wanted_ = false;
        running_ = true;
        hold.unlock();
        work_();
        hold.lock();
        running_ = false;
        changed_.notify_all();
    }
}

}  // namespace sanperf_exporter
