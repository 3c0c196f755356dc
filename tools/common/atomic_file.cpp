#include "common/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/path.h"
#include "common/stop_signals.h"

namespace sanperf_tools {

namespace {

// The failed call's errno stays in the exception, so a caller can tell
// one cause from another.
[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string base_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

// The file path names once symbolic links are followed: path itself, or the
// file the last link points to, which need not exist yet. Refuses anything
// but a regular file.
std::string file_behind(const std::string& path) {
    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT) return current;
            fail("cannot write " + path);
        }
        if (S_ISREG(st.st_mode)) return current;
        if (!S_ISLNK(st.st_mode)) {
            throw std::runtime_error("will not replace " + path + ": it is " + kind_of(st.st_mode) +
                                     ", not a regular file");
        }
        if (hops == 40) {
            errno = ELOOP;
            fail("cannot write " + path);
        }
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) +
                                 1);
        ssize_t n = readlink(current.c_str(), target.data(), target.size());
        if (n < 0) fail("cannot read the link " + current);
        std::string next(target.data(), static_cast<std::size_t>(n));
        current = next[0] == '/' ? next : dir_of(current) + "/" + next;
    }
}

// ".<base>.XXXXXX", with base cut short when the name would not fit.
std::string temporary_name(const std::string& file) {
    std::string dir = dir_of(file);
    std::string base = base_of(file);
    const std::size_t room = NAME_MAX - std::strlen("..XXXXXX");
    if (base.size() > room) base.resize(room);
    return (dir == "/" ? "" : dir) + "/." + base + ".XXXXXX";
}

}  // namespace

void replace_file(const std::string& path, const std::function<void(sink&)>& fill, durability how) {
    const std::string file = file_behind(path);
    std::string temp = temporary_name(file);
    std::optional<removal_on_stop> removal;
    int fd;
    {
        // A stop request between creating the file and handing it over
        // would leave it behind.
        stop_signals_held held;
        fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) fail("cannot create a temporary file in " + dir_of(file));
        removal.emplace(temp);
    }
    try {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0) fail("cannot set the mode of " + temp);
        fd_sink out(fd, temp);
        fill(out);
        out.flush();
        if (how == durability::synced && fsync(fd) != 0) fail("cannot write " + temp);
        int closed = close(fd);
        fd = -1;
        if (closed != 0) fail("cannot write " + temp);
        if (std::rename(temp.c_str(), file.c_str()) != 0) fail("cannot replace " + file);
    } catch (...) {
        if (fd >= 0) close(fd);
        unlink(temp.c_str());
        throw;
    }
    removal.reset();
    if (how == durability::synced) {
        // Makes the rename itself durable; the new file is in place whatever
        // this gives, so a failure is not reported.
        int dir = open(dir_of(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
}

}  // namespace sanperf_tools
