"""The GIL is released while the tree is read, and snapshots leak nothing."""

import gc
import sys
import threading
import time

import sanperf


def test_other_threads_run_during_a_big_snapshot(tree):
    tree.simulate(10000, 10000)
    stop = threading.Event()
    ticks = []

    def count():
        while not stop.is_set():
            ticks.append(time.monotonic())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        start = time.monotonic()
        snap = sanperf.snapshot(threads=1)
        end = time.monotonic()
    finally:
        stop.set()
        counter.join()
    assert len(snap.sessions) == len(snap.sockets) == 10000
    during = [t for t in ticks if start <= t <= end]
    # The counter kept counting: many ticks, and no pause as long as half
    # the snapshot (the records' conversion holds the GIL, the read not).
    gaps = [b - a for a, b in zip([start] + during, during + [end])]
    assert len(during) > 1000, (len(during), end - start)
    assert max(gaps) < (end - start) / 2, (max(gaps), end - start)


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_ten_thousand_snapshots_leak_nothing(tree):
    tree.session(1, write={"samples": 1})
    tree.socket(1)
    sampler = sanperf.Sampler(threads=2)
    before = sanperf.snapshot()

    def snapshots(count):
        nonlocal before
        for i in range(count):
            now = sanperf.snapshot(disk_queues=i % 10 == 0, threads=1 + i % 2)
            sanperf.delta(before, now).sockets[0]._asdict()
            before = now
        sampler.next()

    snapshots(1000)
    gc.collect()
    rss, blocks = rss_kib(), sys.getallocatedblocks()
    snapshots(9000)
    gc.collect()
    # One object kept per call would add 9,000 blocks; the allocator's own
    # caches move by tens.
    assert sys.getallocatedblocks() - blocks < 900
    assert rss_kib() - rss < 1024
