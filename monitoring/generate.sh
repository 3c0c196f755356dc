#!/usr/bin/env bash
# Renders the mixin (mixin.libsonnet, with the settings of config.libsonnet)
# into the files Prometheus and Grafana read: the rules and alerts in
# prometheus/, the dashboards in dashboards/. Needs Debian's jsonnet.
#
# Usage: generate.sh          rewrite the rendered files
#        generate.sh --check  exit 1, with the differences, when one is not current
#        generate.sh DIR      render into DIR instead (DIR/prometheus, DIR/dashboards)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
header="# Generated from monitoring/mixin.libsonnet by monitoring/generate.sh; do not edit."

# render DIR: writes the rendered files under DIR.
render() {
  mkdir -p "$1/prometheus" "$1/dashboards"
  for part in rules alerts; do
    field=prometheus${part^}
    { echo "$header"
      # Every expression as a block of lines, the way people write them.
      jsonnet -J "$here" -S -e "local doc = (import 'mixin.libsonnet').$field;
        std.manifestYamlDoc(doc { groups: [g { rules: [
          r { expr: std.rstripChars(r.expr, '\\n') + '\\n' } for r in g.rules
        ] } for g in doc.groups ] }, indent_array_in_object=true, quote_keys=false)"
    } >"$1/prometheus/sanperf.$part.yml"
  done
  jsonnet -J "$here" -m "$1/dashboards" -e "(import 'mixin.libsonnet').grafanaDashboards" >/dev/null
}

case "${1:-}" in
  "") render "$here" ;;
  --check)
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    render "$scratch"
    if ! diff -ru "$here/prometheus" "$scratch/prometheus" ||
      ! diff -ru "$here/dashboards" "$scratch/dashboards"; then
      echo "not current: run monitoring/generate.sh and commit the result" >&2
      exit 1
    fi ;;
  -*) sed -n '8,10s/^# //p' "$0" >&2; exit 2 ;;
  *) render "$1" ;;
esac
