// The thread that reads the tree, so that no request thread ever blocks on
// it, and the sharing of one read among concurrent requests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sanperf_exporter {

// What one read produced, shared read-only by every request it answers.
struct scrape_result {
    std::string body;
    std::string gzip_body;  // empty unless a request sharing the read wanted gzip
};

class tree_reader {
public:
    // Which collectors a read runs: bit i is collector i.
    using collector_set = std::uint32_t;
    // Renders one body into its argument, with the collectors in the set;
    // runs on the reader thread. It may throw; the requests waiting then get
    // no result.
    using producer = std::function<void(std::string&, collector_set)>;
    // Called on the reader thread with a result, or with null when the read
    // failed or the reader is stopping.
    using waiter = std::function<void(std::shared_ptr<const scrape_result>)>;

    explicit tree_reader(producer produce);
    ~tree_reader();
    tree_reader(const tree_reader&) = delete;
    tree_reader& operator=(const tree_reader&) = delete;

    // Hands w the result of the read running now, or of the next one if none
    // is running. Every waiter for the same collectors that arrives during
    // one read shares it, body and gzip body alike; waiters for other
    // collectors get the next read.
    void request(waiter w, bool wants_gzip, collector_set which);

    // Ends the thread. Waiters queued are answered with null at once; a read
    // running is waited for up to limit. Returns false when the read did not
    // end in time (the thread is then left running, detached, and the
    // process must not return from main).
    bool stop(std::chrono::milliseconds limit);

private:
    struct pending {
        waiter w;
        bool gzip;
        collector_set which;
    };
    void run();

    producer produce_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<pending> queue_;
    bool stopping_ = false;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace sanperf_exporter
