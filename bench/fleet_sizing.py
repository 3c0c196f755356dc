#!/usr/bin/env python3
"""The figures behind docs/fleet.md, from one run on simulated servers:

  1. Series per object in one scrape of the exporter: the disk queue block,
     one session, one socket, and the socket block with
     --collector.sockets.aggregate; with the exporter's own series.
  2. A real Prometheus loading monitoring/'s rules, scraping one exporter
     every 5 s for 60 s, on an empty tree and on a SESSIONS/SOCKETS tree:
     scrape size, head series, recorded series, and Prometheus' resident
     memory per head series (the difference between the two runs divided by
     the difference in head series).

Usage (as root): fleet_sizing.py BUILD_DIR PROMETHEUS_DIR [SESSIONS SOCKETS]
(default 1000 1000).
"""

import os
import re
import sys
import time
import urllib.request

here = os.path.dirname(os.path.abspath(__file__))
# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(here, "..", "tests", "support"))
from live_stack import Stack, monitoring_files, query, rules_in  # noqa: E402


def get(url):
    with urllib.request.urlopen(url, timeout=60) as response:
        return response.read().decode()


def series(text, prefix=""):
    return sum(1 for line in text.splitlines() if line.startswith(prefix) and not line.startswith("#"))


def gauge(text, name):
    return float(re.search(rf"^{name} (\S+)$", text, re.M).group(1))


def main():
    build, promdir = sys.argv[1:3]
    sessions, sockets = (int(n) for n in sys.argv[3:5]) if len(sys.argv) > 4 else (1000, 1000)
    sim = os.path.join(build, "tools/sanperf-sim/sanperf-sim")
    exporter = os.path.join(build, "tools/sanperf_exporter/sanperf_exporter")
    rule_files, _ = monitoring_files(os.path.join(here, ".."))
    records = [r["record"] for _, _, r in rules_in(rule_files) if "record" in r]

    def exposition(s, k, flags=()):
        with Stack() as stack:
            tree = stack.simulator("sim", sim, ["--sessions", str(s), "--sockets", str(k)])
            address = stack.exporter("exporter", exporter, tree, ["--time-unit=us", *flags])
            return get(f"http://{address}/metrics")

    empty = exposition(0, 0)
    one_each = exposition(1, 1)
    aggregate = exposition(0, 2, ["--collector.sockets.aggregate"])
    print("Series per object, one scrape:")
    print(f"  disk queues, fixed:  {series(empty, 'sanperf_disk_queue_')}")
    print(f"  one session:         {series(one_each, 'sanperf_session_')}")
    print(f"  one socket:          {series(one_each, 'sanperf_socket_')}")
    print(f"  all sockets with --collector.sockets.aggregate: {series(aggregate, 'sanperf_socket')}")
    print(f"  the exporter's own:  {series(empty) - series(empty, 'sanperf_disk_queue_')}")

    print("Prometheus with the recording rules, 60 s at a 5 s scrape interval:")
    figures = []
    for s, k in ((0, 0), (sessions, sockets)):
        with Stack() as stack:
            tree = stack.simulator("sim", sim, ["--sessions", str(s), "--sockets", str(k),
                                                "--interval", "5000"])
            address = stack.exporter("exporter", exporter, tree, ["--time-unit=us"])
            body = len(get(f"http://{address}/metrics"))
            base = stack.prometheus("prometheus", promdir, {
                "global": {"scrape_interval": "5s", "evaluation_interval": "5s"},
                "rule_files": rule_files,
                "scrape_configs": [{"job_name": "sanperf",
                                    "static_configs": [{"targets": [address]}]}],
            })
            time.sleep(60)
            own = get(base + "/metrics")
            head = gauge(own, "prometheus_tsdb_head_series")
            rss = gauge(own, "process_resident_memory_bytes")
            recorded = sum(len(query(base, name)) for name in records)
            figures.append((head, rss))
            print(f"  {s} sessions, {k} sockets: scrape body {body / 1024:.0f} KiB, "
                  f"{head:.0f} head series of which {recorded} recorded, "
                  f"resident {rss / 2**20:.0f} MiB")
    (head0, rss0), (head1, rss1) = figures
    print(f"  resident memory per added head series: {(rss1 - rss0) / (head1 - head0):.0f} bytes")


if __name__ == "__main__":
    main()
