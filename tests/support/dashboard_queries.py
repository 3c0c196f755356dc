"""The queries of Grafana dashboards as Prometheus receives them: template
variables replaced as Grafana would (every value of a query variable, a
custom one's current value, fixed windows for the built-in ones), run
against a live server.
"""

import json
import re
import time

from live_stack import Failure, query

# What $__rate_interval and the other built-in variables stand for here:
# scrapes every second or so.
BUILTINS = {
    "__rate_interval": "10s",
    "__interval": "2s",
    "__interval_ms": "2000",
    "__range": "1m",
    "__range_s": "60",
    "__range_ms": "60000",
}


def variable_values(dashboard):
    """What each template variable stands for: every value of a query
    variable (its all-value, else .+), a custom one's current or first
    option, None for the data source, which queries must not name."""
    values = {}
    for v in dashboard.get("templating", {}).get("list", []):
        kind, name = v.get("type"), v["name"]
        if kind == "datasource":
            values[name] = None
        elif kind == "query":
            values[name] = v.get("allValue") or ".+"
        else:
            current = (v.get("current") or {}).get("value")
            if isinstance(current, list):
                current = current[0] if current else None
            options = [str(o).strip() for o in str(v.get("query", "")).split(",") if str(o).strip()]
            values[name] = current if current not in (None, "", "$__all") else options[0]
    return values


VARIABLE = re.compile(r"\$\{([A-Za-z_]\w*)(?::[^}]*)?\}|\[\[([A-Za-z_]\w*)(?::[^\]]*)?\]\]"
                      r"|\$([A-Za-z_]\w*)")


def substitute(expr, values):
    def one(m):
        name = m.group(1) or m.group(2) or m.group(3)
        if name in BUILTINS:
            return BUILTINS[name]
        if name not in values:
            raise Failure(f"unknown variable ${name} in: {expr}")
        if values[name] is None:
            raise Failure(f"the data source variable ${name} inside a query: {expr}")
        return str(values[name])
    return VARIABLE.sub(one, expr)


def panels_of(panels):
    for p in panels:
        yield p
        yield from panels_of(p.get("panels", []))


def instance_pattern(address):
    """A regular expression matching address alone, as written inside a
    PromQL string (its backslashes doubled)."""
    return re.escape(address).replace("\\", "\\\\")


def dashboard_queries(path, instance):
    """(uid, panel title, query) for every target of every panel, with the
    instance variable set to the pattern instance."""
    with open(path) as f:
        dashboard = json.load(f)
    values = variable_values(dashboard)
    if "instance" not in values:
        raise Failure(f"{path}: no instance variable")
    values["instance"] = instance
    found = []
    for panel in panels_of(dashboard["panels"]):
        for target in panel.get("targets", []):
            if target.get("expr"):
                found.append((dashboard["uid"], panel.get("title", "?"),
                              substitute(target["expr"], values)))
    return found


def queries_return_data(base, dashboards, instances, may_be_empty, seconds):
    """Every panel query returns data for each instance pattern (by kind)
    within seconds of the start, as the first scrapes and rule evaluations
    need a few; may_be_empty lists (uid, panel title, kind) that need not,
    though their queries must still run. Returns the number of queries and
    of panels."""
    deadline = time.monotonic() + seconds
    empty, panels, count = [], set(), 0
    for kind, instance in instances.items():
        for path in dashboards:
            for uid, title, expr in dashboard_queries(path, instance):
                count += 1
                panels.add((uid, title))
                if (uid, title, kind) in may_be_empty:
                    query(base, expr)
                    continue
                while not query(base, expr):
                    if time.monotonic() > deadline:
                        empty.append(f"{uid} / {title} ({kind}): {expr}")
                        break
                    time.sleep(0.5)
    if empty:
        raise Failure("panel queries that return nothing:\n  " + "\n  ".join(empty))
    return count, len(panels)
