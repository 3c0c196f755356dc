"""The mixin's settings reach what it renders: overriding _config (another
job selector, another threshold and for: of one alert) changes the rules,
alerts and dashboards exactly where those settings are used, and nowhere
else."""
import json
import subprocess
import unittest
from pathlib import Path

MONITORING = Path(__file__).resolve().parent.parent
SELECTOR = 'job="sanperf"'
NEW_SELECTOR = 'job="san", site="lab"'
OVERRIDE = """{ _config+:: {
  sanperfSelector: 'job="san", site="lab"',
  sessionLatencySeconds: 0.5,
  'for'+: { sessionLatency: '30m' },
} }"""


def render(override):
    """The mixin's three outputs, as JSON, as they are and with override
    added to the mixin, from one run of jsonnet."""
    program = ("local outputs(m) = { rules: m.prometheusRules, alerts: m.prometheusAlerts, "
               "dashboards: m.grafanaDashboards };\n"
               "local mixin = import 'mixin.libsonnet';\n"
               f"{{ default: outputs(mixin), changed: outputs(mixin + {override}) }}")
    run = subprocess.run(["jsonnet", "-J", str(MONITORING), "-e", program],
                         capture_output=True, text=True, check=True)
    out = json.loads(run.stdout)
    return out["default"], out["changed"]


def rules(doc):
    return [r for g in doc["groups"] for r in g["rules"]]


class ConfigOverrideTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.default, cls.changed = render(OVERRIDE)

    def test_selector_reaches_every_rule_and_alert(self):
        for part in ("rules", "alerts"):
            for old, new in zip(rules(self.default[part]), rules(self.changed[part])):
                name = old.get("record") or old["alert"]
                with self.subTest(name):
                    self.assertNotIn(SELECTOR, new["expr"])
                    expected = old["expr"].replace(SELECTOR, NEW_SELECTOR)
                    if name == "SanperfSessionLatencyHigh":
                        expected = expected.replace("> 0.25", "> 0.5")
                    self.assertEqual(new["expr"], expected)

    def test_threshold_and_for_change_one_alert(self):
        old = {r["alert"]: r for r in rules(self.default["alerts"])}
        new = {r["alert"]: r for r in rules(self.changed["alerts"])}
        for name in old:
            with self.subTest(name):
                if name == "SanperfSessionLatencyHigh":
                    self.assertEqual(new[name]["for"], "30m")
                    self.assertIn("threshold of 500ms", new[name]["annotations"]["description"])
                else:
                    self.assertEqual(new[name]["for"], old[name]["for"])
                    self.assertEqual(new[name]["annotations"], old[name]["annotations"])
                    self.assertEqual(new[name]["labels"], old[name]["labels"])
        # The server-wide alert has a threshold of its own.
        self.assertIn("> 0.25", new["SanperfServerLatencyHigh"]["expr"])

    def test_dashboards_follow(self):
        server = self.changed["dashboards"]["sanperf-server.json"]
        job = next(v for v in server["templating"]["list"] if v["name"] == "job")
        self.assertEqual(job["definition"], f"label_values(sanperf_up{{{NEW_SELECTOR}}}, job)")
        worst = next(p for p in server["panels"] if p["title"] == "Worst session latency")
        steps = worst["fieldConfig"]["defaults"]["thresholds"]["steps"]
        self.assertEqual([s["value"] for s in steps], [None, 0.5])


if __name__ == "__main__":
    unittest.main()
