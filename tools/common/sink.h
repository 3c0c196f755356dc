// Where rendered text goes, piece by piece, so that a report of any size is
// never held in memory whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sanperf_tools {

class sink {
public:
    virtual ~sink() = default;
    // Takes the next size bytes of text. May throw on failure.
    virtual void write(const char* data, std::size_t size) = 0;
    void write(std::string_view text) { write(text.data(), text.size()); }
};

// Appends everything to a string.
class string_sink : public sink {
public:
    explicit string_sink(std::string& out) : out_(out) {}
    using sink::write;
    void write(const char* data, std::size_t size) override { out_.append(data, size); }

private:
    std::string& out_;
};

// Writes to a file descriptor through a buffer of its own. A failed write
// throws std::system_error whose text names what, as in "cannot write what".
// Unflushed text is dropped when the sink is destroyed: call flush().
class fd_sink : public sink {
public:
    fd_sink(int fd, std::string what);
    using sink::write;
    void write(const char* data, std::size_t size) override;
    // Writes out everything buffered.
    void flush();

private:
    static constexpr std::size_t capacity = 64 * 1024;
    int fd_;
    std::string what_;
    std::string buffer_;
};

}  // namespace sanperf_tools
