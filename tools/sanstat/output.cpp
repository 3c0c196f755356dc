#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sanstat {

namespace {

std::string error_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_all(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool write_stdout(const std::string& text, std::string& why) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        why = error_text("cannot write to standard output");
        return false;
    }
    return true;
}

bool replace_file(const std::string& path, const std::string& text, std::string& why) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Hidden and without the target's extension, so that a collector that
    // reads "*.prom" never picks up a file being written.
    std::string temp = (dir == "/" ? "" : dir) + "/." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');

    int fd = mkstemp(name.data());
    if (fd < 0) {
        why = error_text("cannot create a temporary file in " + dir);
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    if (!ok) why = error_text("cannot set the mode of " + std::string(name.data()));
    if (ok && !(ok = write_all(fd, text))) why = error_text("cannot write " + std::string(name.data()));
    if (ok && !(ok = fsync(fd) == 0)) why = error_text("cannot sync " + std::string(name.data()));
    if (close(fd) != 0 && ok) {
        ok = false;
        why = error_text("cannot write " + std::string(name.data()));
    }
    if (ok && !(ok = std::rename(name.data(), path.c_str()) == 0))
        why = error_text("cannot rename the temporary file to " + path);
    if (!ok) {
        unlink(name.data());
        return false;
    }
    // Make the rename itself durable; a failure here leaves the new file in
    // place, so it is not reported.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

}  // namespace sanstat
