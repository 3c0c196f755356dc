// A sampling as the archive holds it: every object of the tree by kind,
// with the lifetime each belongs to, converted from and to the snapshot the
// renderers take.
#pragma once

#include <cstdint>

#include "common/archive_encoding.h"
#include "common/snapshot.h"

namespace sanperf_tools {

// Which of the tree's directories a sampling found: a sampling without any
// is a gap, never zeros.
enum : int { found_disks = 1, found_sessions = 2, found_sockets = 4 };

struct sampling_state {
    int tree = 0;  // found_* bits
    kind_state disks, sessions, sockets;

    kind_state& of(object_kind kind);
    const kind_state& of(object_kind kind) const;
};

// The state of a snapshot of every block, as sampling seq. An object keeps
// the lifetime it has in before when it was there and none of its
// cumulative counters went back; any other begins one at seq, as it
// vanished and came back, or was replaced, in between.
sampling_state state_of(const snapshot& snap, const sampling_state* before, std::int64_t seq);

// The snapshot of state, with the blocks and objects sel chooses; taken and
// wall are left to the caller.
snapshot snapshot_of(const sampling_state& state, const selection& sel);

// Removes from before every object that is not in the same lifetime in
// now, so that the interval between them counts it as new rather than
// subtracting another object's counters.
void keep_same_lifetimes(sampling_state& before, const sampling_state& now);

}  // namespace sanperf_tools
