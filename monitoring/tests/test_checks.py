"""The alert checker and the dashboard lint catch what they are for: each
case breaks one rule of a shipped file and expects that rule's complaint."""
import copy
import json
import unittest
from pathlib import Path

import yaml

import check_alerts
import lint_dashboards

MONITORING = Path(__file__).resolve().parent.parent


def load_alerts():
    return list(check_alerts.rules_of([MONITORING / "prometheus/sanperf.alerts.yml"]))


def rule_tests():
    return list(check_alerts.tests_of(sorted((MONITORING / "tests").glob("*_test.yml"))))


RUNBOOKS = (MONITORING / "runbooks.md").read_text()


class AlertCheckerTest(unittest.TestCase):
    def complaints(self, alerts, tests):
        return "\n".join(check_alerts.problems(alerts, tests, RUNBOOKS))

    def test_shipped_alerts_pass(self):
        self.assertEqual(check_alerts.problems(load_alerts(), rule_tests(), RUNBOOKS), [])

    def test_conventions(self):
        broken = load_alerts()
        del broken[0]["labels"]["severity"]
        del broken[1]["annotations"]["runbook_url"]
        broken[2]["annotations"]["description"] = "no value here"
        del broken[3]["for"]
        broken[4]["alert"] = "sanperf_disk_slow"
        broken[5]["annotations"]["runbook_url"] = "https://example/runbooks.md#nosuchsection"
        out = self.complaints(broken, rule_tests())
        for expected in ("severity label", "no runbook_url", "does not show the value",
                         "needs a for:", "not a CamelCase name",
                         "points at no runbook section"):
            self.assertIn(expected, out)

    def test_untested_alerts_and_rules(self):
        tests = rule_tests()
        for test in tests:
            test["alert_rule_test"] = [c for c in test.get("alert_rule_test", [])
                                       if not (c["alertname"] == "SanperfTreeMissing"
                                               and c["exp_alerts"])
                                       and not (c["alertname"] == "SanperfScrapeSlow"
                                                and not c["exp_alerts"])]
        rules = load_alerts() + [{"record": "instance:untested:rate5m", "expr": "1"}]
        out = self.complaints(rules, tests)
        self.assertIn("SanperfTreeMissing: no test where it fires", out)
        self.assertIn("SanperfScrapeSlow: no test where it stays silent", out)
        self.assertIn("instance:untested:rate5m has no promql_expr_test", out)


class DashboardLintTest(unittest.TestCase):
    def setUp(self):
        self.dashboard = json.loads((MONITORING / "dashboards/sanperf-server.json").read_text())

    def complaints(self, dashboard):
        return "\n".join(lint_dashboards.dashboard_problems(dashboard))

    def first_panel(self, dashboard):
        return next(p for p in dashboard["panels"] if p["type"] != "row")

    def test_shipped_dashboards_pass(self):
        for path in (MONITORING / "dashboards").glob("*.json"):
            self.assertEqual(lint_dashboards.dashboard_problems(json.loads(path.read_text())), [],
                             path.name)

    def test_dashboard_rules(self):
        d = copy.deepcopy(self.dashboard)
        d["__inputs"] = [{"name": "DS_PROMETHEUS"}]
        d["schemaVersion"] = 16
        d["templating"]["list"] = [v for v in d["templating"]["list"] if v["name"] != "datasource"]
        next(v for v in d["templating"]["list"] if v["name"] == "job")["allValue"] = None
        panel = self.first_panel(d)
        panel["type"] = "graph"
        del panel["fieldConfig"]["defaults"]["unit"]
        panel["description"] = ""
        panel["datasource"] = {"type": "prometheus", "uid": "prometheus"}
        d["links"] = []
        stat = next(p for p in d["panels"] if p["type"] == "stat")
        del stat["fieldConfig"]["defaults"]["thresholds"]
        table = next(p for p in d["panels"] if p["type"] == "table" and
                     p["transformations"][0]["id"] == "organize")
        del table["transformations"][0]["options"]["excludeByName"]["__name__"]
        graph = next(p for p in d["panels"] if "topk(" in p.get("targets", [{}])[0].get("expr", "")
                     and p["type"] == "timeseries")
        graph["targets"][0]["expr"] = graph["targets"][0]["expr"].replace(" @ end()", "")
        out = self.complaints(d)
        for expected in ("import placeholders", "schemaVersion", "no datasource variable",
                         "variable job", "type 'graph'", "no unit", "no description",
                         "does not use the datasource variable", "no links",
                         "a stat without thresholds", "raw Time and __name__",
                         "topk ranks at every step"):
            self.assertIn(expected, out)

    def test_query_rules(self):
        cases = {
            # a counter read raw
            'sum(sanperf_session_samples_total{job=~"$job", instance=~"$instance"})':
                "read outside rate() or increase()",
            # a fixed window
            'rate(sanperf_session_samples_total{job=~"$job", instance=~"$instance"}[5m])':
                "range [5m]",
            # a matcher missing
            'rate(sanperf_session_samples_total{job=~"$job"}[$__rate_interval])':
                'lacks the matcher instance=~"$instance"',
            # a bare metric on the right of a join
            'sanperf_up{job=~"$job", instance=~"$instance"} * on (job, instance) sanperf_time_unit_seconds':
                "sanperf_time_unit_seconds has no job and instance matchers",
        }
        for expr, expected in cases.items():
            with self.subTest(expr=expr):
                self.assertIn(expected, "\n".join(lint_dashboards.query_problems(expr)))
        # Label names in grouping clauses, strings, functions and keywords
        # are no metrics.
        self.assertEqual(lint_dashboards.query_problems(
            'topk($top, sum by (job, instance, disk) (label_replace(rate(sanperf_disk_queue_samples_total'
            '{job=~"$job", instance=~"$instance"}[$__rate_interval]), "disk", "$1", "queue", "(disk[0-9]+)_.*")))'
            ' > 0 or vector(0)'), [])


if __name__ == "__main__":
    unittest.main()
