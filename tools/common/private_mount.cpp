#include "common/private_mount.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
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

std::string failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Enters a user namespace in which this process is as ids says, together
// with a mount namespace it may change.
bool unshare_as_user(user_namespace_ids ids, std::string& why) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        why = failed("cannot create a user namespace");
        return false;
    }
    const std::string uid_inside = ids == user_namespace_ids::root ? "0" : std::to_string(uid);
    const std::string gid_inside = ids == user_namespace_ids::root ? "0" : std::to_string(gid);
    // setgroups must be denied before an unprivileged process may map gids.
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", uid_inside + " " + std::to_string(uid) + " 1") ||
        !write_proc("/proc/self/gid_map", gid_inside + " " + std::to_string(gid) + " 1")) {
        why = failed("cannot map ids in a user namespace");
        return false;
    }
    return true;
}

}  // namespace

bool private_sys_kernel(user_namespace_ids ids, const std::string& tmpfs_options,
                        std::string& why) {
    if (unshare(CLONE_NEWNS) != 0) {
        if (geteuid() == 0) {
            why = failed("cannot create a mount namespace");
            return false;
        }
        if (!unshare_as_user(ids, why)) return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = failed("cannot make the mounts private");
        return false;
    }
    const std::string options = "mode=0755" + (tmpfs_options.empty() ? "" : "," + tmpfs_options);
    if (mount("sanperf", "/sys/kernel", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              options.c_str()) != 0) {
        why = failed("cannot mount a file system over /sys/kernel");
        return false;
    }
    return true;
}

}  // namespace sanperf_tools
