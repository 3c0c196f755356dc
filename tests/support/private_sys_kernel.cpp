#include "support/private_sys_kernel.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sanperf_test {
namespace {

bool write_proc_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

bool enter_private_sys_kernel(std::string& why) {
    if (unshare(CLONE_NEWNS) != 0) {
        // Not root: map ourselves to root in a new user namespace, which may
        // own a mount namespace of its own.
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            why = failed("unshare(CLONE_NEWNS) and unshare(CLONE_NEWUSER|CLONE_NEWNS)");
            return false;
        }
        if (!write_proc_file("/proc/self/setgroups", "deny") ||
            !write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            why = failed("writing the user namespace's id maps");
            return false;
        }
    }
    // Private first: nothing mounted below may propagate back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = failed("making / private");
        return false;
    }
    if (mount("sanperf-test", "/sys/kernel", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        why = failed("mounting a tmpfs over /sys/kernel");
        return false;
    }
    return true;
}

}  // namespace sanperf_test
