// Work done on a thread of its own when asked, such as rereading the web
// configuration file on SIGHUP: the thread that takes stop signals must
// never wait for a file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace sanperf_exporter {

class background_task {
public:
    explicit background_task(std::function<void()> work);
    // Joins the thread unless stop() left it behind.
    ~background_task();
    background_task(const background_task&) = delete;
    background_task& operator=(const background_task&) = delete;

    // Asks for one run. Asked during a run, another follows it; asked
    // several times meanwhile, still one.
    void request();

    // Ends the thread after the run in progress, if any. Returns false when
    // that run has not finished by deadline: the thread is then left
    // running, and what the work uses must outlive the process.
    bool stop(std::chrono::steady_clock::time_point deadline);

private:
    void loop();

    std::function<void()> work_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool wanted_ = false;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sanperf_exporter
