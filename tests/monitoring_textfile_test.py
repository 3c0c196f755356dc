#!/usr/bin/env python3
"""The textfile route, live: sanstat writes its Prometheus output with the
server's time unit into a directory that a real node_exporter's textfile
collector reads; a real Prometheus scrapes node_exporter under the job
"node", with the mixin's recording rules rendered for that job. The latency
rules, which need sanperf_time_unit_seconds, must give seconds for every
session and disk queue stage.

Usage: monitoring_textfile_test.py SANSTAT SIMULATOR SOURCE_DIR PROMETHEUS_DIR
PROMETHEUS_DIR holds prometheus and prometheus-node-exporter
(scripts/get-from-deb.sh DIR prometheus-node-exporter /usr/bin/prometheus-node-exporter).
"""

import os
import subprocess
import sys
import time
import urllib.request

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from live_stack import Failure, Stack, free_port, need, query, run, wait_until  # noqa: E402

NODE_EXPORTER = "prometheus-node-exporter"
JOB = "node"
SESSIONS = 4
# A microsecond, as given to sanstat with --time-unit us.
UNIT = 1e-6


def rules_for_job(source, job):
    """The mixin's recording rules, their selector set to job."""
    program = ("std.manifestYamlDoc(((import 'mixin.libsonnet') + "
               f"{{ _config+:: {{ sanperfSelector: 'job=\"{job}\"' }} }}).prometheusRules)")
    return subprocess.run(["jsonnet", "-J", os.path.join(source, "monitoring"), "-S", "-e", program],
                          capture_output=True, text=True, check=True).stdout


def serving(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as response:
            return response.status == 200
    except OSError:
        return False


def main():
    sanstat, sim, source = sys.argv[1:4]
    promdir = sys.argv[4] if len(sys.argv) > 4 else ""
    need(promdir, ["prometheus", NODE_EXPORTER])
    started = time.monotonic()
    with Stack() as stack:
        tree = stack.simulator("sim", sim, ["--sessions", str(SESSIONS), "--sockets", "3",
                                            "--interval", "200"])
        textfiles = stack.path("textfiles")
        os.mkdir(textfiles)
        stack.spawn("sanstat", [sanstat, "--root", tree, "--time-unit", "us", "-o", "prometheus",
                                "--write", os.path.join(textfiles, "sanperf.prom"), "1"])
        port = free_port()
        node = stack.spawn("node-exporter", [
            os.path.join(promdir, NODE_EXPORTER), f"--web.listen-address=127.0.0.1:{port}",
            "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=" + textfiles])
        wait_until("node_exporter serving", lambda: stack.alive(node, "node-exporter") and
                   serving(f"http://127.0.0.1:{port}/metrics"), 20)
        prometheus = stack.prometheus("prometheus", promdir, {
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
            "rule_files": [stack.write("rules.yml", rules_for_job(source, JOB))],
            "scrape_configs": [{"job_name": JOB,
                                "static_configs": [{"targets": [f"127.0.0.1:{port}"]}]}],
        })

        unit = wait_until("sanperf_time_unit_seconds through the textfile collector",
                          lambda: query(prometheus, f'sanperf_time_unit_seconds{{job="{JOB}"}}'), 30)
        if float(unit[0]["value"][1]) != UNIT:
            raise Failure(f"sanperf_time_unit_seconds is {unit[0]['value'][1]}, not {UNIT}")

        # Sessions read and write every interval, so each direction has a mean.
        def latencies(name):
            return query(prometheus, f'{name}{{job="{JOB}"}} > 0')

        # The simulator's sessions end and are replaced now and then, and an
        # ended one keeps its means for the 5m window, so count the sessions
        # that have both directions rather than the series.
        def sessions_with_both():
            found = latencies("instance_session_op:sanperf_session_latency_seconds:mean5m")
            ops = {}
            for series in found:
                ops.setdefault(series["metric"]["session"], set()).add(series["metric"]["op"])
            return len([s for s in ops.values() if s == {"read", "write"}]) >= SESSIONS and found
        sessions = wait_until(
            f"a latency in seconds for both directions of {SESSIONS} sessions", sessions_with_both, 60)
        queues = wait_until("a latency in seconds for disk queue stages", lambda: latencies(
            "instance_queue_stage:sanperf_disk_queue_latency_seconds:mean5m"), 30)
    print(f"textfile route: {len(sessions)} session and {len(queues)} disk queue stage latencies "
          f"in seconds from sanstat through node_exporter's textfile collector")
    print(f"monitoring textfile test passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    run(main)
