// The Grafana dashboards: one server (or a few) in depth from the raw
// series, and the fleet from the recording rules alone.
local g = import 'grafana.libsonnet';
local n = import 'names.libsonnet';

local M = 'job=~"$job", instance=~"$instance"';
local RI = '$__rate_interval';

// A selector of the chosen jobs and instances; at is '' or ' @ end()'.
local sel(metric, extra='', at='') =
  '%s{%s%s}%s' % [metric, M, if extra == '' then '' else ', ' + extra, at];
local rate(metric, extra='', at='') =
  'rate(%s{%s%s}[%s]%s)' % [metric, M, if extra == '' then '' else ', ' + extra, RI, at];

// The target's seconds per unit, one per job and instance even where a
// target is scraped under two label sets.
local unit(at='') = 'max by (job, instance) (%s)' % sel('sanperf_time_unit_seconds', at=at);

// Mean time per sample in seconds of the objects grouped by `by`; wrap may
// add labels to the rates before they are summed.
local meanSeconds(prefix, by, wrap=function(e) e, at='') =
  'sum by (%(by)s) (%(time)s)\n/\n(sum by (%(by)s) (%(samples)s) > 0)\n* on (job, instance) group_left () %(unit)s' % {
    by: by,
    time: wrap(rate(prefix + '_time_total', at=at)),
    samples: wrap(rate(prefix + '_samples_total', at=at)),
    unit: unit(at),
  };

// Per slot, summed over sockets: from every socket's series, or from the
// sums of an exporter that aggregates sockets.
local slotSum(metric, by='job, instance, slot') =
  'sum by (%(by)s) (%(one)s)\nor\nsum by (%(by)s) (%(all)s)' % {
    by: by,
    one: rate('sanperf_socket_' + metric),
    all: rate('sanperf_sockets_' + metric),
  };

local latencyNote = " In seconds where the exporter knows the server's time unit "
                    + '(--time-unit or SANPERF_TIME_UNIT); empty for servers whose unit is not set.';

// Disk queues are named diskD_Q.
local withDisk(e) = 'label_replace(%s, "disk", "$1", "queue", "(disk[0-9]+)_[0-9]+")' % e;
local splitQueue(e) = 'label_replace(%s,\n  "queue_number", "$1", "queue", "disk[0-9]+_([0-9]+)")' % withDisk(e);

// One row per disk, one column per queue number, each cell coloured by its
// value: a heat view of the 4 x 8 grid.
local heatTable(title, description, unit, expr) =
  g.panel('table', title, description, unit, [g.instant(expr)]) {
    transformations: [
      { id: 'groupingToMatrix', options: { columnField: 'queue_number', rowField: 'disk', valueField: 'Value' } },
      { id: 'organize', options: { renameByName: { 'disk\\queue_number': 'disk' } } },
    ],
    fieldConfig+: { defaults+: {
      color: { mode: 'continuous-GrYlRd' },
      custom: { cellOptions: { type: 'color-background' } },
    } },
  };

local others = [{
  title: 'sanperf dashboards',
  type: 'dashboards',
  tags: ['sanperf'],
  asDropdown: false,
  includeVars: true,
  keepTime: true,
}];

{
  grafanaDashboards+:: {
    local c = $._config,
    local jobs = 'sanperf_up{%s}' % c.sanperfSelector,

    'sanperf-server.json': g.dashboard(
      'sanperf-server',
      'sanperf / SAN server',
      'One SAN server or a few: its disk queues, sessions and sockets as read by '
      + "sanperf_exporter, and the exporter's own health.",
      jobs,
      c.dashboardTop,
      others,
      [
        g.row('Overview'),
        g.stat('Exporters up', 'Targets of the selected jobs that Prometheus scraped successfully '
                               + 'at the last scrape.', 'none', [g.ts('sum(%s)' % sel('up'), 'up')], [], base='blue'),
        g.stat('Trees present',
               "Exporters that find the server's statistics tree (sanperf_up = 1).",
               'none',
               [g.ts('sum(%s)' % sel('sanperf_up'), 'present')],
               [],
               base='blue'),
        g.stat('Sessions',
               'Sessions the selected servers publish now.',
               'none',
               [g.ts('count(%s)' % sel('sanperf_session_lba'), 'sessions')],
               [],
               base='blue'),
        g.stat('Sockets',
               'Sockets the selected servers publish now, counted per socket or taken '
               + 'from sanperf_sockets when the exporter aggregates sockets.',
               'none',
               [g.ts('count(count by (job, instance, socket) (%s))\nor\nsum(%s)'
                     % [sel('sanperf_socket_max_time'), sel('sanperf_sockets')], 'sockets')],
               [],
               base='blue'),
        g.stat('Worst session latency',
               'The highest mean time per read or write of any session over '
               + 'the rate interval; red from the threshold of SanperfSessionLatencyHigh.' + latencyNote,
               's',
               [g.ts('max(%s)' % meanSeconds('sanperf_session', 'job, instance, session, op'), 'worst')],
               [[c.sessionLatencySeconds, 'red']]),
        g.stat('Worst disk queue latency',
               'The highest mean time per sample of any disk queue stage '
               + 'over the rate interval; red from the threshold of SanperfDiskQueueLatencyHigh.'
               + latencyNote,
               's',
               [g.ts('max(%s)' % meanSeconds('sanperf_disk_queue', 'job, instance, queue, stage'), 'worst')],
               [[c.diskQueueLatencySeconds, 'red']]),
        g.panel('timeseries', 'Sample rate by kind', 'Samples per second of all disk queues, all '
                                                     + 'sessions and all socket slots of each selected server.', 'ops', [
          g.ts('sum by (job, instance) (%s)' % rate('sanperf_disk_queue_samples_total'), '{{instance}} disk queues'),
          g.ts('sum by (job, instance) (%s)' % rate('sanperf_session_samples_total'), '{{instance}} sessions'),
          g.ts(slotSum('samples_total', 'job, instance'), '{{instance}} sockets'),
        ], w=24),

        g.row('Disk queues'),
        heatTable('Disk queue sample rate, disk × queue',
                  'Samples per second of each of the 4 × 8 '
                  + 'queues, both stages together, summed over the selected servers: one row per '
                  + 'disk, one column per queue.',
                  'ops',
                  'sum by (disk, queue_number) (%s)' % splitQueue(rate('sanperf_disk_queue_samples_total'))),
        heatTable('Disk queue mean time, disk × queue',
                  'Mean time per sample of each of the 4 × 8 '
                  + 'queues, both stages together; the worst selected server per cell.' + latencyNote,
                  's',
                  'max by (disk, queue_number) (%s)'
                  % splitQueue(meanSeconds('sanperf_disk_queue', 'job, instance, queue'))),
        g.panel('timeseries',
                'Disk mean time per stage',
                "Mean time per sample of each disk's "
                + 'handler and processing stages, its eight queues together.' + latencyNote,
                's',
                [g.ts(meanSeconds('sanperf_disk_queue', 'job, instance, disk, stage', withDisk),
                      '{{instance}} {{disk}} {{stage}}')]),
        g.panel('timeseries',
                'Slowest disk queue stages',
                'The $top disk queue stages with the '
                + 'highest mean time per sample at the end of the range.' + latencyNote,
                's',
                [g.ts(g.topN(function(at) meanSeconds('sanperf_disk_queue', 'job, instance, queue, stage', at=at)),
                      '{{instance}} {{queue}} {{stage}}')]),
        g.table('Disk queue high-water marks',
                'max_num_active: the most requests each queue has '
                + 'had active at once since the server started (it never falls).',
                'none',
                'topk($top, %s)' % sel('sanperf_disk_queue_max_num_active'),
                'most active',
                w=24),

        g.row('Top sessions and sockets'),
        g.panel('timeseries',
                'Busiest sessions',
                'The $top sessions with the most reads and writes '
                + 'per second at the end of the range.',
                'ops',
                [g.ts(g.topN(function(at) 'sum by (job, instance, session) (%s)'
                                          % rate('sanperf_session_samples_total', at=at)),
                      '{{instance}} session {{session}}')]),
        g.panel('timeseries',
                'Slowest sessions',
                'The $top session directions with the highest mean '
                + 'time per read or write at the end of the range.' + latencyNote,
                's',
                [g.ts(g.topN(function(at) meanSeconds('sanperf_session', 'job, instance, session, op', at=at)),
                      '{{instance}} session {{session}} {{op}}')]),
        g.panel('timeseries',
                'Busiest sockets',
                'The $top sockets with the most samples per second, '
                + 'all slots together, at the end of the range. Empty when the exporter aggregates '
                + 'sockets.',
                'ops',
                [g.ts(g.topN(function(at) 'sum by (job, instance, socket) (%s)'
                                          % rate('sanperf_socket_samples_total', at=at)),
                      '{{instance}} socket {{socket}}')]),
        g.panel('timeseries',
                'Slowest sockets',
                'The $top sockets with the highest mean time per '
                + 'sample, all slots together, at the end of the range. Empty when the exporter '
                + 'aggregates sockets.' + latencyNote,
                's',
                [g.ts(g.topN(function(at) meanSeconds('sanperf_socket', 'job, instance, socket', at=at)),
                      '{{instance}} socket {{socket}}')]),

        g.row('Socket slots'),
        g.panel('timeseries',
                'Socket slot sample rate',
                'Samples per second of each of the twelve '
                + 'socket slots, summed over all sockets.',
                'ops',
                [g.ts(slotSum('samples_total'), '{{instance}} {{slot}}')]),
        g.panel('timeseries',
                'Socket slot mean time',
                'Mean time per sample of each socket slot, '
                + 'over all sockets together.' + latencyNote,
                's',
                [g.ts('(%s)\n/\n((%s) > 0)\n* on (job, instance) group_left () %s'
                      % [slotSum('time_total'), slotSum('samples_total'), unit()], '{{instance}} {{slot}}')]),
        g.panel('timeseries',
                'Waits of the busiest socket',
                'How often the busiest socket waits '
                + 'for space or for data, per second: the measure of the backpressure alert. Where '
                + 'the exporter aggregates sockets, the average socket.',
                'ops',
                [g.ts('max by (job, instance, slot) (%s)\nor\nsum by (job, instance, slot) (%s)\n'
                      % [
                        rate('sanperf_socket_samples_total', n.waitSlots),
                        rate('sanperf_sockets_samples_total', n.waitSlots),
                      ]
                      + '/ on (job, instance) group_left ()\nmax by (job, instance) (%s)' % sel('sanperf_sockets'),
                      '{{instance}} {{slot}}')],
                w=24),

        g.row('Exporter health'),
        g.panel('timeseries', 'Scrape duration', "How long Prometheus' scrapes of the exporter take, "
                                                 + "and how long the exporter's read of the tree behind each takes.", 's', [
          g.ts(sel('scrape_duration_seconds'), '{{instance}} scrape'),
          g.ts(sel('sanperf_scrape_duration_seconds'), '{{instance}} tree read'),
        ], w=8),
        g.panel('timeseries',
                'Collector success',
                '1 when a collector of the exporter read its '
                + 'objects at the last scrape, 0 when it failed.',
                'bool',
                [g.ts(sel('sanperf_scrape_collector_success'), '{{instance}} {{collector}}')],
                w=8),
        g.panel('timeseries',
                'Responses by status code',
                'HTTP responses the exporter sends per '
                + 'second, by status code.',
                'reqps',
                [g.ts('sum by (job, instance, code) (%s)' % rate('sanperf_exporter_requests_total'),
                      '{{instance}} {{code}}')],
                w=8),
        g.panel('timeseries',
                'Tree reads',
                'Reads of the tree per second; concurrent scrapes share '
                + 'one read.',
                'ops',
                [g.ts('sum by (job, instance) (%s)' % rate('sanperf_exporter_tree_reads_total'),
                      '{{instance}}')],
                w=8),
        g.panel('timeseries',
                'Exporter memory',
                'Resident memory of the exporter process.',
                'bytes',
                [g.ts(sel('process_resident_memory_bytes'), '{{instance}}')],
                w=8),
        g.stat('Time unit',
               'Seconds per time unit of the server, as configured for the exporter. '
               + 'No data means the unit is not set, and the latency panels stay empty.',
               's',
               [g.ts(sel('sanperf_time_unit_seconds'), '{{instance}}')],
               [],
               base='blue',
               w=8,
               h=8),
      ],
    ),

    'sanperf-fleet.json':
      local rec(l, metric, op, extra='', at='') = sel(n.record(l.level, l.prefix, metric, op, c.window), extra, at);
      local instance = { level: 'instance' };
      local firing = 'alertname=~"Sanperf.*", alertstate="firing"';
      local toServer(field) = g.linkTo('sanperf-server', 'Open ' + field('instance') + ' in sanperf / SAN server', field);
      // Every query keeps the target's labels (an edge's, a site's), so
      // that servers of the same name behind two edges stay apart.
      g.dashboard(
        'sanperf-fleet',
        'sanperf / fleet',
        'Many SAN servers at once, from the recording rules only, so that it stays quick over a '
        + 'thousand servers; each server links to sanperf / SAN server.',
        jobs,
        c.dashboardTop,
        others,
        [
          g.row('Fleet'),
          g.stat('Exporters scraped',
                 'Targets scraped successfully at the last scrape.',
                 'none',
                 [g.ts('count(%s == 1) or vector(0)' % sel('up'), 'up')],
                 [],
                 base='blue',
                 w=6),
          g.stat('Exporters down',
                 'Targets Prometheus failed to scrape at the last scrape; red from '
                 + 'one, as SanperfExporterDown fires after a while.',
                 'none',
                 [g.ts('count(%s == 0) or vector(0)' % sel('up'), 'down')],
                 [[1, 'red']],
                 w=6),
          g.stat('Trees missing',
                 'Exporters that find no statistics tree; red from one, as '
                 + 'SanperfTreeMissing fires after a while.',
                 'none',
                 [g.ts('count(%s == 0) or vector(0)' % sel('sanperf_up'), 'missing')],
                 [[1, 'red']],
                 w=6),
          g.stat('Firing alerts',
                 'sanperf alerts firing now on the selected servers.',
                 'none',
                 [g.ts('count(%s) or vector(0)' % sel('ALERTS', firing), 'firing')],
                 [[1, 'red']],
                 w=6),
          g.panel('timeseries', 'Fleet sample rate by kind', 'Samples per second over all selected '
                                                             + 'servers, from the recording rules.', 'ops', [
            g.ts('sum(%s)' % rec(instance { prefix: p[0] }, 'samples', 'rate'), p[1])
            for p in [['sanperf_disk_queue', 'disk queues'], ['sanperf_session', 'sessions'], ['sanperf_socket', 'sockets']]
          ], w=24),
          g.table('Slowest servers by session latency',
                  'The $top servers whose slowest session '
                  + 'direction has the highest mean time per operation; red from the threshold of '
                  + 'SanperfSessionLatencyHigh.' + latencyNote,
                  's',
                  'topk($top, max without (session, op) (%s))' % rec(n.sessionOp, 'latency_seconds', 'mean'),
                  'slowest session') + toServer(g.tableColumn) + {
            fieldConfig+: { defaults+: { thresholds: { mode: 'absolute', steps: [
              { color: 'green', value: null },
              { color: 'red', value: c.sessionLatencySeconds },
            ] } } },
          },
          g.table('Slowest servers by disk queue latency',
                  'The $top servers whose slowest disk queue '
                  + 'stage has the highest mean time per sample; red from the threshold of '
                  + 'SanperfDiskQueueLatencyHigh.' + latencyNote,
                  's',
                  'topk($top, max without (queue, stage) (%s))' % rec(n.queueStage, 'latency_seconds', 'mean'),
                  'slowest disk queue stage') + toServer(g.tableColumn) + {
            fieldConfig+: { defaults+: { thresholds: { mode: 'absolute', steps: [
              { color: 'green', value: null },
              { color: 'red', value: c.diskQueueLatencySeconds },
            ] } } },
          },
          g.panel('timeseries',
                  'Busiest servers',
                  'The $top servers with the most session reads and '
                  + 'writes per second at the end of the range.',
                  'ops',
                  [g.ts(g.topN(function(at) rec(instance { prefix: 'sanperf_session' }, 'samples', 'rate', at=at)),
                        '{{instance}}')]) + toServer(g.seriesLabel),
          g.panel('timeseries',
                  'Most socket waits',
                  'The $top servers and wait slots with the most '
                  + 'waits per socket per second at the end of the range.',
                  'ops',
                  [g.ts(g.topN(function(at) '%s\n/ ignoring (slot) group_left ()\n%s'
                                            % [
                                              rec(n.slot, 'samples', 'rate', n.waitSlots, at),
                                              sel('instance:sanperf_sockets:count', at=at),
                                            ]),
                        '{{instance}} {{slot}}')]) + toServer(g.seriesLabel),
          g.panel('timeseries',
                  'Slowest scrapes',
                  'The $top targets with the longest scrapes at the '
                  + 'end of the range.',
                  's',
                  [g.ts(g.topN(function(at) sel('scrape_duration_seconds', at=at)), '{{instance}}')])
          + toServer(g.seriesLabel),
          g.panel('timeseries',
                  'Servers by session count',
                  'The $top servers with the most sessions '
                  + 'at the end of the range.',
                  'none',
                  [g.ts(g.topN(function(at) sel('instance:sanperf_sessions:count', at=at)), '{{instance}}')])
          + toServer(g.seriesLabel),
        ],
      ),
  },
}
