#!/usr/bin/env python3
"""Lints Grafana dashboards for portability and for queries that work on
any selection: a datasource variable and no import placeholders, job and
instance variables that select everything as .+, current panel types, a
title, description and unit on every panel, thresholds on every stat,
tables without raw Time and __name__ columns, graphs ranking their top N
at the end of the range, links to the other dashboards, and queries that use the
datasource variable, carry job and instance matchers on every selector,
take rates over $__rate_interval and read counters only through rate or
increase. With --promtool, promtool also parses every query, its variables
filled in.

Usage: lint_dashboards.py [--promtool PROMTOOL] DASHBOARD.json...
"""
import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

PANEL_TYPES = {"timeseries", "stat", "table"}
MIN_SCHEMA_VERSION = 36
DATASOURCE_UIDS = {"$datasource", "${datasource}"}
MATCHERS = ('job=~"$job"', 'instance=~"$instance"')
# What a query's variables become when promtool parses it.
SUBSTITUTES = {"$__rate_interval": "1m", "$job": ".+", "$instance": ".+", "$top": "10"}

IDENT = r"[A-Za-z_:][A-Za-z0-9_:]*"
# Words of PromQL that are followed by neither a selector nor "(".
KEYWORDS = {"and", "or", "unless", "bool", "offset", "inf", "nan"}


def strip_strings(expr):
    return re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)


def query_problems(expr):
    """What is wrong with one panel query."""
    found = []
    # Selectors with matchers, checked on the original text.
    for m in re.finditer(rf"({IDENT})\s*\{{([^}}]*)\}}", expr):
        name, matchers = m.group(1), m.group(2)
        for want in MATCHERS:
            if want not in matchers:
                found.append(f"{name} lacks the matcher {want}")
        if name.endswith("_total"):
            before = expr[:m.start()].rstrip()
            if not re.search(r"\b(rate|increase)\s*\($", before):
                found.append(f"{name} is read outside rate() or increase()")
    for window in re.findall(r"\[([^\]]*)\]", strip_strings(expr)):
        if window != "$__rate_interval":
            found.append(f"range [{window}] instead of [$__rate_interval]")

    # Whatever identifier is left once selectors, grouping clauses, function
    # calls and keywords are taken away is a metric without matchers.
    bare = strip_strings(expr)
    bare = re.sub(rf"{IDENT}\s*\{{[^}}]*\}}", " ", bare)
    bare = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", " ", bare)
    bare = re.sub(r"\[[^\]]*\]", " ", bare)
    for m in re.finditer(rf"(?<![\w$:.]){IDENT}", bare):
        word = m.group(0)
        rest = bare[m.end():].lstrip()
        if rest.startswith("(") or word.lower() in KEYWORDS:
            continue
        if re.fullmatch(r"[0-9eE]+", word):
            continue
        found.append(f"{word} has no job and instance matchers")
    return found


def panels_of(dashboard):
    for panel in dashboard.get("panels", []):
        yield panel
        yield from panel.get("panels", [])  # panels inside collapsed rows


def readable_columns(panel):
    """A table either regroups its values (groupingToMatrix) or hides the
    columns every instant query brings along."""
    for t in panel.get("transformations", []):
        hidden = t.get("options", {}).get("excludeByName", {})
        if t.get("id") == "groupingToMatrix" or \
                (t.get("id") == "organize" and hidden.get("Time") and hidden.get("__name__")):
            return True
    return False


def dashboard_problems(dashboard):
    found = []
    text = json.dumps(dashboard)
    if "__inputs" in dashboard or "${DS_" in text:
        found.append("import placeholders (__inputs or ${DS_...}) break file provisioning")
    if not re.fullmatch(r"[A-Za-z0-9_-]{1,40}", str(dashboard.get("uid", ""))):
        found.append("no stable uid")
    if not isinstance(dashboard.get("schemaVersion"), int) or \
            dashboard["schemaVersion"] < MIN_SCHEMA_VERSION:
        found.append(f"schemaVersion below {MIN_SCHEMA_VERSION}")

    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    ds = variables.get("datasource")
    if not ds or ds.get("type") != "datasource" or ds.get("query") != "prometheus":
        found.append("no datasource variable of type datasource for Prometheus")
    for name in ("job", "instance"):
        v = variables.get(name)
        if not v or not v.get("multi") or not v.get("includeAll") or v.get("allValue") != ".+":
            found.append(f"variable {name} must be multi-select with an All value of .+")

    if not dashboard.get("links"):
        found.append("no links to the other dashboards")

    ids = set()
    for panel in panels_of(dashboard):
        if panel.get("type") == "row":
            continue
        title = panel.get("title", "").strip()
        where = f"panel {title or panel.get('id')!r}"
        if panel.get("id") in ids:
            found.append(f"{where}: id {panel.get('id')} is used twice")
        ids.add(panel.get("id"))
        if panel.get("type") not in PANEL_TYPES:
            found.append(f"{where}: type {panel.get('type')!r} is not one of {sorted(PANEL_TYPES)}")
        if not title:
            found.append(f"{where}: no title")
        if not panel.get("description", "").strip():
            found.append(f"{where}: no description")
        if not panel.get("fieldConfig", {}).get("defaults", {}).get("unit"):
            found.append(f"{where}: no unit")
        if panel.get("datasource", {}).get("uid") not in DATASOURCE_UIDS:
            found.append(f"{where}: does not use the datasource variable")
        defaults = panel.get("fieldConfig", {}).get("defaults", {})
        if panel.get("type") == "stat" and not defaults.get("thresholds", {}).get("steps"):
            found.append(f"{where}: a stat without thresholds")
        if panel.get("type") == "table" and not readable_columns(panel):
            found.append(f"{where}: a table that shows the raw Time and __name__ columns")
        targets = panel.get("targets", [])
        if not targets:
            found.append(f"{where}: no query")
        for target in targets:
            if target.get("datasource", {}).get("uid") not in DATASOURCE_UIDS:
                found.append(f"{where}: a query does not use the datasource variable")
            for p in query_problems(target.get("expr", "")):
                found.append(f"{where}: {p}")
            # topk at each step of a graph shows every series that was ever
            # in the top N; ranking at the end of the range shows N.
            if panel.get("type") == "timeseries" and "topk(" in target.get("expr", "") \
                    and "@ end()" not in target["expr"]:
                found.append(f"{where}: topk ranks at every step, not @ end()")
    return found


def queries_of(dashboard):
    for panel in panels_of(dashboard):
        for target in panel.get("targets", []):
            yield panel.get("title", ""), target.get("expr", "")


def substitute(expr):
    for var, value in SUBSTITUTES.items():
        expr = expr.replace(var, value)
    return expr


def promtool_problems(promtool, queries):
    """Lets promtool parse every query, as the expression of a rule."""
    rules = [{"record": f"panel:query:{i}", "expr": substitute(expr)}
             for i, (_, expr) in enumerate(queries)]
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as f:
        json.dump({"groups": [{"name": "dashboard", "rules": rules}]}, f)
        f.flush()
        run = subprocess.run([promtool, "check", "rules", f.name],
                             capture_output=True, text=True)
    return [] if run.returncode == 0 else [f"promtool rejects a query:\n{run.stdout}{run.stderr}"]


def main(argv):
    promtool = None
    if argv[:1] == ["--promtool"]:
        promtool, argv = argv[1], argv[2:]
    if not argv:
        sys.exit(__doc__)
    failed = False
    for path in argv:
        dashboard = json.loads(Path(path).read_text())
        found = dashboard_problems(dashboard)
        if promtool:
            found += promtool_problems(promtool, list(queries_of(dashboard)))
        for p in found:
            print(f"{path}: {p}", file=sys.stderr)
        failed |= bool(found)
        if not found:
            print(f"{path}: clean")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(sys.argv[1:])
