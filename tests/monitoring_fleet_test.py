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

Usage: monitoring_fleet_test.py EXPORTER SIMULATOR SOURCE_DIR PROMETHEUS_DIR
"""

import os
import re
import sys
import time

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from live_stack import (Failure, Stack, monitoring_files, need, query, rules_in,  # noqa: E402
                        run, wait_until)

EDGE = "edge-1"
UNIT_GAUGE = "sanperf_time_unit_seconds"


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
    rule_files, _ = monitoring_files(source)
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
        stack.prometheus("edge", promdir, {
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
    print(f"fleet: the central server answers all {len(records)} recording rules for 3 "
          f"instances with edge=\"{EDGE}\" ({len(needs_unit)} of them, in seconds, not for the "
          f"instance without a time unit), in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    run(main)
