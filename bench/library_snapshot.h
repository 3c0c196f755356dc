// One full snapshot by the library, as the facade hands it out: disk queues,
// sessions and sockets of the tree at /sys/kernel.
#pragma once

#include <cstddef>

// Takes the snapshot and returns how many records it holds. Defined in its
// own file so that it stays a function of its own for callgrind to toggle on.
std::size_t library_snapshot();
