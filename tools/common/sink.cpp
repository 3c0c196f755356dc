#include "common/sink.h"

#include <cerrno>
#include <system_error>

#include "common/write_all.h"

namespace sanperf_tools {

namespace {

void write_or_throw(int fd, std::string_view data, const std::string& what) {
    if (!write_all(fd, data))
        throw std::system_error(errno, std::generic_category(), "cannot write " + what);
}

}  // namespace

fd_sink::fd_sink(int fd, std::string what) : fd_(fd), what_(std::move(what)) {
    buffer_.reserve(capacity);
}

void fd_sink::write(const char* data, std::size_t size) {
    if (buffer_.size() + size > capacity) {
        flush();
        if (size >= capacity) {
            write_or_throw(fd_, std::string_view(data, size), what_);
            return;
        }
    }
    buffer_.append(data, size);
}

void fd_sink::flush() {
    // Emptied even on failure, so the text is never written a second time.
    try {
        write_or_throw(fd_, buffer_, what_);
    } catch (...) {
        buffer_.clear();
        throw;
    }
    buffer_.clear();
}

}  // namespace sanperf_tools
