#!/usr/bin/env python3
"""The fleet path, live: an edge Prometheus scrapes three exporters (three
simulated servers), evaluates every recording rule in monitoring/ and
remote-writes everything to a central Prometheus started with
--web.enable-remote-write-receiver. The central server must then answer
every recording rule for all three instances, each series carrying the
edge's external label.

The three exporters learn the time unit three ways: --time-unit, the
SANPERF_TIME_UNIT variable, and not at all. Rules built on
sanperf_time_unit_seconds (latencies in seconds) must be there for the first
two and absent for the third: never in a wrong unit.

Federation, the lighter way to the same view: a third Prometheus federates
from the edge only what docs/fleet.md says to federate, and every query of
the fleet dashboard must return data from it.

Usage: monitoring_fleet_test.py EXPORTER SIMULATOR SOURCE_DIR PROMETHEUS_DIR
"""

import json
import os
import re
import sys
import time

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from dashboard_queries import queries_return_data  # noqa: E402
from live_stack import (Failure, Stack, monitoring_files, need, query, rules_in,  # noqa: E402
                        run, wait_until)

EDGE = "edge-1"
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


def main():
    exporter_program, sim, source = sys.argv[1:4]
    promdir = sys.argv[4] if len(sys.argv) > 4 else ""
    need(promdir, ["prometheus"])
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
        edge = stack.prometheus("edge", promdir, {
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s",
                       "external_labels": {"edge": EDGE}},
            "rule_files": rule_files,
            "scrape_configs": [{"job_name": "sanperf", "static_configs": [
                {"targets": list(instances.values())}]}],
            "remote_write": [{"url": central + "/api/v1/write",
                              "queue_config": {"batch_send_deadline": "1s",
                                               "min_backoff": "100ms"}}],
        })

        def expected(name):
            ways_present = [w for w in ways if w != "unknown" or name not in needs_unit]
            return {(instances[w], EDGE) for w in ways_present}

        def answered(name):
            found = query(central, f'count by (instance, edge) ({{__name__="{name}"}})')
            return {(s["metric"].get("instance"), s["metric"].get("edge")) for s in found}

        def all_answered():
            return all(answered(name) == expected(name) for name in records)

        try:
            wait_until("the central server answering every recording rule", all_answered, 60)
        except Failure:
            wrong = [f"{name}: got {sorted(answered(name))}, wanted {sorted(expected(name))}"
                     for name in records if answered(name) != expected(name)]
            raise Failure("recording rules on the central server:\n  " + "\n  ".join(wrong))

        federating = stack.prometheus("federating", promdir, {
            "global": {"scrape_interval": "1s"},
            "scrape_configs": [{"job_name": "federate", "honor_labels": True,
                                "metrics_path": "/federate", "params": {"match[]": FEDERATE},
                                "static_configs": [{"targets": [edge.split("//")[1]]}]}],
        })
        queries, panels = queries_return_data(federating, fleet_dashboards, {"all": ".+"}, {}, 30)
    print(f"federation: all {queries} queries of the {panels} panels of {FLEET_DASHBOARD} "
          f"return data from federated series alone")
    print(f"fleet: the central server answers all {len(records)} recording rules for 3 "
          f"instances with edge=\"{EDGE}\" ({len(needs_unit)} of them, in seconds, not for the "
          f"instance without a time unit)")
    print(f"monitoring fleet test passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    run(main)
