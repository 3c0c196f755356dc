// Alerts, each with a severity, a for: and a runbook link. Each keeps every
// label of the target it fires for, so that Alertmanager routes on site or
// cluster as it does for any other alert.
local n = import 'names.libsonnet';

{
  prometheusAlerts+:: {
    local c = $._config,
    local w = c.window,
    local sel = c.sanperfSelector,
    local rec(l, metric, op) = n.record(l.level, l.prefix, metric, op, w),

    // The runbook's section heading is the alert's name; Markdown renderers
    // make its anchor by lower-casing it.
    local alert(name, expr, forKey, severity, summary, description) = {
      alert: name,
      expr: expr,
      'for': c['for'][forKey],
      labels: { severity: severity },
      annotations: {
        summary: summary,
        description: description,
        runbook_url: '%s#%s' % [c.runbookURL, std.asciiLower(name)],
      },
    },

    // A mean time above threshold while the rate of samples is high enough
    // for the mean to mean something; both recorded series carry the same
    // labels, so they match on all of them.
    local latency(name, l, threshold, forKey, severity, what) = alert(
      name,
      '%s > %g\nand\n%s >= %g\n' % [
        rec(l, 'latency_seconds', 'mean'),
        threshold,
        rec(l, 'samples', 'rate'),
        c.latencyMinRate,
      ],
      forKey,
      severity,
      what + ' on {{ $labels.instance }} is slow.',
      what + ' on {{ $labels.instance }} takes {{ $value | humanizeDuration }} per sample '
      + 'on average over the last %s, above the threshold of %s, at a rate of at least %g per second.'
        % [w, n.durationText(threshold), c.latencyMinRate],
    ),

    groups+: [{
      name: 'sanperf.alerts',
      rules: [
        alert(
          'SanperfExporterDown',
          'up{%s} == 0' % sel,
          'exporterDown',
          'critical',
          'sanperf_exporter on {{ $labels.instance }} cannot be scraped.',
          'Prometheus has failed to scrape sanperf_exporter at {{ $labels.instance }} '
          + "(job {{ $labels.job }}) for %s (up = {{ $value }}): the server's " % n.durationWords(c['for'].exporterDown)
          + 'performance is not being watched, or the server itself is down.',
        ),
        alert(
          'SanperfTreeMissing',
          'sanperf_up{%s} == 0' % sel,
          'treeMissing',
          'critical',
          'The SAN server on {{ $labels.instance }} publishes no statistics.',
          "sanperf_exporter on {{ $labels.instance }} finds none of the statistics tree's "
          + "directories (sanperf_up = {{ $value }}) for %s: the SAN server's kernel side " % n.durationWords(c['for'].treeMissing)
          + 'is not running, or the exporter reads the wrong root.',
        ),
        // Outages shorter than SanperfTreeMissing's for: would each reset
        // it; counting the comings and goings sees them however short.
        alert(
          'SanperfTreeFlapping',
          'changes(sanperf_up{%s}[%s]) >= %d' % [sel, c.treeFlapWindow, c.treeFlapChanges],
          'treeFlapping',
          'critical',
          'The statistics tree on {{ $labels.instance }} keeps vanishing.',
          'sanperf_exporter on {{ $labels.instance }} has seen the statistics tree vanish or '
          + "come back {{ $value }} times in the last %s: the SAN server's kernel side " % n.durationWords(c.treeFlapWindow)
          + 'keeps restarting or losing its tree, and outages too short for '
          + 'SanperfTreeMissing go unreported.',
        ),
        alert(
          'SanperfTimeUnitUnknown',
          'sanperf_up{%(sel)s} == 1\nunless\nsanperf_time_unit_seconds{%(sel)s}\n' % { sel: sel },
          'timeUnitUnknown',
          'warning',
          'Latency on {{ $labels.instance }} cannot be alerted on: the time unit is not set.',
          'sanperf_exporter on {{ $labels.instance }} reads the tree (sanperf_up = {{ $value }}) '
          + 'but does not know the unit of its times (no sanperf_time_unit_seconds): the '
          + 'server has no latency series, and its latency alerts cannot fire.',
        ),
        // Judged against the scrape timeout, where samples are lost, not the
        // interval: the timeout can be far shorter. Prometheus publishes it
        // with --enable-feature=extra-scrape-metrics; without it the
        // default timeout stands in, or the interval seen in the data where
        // that is shorter, as the timeout never exceeds the interval.
        alert(
          'SanperfScrapeSlow',
          |||
            avg_over_time(scrape_duration_seconds{%(sel)s}[%(w)s])
            >
            %(share)g * (
              scrape_timeout_seconds{%(sel)s}
              or
              clamp_max(%(ws)d / count_over_time(up{%(sel)s}[%(w)s]), %(timeout)g)
            )
          ||| % { sel: sel, w: w, ws: n.seconds(w), share: c.scrapeTimeoutShare, timeout: c.defaultScrapeTimeoutSeconds },
          'scrapeSlow',
          'warning',
          'Scrapes of {{ $labels.instance }} come close to the scrape timeout.',
          'Scrapes of sanperf_exporter on {{ $labels.instance }} take {{ $value | humanizeDuration }} '
          + 'on average over the last %s, more than %g%% of the scrape timeout: ' % [w, c.scrapeTimeoutShare * 100]
          + 'scrapes that reach it are lost, with all their samples.',
        ),
        alert(
          'SanperfCollectorFailed',
          'min_over_time(sanperf_scrape_collector_success{%(sel)s}[%(w)s]) == 0\nunless ignoring (collector)\nsanperf_up{%(sel)s} == 0\n'
          % { sel: sel, w: w },
          'collectorFailed',
          'warning',
          'The {{ $labels.collector }} collector fails on {{ $labels.instance }}.',
          "sanperf_exporter's {{ $labels.collector }} collector on {{ $labels.instance }} "
          + 'has failed in every %s window for %s (lowest success ' % [w, n.durationWords(c['for'].collectorFailed)]
          + '{{ $value }}): its objects are missing from the scrapes while the tree is present.',
        ),
        latency('SanperfDiskQueueLatencyHigh',
                n.queueStage,
                c.diskQueueLatencySeconds,
                'diskQueueLatency',
                'warning',
                'Disk queue {{ $labels.queue }}, stage {{ $labels.stage }},'),
        // One slow session is one client's trouble: a warning. All sessions
        // of a server slow together is the server's, and pages.
        latency('SanperfSessionLatencyHigh',
                n.sessionOp,
                c.sessionLatencySeconds,
                'sessionLatency',
                'warning',
                'Session {{ $labels.session }} ({{ $labels.op }})'),
        latency('SanperfServerLatencyHigh',
                { level: 'instance', prefix: 'sanperf_session' },
                c.serverSessionLatencySeconds,
                'serverLatency',
                'critical',
                'Session I/O, all sessions together,'),
        // The busiest socket where the exporter publishes every socket; the
        // average socket where it sums them (--collector.sockets.aggregate),
        // which cannot single one out. The average never exceeds the
        // busiest, so the second half adds only aggregating targets.
        alert(
          'SanperfSocketBackpressure',
          |||
            max without (socket) (rate(sanperf_socket_samples_total{%(sel)s, %(slots)s}[%(w)s]))
            > %(rate)g
            or
            %(slot)s{%(slots)s}
            / ignoring (slot) group_left ()
            instance:sanperf_sockets:count
            > %(rate)g
          ||| % { sel: sel, slots: n.waitSlots, w: w, rate: c.socketWaitRate, slot: rec(n.slot, 'samples', 'rate') },
          'socketBackpressure',
          'warning',
          'Sockets on {{ $labels.instance }} keep waiting ({{ $labels.slot }}).',
          'A socket on {{ $labels.instance }} enters {{ $labels.slot }} {{ $value | humanize }} '
          + 'times per second on average over the last %s, above %g (the busiest socket; ' % [w, c.socketWaitRate]
          + 'the average socket where the exporter aggregates sockets): the server is held '
          + 'back by its clients or its disks.',
        ),
      ],
    }],
  },
}
