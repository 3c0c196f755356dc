#!/usr/bin/env python3
"""sanperf_exporter's figures on simulated trees, as ratios from one run.

  1. One client, uncompressed, 1,000/1,000 tree: scrape wall time against
     the library's snapshot alone (medians, measured in turn).
  2. 16 concurrent clients: tree reads per request, every answer 200.
  3. Resident memory growth over 10,000 scrapes (100/100 tree).
  4. 500 idle connections held open: time of one more scrape.
  5. 10,000/10,000 tree, one scrape: time and peak resident memory.

Usage (as root): exporter_bench.py BUILD_DIR [--quick]
--quick uses smaller counts and skips the 10,000/10,000 tree.
"""

import http.client
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def die(message):
    sys.exit("exporter_bench: " + message)


class Exporter:
    """A running exporter on a free loopback port, reading tree (None: the
    real /sys/kernel)."""

    def __init__(self, binary, tree, extra=()):
        self.log = tempfile.TemporaryFile()
        root = ["--root=" + tree] if tree else []
        self.process = subprocess.Popen(
            [binary, "--web.listen-address=127.0.0.1:0", *root, *extra], stderr=self.log)
        for _ in range(200):
            self.log.seek(0)
            m = re.search(rb"listening on 127\.0\.0\.1:(\d+)", self.log.read())
            if m:
                self.port = int(m.group(1))
                return
            if self.process.poll() is not None:
                die("the exporter did not start")
            time.sleep(0.05)
        die("the exporter never said where it listens")

    def connection(self, source="127.0.0.1"):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=120,
                                          source_address=(source, 0))

    def status(self, field):
        """A field of /proc/PID/status, in KiB."""
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        die("no " + field)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def scrape(conn):
    """One GET of /metrics; returns (status, body)."""
    conn.request("GET", "/metrics")
    response = conn.getresponse()
    return response.status, response.read()


def metric(body, name):
    m = re.search(rb"^" + name.encode() + rb" (\S+)$", body, re.M)
    return float(m.group(1))


def write_tree(sim, path, n):
    start = time.monotonic()
    subprocess.run([sim, path, "--once", "--sessions", str(n), "--sockets", str(n)], check=True)
    print(f"  ({n}/{n} tree written in {time.monotonic() - start:.1f} s)", flush=True)


def library_snapshots(tool, tree, count):
    """Seconds of count library snapshots of tree, bound over /sys/kernel in
    a private mount namespace."""
    out = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
         'mount --bind "$1" /sys/kernel && exec "$2" "$3"', "sh", tree, tool, str(count)],
        check=True, capture_output=True, text=True).stdout
    return [float(x) for x in out.split()]


def scrape_against_snapshot(build, tree, rounds):
    exporter = Exporter(build + "/tools/sanperf_exporter/sanperf_exporter", tree)
    conn = exporter.connection()
    scrape(conn)  # warm-up: caches, the body's size
    library_snapshots(build + "/bench/sanperf_snapshot_time", tree, 2)
    scrapes, snapshots = [], []
    for _ in range(rounds):
        snapshots += library_snapshots(build + "/bench/sanperf_snapshot_time", tree, 5)
        for _ in range(5):
            start = time.monotonic()
            status, body = scrape(conn)
            scrapes.append(time.monotonic() - start)
            if status != 200:
                die(f"scrape answered {status}")
    exporter.stop()
    s, l = statistics.median(scrapes), statistics.median(snapshots)
    print(f"1. one client, 1,000/1,000, uncompressed: scrape {s * 1000:.1f} ms, "
          f"library snapshot {l * 1000:.1f} ms, ratio {s / l:.2f} (target <= 1.25); "
          f"body {len(body) / 1e6:.1f} MB")
    return l


def concurrent_clients(build, tree, clients, per_client):
    exporter = Exporter(build + "/tools/sanperf_exporter/sanperf_exporter", tree)
    conn = exporter.connection()
    before = metric(scrape(conn)[1], "sanperf_exporter_tree_reads_total")
    statuses = []
    lock = threading.Lock()
    barrier = threading.Barrier(clients)

    def client():
        c = exporter.connection()
        barrier.wait()
        for _ in range(per_client):
            status, _ = scrape(c)
            with lock:
                statuses.append(status)

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    reads = metric(scrape(conn)[1], "sanperf_exporter_tree_reads_total") - before - 1
    exporter.stop()
    ok = statuses.count(200)
    print(f"2. {clients} concurrent clients, {len(statuses)} requests: {int(reads)} tree reads, "
          f"ratio {reads / len(statuses):.3f} (target <= 0.25); {ok} answered 200")


def memory_growth(build, tree, count):
    exporter = Exporter(build + "/tools/sanperf_exporter/sanperf_exporter", tree)
    conn = exporter.connection()
    for _ in range(100):
        scrape(conn)
    before = exporter.status("VmRSS")
    start = time.monotonic()
    for _ in range(count):
        if scrape(conn)[0] != 200:
            die("a scrape failed")
    took = time.monotonic() - start
    after = exporter.status("VmRSS")
    exporter.stop()
    print(f"3. {count} scrapes of a 100/100 tree in {took:.0f} s: resident memory "
          f"{before / 1024:.1f} -> {after / 1024:.1f} MiB, growth {(after - before) / 1024:.2f} MiB "
          f"(target <= 2)")


def idle_connections(build, tree, count, snapshot_seconds):
    exporter = Exporter(build + "/tools/sanperf_exporter/sanperf_exporter", tree)
    scrape(exporter.connection())
    idle = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", exporter.port))
        idle.append(s)
    time.sleep(0.5)
    start = time.monotonic()
    status, _ = scrape(exporter.connection())
    took = time.monotonic() - start
    for s in idle:
        s.close()
    exporter.stop()
    print(f"4. {count} idle connections held open: one more scrape answered {status} in "
          f"{took * 1000:.0f} ms (target: within 1 s + one snapshot, "
          f"{(1 + snapshot_seconds) * 1000:.0f} ms)")


def big_tree(build, tree):
    exporter = Exporter(build + "/tools/sanperf_exporter/sanperf_exporter", tree)
    rss_idle = exporter.status("VmHWM")
    conn = exporter.connection()
    start = time.monotonic()
    status, body = scrape(conn)
    took = time.monotonic() - start
    peak = exporter.status("VmHWM")
    # The next body is sized from this one; its peak is the steady state.
    with open(f"/proc/{exporter.process.pid}/clear_refs", "w") as f:
        f.write("5")
    scrape(conn)
    steady = exporter.status("VmHWM")
    exporter.stop()
    print(f"5. 10,000/10,000, one scrape: answered {status} in {took:.2f} s "
          f"(read {metric(body, 'sanperf_scrape_duration_seconds'):.2f} s), body "
          f"{len(body) / 1e6:.0f} MB, peak resident memory {peak / 1024:.0f} MiB "
          f"(at start {rss_idle / 1024:.0f} MiB; during the next scrape {steady / 1024:.0f} MiB)")


def main():
    if len(sys.argv) < 2:
        die("usage: exporter_bench.py BUILD_DIR [--quick]")
    if os.geteuid() != 0:
        die("run as root: the exporter and the snapshot tool read trees in mount namespaces")
    build = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv[2:]
    sim = build + "/tools/sanperf-sim/sanperf-sim"
    work = tempfile.mkdtemp(prefix="sanperf-exporter-bench.")
    try:
        print("sanperf_exporter benchmark" + (" (quick)" if quick else ""), flush=True)
        write_tree(sim, work + "/t1000", 1000)
        write_tree(sim, work + "/t100", 100)
        snapshot = scrape_against_snapshot(build, work + "/t1000", 2 if quick else 6)
        concurrent_clients(build, work + "/t1000", 16, 3 if quick else 10)
        memory_growth(build, work + "/t100", 1000 if quick else 10000)
        idle_connections(build, work + "/t1000", 500, snapshot)
        if not quick:
            shutil.rmtree(work + "/t1000")
            write_tree(sim, work + "/t10000", 10000)
            big_tree(build, work + "/t10000")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
