// Work done on a thread of its own when asked, such as rereading the web
// configuration file on SIGHUP: the thread that takes stop signals must
// never wait for a file.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace sanperf_exporter {

class background_task {
public:
    explicit background_task(std::function<void()> work);
    // Stops, waiting for the run in progress however long it takes, unless
    // stop() was called already.
    ~background_task();
    background_task(const background_task&) = delete;
    background_task& operator=(const background_task&) = delete;

    // Asks for one run. Asked during a run, another follows it; asked
    // several times meanwhile, still one.
    void request();

    // Ends the thread after the run in progress, if any. Returns false when
    // that run has not finished by deadline: the thread is then left to end
    // on its own, and what the work uses must outlive the process.
    bool stop(std::chrono::steady_clock::time_point deadline);

private:
    struct shared;  // the thread keeps it alive while it runs
    std::shared_ptr<shared> state_;
    bool stopped_ = false;
};

}  // namespace sanperf_exporter
