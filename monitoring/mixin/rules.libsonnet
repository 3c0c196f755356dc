// Recording rules: sample and time rates per object, per disk, per slot and
// per server, and the mean time per sample in seconds. Every rule keeps all
// of the target's labels (site, cluster, ...): it aggregates away only the
// object labels it names, so alerts built on it route like the target.
local n = import 'names.libsonnet';

{
  prometheusRules+:: {
    local c = $._config,
    local w = c.window,
    local sel = c.sanperfSelector,
    local unit = 'sanperf_time_unit_seconds{%s}' % sel,
    local rate(metric, extra='') =
      'rate(%s{%s%s}[%s])' % [metric, sel, if extra == '' then '' else ', ' + extra, w],
    local name(level, metric, op) = n.record(level.level, level.prefix, metric, op, w),

    // The samples and time rates of a level (rates: their two expressions),
    // and its mean: the rate of time
    // over the rate of samples, the mean of the window's own samples. A
    // level without samples has no mean rather than NaN.
    local level(l, rates) = [
      { record: name(l, 'samples', 'rate'), expr: rates[0] },
      { record: name(l, 'time', 'rate'), expr: rates[1] },
      {
        record: name(l, 'latency_seconds', 'mean'),
        expr: '%s\n/\n(%s > 0)\n%s\n' % [
          name(l, 'time', 'rate'),
          name(l, 'samples', 'rate'),
          n.inSeconds(l.labels, unit),
        ],
      },
    ],
    local both(f) = [f('samples'), f('time')],

    // A server's total of one kind of object, from the level below.
    local total(prefix, from) = level(
      { level: 'instance', labels: [], prefix: prefix },
      both(function(m) 'sum without (%s) (%s)' % [std.join(', ', from.labels), name(from, m, 'rate')])
    ),

    groups+: [{
      name: 'sanperf.rules',
      rules:
        level(n.queueStage, both(function(m) rate('sanperf_disk_queue_%s_total' % m)))
        // Queues are named diskD_Q; a disk sums its queues' rates, so its
        // mean weighs every sample alike.
        + level(n.diskStage, both(function(m) |||
          sum without (queue) (
            label_replace(%s, "disk", "$1", "queue", "(disk[0-9]+)_[0-9]+")
          )
        ||| % name(n.queueStage, m, 'rate')))
        + level(n.sessionOp, both(function(m) rate('sanperf_session_%s_total' % m)))
        + level(n.socket, both(function(m) 'sum without (slot) (%s)' % rate('sanperf_socket_%s_total' % m)))
        // Summed over sockets; an exporter run with
        // --collector.sockets.aggregate exports the sums itself.
        + level(n.slot, both(function(m) 'sum without (socket) (%s)\nor\n%s\n' % [
          rate('sanperf_socket_%s_total' % m),
          rate('sanperf_sockets_%s_total' % m),
        ]))
        + total('sanperf_disk_queue', n.queueStage)
        + total('sanperf_session', n.sessionOp)
        + total('sanperf_socket', n.slot)
        + [
          {
            record: 'instance:sanperf_sessions:count',
            expr: 'count without (session) (sanperf_session_lba{%s})' % sel,
          },
          {
            record: 'instance:sanperf_sockets:count',
            expr: |||
              count without (socket) (count without (slot) (sanperf_socket_max_time{%(sel)s}))
              or
              sanperf_sockets{%(sel)s}
            ||| % { sel: sel },
          },
        ],
    }],
  },
}
