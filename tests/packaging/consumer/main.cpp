// Smallest program on the installed library: it links, loads and lists the
// sessions (none here, as /sys/kernel holds no server).
#include <sanperf.h>

#include <cstdio>

int main() {
    sanserver_performance_info server;
    std::list<session_info> sessions;
    server.get_session_perf_info(sessions);
    std::printf("sessions: %zu\n", sessions.size());
    return 0;
}
