#include "common/root_mount.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/tree_layout.h"

namespace sanperf_tools {

namespace fs = std::filesystem;

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
    std::error_code error;
    const fs::path where = fs::absolute(dir, error).lexically_normal();
    struct stat st {};
    if (error || (stat(where.c_str(), &st) != 0 && errno != ENOENT)) {
        why = dir + ": " + (error ? error.message() : std::strerror(errno));
        return false;
    }
    if (st.st_mode != 0 && !S_ISDIR(st.st_mode)) {
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
    // Without this the mount would propagate back to the host's mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = std::string("cannot make the mounts private: ") + std::strerror(errno);
        return false;
    }
    // A bind mount would hold on to the directory it was made from, even
    // once that is deleted; links are looked up afresh at every read.
    if (mount("sanperf-root", "/sys/kernel", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "size=64k,mode=0755") != 0) {
        why = std::string("cannot mount a file system over /sys/kernel: ") + std::strerror(errno);
        return false;
    }
    for (const char* kind : {disk_queue_dir, session_dir, socket_dir}) {
        const std::string link = std::string("/sys/kernel/") + kind;
        if (symlink((where / kind).c_str(), link.c_str()) != 0) {
            why = "cannot make " + link + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace sanperf_tools
