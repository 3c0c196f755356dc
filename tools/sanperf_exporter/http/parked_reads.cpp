#include "sanperf_exporter/http/parked_reads.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace sanperf_exporter {

parked_reads::parked_reads()
    : epoll_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (epoll_ < 0 || wake_ < 0) {
        if (epoll_ >= 0) close(epoll_);
        if (wake_ >= 0) close(wake_);
        throw std::system_error(errno, std::generic_category(), "epoll");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    watcher_ = std::thread([this] { watch(); });
}

parked_reads::~parked_reads() {
    release_all();
    watcher_.join();
    close(epoll_);
    close(wake_);
}

bool parked_reads::park(MHD_Connection* connection, int fd) {
    std::lock_guard<std::mutex> hold(lock_);
    if (released_) return false;
    // Suspended before it is watched: the watcher may resume it at once.
    MHD_suspend_connection(connection);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        MHD_resume_connection(connection);
        return false;
    }
    parked_[fd] = connection;
    return true;
}

void parked_reads::release_all() {
    std::lock_guard<std::mutex> hold(lock_);
    if (released_) return;
    released_ = true;
    for (const auto& [fd, connection] : parked_) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        MHD_resume_connection(connection);
    }
    parked_.clear();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_, &one, sizeof one);
}

void parked_reads::watch() {
    epoll_event events[64];
    for (;;) {
        const int n = epoll_wait(epoll_, events, 64, -1);
        std::lock_guard<std::mutex> hold(lock_);
        if (released_) return;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            auto it = parked_.find(fd);
            if (it == parked_.end()) continue;
            // Out of the set before libmicrohttpd, resumed, may close the
            // descriptor and the number be used again.
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            MHD_resume_connection(it->second);
            parked_.erase(it);
        }
    }
}

}  // namespace sanperf_exporter
