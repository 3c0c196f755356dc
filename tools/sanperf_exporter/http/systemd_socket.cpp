#include "sanperf_exporter/http/systemd_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sanperf_exporter {

namespace {

constexpr int first_passed_fd = 3;  // SD_LISTEN_FDS_START

// A whole decimal number and nothing else.
bool parse_number(const char* text, long& value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= 0;
}

}  // namespace

bool take_systemd_sockets(std::vector<int>& sockets, std::string& why) {
    long pid = 0, count = 0;
    const bool for_us = parse_number(std::getenv("LISTEN_PID"), pid) && pid == getpid();
    const bool counted = parse_number(std::getenv("LISTEN_FDS"), count);
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!for_us || !counted || count == 0) {
        why = "--web.systemd-socket: no sockets passed by systemd (LISTEN_PID, LISTEN_FDS)";
        return false;
    }
    if (count > 1024) {
        why = "--web.systemd-socket: LISTEN_FDS is implausibly large";
        return false;
    }
    for (int fd = first_passed_fd; fd < first_passed_fd + count; ++fd) {
        int type = 0, listening = 0;
        socklen_t size = sizeof type;
        socklen_t size2 = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size2) != 0 || !listening) {
            why = "--web.systemd-socket: descriptor " + std::to_string(fd) +
                  " is not a listening stream socket";
            return false;
        }
        // Not to be inherited by anything this process might start.
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        sockets.push_back(fd);
    }
    return true;
}

}  // namespace sanperf_exporter
