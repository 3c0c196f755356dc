// The thread that reads the tree, so that no request thread ever blocks on
// it, and the sharing of reads among requests: a client can neither buy
// reads and compressions by varying what it asks for, nor hold a body per
// connection by reading its responses slowly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sanperf_exporter/tree_read.h"

namespace sanperf_exporter {

// Reads one client (client_source.h) may start: a bucket of this many,
// refilled with one a second. Over it, its request is served from the
// latest read, however old.
constexpr unsigned reads_per_source_burst = 10;
constexpr std::chrono::milliseconds source_read_refill{1000};
// Reads one client's responses in progress may hold: while it holds this
// many, its further requests are served from the newest of them.
constexpr unsigned reads_held_per_source = 2;

class tree_reader {
public:
    using collector_set = sanperf_exporter::collector_set;
    using clock = std::chrono::steady_clock;

    // Reads the tree through every enabled collector; runs on the reader
    // thread. It may throw; the requests waiting then get no result.
    using producer = std::function<std::shared_ptr<tree_read>()>;

    // What a client's request is sent: one form of a read, kept alive with
    // the read for as long as this is. While it lives, it counts among its
    // client's responses in progress.
    struct body {
        std::shared_ptr<const tree_read> read;
        const tree_read::form* form = nullptr;
        std::shared_ptr<std::atomic<unsigned>> in_progress;  // its client's
        body() = default;
        body(const body&) = delete;
        body& operator=(const body&) = delete;
        ~body();
    };
    // Called on the reader thread with a body, or with null when the read
    // failed or the reader is stopping.
    using waiter = std::function<void(std::shared_ptr<const body>)>;

    // refill_every: how often a client's bucket gains a read.
    explicit tree_reader(producer produce, clock::duration refill_every = source_read_refill);
    ~tree_reader();
    tree_reader(const tree_reader&) = delete;
    tree_reader& operator=(const tree_reader&) = delete;

    // Hands w a body for the collectors in which, from source (client_source):
    // - from the newest read the client holds, if it holds
    //   reads_held_per_source already;
    // - else from the read running now, if one is;
    // - else from a new read, if the client may start one;
    // - else from the latest read.
    // A client's first gzip form of a read is made for it; another of the
    // same read takes one of its reads, and without one the identity form is
    // sent instead.
    void request(waiter w, const std::string& source, collector_set which, bool wants_gzip);

    // Ends the thread. Waiters queued are answered with null at once; a read
    // running is waited for up to limit. Returns false when the read did not
    // end in time (the thread is then left running, detached, and the
    // process must not return from main).
    bool stop(std::chrono::milliseconds limit);

private:
    struct pending {
        waiter w;
        std::string source;
        collector_set which;
        bool gzip;
    };
    // One client's share. The reader thread alone uses it, but for the count
    // of its responses in progress, which bodies keep.
    struct source_state {
        double tokens = reads_per_source_burst;
        clock::time_point refilled;
        // The reads last given to it, newest first.
        std::weak_ptr<tree_read> given[reads_held_per_source];
        std::uint64_t gzipped_read = 0;  // the read of its last gzip form made free
        std::shared_ptr<std::atomic<unsigned>> in_progress =
            std::make_shared<std::atomic<unsigned>>(0);
        bool take_token(clock::time_point now, clock::duration refill_every);
    };
    void run();
    source_state& state_of(const std::string& source);
    // The newest read s holds, when it holds as many as it may.
    std::shared_ptr<tree_read> held_read(source_state& s) const;
    // Hands p a form of read, or null when there is none.
    void serve(pending& p, source_state& s, const std::shared_ptr<tree_read>& read);

    producer produce_;
    clock::duration refill_every_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<pending> queue_;
    bool stopping_ = false;
    bool done_ = false;
    // The reader thread's own.
    std::shared_ptr<tree_read> latest_;
    std::unordered_map<std::string, source_state> sources_;
    std::size_t swept_at_ = 0;  // sources_ size after its last sweep
    std::thread thread_;
};

}  // namespace sanperf_exporter
