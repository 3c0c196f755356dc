// What the rules, the alerts and the dashboards share: the levels of the
// recorded series, their names, and the join that turns server units into
// seconds.
{
  // The levels: the labels each keeps beside the target's own, and the
  // exporter's metric prefix.
  queueStage: { level: 'instance_queue_stage', labels: ['queue', 'stage'], prefix: 'sanperf_disk_queue' },
  diskStage: { level: 'instance_disk_stage', labels: ['disk', 'stage'], prefix: 'sanperf_disk_queue' },
  sessionOp: { level: 'instance_session_op', labels: ['session', 'op'], prefix: 'sanperf_session' },
  socket: { level: 'instance_socket', labels: ['socket'], prefix: 'sanperf_socket' },
  slot: { level: 'instance_slot', labels: ['slot'], prefix: 'sanperf_socket' },

  // level:metric:operation, operation being rate or mean and the window.
  record(level, prefix, metric, op, window):: '%s:%s_%s:%s%s' % [level, prefix, metric, op, window],

  // The slots where a socket waits for its peer.
  waitSlots: 'slot=~"wait_for_space|wait_until_data_available"',

  // Multiplies a mean in server units, whose series carry objectLabels
  // beside the target's labels, by the target's seconds per unit. Matching
  // on every label but the object's keeps each target to its own unit, so
  // a target scraped twice under two label sets (two series of the unit
  // for one job and instance) still finds one unit per series. A target
  // without a unit gets no series rather than a wrong one.
  inSeconds(objectLabels, unit)::
    '* ignoring (%s) group_left () %s' % [std.join(', ', objectLabels), unit],

  // Seconds in a Prometheus duration such as 30s, 5m or 1h.
  seconds(duration)::
    local unit = duration[std.length(duration) - 1];
    std.parseInt(duration[:std.length(duration) - 1]) * { s: 1, m: 60, h: 3600 }[unit],

  // A Prometheus duration in words: 5m reads as 5 minutes.
  durationWords(duration)::
    local count = std.parseInt(duration[:std.length(duration) - 1]);
    local word = { s: 'second', m: 'minute', h: 'hour' }[duration[std.length(duration) - 1]];
    '%d %s%s' % [count, word, if count == 1 then '' else 's'],

  // A threshold in seconds as an alert's text shows it: 250ms, 2s.
  durationText(seconds)::
    if seconds < 1 then '%gms' % (seconds * 1000) else '%gs' % seconds,
}
