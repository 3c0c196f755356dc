// sanperf_exporter: serves the SAN server's performance counters to
// Prometheus over HTTP, reading the tree afresh for each scrape.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "collector.h"
#include "exporter_metrics.h"
#include "http_listener.h"
#include "listen_address.h"
#include "log.h"
#include "options.h"
#include "scraper.h"
#include "tree_reader.h"
#include "../sanstat/root_mount.h"

namespace {

using namespace sanperf_exporter;
using sanstat::mount_root;

std::string join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out.empty() ? "none" : out;
}

// Idle connections each hold a descriptor; the soft limit's usual 1,024
// would run out before the connection limit does.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max < 8192 ? limit.rlim_max : 8192;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int run(const options& opt) {
    std::string why;
    // Before any thread starts: a mount namespace is per process only while
    // there is one thread.
    if (!opt.root.empty() && !mount_root(opt.root, why)) {
        log_line("cannot read " + opt.root + " in place of /sys/kernel: " + why);
        return 1;
    }
    raise_descriptor_limit();
    // A log reader that goes away must not end the daemon.
    signal(SIGPIPE, SIG_IGN);

    listener_settings settings;
    settings.telemetry_path = opt.telemetry_path;
    settings.max_requests = opt.max_requests;
    std::vector<std::string> addresses;
    for (const listen_address& address : opt.listen) {
        int fd = bind_listen_socket(address, why);
        if (fd < 0) {
            log_line("cannot listen on " + address.host + ":" + address.port + ": " + why);
            for (int open_fd : settings.sockets) close(open_fd);
            return 1;
        }
        settings.sockets.push_back(fd);
        addresses.push_back(bound_address(fd));
    }

    // Stop requests are taken by this thread alone, with sigwait below;
    // every thread started from here on inherits the blocked mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::vector<std::unique_ptr<collector>> collectors;
    std::vector<std::string> names;
    if (opt.disk_queues) {
        collectors.push_back(make_disk_queue_collector());
        names.push_back("disk-queues");
    }
    if (opt.sessions) {
        collectors.push_back(make_session_collector());
        names.push_back("sessions");
    }
    if (opt.sockets) {
        collectors.push_back(make_socket_collector(opt.sockets_aggregate));
        names.push_back(opt.sockets_aggregate ? "sockets (aggregate)" : "sockets");
    }

    exporter_metrics metrics;
    scraper scrape(std::move(collectors), metrics);
    tree_reader reader([&scrape](std::string& body) { scrape.scrape(body); });
    http_listener listener(std::move(settings), reader, metrics);
    if (!listener.start(why)) {
        log_line(why);
        reader.stop(std::chrono::seconds(1));
        return 1;
    }
    log_line("sanperf_exporter " SANPERF_VERSION " listening on " + join(addresses) +
             ", telemetry path " + opt.telemetry_path + ", root " +
             (opt.root.empty() ? std::string("/sys/kernel") : opt.root) + ", collectors " +
             join(names) + ", TLS off, authentication off");

    int signo = 0;
    sigwait(&stop, &signo);
    log_line(std::string("stopping on ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));

    // Requests in flight finish; their reads complete within the grace
    // time unless the tree is enormous, and whatever is left is answered 503.
    const auto start = std::chrono::steady_clock::now();
    listener.stop_accepting();
    listener.wait_idle(start + std::chrono::seconds(3));
    bool joined = reader.stop(std::chrono::milliseconds(500));
    listener.wait_idle(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    listener.stop();
    if (!joined) {
        // The reader is still inside a read and uses objects of this frame.
        log_line("stopped with a read of the tree unfinished");
        std::_Exit(0);
    }
    log_line("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    options opt;
    int code = parse_options(argc, argv, opt);
    if (code >= 0) return code;
    try {
        return run(opt);
    } catch (const std::exception& e) {
        log_line(std::string("failed: ") + e.what());
        return 1;
    }
}
