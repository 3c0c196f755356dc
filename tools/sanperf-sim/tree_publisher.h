// Lays the simulated server's state out as the statistics tree: which
// directories and files exist, and the lines they hold.
#pragma once

#include <functional>

#include "sanperf-sim/server_model.h"
#include "sanperf-sim/tree_writer.h"

namespace sanperf_sim {

// Thrown by publish when asked to stop.
struct interrupted {};

class tree_publisher {
public:
    // Creates the disk_queue, session and sock directories and removes the
    // sessions and sockets an earlier run left there.
    explicit tree_publisher(tree_writer& writer);

    // Brings the tree in line with the model, writing only what changed
    // since the last call (everything, the first time), and marks the model
    // as written: ended sessions and sockets disappear, new ones appear with
    // all their files at once. Before each object, asks stop whether to
    // stop, and if so throws interrupted: every file and directory written
    // is then whole, and the tree holds some objects at the new state and
    // the others at the old one.
    void publish(server_model& model, const std::function<bool()>& stop);

private:
    void publish_disk_queue(int disk, int queue, disk_queue& q);
    void publish_session(session& s);
    void publish_socket(socket& k);

    tree_writer& writer;
};

}  // namespace sanperf_sim
