#include "root_mount.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sanperf_tools {

namespace {

bool write_proc(const char* file, const std::string& text) {
    int fd = open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Enters a user namespace in which this process's own uid and gid map to
// themselves, together with a mount namespace it may change.
bool unshare_as_user(std::string& why) {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        why = std::string("cannot create a user namespace: ") + std::strerror(errno);
        return false;
    }
    // setgroups must be denied before an unprivileged process may map gids.
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_proc("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        why = std::string("cannot map ids in a user namespace: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool mount_root(const std::string& dir, std::string& why) {
    char real[PATH_MAX];
    struct stat st {};
    if (realpath(dir.c_str(), real) == nullptr || stat(real, &st) != 0) {
        why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = dir + ": not a directory";
        return false;
    }
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            why = std::string("cannot create a mount namespace: ") + std::strerror(errno);
            return false;
        }
    } else if (!unshare_as_user(why)) {
        return false;
    }
    // Without this the bind mount would propagate back to the host's mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("cannot make the mounts private: ") + std::strerror(errno);
        return false;
    }
    if (mount(real, "/sys/kernel", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        why = std::string("cannot bind ") + real + " over /sys/kernel: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace sanperf_tools
