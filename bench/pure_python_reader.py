"""A straightforward pure-Python reader of the statistics tree, written as
an operator would write one: list the directories, open each file, read
its line, split it, int() the numbers. No rules for objects that come and
go. The Python module's benchmark measures sanperf.snapshot() against it.
"""

import os

ROOT = "/sys/kernel"
COUNTERS = ("samples", "total_count", "max_count", "min_count", "total_time", "max_time",
            "min_time")


def numbers(path):
    try:
        with open(path) as f:
            return [int(x) for x in f.readline().split()]
    except (OSError, ValueError):
        return []


def counters(path):
    return dict(zip(COUNTERS, numbers(path)))


def value(path):
    found = numbers(path)
    return found[0] if found else 0


def by_number(names):
    return sorted(names, key=lambda n: int("".join(c for c in n if c.isdigit()) or 0))


def read_tree(slots):
    """The disk queues, sessions and sockets as lists of dicts; slots: the
    names of a socket's counter files, less "_stats"."""
    disks = []
    for disk in range(1, 5):
        for queue in range(8):
            d = f"{ROOT}/disk_queue/disk{disk}_{queue}/"
            disks.append({"name": f"disk{disk}_{queue}",
                          "handler": counters(d + "async_handler_task_perf_stats"),
                          "processing": counters(d + "async_processing_perf_stats"),
                          "max_num_active": value(d + "max_num_active")})
    sessions = []
    for name in by_number(os.listdir(f"{ROOT}/session")):
        d = f"{ROOT}/session/{name}/"
        sessions.append({"id": value(d + "id"), "lba": value(d + "lba"),
                         "write": counters(d + "write_perf_stats"),
                         "read": counters(d + "read_perf_stats")})
    sockets = []
    for name in by_number(os.listdir(f"{ROOT}/sock")):
        d = f"{ROOT}/sock/{name}/"
        socket = {"number": int("".join(c for c in name if c.isdigit()))}
        for slot in slots:
            socket[slot] = counters(d + slot + "_stats")
        sockets.append(socket)
    return disks, sessions, sockets
