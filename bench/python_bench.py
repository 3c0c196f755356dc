#!/usr/bin/env python3
"""sanperf.snapshot() against the programs' C++ snapshot of the same tree
(bench/tools_snapshot_time.cpp, on the same number of threads) and against
a pure-Python reader of the same files (bench/pure_python_reader.py), and
the memory its records take, on simulated trees of 1,000/1,000 and
10,000/10,000 sessions/sockets: medians, measured in turn, as ratios from
one run.

Usage (as root): python_bench.py BUILD_DIR [--quick]
--quick uses the 1,000/1,000 tree only, with few rounds.
It runs itself in a private mount namespace with a tmpfs over /sys/kernel,
where the simulator writes the trees.
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def enter_namespace():
    if os.environ.get("SANPERF_BENCH_NAMESPACE") == "1":
        return
    os.environ["SANPERF_BENCH_NAMESPACE"] = "1"
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                          'mount -t tmpfs sanperf-bench /sys/kernel && exec "$@"', "sh",
                          "/usr/bin/python3", os.path.abspath(__file__), *sys.argv[1:]])


def timings(function, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return times


# Run in a fresh interpreter, so that no memory freed earlier is reused:
# one snapshot of one block, held; what its records cost, measured either
# by tracemalloc (the Python objects) or as resident growth (everything:
# the C++ copy kept for delta() and what the read left allocated too).
MEMORY_CHILD = """
import sys, tracemalloc
import sanperf

def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

block, traced = sys.argv[1], sys.argv[2] == "traced"
start = rss_kib()
if traced:
    tracemalloc.start()
snap = sanperf.snapshot(disk_queues=False, sessions=block == "sessions",
                        sockets=block == "sockets")
used = tracemalloc.get_traced_memory()[0] if traced else (rss_kib() - start) * 1024
print(used / len(getattr(snap, block)))
"""


def bytes_per_record(build, block):
    """Bytes per record of block: Python objects, and resident growth."""
    return [float(subprocess.run(["/usr/bin/python3", "-c", MEMORY_CHILD, block, how],
                                 check=True, capture_output=True, text=True,
                                 env=dict(os.environ, PYTHONPATH=build + "/python")).stdout)
            for how in ("traced", "resident")]


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: python_bench.py BUILD_DIR [--quick]")
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    enter_namespace()
    sys.path[:0] = [build + "/python", HERE]
    import sanperf
    from pure_python_reader import read_tree

    timer = build + "/bench/sanperf_tools_snapshot_time"
    rows = []
    for n, rounds in ([(1000, 2)] if quick else [(1000, 10), (10000, 3)]):
        start = time.monotonic()
        subprocess.run([build + "/tools/sanperf-sim/sanperf-sim", "/sys/kernel", "--once",
                        "--sessions", str(n), "--sockets", str(n)], check=True,
                       stdout=subprocess.DEVNULL)
        print(f"  ({n}/{n} tree written in {time.monotonic() - start:.1f} s)", flush=True)
        cxx = {1: [], 2: []}
        py = {1: [], 2: []}
        pure = []
        sanperf.snapshot()  # warm-up: the tree's dentries, the module
        for _ in range(rounds):
            for threads in (1, 2):
                out = subprocess.run([timer, "3", str(threads)], check=True, text=True,
                                     capture_output=True).stdout
                cxx[threads] += [float(x) for x in out.split()]
                py[threads] += timings(lambda: sanperf.snapshot(threads=threads), 3)
            pure += timings(lambda: read_tree(sanperf.SOCKET_SLOTS), 1)
        m = {k: statistics.median(v) for k, v in (("c1", cxx[1]), ("c2", cxx[2]),
                                                  ("p1", py[1]), ("p2", py[2]), ("pure", pure))}
        session_bytes = bytes_per_record(build, "sessions")
        socket_bytes = bytes_per_record(build, "sockets")
        rows.append((n, m, session_bytes, socket_bytes))

    print("\n| figure | " + " | ".join(f"{n:,}/{n:,}" for n, *_ in rows) + " |")
    print("|---|" + "---|" * len(rows))

    def row(label, cell):
        print(f"| {label} | " + " | ".join(cell(*r) for r in rows) + " |")

    row("C++ snapshot, 1 thread", lambda n, m, s, k: f"{m['c1'] * 1000:.1f} ms")
    row("sanperf.snapshot(), 1 thread", lambda n, m, s, k: f"{m['p1'] * 1000:.1f} ms")
    row("ratio, 1 thread (target <= 1.3)", lambda n, m, s, k: f"{m['p1'] / m['c1']:.2f}")
    row("C++ snapshot, 2 threads", lambda n, m, s, k: f"{m['c2'] * 1000:.1f} ms")
    row("sanperf.snapshot(), 2 threads", lambda n, m, s, k: f"{m['p2'] * 1000:.1f} ms")
    row("ratio, 2 threads (target <= 1.3)", lambda n, m, s, k: f"{m['p2'] / m['c2']:.2f}")
    row("pure-Python reader", lambda n, m, s, k: f"{m['pure'] * 1000:.1f} ms")
    row("pure Python / sanperf.snapshot(), 1 thread (target >= 3)",
        lambda n, m, s, k: f"{m['pure'] / m['p1']:.2f}")
    row("pure Python / sanperf.snapshot(), 2 threads (target >= 3)",
        lambda n, m, s, k: f"{m['pure'] / m['p2']:.2f}")
    row("bytes per SessionInfo: Python objects / resident growth",
        lambda n, m, s, k: f"{s[0]:.0f} / {s[1]:.0f}")
    row("bytes per SockInfo (12 slots): Python objects / resident growth",
        lambda n, m, s, k: f"{k[0]:.0f} / {k[1]:.0f}")


if __name__ == "__main__":
    main()
