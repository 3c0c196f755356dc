"""The SAN storage server's performance counters, read as sanstat reads them.

snapshot() reads the disk queues, sessions and sockets under /sys/kernel
now; delta() or a Sampler gives the rates and averages between two
readings, by sanstat's interval rules. Times come in the tree's ticks, each
with a twin in seconds when SANPERF_TIME_UNIT names the unit (see
time_unit()).
"""

from sanperf._sanperf import (
    SOCKET_SLOTS,
    Delta,
    DiskQueueDelta,
    DiskQueueInfo,
    Sampler,
    SessionDelta,
    SessionInfo,
    Snapshot,
    SockDelta,
    SockInfo,
    SockStats,
    SockStatsDelta,
    delta,
    snapshot,
    time_unit,
)

__all__ = [
    "SOCKET_SLOTS",
    "Delta",
    "DiskQueueDelta",
    "DiskQueueInfo",
    "Sampler",
    "SessionDelta",
    "SessionInfo",
    "Snapshot",
    "SockDelta",
    "SockInfo",
    "SockStats",
    "SockStatsDelta",
    "delta",
    "snapshot",
    "time_unit",
]
