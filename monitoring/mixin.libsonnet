// The sanperf monitoring mixin: prometheusRules (recording rules),
// prometheusAlerts and grafanaDashboards, all from the settings in
// config.libsonnet.
(import 'config.libsonnet') +
(import 'mixin/rules.libsonnet') +
(import 'mixin/alerts.libsonnet') +
(import 'mixin/dashboards.libsonnet')
