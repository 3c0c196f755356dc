// Stop requests: how the programs take SIGINT and SIGTERM. The first one
// asks the program to stop at the next point where its output is whole; a
// second one, if the program says so, ends it at once.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>

namespace sanperf_tools {

enum class second_stop {
    ends_process,  // removes the file held by removal_on_stop, then dies by the signal
    counted,       // only counted, for a program that checks stop_requests() often
};

// Catches SIGINT and SIGTERM from now on (with SA_RESTART). Call once.
void catch_stop_signals(second_stop second);

// How many SIGINT and SIGTERM have arrived so far.
int stop_requests();

// The first of them, 0 before any.
int first_stop_signal();

// Sleeps until deadline or until a stop request (one that came earlier
// counts too). Returns true for a stop request.
bool wait_for_stop(std::chrono::steady_clock::time_point deadline);

// A descriptor that becomes readable at a stop request, for a program that
// waits on other descriptors as well: it polls this one with them and then
// checks stop_requests(). -1 when catch_stop_signals could not make it.
int stop_wake_fd();

// Ends the process as signal signo does by default, so that its parent sees
// which signal stopped it.
[[noreturn]] void end_by_signal(int signo);

// While it lives, path is removed if a second stop request ends the
// process. One at a time; a path longer than PATH_MAX is not held.
class removal_on_stop {
public:
    explicit removal_on_stop(const std::string& path);
    ~removal_on_stop();
    removal_on_stop(const removal_on_stop&) = delete;
    removal_on_stop& operator=(const removal_on_stop&) = delete;
};

// Holds SIGINT and SIGTERM back while it lives, for steps that must not be
// cut in two (create a file, then hand it to removal_on_stop).
class stop_signals_held {
public:
    stop_signals_held();
    ~stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;

private:
    sigset_t old_;
};

}  // namespace sanperf_tools
