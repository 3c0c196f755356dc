#!/usr/bin/env python3
"""The tree read on several threads against one, as ratios from one run.

On simulated trees of 1,000/1,000 and 10,000/10,000 sessions/sockets, each
program with its default number of threads, and with 2 and 4, against
--threads 1, measured in turn:
  1. sanperf_exporter: scrape wall time (uncompressed), CPU time per scrape
     (the whole process, every thread) and peak resident memory;
  2. sanstat -o json, one report: wall time until it is written, and peak
     resident memory (taken from /proc while sanstat waits for its second
     report: the kernel's figure at exit would count this script's memory
     from before the exec).

Usage (as root): threads_bench.py BUILD_DIR [--quick]
--quick uses the 1,000/1,000 tree only, with few rounds.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from exporter_bench import Exporter, die, scrape, write_tree  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of a whole process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def exporter_figures(build, tree, configs, rounds):
    """Per configuration: median wall and CPU seconds per scrape, peak KiB."""
    binary = build + "/tools/sanperf_exporter/sanperf_exporter"
    exporters = {c: Exporter(binary, tree, threads_args(c)) for c in configs}
    walls = {c: [] for c in configs}
    try:
        for c in configs:
            scrape(exporters[c].connection())  # warm-up: caches, the body's size
        cpu_before = {c: cpu_seconds(e.process.pid) for c, e in exporters.items()}
        for _ in range(rounds):
            for c in configs:
                # A connection of its own: one left idle while the others
                # scrape a big tree could time out.
                conn = exporters[c].connection()
                start = time.monotonic()
                status, _ = scrape(conn)
                walls[c].append(time.monotonic() - start)
                conn.close()
                if status != 200:
                    die(f"scrape answered {status}")
        figures = {}
        for c, e in exporters.items():
            cpu = (cpu_seconds(e.process.pid) - cpu_before[c]) / rounds
            figures[c] = (statistics.median(walls[c]), cpu, e.status("VmHWM"))
        return figures
    finally:
        for e in exporters.values():
            e.stop()


def sanstat_figures(build, tree, configs, rounds):
    """Per configuration: median wall seconds of one JSON report, peak KiB."""
    binary = build + "/tools/sanstat/sanstat"
    walls = {c: [] for c in configs}
    peaks = {c: 0 for c in configs}
    for _ in range(rounds):
        for c in configs:
            start = time.monotonic()
            # The first of two reports a long interval apart: read as one
            # report alone is.
            p = subprocess.Popen([binary, "--root", tree, "-o", "json"] + threads_args(c) +
                                 ["1000", "2"], stdout=subprocess.PIPE)
            if not p.stdout.readline().endswith(b"}\n"):
                die("sanstat wrote no report")
            walls[c].append(time.monotonic() - start)
            with open(f"/proc/{p.pid}/status") as f:
                peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
            peaks[c] = max(peaks[c], peak)
            p.terminate()
            p.communicate()
    return {c: (statistics.median(walls[c]), peaks[c]) for c in configs}


def threads_args(config):
    return [] if config == "default" else ["--threads", str(config)]


def report(n, configs, exporter, sanstat):
    base_e, base_s = exporter[1], sanstat[1]
    print(f"{n}/{n}, --threads 1: exporter scrape {base_e[0] * 1000:.0f} ms wall, "
          f"{base_e[1] * 1000:.0f} ms CPU, peak {base_e[2] / 1024:.0f} MiB; "
          f"sanstat JSON {base_s[0] * 1000:.0f} ms, peak {base_s[1] / 1024:.0f} MiB")
    for c in configs[1:]:
        e, s = exporter[c], sanstat[c]
        name = f"default ({os.cpu_count()} cores)" if c == "default" else f"{c} threads"
        print(f"  {name} / 1: exporter wall {e[0] / base_e[0]:.2f}, "
              f"CPU {e[1] / base_e[1]:.2f}, peak RSS {e[2] / base_e[2]:.2f}; "
              f"sanstat wall {s[0] / base_s[0]:.2f}, peak RSS {s[1] / base_s[1]:.2f}")


def main():
    if len(sys.argv) < 2:
        die("usage: threads_bench.py BUILD_DIR [--quick]")
    if os.geteuid() != 0:
        die("run as root: the programs read trees in mount namespaces")
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    sim = build + "/tools/sanperf-sim/sanperf-sim"
    configs = [1, "default", 2, 4]
    # The trees go to a tmpfs when there is one: memory, like the kernel's
    # tree, and quick to write (10,000/10,000 is 160,000 files).
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    work = tempfile.mkdtemp(prefix="sanperf-threads-bench.", dir=shm)
    try:
        print("reading on threads against one" + (" (quick)" if quick else ""), flush=True)
        for n, rounds in ([(1000, 3)] if quick else [(1000, 15), (10000, 5)]):
            tree = f"{work}/t{n}"
            write_tree(sim, tree, n)
            exporter = exporter_figures(build, tree, configs, rounds)
            sanstat = sanstat_figures(build, tree, configs, rounds)
            report(n, configs, exporter, sanstat)
            shutil.rmtree(tree)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
