// The settings of the rules, alerts and dashboards. Override any of them
// where the mixin is imported:
//   (import 'sanperf-mixin/mixin.libsonnet') + { _config+:: { sanperfSelector: 'job="san"' } }
{
  _config+:: {
    // Selects the exporter's targets wherever a rule, an alert or a
    // dashboard reads a scraped series.
    sanperfSelector: 'job="sanperf"',

    // Window of every recording rule's rate, and of the alerts built on
    // them; the recorded names carry it (rate5m, mean5m).
    window: '5m',

    // Where the runbooks are published; each alert links to its section.
    runbookURL: 'https://sanperf.dev/monitoring/runbooks.md',

    // Mean time per sample, in seconds, above which a disk queue stage, a
    // session direction or all sessions of a server together count as slow.
    diskQueueLatencySeconds: 0.1,
    sessionLatencySeconds: 0.25,
    serverSessionLatencySeconds: 0.25,

    // Samples per second below which the latency alerts stay silent, so that
    // one slow sample on an idle queue or session raises nothing.
    latencyMinRate: 1,

    // Waits per second for space or for data of the busiest socket (the
    // average socket where the exporter aggregates sockets) above which
    // the server counts as held back.
    socketWaitRate: 1000,

    // Share of the scrape timeout a scrape may take, on average, before it
    // counts as slow. The timeout is Prometheus' scrape_timeout_seconds
    // (--enable-feature=extra-scrape-metrics); without it, the smaller of
    // defaultScrapeTimeoutSeconds and the scrape interval seen in the data.
    scrapeTimeoutShare: 0.8,
    defaultScrapeTimeoutSeconds: 10,

    // A tree that appears or vanishes this many times within the window
    // flaps, however short each outage.
    treeFlapChanges: 4,
    treeFlapWindow: '30m',

    // How long each condition must hold before its alert fires.
    'for': {
      exporterDown: '5m',
      treeMissing: '5m',
      treeFlapping: '5m',
      timeUnitUnknown: '15m',
      scrapeSlow: '15m',
      collectorFailed: '10m',
      diskQueueLatency: '10m',
      sessionLatency: '10m',
      serverLatency: '10m',
      socketBackpressure: '15m',
    },

    // The dashboards' default number of series in their top-N panels.
    dashboardTop: '10',
  },
}
