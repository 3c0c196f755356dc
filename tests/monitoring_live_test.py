#!/usr/bin/env python3
"""The monitoring content against live servers. A simulated server with
faults (a slow disk queue, a slow session, a socket that keeps waiting for
space, a busy disk queue) is served by two real exporters, one with every
socket's series and one with --collector.sockets.aggregate, both scraped by
a real Prometheus that loads every rule file in monitoring/. Then:

- every query of every dashboard panel, its variables substituted as Grafana
  would and the instance set to each exporter in turn, returns data, unless
  the panel is listed below as legitimately empty for that kind of exporter;
- the slow disk queue raises its latency alert, for that queue alone, and a
  real Alertmanager delivers it to a webhook receiver here with its labels,
  rendered annotations and runbook link.

The alerts are loaded from copies whose `for:` is cut to seconds, evaluated
every second, so the run takes well under a minute.

Usage: monitoring_live_test.py EXPORTER SIMULATOR SOURCE_DIR PROMETHEUS_DIR
PROMETHEUS_DIR holds prometheus (scripts/get-prometheus.sh) and alertmanager
(scripts/get-alertmanager.sh).
"""

import http.server
import json
import os
import sys
import threading
import time

# Nothing written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from dashboard_queries import instance_pattern, queries_return_data  # noqa: E402
from live_stack import (Failure, Stack, http_json, monitoring_files, need, rules_in,  # noqa: E402
                        run, wait_until)

# The two kinds of exporter, by the flags that make them.
EXPORTERS = {"per-socket": [], "aggregate": ["--collector.sockets.aggregate"]}

# Panels that may show nothing for one kind of exporter, by (dashboard uid,
# panel title, kind), with the reason. A panel listed here is still queried,
# and the query must not fail.
PER_SOCKET_ONLY = "an aggregating exporter serves no series of single sockets"
MAY_BE_EMPTY = {
    ("sanperf-server", "Busiest sockets", "aggregate"): PER_SOCKET_ONLY,
    ("sanperf-server", "Slowest sockets", "aggregate"): PER_SOCKET_ONLY,
}

# The faults, and the alert the slow disk queue must raise.
FAULTS = ["disk1_3/handler:slow", "session2:slow", "sock2/wait_for_space:busy", "disk2_0:busy"]
LATENCY_ALERT = "SanperfDiskQueueLatencyHigh"
SLOW_QUEUE = {"queue": "disk1_3", "stage": "handler"}


def check_dashboards(base, dashboards, exporters, seconds):
    instances = {kind: instance_pattern(address) for kind, address in exporters.items()}
    count, panels = queries_return_data(base, dashboards, instances, MAY_BE_EMPTY, seconds)
    print(f"dashboards: {count} queries of {panels} panels in {len(dashboards)} dashboards "
          f"return data for both kinds of exporter, but for {len(MAY_BE_EMPTY)} listed as "
          f"legitimately empty")


def fast_alert_copies(stack, rule_files):
    """The rule files, those with alerts replaced by copies whose alerts wait
    2 s instead of their `for:` and are evaluated every second."""
    import yaml
    loaded = []
    for path in rule_files:
        with open(path) as f:
            content = yaml.safe_load(f)
        alerts = [r for g in content["groups"] for r in g.get("rules") or [] if "alert" in r]
        if not alerts:
            loaded.append(path)
            continue
        for group in content["groups"]:
            group["interval"] = "1s"
        for rule in alerts:
            if "for" in rule:
                rule["for"] = "2s"
        loaded.append(stack.write("fast-" + os.path.basename(path), content))
    return loaded


class Webhook(http.server.ThreadingHTTPServer):
    """Alertmanager's webhook receiver: keeps every alert delivered."""

    def __init__(self):
        self.alerts = []
        self.lock = threading.Lock()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with outer.lock:
                    outer.alerts.extend(json.loads(body).get("alerts", []))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def named(self, name):
        with self.lock:
            return [a for a in self.alerts if a["labels"].get("alertname") == name]


def check_alert(webhook, alertmanager, exporter, rule_files):
    rule = next((r for _, _, r in rules_in(rule_files) if r.get("alert") == LATENCY_ALERT), None)
    if rule is None:
        raise Failure(f"no alert {LATENCY_ALERT} in the rule files")
    def from_exporter():
        return [a for a in webhook.named(LATENCY_ALERT) if a["labels"].get("instance") == exporter]
    alert = wait_until(f"{LATENCY_ALERT} delivered by Alertmanager", from_exporter, 60)[0]
    # Only the slow queue's stage is slow; every other one keeps to
    # milliseconds and stays silent.
    for other in webhook.named(LATENCY_ALERT):
        labels = other["labels"]
        if {k: labels.get(k) for k in SLOW_QUEUE} != SLOW_QUEUE:
            raise Failure(f"{LATENCY_ALERT} for a queue without a fault: {labels}")
    labels, annotations = alert["labels"], alert["annotations"]
    expected = {"job": "sanperf", "instance": exporter, **SLOW_QUEUE, **rule.get("labels", {})}
    wrong = {k: (labels.get(k), v) for k, v in expected.items() if labels.get(k) != v}
    if wrong or alert.get("status") != "firing":
        raise Failure(f"delivered alert (got, wanted): {wrong}, status {alert.get('status')}")
    if annotations.get("runbook_url") != rule["annotations"]["runbook_url"]:
        raise Failure(f"runbook_url {annotations.get('runbook_url')!r}, the rule says "
                      f"{rule['annotations']['runbook_url']!r}")
    if "#" not in annotations["runbook_url"]:
        raise Failure(f"runbook_url without an anchor: {annotations['runbook_url']}")
    for name in ("summary", "description"):
        text = annotations.get(name, "")
        if not text or "{{" in text or "disk1_3" not in text:
            raise Failure(f"{name} not rendered for the queue: {text!r}")

    # Alertmanager itself holds it as active.
    held = [a for a in http_json(alertmanager + "/api/v2/alerts")
            if a["labels"].get("alertname") == LATENCY_ALERT]
    if not any(a["status"]["state"] == "active" for a in held):
        raise Failure(f"Alertmanager's API does not list {LATENCY_ALERT} as active: {held}")
    print(f"alert: {LATENCY_ALERT} for {SLOW_QUEUE['queue']}/{SLOW_QUEUE['stage']} delivered "
          f"with severity={labels.get('severity')} and runbook {annotations['runbook_url']}")


def main():
    exporter_program, sim, source = sys.argv[1:4]
    promdir = sys.argv[4] if len(sys.argv) > 4 else ""
    need(promdir, ["prometheus", "alertmanager"])
    rule_files, dashboards = monitoring_files(source)
    started = time.monotonic()
    with Stack() as stack:
        webhook = Webhook()
        try:
            fault_args = [a for f in FAULTS for a in ("--fault", f)]
            tree = stack.simulator("sim", sim, ["--sessions", "6", "--sockets", "4",
                                                "--interval", "200", *fault_args])
            exporters = {kind: stack.exporter(f"exporter-{kind}", exporter_program, tree,
                                              ["--time-unit=us", *flags])
                         for kind, flags in EXPORTERS.items()}
            alertmanager = stack.alertmanager("alertmanager", promdir, {
                "route": {"receiver": "test", "group_by": ["..."], "group_wait": "1s",
                          "group_interval": "1s", "repeat_interval": "1h"},
                "receivers": [{"name": "test", "webhook_configs": [
                    {"url": f"http://127.0.0.1:{webhook.server_address[1]}/",
                     "send_resolved": False}]}],
            })
            prometheus = stack.prometheus("prometheus", promdir, {
                "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                "rule_files": fast_alert_copies(stack, rule_files),
                "alerting": {"alertmanagers": [
                    {"static_configs": [{"targets": [alertmanager.split("//")[1]]}]}]},
                "scrape_configs": [{"job_name": "sanperf",
                                    "static_configs": [{"targets": list(exporters.values())}]}],
            })
            check_dashboards(prometheus, dashboards, exporters, 45)
            check_alert(webhook, alertmanager, exporters["per-socket"], rule_files)
        finally:
            webhook.shutdown()
    print(f"monitoring live test passed in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    run(main)
