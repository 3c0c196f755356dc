// Connections taken out of libmicrohttpd's polling while a read of theirs
// would block, and handed back once their socket is readable. A TLS
// handshake reads the socket through GnuTLS, out of libmicrohttpd's sight:
// left to the daemon's epoll loop, a connection whose handshake waits for
// the client stays marked ready and its thread polls it without pause. A
// parked connection costs nothing until its client sends something, closes,
// or the header deadline shuts its socket down.
#pragma once

#include <microhttpd.h>

#include <mutex>
#include <thread>
#include <unordered_map>

namespace sanperf_exporter {

class parked_reads {
public:
    parked_reads();
    ~parked_reads();
    parked_reads(const parked_reads&) = delete;
    parked_reads& operator=(const parked_reads&) = delete;

    // Suspends connection and resumes it once fd is readable (data, end of
    // file or an error). Only from the connection's polling thread, as
    // libmicrohttpd requires of a suspension. False, with nothing changed,
    // when the socket cannot be watched.
    bool park(MHD_Connection* connection, int fd);

    // Resumes every parked connection and parks none from then on; before
    // the daemons stop, as none may stop with a suspended connection.
    void release_all();

private:
    void watch();

    int epoll_ = -1;
    int wake_ = -1;  // an eventfd: release_all
    std::mutex lock_;
    bool released_ = false;
    std::unordered_map<int, MHD_Connection*> parked_;  // by descriptor
    std::thread watcher_;
};

}  // namespace sanperf_exporter
