#include "common/stop_signals.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace sanperf_tools {

namespace {

volatile sig_atomic_t requests = 0;
volatile sig_atomic_t first_signal = 0;
volatile sig_atomic_t second_ends_process = 0;
// The file a second request removes; only read while removal_set is 1.
char removal_path[PATH_MAX];
volatile sig_atomic_t removal_set = 0;
// Written to by the handler so that wait_for_stop wakes without a race.
int wake_pipe[2] = {-1, -1};

void on_stop(int signo) {
    int saved = errno;
    if (requests < 1000) ++requests;
    if (first_signal == 0) first_signal = signo;
    if (wake_pipe[1] >= 0) {
        char byte = 0;
        [[maybe_unused]] ssize_t n = write(wake_pipe[1], &byte, 1);
    }
    if (second_ends_process && requests >= 2) {
        if (removal_set) unlink(removal_path);
        signal(signo, SIG_DFL);
        raise(signo);  // delivered as soon as this handler returns
    }
    errno = saved;
}

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void catch_stop_signals(second_stop second) {
    second_ends_process = second == second_stop::ends_process;
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = on_stop;
    action.sa_flags = SA_RESTART;
    const sigset_t set = stop_set();
    action.sa_mask = set;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

int stop_requests() { return requests; }

int first_stop_signal() { return first_signal; }

bool wait_for_stop(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (requests > 0) return true;
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        // Rounded up, so the wait never ends just before the deadline.
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        int timeout = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        if (wake_pipe[0] < 0) {
            poll(nullptr, 0, timeout);
            continue;
        }
        pollfd fd{wake_pipe[0], POLLIN, 0};
        if (poll(&fd, 1, timeout) > 0) {
            char drain[64];
            while (read(wake_pipe[0], drain, sizeof drain) > 0) {}
        }
    }
}

int stop_wake_fd() { return wake_pipe[0]; }

void end_by_signal(int signo) {
    signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
    _exit(128 + signo);  // only if the signal's default is not to end the process
}

removal_on_stop::removal_on_stop(const std::string& path) {
    if (path.size() >= sizeof removal_path) return;
    removal_set = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(removal_path, path.c_str(), path.size() + 1);
    // The handler must not see the flag before the path.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    removal_set = 1;
}

removal_on_stop::~removal_on_stop() { removal_set = 0; }

stop_signals_held::stop_signals_held() {
    sigset_t set = stop_set();
    sigprocmask(SIG_BLOCK, &set, &old_);
}

stop_signals_held::~stop_signals_held() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

}  // namespace sanperf_tools
