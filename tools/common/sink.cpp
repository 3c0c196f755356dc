#include "sink.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sanperf_tools {

namespace {

void write_all(int fd, const char* data, std::size_t size, const std::string& what) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "cannot write " + what);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

fd_sink::fd_sink(int fd, std::string what) : fd_(fd), what_(std::move(what)) {
    buffer_.reserve(capacity);
}

void fd_sink::write(const char* data, std::size_t size) {
    if (buffer_.size() + size > capacity) {
        flush();
        if (size >= capacity) {
            write_all(fd_, data, size, what_);
            return;
        }
    }
    buffer_.append(data, size);
}

void fd_sink::flush() {
    // Emptied even on failure, so the text is never written a second time.
    try {
        write_all(fd_, buffer_.data(), buffer_.size(), what_);
    } catch (...) {
        buffer_.clear();
        throw;
    }
    buffer_.clear();
}

}  // namespace sanperf_tools
