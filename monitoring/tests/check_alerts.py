#!/usr/bin/env python3
"""Fails when an alert breaks the conventions (name, severity, for, the
annotations, a runbook section behind its link), when an alert has no test
where it fires or none where it stays silent, or when a recording rule has
no test of its values.

Usage: check_alerts.py   (run from anywhere; reads monitoring/)
"""
import re
import sys
from pathlib import Path

import yaml

MONITORING = Path(__file__).resolve().parent.parent
SEVERITIES = {"critical", "warning"}
ANNOTATIONS = ("summary", "description", "runbook_url")


def rules_of(paths):
    for path in paths:
        for group in yaml.safe_load(path.read_text())["groups"]:
            yield from group["rules"]


def tests_of(paths):
    for path in paths:
        yield from yaml.safe_load(path.read_text()).get("tests", [])


def runbook_anchors(text):
    # Markdown renderers turn "## SanperfExporterDown" into #sanperfexporterdown.
    return {re.sub(r"[^a-z0-9_-]", "", h.strip().lower().replace(" ", "-"))
            for h in re.findall(r"^#+ (.*)$", text, re.M)}


def problems(rules, tests, runbooks_text):
    found = []
    anchors = runbook_anchors(runbooks_text)
    fires, silent, tested_exprs = set(), set(), set()
    for test in tests:
        for case in test.get("alert_rule_test", []):
            (fires if case.get("exp_alerts") else silent).add(case["alertname"])
        for case in test.get("promql_expr_test", []):
            if case.get("exp_samples"):
                tested_exprs.add(case["expr"].strip())

    alerts = set()
    for rule in rules:
        if "record" in rule:
            if rule["record"] not in tested_exprs:
                found.append(f"recording rule {rule['record']} has no promql_expr_test with values")
            continue
        name = rule["alert"]
        alerts.add(name)
        if not re.fullmatch(r"Sanperf(?:[A-Z][a-z0-9]*)+", name):
            found.append(f"{name}: not a CamelCase name starting with Sanperf")
        if rule.get("labels", {}).get("severity") not in SEVERITIES:
            found.append(f"{name}: severity label must be one of {sorted(SEVERITIES)}")
        if not re.fullmatch(r"[1-9][0-9]*[smh]", str(rule.get("for", ""))):
            found.append(f"{name}: needs a for: of some seconds, minutes or hours")
        annotations = rule.get("annotations", {})
        for key in ANNOTATIONS:
            if not str(annotations.get(key, "")).strip():
                found.append(f"{name}: no {key} annotation")
        if "$value" not in annotations.get("description", ""):
            found.append(f"{name}: the description does not show the value")
        url = annotations.get("runbook_url", "")
        if "#" not in url or url.split("#", 1)[1] not in anchors:
            found.append(f"{name}: runbook_url {url!r} points at no runbook section")
        if name not in fires:
            found.append(f"{name}: no test where it fires")
        if name not in silent:
            found.append(f"{name}: no test where it stays silent")
    for name in (fires | silent) - alerts:
        found.append(f"tests name {name}, which is no alert")
    return found


def main():
    rules = list(rules_of(sorted((MONITORING / "prometheus").glob("*.yml"))))
    tests = list(tests_of(sorted((MONITORING / "tests").glob("*_test.yml"))))
    found = problems(rules, tests, (MONITORING / "runbooks.md").read_text())
    for p in found:
        print("check_alerts:", p, file=sys.stderr)
    if found:
        sys.exit(1)
    print(f"check_alerts: {len(rules)} rules, all tested and following the conventions")


if __name__ == "__main__":
    main()
