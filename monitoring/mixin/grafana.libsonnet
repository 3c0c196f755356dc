// Builds Grafana dashboards: panels laid out left to right in rows of 24
// columns, queries on the datasource variable, and the job, instance and
// top-N variables every sanperf dashboard has.
{
  datasource:: { type: 'prometheus', uid: '${datasource}' },
  schemaVersion:: 39,

  row(title):: { type: 'row', title: title, collapsed: false, panels: [] },

  // One panel w columns wide and h rows high; place it with layout().
  panel(kind, title, description, unit, targets, w=12, h=8):: {
    type: kind,
    title: title,
    description: description,
    datasource: $.datasource,
    gridPos: { w: w, h: h },
    fieldConfig: { defaults: { unit: unit }, overrides: [] },
    targets: [
      targets[i] { datasource: $.datasource, refId: std.char(std.codepoint('A') + i) }
      for i in std.range(0, std.length(targets) - 1)
    ],
    [if kind == 'timeseries' then 'options']: {
      legend: { displayMode: 'table', placement: 'right', calcs: ['mean', 'max'] },
      tooltip: { mode: 'multi', sort: 'desc' },
    },
  },

  // A stat coloured by thresholds: base below the first step, then each
  // step's colour from its value up.
  stat(title, description, unit, targets, steps, base='green', w=4, h=4)::
    $.panel('stat', title, description, unit, targets, w, h) {
      fieldConfig+: { defaults+: {
        color: { mode: 'thresholds' },
        thresholds: { mode: 'absolute', steps: [{ color: base, value: null }] + [
          { color: s[1], value: s[0] }
          for s in steps
        ] },
      } },
    },

  // A table of one instant query whose value column is called valueName,
  // without the time and metric name columns.
  table(title, description, unit, expr, valueName, w=12, h=8)::
    $.panel('table', title, description, unit, [$.instant(expr)], w, h) {
      transformations: [{ id: 'organize', options: {
        excludeByName: { Time: true, __name__: true },
        renameByName: { Value: valueName },
      } }],
    },

  // A link on every value of a panel to another dashboard, for the job and
  // instance of that value (field is how the panel names them: a label of a
  // series, or a table column).
  linkTo(uid, title, field):: {
    fieldConfig+: { defaults+: { links: [{
      title: title,
      url: '/d/%s?var-datasource=${datasource}&var-job=%s&var-instance=%s&${__url_time_range}'
           % [uid, field('job'), field('instance')],
    }] } },
  },
  seriesLabel(name):: '${__field.labels.%s}' % name,
  tableColumn(name):: '${__data.fields.%s}' % name,

  ts(expr, legend):: { expr: expr, legendFormat: legend, range: true },
  instant(expr):: { expr: expr, format: 'table', instant: true, range: false },

  // The series of the top n of series(at) at the end of the range, over the
  // whole range, rather than whichever were in the top n at each step.
  // series(at) must add at to each selector.
  topN(series):: '%s\nand\ntopk($top, %s)' % [series(''), series(' @ end()')],

  // Grid positions and ids: each panel right of the one before, a new line
  // when the row is full and at each row title.
  layout(items)::
    local step(state, p) =
      local id = std.length(state.out) + 1;
      if p.type == 'row' then
        local y = if state.x > 0 then state.y + state.height else state.y;
        state { x: 0, y: y + 1, height: 0, out+: [p { id: id, gridPos: { h: 1, w: 24, x: 0, y: y } }] }
      else
        local wrap = state.x + p.gridPos.w > 24;
        local x = if wrap then 0 else state.x;
        local y = if wrap then state.y + state.height else state.y;
        state {
          x: x + p.gridPos.w,
          y: y,
          height: std.max(if wrap then 0 else state.height, p.gridPos.h),
          out+: [p { id: id, gridPos+: { x: x, y: y } }],
        };
    std.foldl(step, items, { x: 0, y: 0, height: 0, out: [] }).out,

  dashboard(uid, title, description, jobs, top, links, items):: {
    local queryVariable(name, query) = {
      name: name,
      label: name,
      type: 'query',
      datasource: $.datasource,
      query: { query: query, refId: name },
      definition: query,
      refresh: 2,
      sort: 1,
      multi: true,
      includeAll: true,
      allValue: '.+',
      current: { selected: true, text: ['All'], value: ['$__all'] },
    },
    local tops = ['5', '10', '20', '50'],
    uid: uid,
    title: title,
    description: description,
    tags: ['sanperf'],
    schemaVersion: $.schemaVersion,
    version: 1,
    editable: true,
    graphTooltip: 1,
    time: { from: 'now-1h', to: 'now' },
    refresh: '1m',
    timezone: '',
    links: links,
    annotations: { list: [] },
    templating: { list: [
      { name: 'datasource', label: 'Data source', type: 'datasource', query: 'prometheus', current: {}, hide: 0 },
      queryVariable('job', 'label_values(%s, job)' % jobs),
      queryVariable('instance', 'label_values(sanperf_up{job=~"$job"}, instance)'),
      {
        name: 'top',
        label: 'Top N',
        type: 'custom',
        query: std.join(',', tops),
        current: { selected: true, text: top, value: top },
        options: [{ selected: v == top, text: v, value: v } for v in tops],
      },
    ] },
    panels: $.layout(items),
  },
}
