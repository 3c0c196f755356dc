#!/usr/bin/env bash
# The monitoring content's own checks, without a server: the mixin's sources
# are formatted by jsonnetfmt, the files rendered from it are current,
# promtool accepts the rule files and passes their unit tests, every alert is
# tested and follows the conventions, the dashboards pass the lint, and
# _config overrides take effect.
# Usage: monitoring/tests/run.sh PROMTOOL
set -euo pipefail
promtool=$(realpath "${1:?usage: monitoring/tests/run.sh PROMTOOL}")
cd "$(dirname "$0")"

jsonnetfmt --test ../*.libsonnet ../mixin/*.libsonnet ||
  { echo "not formatted: run jsonnetfmt -i monitoring/*.libsonnet monitoring/mixin/*.libsonnet" >&2; exit 1; }
../generate.sh --check
"$promtool" check rules ../prometheus/*.yml
"$promtool" test rules ./*_test.yml
python3 check_alerts.py
python3 lint_dashboards.py --promtool "$promtool" ../dashboards/*.json
python3 -m unittest --quiet test_checks test_mixin
echo "monitoring checks passed"
