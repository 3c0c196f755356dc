#!/usr/bin/env python3
"""The fleet path, live: an edge Prometheus scrapes three exporters (three
simulated servers), evaluates every recording rule in monitoring/ and
remote-writes everything to two receivers: a central Prometheus started
with --web.enable-remote-write-receiver, and a real VictoriaMetrics, the
long-term store docs/fleet.md recommends. Both must then answer every
recording rule for all three instances, each series carrying the edge's
external label, and VictoriaMetrics every query of the fleet dashboard for
each instance, through its Prometheus-compatible API.

The three exporters learn the time unit three ways: --time-unit, the
SANPERF_TIME_UNIT variable, and not at all. Rules built on
sanperf_time_unit_seconds (latencies in seconds) must be there for the first
two and absent for the third: never in a wrong unit.

Federation, the lighter way to the same view: a third Prometheus federates
from the edge only what docs/fleet.md says to federate, and every query of
the fleet dashboard must return data from it.

The edge runs with --enable-feature=extra-scrape-metrics, which
SanperfScrapeSlow reads the scrape timeout from.

Usage: monitoring_fleet_test.py EXPORTER SIMULATOR SOURCE_DIR PROMETHEUS_DIR
PROMETHEUS_DIR holds prometheus and victoria-metrics (scripts/get-from-deb.sh).
"""

import json
import os
import re
import sys
import time
import urllib.request

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from dashboard_queries import dashboard_queries, instance_pattern, queries_return_data  # noqa: E402
from live_stack import (Failure, Stack, free_port, monitoring_files, need, query,  # noqa: E402
                        rules_in, run, wait_until)

EDGE = "edge-1"
VICTORIA_METRICS = "victoria-metrics"
# Fleet panels that show latency, empty for the server without a time unit.
LATENCY_PANELS = ("Slowest servers by session latency", "Slowest servers by disk queue latency")
UNIT_GAUGE = "sanperf_time_unit_seconds"
# The dashboard that must work on federated series alone, and what
# docs/fleet.md federates for it.
FLEET_DASHBOARD = "sanperf-fleet"
FEDERATE = ['{__name__=~"instance(_[a-z_]+)?:sanperf_.+"}',
            '{__name__=~"up|scrape_duration_seconds|sanperf_up|ALERTS", job="sanperf"}']


def uses(expr, name):
    return re.search(r"(?<![\w:])" + re.escape(name) + r"(?![\w:])", expr) is not None


def unit_dependent(records):
    """The recorded names whose expression needs the time unit gauge, itself
    or through other recorded names."""
    dependent = set()
    changed = True
    while changed:
        changed = False
        for name, expr in records.items():
            if name not in dependent and any(uses(expr, n) for n in {UNIT_GAUGE, *dependent}):
                dependent.add(name)
                changed = True
    return dependent


def victoria_metrics(stack, directory):
    """A single-node VictoriaMetrics; returns its base URL once it is
    healthy. Queries see data a second after it arrives, not the default
    30 s, as the test waits for the freshest samples."""
    port = free_port()
    p = stack.spawn("victoria-metrics", [
        os.path.join(directory, VICTORIA_METRICS), "-storageDataPath=" + stack.path("vm-data"),
        f"-httpListenAddr=127.0.0.1:{port}", "-search.latencyOffset=1s", "-search.disableCache",
        "-loggerLevel=WARN"])
    base = f"http://127.0.0.1:{port}"

    def healthy():
        stack.alive(p, "victoria-metrics")
        try:
            with urllib.request.urlopen(base + "/health", timeout=2) as response:
                return response.status == 200
        except OSError:
            return False
    wait_until("victoria-metrics healthy", healthy, 30)
    return base


def fleet_queries_answered(base, dashboards, instances, seconds):
    """Every query of the fleet dashboard returns data for each instance
    (latency panels but for the one without a time unit), and every series
    that names an instance carries the edge label. Returns the number of
    queries run."""
    deadline = time.monotonic() + seconds
    problems, count = [], 0
    for way, address in instances.items():
        for path in dashboards:
            for _, title, expr in dashboard_queries(path, instance_pattern(address)):
                count += 1
                if way == "unknown" and title in LATENCY_PANELS:
                    query(base, expr)
                    continue
                while not (result := query(base, expr)) and time.monotonic() < deadline:
                    time.sleep(0.5)
                if not result:
                    problems.append(f"{title} ({way}): nothing for {expr}")
                for sample in result:
                    labels = sample["metric"]
                    if "instance" in labels and labels.get("edge") != EDGE:
                        problems.append(f"{title} ({way}): no edge label on {labels}")
    if problems:
        raise Failure("fleet dashboard on VictoriaMetrics:\n  " + "\n  ".join(problems))
    return count


def main():
    exporter_program, sim, source = sys.argv[1:4]
    promdir = sys.argv[4] if len(sys.argv) > 4 else ""
    need(promdir, ["prometheus", VICTORIA_METRICS])
    rule_files, dashboards = monitoring_files(source)
    fleet_dashboards = []
    for path in dashboards:
        with open(path) as f:
            if json.load(f).get("uid") == FLEET_DASHBOARD:
                fleet_dashboards.append(path)
    if not fleet_dashboards:
        raise Failure(f"no dashboard with uid {FLEET_DASHBOARD}")
    records = {}
    for _, _, rule in rules_in(rule_files):
        if "record" in rule:
            records[rule["record"]] = rule["expr"]
    if not records:
        raise Failure("no recording rules in the rule files")
    needs_unit = unit_dependent(records)
    started = time.monotonic()

    with Stack() as stack:
        ways = {"flag": (["--time-unit=us"], None), "variable": ([], {"SANPERF_TIME_UNIT": "us"}),
                "unknown": ([], {"SANPERF_TIME_UNIT": ""})}
        instances = {}
        for seed, (way, (args, env)) in enumerate(ways.items(), start=1):
            tree = stack.simulator(f"sim-{way}", sim, ["--sessions", "4", "--sockets", "3",
                                                       "--interval", "200", "--seed", str(seed)])
            instances[way] = stack.exporter(f"exporter-{way}", exporter_program, tree, args, env)

        central = stack.prometheus("central", promdir, {"global": {"scrape_interval": "1s"}},
                                   ["--web.enable-remote-write-receiver"])
        store = victoria_metrics(stack, promdir)
        queue = {"batch_send_deadline": "1s", "min_backoff": "100ms"}
        edge = stack.prometheus("edge", promdir, {
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s",
                       "external_labels": {"edge": EDGE}},
            "rule_files": rule_files,
            "scrape_configs": [{"job_name": "sanperf", "static_configs": [
                {"targets": list(instances.values())}]}],
            "remote_write": [{"url": receiver + "/api/v1/write", "queue_config": queue}
                             for receiver in (central, store)],
        }, ["--enable-feature=extra-scrape-metrics"])

        def expected(name):
            ways_present = [w for w in ways if w != "unknown" or name not in needs_unit]
            return {(instances[w], EDGE) for w in ways_present}

        def answered(base, name):
            found = query(base, f'count by (instance, edge) ({{__name__="{name}"}})')
            return {(s["metric"].get("instance"), s["metric"].get("edge")) for s in found}

        for receiver, base in (("the central Prometheus", central), ("VictoriaMetrics", store)):
            try:
                wait_until(f"{receiver} answering every recording rule", lambda: all(
                    answered(base, name) == expected(name) for name in records), 60)
            except Failure:
                wrong = [f"{name}: got {sorted(answered(base, name))}, wanted {sorted(expected(name))}"
                         for name in records if answered(base, name) != expected(name)]
                raise Failure(f"recording rules on {receiver}:\n  " + "\n  ".join(wrong))
        timeouts = query(central, 'scrape_timeout_seconds{job="sanperf"}')
        if len(timeouts) != len(instances):
            raise Failure(f"scrape_timeout_seconds for {len(timeouts)} of {len(instances)} targets")
        fleet_queries = fleet_queries_answered(store, fleet_dashboards, instances, 30)

        federating = stack.prometheus("federating", promdir, {
            "global": {"scrape_interval": "1s"},
            "scrape_configs": [{"job_name": "federate", "honor_labels": True,
                                "metrics_path": "/federate", "params": {"match[]": FEDERATE},
                                "static_configs": [{"targets": [edge.split("//")[1]]}]}],
        })
        queries, panels = queries_return_data(federating, fleet_dashboards, {"all": ".+"}, {}, 30)
    print(f"federation: all {queries} queries of the {panels} panels of {FLEET_DASHBOARD} "
          f"return data from federated series alone")
    print(f"fleet: the central Prometheus and VictoriaMetrics answer all {len(records)} "
          f"recording rules for 3 instances with edge=\"{EDGE}\" ({len(needs_unit)} of them, in "
          f"seconds, not for the instance without a time unit)")
    print(f"victoria-metrics: {fleet_queries} queries of {FLEET_DASHBOARD}, run for each instance, "
          f"return data carrying the edge label")
    print(f"monitoring fleet test passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    run(main)
