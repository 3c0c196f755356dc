#include "common/root_mount.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/private_mount.h"
#include "common/tree_layout.h"

namespace sanperf_tools {

namespace fs = std::filesystem;

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
    // A bind mount would hold on to the directory it was made from, even
    // once that is deleted; links are looked up afresh at every read.
    if (!private_sys_kernel(user_namespace_ids::own, "size=64k", why)) return false;
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
