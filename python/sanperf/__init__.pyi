# Types of the sanperf module. The record classes are named tuples; each
# time field in ticks (int) has a twin in seconds (float, or None when the
# tree's time unit is not known).
from typing import Any, NamedTuple

SOCKET_SLOTS: tuple[str, ...]

class DiskQueueInfo(NamedTuple):
    name: str
    handler_samples: int
    handler_total_time: int
    handler_total_seconds: float | None
    handler_min_time: int
    handler_min_seconds: float | None
    handler_max_time: int
    handler_max_seconds: float | None
    handler_total_count: int
    handler_min_count: int
    handler_max_count: int
    processing_samples: int
    processing_total_time: int
    processing_total_seconds: float | None
    processing_min_time: int
    processing_min_seconds: float | None
    processing_max_time: int
    processing_max_seconds: float | None
    processing_total_count: int
    processing_min_count: int
    processing_max_count: int
    max_num_active: int

class SessionInfo(NamedTuple):
    id: int
    lba: int
    write_samples: int
    write_total_time: int
    write_total_seconds: float | None
    write_min_time: int
    write_min_seconds: float | None
    write_max_time: int
    write_max_seconds: float | None
    read_samples: int
    read_total_time: int
    read_total_seconds: float | None
    read_min_time: int
    read_min_seconds: float | None
    read_max_time: int
    read_max_seconds: float | None

class SockStats(NamedTuple):
    samples: int
    total_time: int
    total_seconds: float | None
    min_time: int
    min_seconds: float | None
    max_time: int
    max_seconds: float | None

class SockInfo(NamedTuple):
    number: int
    aio_read: SockStats
    aio_write: SockStats
    perform_io_read: SockStats
    perform_io_write: SockStats
    post_read: SockStats
    post_write: SockStats
    queue_modify_tx_offset: SockStats
    queue_modify_rx_offset: SockStats
    socket_read: SockStats
    socket_write: SockStats
    wait_for_space: SockStats
    wait_until_data_available: SockStats
    def _asdict(self) -> dict[str, Any]: ...

class DiskQueueDelta(NamedTuple):
    name: str
    totals: bool
    handler_samples: int
    handler_total_time: int
    handler_total_seconds: float | None
    handler_min_time: int
    handler_min_seconds: float | None
    handler_max_time: int
    handler_max_seconds: float | None
    handler_total_count: int
    handler_min_count: int
    handler_max_count: int
    handler_samples_per_second: float | None
    handler_avg_time: float | None
    handler_avg_seconds: float | None
    processing_samples: int
    processing_total_time: int
    processing_total_seconds: float | None
    processing_min_time: int
    processing_min_seconds: float | None
    processing_max_time: int
    processing_max_seconds: float | None
    processing_total_count: int
    processing_min_count: int
    processing_max_count: int
    processing_samples_per_second: float | None
    processing_avg_time: float | None
    processing_avg_seconds: float | None
    max_num_active: int

class SessionDelta(NamedTuple):
    id: int
    lba: int
    totals: bool
    write_samples: int
    write_total_time: int
    write_total_seconds: float | None
    write_min_time: int
    write_min_seconds: float | None
    write_max_time: int
    write_max_seconds: float | None
    write_samples_per_second: float | None
    write_avg_time: float | None
    write_avg_seconds: float | None
    read_samples: int
    read_total_time: int
    read_total_seconds: float | None
    read_min_time: int
    read_min_seconds: float | None
    read_max_time: int
    read_max_seconds: float | None
    read_samples_per_second: float | None
    read_avg_time: float | None
    read_avg_seconds: float | None

class SockStatsDelta(NamedTuple):
    samples: int
    total_time: int
    total_seconds: float | None
    min_time: int
    min_seconds: float | None
    max_time: int
    max_seconds: float | None
    samples_per_second: float | None
    avg_time: float | None
    avg_seconds: float | None

class SockDelta(NamedTuple):
    number: int
    totals: bool
    aio_read: SockStatsDelta
    aio_write: SockStatsDelta
    perform_io_read: SockStatsDelta
    perform_io_write: SockStatsDelta
    post_read: SockStatsDelta
    post_write: SockStatsDelta
    queue_modify_tx_offset: SockStatsDelta
    queue_modify_rx_offset: SockStatsDelta
    socket_read: SockStatsDelta
    socket_write: SockStatsDelta
    wait_for_space: SockStatsDelta
    wait_until_data_available: SockStatsDelta
    def _asdict(self) -> dict[str, Any]: ...

class Snapshot:
    @property
    def time(self) -> float: ...
    @property
    def time_unit(self) -> str | None: ...
    @property
    def disk_queues(self) -> list[DiskQueueInfo]: ...
    @property
    def sessions(self) -> list[SessionInfo]: ...
    @property
    def sockets(self) -> list[SockInfo]: ...

class Delta:
    @property
    def time(self) -> float: ...
    @property
    def interval(self) -> float | None: ...
    @property
    def time_unit(self) -> str | None: ...
    @property
    def disk_queues(self) -> list[DiskQueueDelta]: ...
    @property
    def sessions(self) -> list[SessionDelta]: ...
    @property
    def sockets(self) -> list[SockDelta]: ...

class Sampler:
    def __init__(
        self,
        *,
        disk_queues: bool = True,
        sessions: bool = True,
        sockets: bool = True,
        threads: int | None = None,
    ) -> None: ...
    def next(self) -> Delta: ...

def snapshot(
    *,
    disk_queues: bool = True,
    sessions: bool = True,
    sockets: bool = True,
    threads: int | None = None,
) -> Snapshot: ...
def delta(earlier: Snapshot | None, later: Snapshot) -> Delta: ...
def time_unit() -> str | None: ...
