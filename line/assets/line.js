// The line's page: fetches /api/v1/line every few seconds and draws it again in place.
// Everything from the record (station names, ports, texts, paths) is put in as text nodes:
// the page never parses markup out of the data.
'use strict';

(function () {
  const REFRESH_MS = 5000;
  // A request that hangs longer than this counts as a lost link; the next one starts anyway.
  const FETCH_GUARD_MS = 15000;
  const STORE_KEY = 'kvr-line.window';
  const DEFAULT_CHOICE = { mode: 'hours', hours: 12, shift: '08:00' };
  const SVG_NS = 'http://www.w3.org/2000/svg';

  const OUTCOMES = {
    success: 'Успешно',
    update_error: 'Ошибка обновления',
    exchange_error: 'Ошибка обмена',
    serial_number_error: 'Серийный номер не записан',
    hardware_incompatible: 'Несовместимое железо',
    program_refused: 'Программа отклонена',
    no_connection: 'Нет соединения',
    stopped: 'Остановлено',
  };
  const LANE_STATES = {
    idle: 'Ожидает',
    updating: 'Обновление',
    held: 'Ждёт серийный номер',
  };

  function has(map, key) {
    return Object.prototype.hasOwnProperty.call(map, key);
  }
  function outcomeLabel(word) {
    return has(OUTCOMES, word) ? OUTCOMES[word] : String(word == null ? '—' : word);
  }
  function laneStateLabel(word) {
    return has(LANE_STATES, word) ? LANE_STATES[word] : String(word == null ? '—' : word);
  }
  function list(value) {
    return Array.isArray(value) ? value : [];
  }
  function obj(value) {
    return value !== null && typeof value === 'object' ? value : {};
  }
  function str(value) {
    return value == null ? '' : String(value);
  }

  // ---- Building the DOM -------------------------------------------------------------------

  function el(tag, props, children) {
    const node = document.createElement(tag);
    setProps(node, props);
    append(node, children);
    return node;
  }
  function svg(tag, props, children) {
    const node = document.createElementNS(SVG_NS, tag);
    setProps(node, props);
    append(node, children);
    return node;
  }
  function setProps(node, props) {
    if (!props) return;
    for (const key of Object.keys(props)) {
      const value = props[key];
      if (value === undefined || value === null || value === false) continue;
      if (key === 'text') node.textContent = String(value);
      else node.setAttribute(key, String(value));
    }
  }
  function append(node, children) {
    if (children == null) return;
    for (const child of Array.isArray(children) ? children : [children]) {
      if (child == null || child === false) continue;
      node.appendChild(typeof child === 'object' ? child : document.createTextNode(String(child)));
    }
  }
  function replaceChildren(node, children) {
    while (node.firstChild) node.removeChild(node.firstChild);
    append(node, children);
  }
  // A figure from the API: its text for people, its key and raw JSON value for machines.
  function figure(tag, key, raw, text, cls) {
    return el(tag, {
      class: cls,
      'data-figure': key,
      'data-raw': JSON.stringify(raw === undefined ? null : raw),
      text: text,
    });
  }

  // ---- Formatting -------------------------------------------------------------------------

  const DASH = '—';
  function isNum(v) {
    return typeof v === 'number' && isFinite(v);
  }
  function fmtInt(v) {
    if (!isNum(v)) return DASH;
    // Thin no-break space between thousands, as Russian texts group them.
    return String(Math.round(v)).replace(/\B(?=(\d{3})+(?!\d))/g, '\u202f');
  }
  function fmtDecimal(v, digits) {
    if (!isNum(v)) return DASH;
    return v.toFixed(digits).replace('.', ',');
  }
  function fmtPercent(v) {
    return isNum(v) ? fmtDecimal(v * 100, 1) + '\u00a0%' : DASH;
  }
  function fmtRate(v) {
    if (!isNum(v)) return DASH;
    return Math.abs(v) >= 100 ? fmtInt(v) : fmtDecimal(v, 1);
  }
  function fmtDuration(seconds) {
    if (!isNum(seconds)) return DASH;
    // Tenths below a minute; 59.96 s is a minute, not "60,0 с".
    if (Math.round(seconds * 10) < 600) return fmtDecimal(seconds, 1) + '\u00a0с';
    const total = Math.round(seconds);
    const h = Math.floor(total / 3600);
    const m = Math.floor((total % 3600) / 60);
    const s = total % 60;
    return h > 0 ? h + ':' + pad(m) + ':' + pad(s) : m + ':' + pad(s);
  }
  function pad(n) {
    return n < 10 ? '0' + n : String(n);
  }
  function parseTime(iso) {
    if (typeof iso !== 'string' || iso === '') return null;
    const d = new Date(iso);
    return isNaN(d.getTime()) ? null : d;
  }
  function sameDay(a, b) {
    return a.getFullYear() === b.getFullYear() && a.getMonth() === b.getMonth() &&
        a.getDate() === b.getDate();
  }
  function fmtClock(d, seconds) {
    const hm = pad(d.getHours()) + ':' + pad(d.getMinutes());
    return seconds ? hm + ':' + pad(d.getSeconds()) : hm;
  }
  function fmtDate(d) {
    return pad(d.getDate()) + '.' + pad(d.getMonth() + 1) + '.' + d.getFullYear();
  }
  // Local time; the date only when it is not the day of `ref` (the line's now).
  function fmtWhen(iso, ref, seconds) {
    const d = parseTime(iso);
    if (!d) return DASH;
    if (ref && sameDay(d, ref)) return fmtClock(d, seconds);
    return fmtDate(d) + ' ' + fmtClock(d, seconds);
  }
  function fmtFull(iso) {
    const d = parseTime(iso);
    return d ? fmtDate(d) + ' ' + fmtClock(d, true) : DASH;
  }
  // A record URL is shown without a password, whatever the server sent.
  function blankPassword(url) {
    return str(url).replace(/^([a-z][a-z0-9+.-]*:\/\/[^/@:]*):[^/@]*@/i, '$1:***@');
  }
  function shortHash(hash) {
    const h = str(hash);
    return h.length > 12 ? h.slice(0, 12) + '…' : h || DASH;
  }

  // ---- The window the supervisor chose ------------------------------------------------------

  function validShift(v) {
    return typeof v === 'string' && /^([01]\d|2[0-3]):[0-5]\d$/.test(v);
  }
  function validHours(v) {
    const n = typeof v === 'number' ? v : Number(v);
    return Number.isInteger(n) && n >= 1 && n <= 720;
  }
  function loadStored() {
    try {
      const s = JSON.parse(window.localStorage.getItem(STORE_KEY) || 'null');
      if (s && (s.mode === 'shift' || s.mode === 'hours')) {
        return {
          mode: s.mode,
          shift: validShift(s.shift) ? s.shift : DEFAULT_CHOICE.shift,
          hours: validHours(s.hours) ? Number(s.hours) : DEFAULT_CHOICE.hours,
        };
      }
    } catch (e) {
      // No storage (a private window, a locked-down browser): the default window.
    }
    return Object.assign({}, DEFAULT_CHOICE);
  }
  function saveStored(choice) {
    try {
      window.localStorage.setItem(STORE_KEY, JSON.stringify(choice));
    } catch (e) {
      // Not remembered, still applied.
    }
  }
  // The page's own ?shift= or ?hours= (a bookmark, a wall screen's start-up URL) wins over
  // what this browser remembers.
  // A value in the address that cannot be used is named in `refused` and the remembered
  // window is shown instead.
  function initialChoice(refused) {
    const choice = loadStored();
    const q = new URLSearchParams(window.location.search);
    if (q.has('shift')) {
      if (validShift(q.get('shift'))) {
        choice.mode = 'shift';
        choice.shift = q.get('shift');
      } else {
        refused.push('shift=' + q.get('shift') + ': начало смены пишется как ЧЧ:ММ');
      }
    } else if (q.has('hours')) {
      if (validHours(q.get('hours'))) {
        choice.mode = 'hours';
        choice.hours = Number(q.get('hours'));
      } else {
        refused.push('hours=' + q.get('hours') + ': часов — целое число от 1 до 720');
      }
    }
    return choice;
  }
  function choiceQuery(choice) {
    return choice.mode === 'shift' ? 'shift=' + encodeURIComponent(choice.shift)
                                   : 'hours=' + encodeURIComponent(String(choice.hours));
  }

  // ---- State ------------------------------------------------------------------------------

  const $ = (id) => document.getElementById(id);
  const refusedInAddress = [];
  let choice = initialChoice(refusedInAddress);
  let lastData = null;
  let lastSuccess = null;
  let requestSeq = 0;
  let refreshTimer = null;

  // ---- Rendering --------------------------------------------------------------------------

  const FIGURES = [
    { key: 'units', title: 'Изделий', fmt: fmtInt },
    { key: 'passed', title: 'Годных', fmt: fmtInt, cls: 'good' },
    { key: 'failed', title: 'Брак', fmt: fmtInt, cls: 'bad' },
    { key: 'first_pass_yield', title: 'Выход с первого предъявления', fmt: fmtPercent },
    { key: 'units_per_hour', title: 'Изделий в час', fmt: fmtRate },
    { key: 'median_unit_s', title: 'Медиана на изделие', fmt: fmtDuration },
  ];

  function renderTiles(line) {
    const tiles = FIGURES.map((f) =>
        el('div', { class: 'tile' + (f.cls ? ' tile-' + f.cls : '') }, [
          el('div', { class: 'tile-title', text: f.title }),
          figure('div', 'line.' + f.key, line[f.key], f.fmt(line[f.key]), 'tile-value'),
        ]));
    replaceChildren($('line-tiles'), tiles);
  }

  function figureCells(prefix, row) {
    return FIGURES.map((f) =>
        figure('td', prefix + '.' + f.key, row[f.key], f.fmt(row[f.key]),
               'num' + (f.cls && isNum(row[f.key]) && row[f.key] > 0 ? ' ' + f.cls : '')));
  }
  function figureHeads() {
    return FIGURES.map((f) => el('th', { class: 'num', scope: 'col', text: f.title }));
  }
  function table(heads, rows, emptyText) {
    if (rows.length === 0) return el('p', { class: 'empty', text: emptyText });
    return el('table', null, [
      el('thead', null, el('tr', null, heads)),
      el('tbody', null, rows),
    ]);
  }

  function renderByStation(rows) {
    const body = rows.map((r) => {
      const name = str(r.station);
      return el('tr', null,
                [el('th', { scope: 'row', text: name })].concat(figureCells('station.' + name, r)));
    });
    replaceChildren($('by-station'),
                    table([el('th', { scope: 'col', text: 'Станция' })].concat(figureHeads()), body,
                          'Нет прогонов за это время.'));
  }

  function renderByLane(rows) {
    const body = rows.map((r) => {
      const name = str(r.station);
      const port = str(r.port);
      return el('tr', null, [
        el('th', { scope: 'row', text: name }),
        el('td', { class: 'mono', text: port }),
      ].concat(figureCells('lane.' + name + '.' + port, r)));
    });
    const heads = [el('th', { scope: 'col', text: 'Станция' }),
                   el('th', { scope: 'col', text: 'Порт' })].concat(figureHeads());
    replaceChildren($('by-lane'), table(heads, body, 'Нет прогонов за это время.'));
  }

  function renderWindow(win, line, now) {
    const since = parseTime(win.since);
    const until = parseTime(win.until);
    const what = choice.mode === 'shift' ? 'Смена с ' + choice.shift
                                         : 'Последние ' + choice.hours + ' ч';
    const parts = [what];
    if (since && until) {
      parts.push(': ' + fmtWhen(win.since, now, false) + ' — ' + fmtWhen(win.until, now, false));
    }
    if (isNum(win.hours)) {
      parts.push(' (', figure('span', 'window.hours', win.hours, fmtDecimal(win.hours, 1)),
                 '\u00a0ч)');
    }
    parts.push(' · прогонов ', figure('span', 'line.runs', line.runs, fmtInt(line.runs)),
               ', идёт сейчас ', figure('span', 'line.running', line.running, fmtInt(line.running)));
    replaceChildren($('window-line'), parts);
  }

  // The axis: a step of 1, 2 or 5 times a power of ten, at most five steps up to `max`.
  function axisOf(max) {
    const top = Math.max(1, max);
    for (let p = 1; ; p *= 10) {
      for (const m of [1, 2, 5]) {
        const step = m * p;
        if (Math.ceil(top / step) <= 5) return { step: step, top: Math.ceil(top / step) * step };
      }
    }
  }

  function renderChart(hourly, now) {
    const box = $('hourly-chart');
    const hours = hourly.filter((h) => parseTime(h.hour));
    if (hours.length === 0) {
      replaceChildren(box, el('p', { class: 'empty', text: 'Нет часов в этом окне.' }));
      return;
    }
    const width = Math.max(300, Math.floor(box.clientWidth || 800));
    const height = width < 600 ? 180 : 230;
    const m = { left: 40, right: 10, top: 12, bottom: 30 };
    const plotW = width - m.left - m.right;
    const plotH = height - m.top - m.bottom;
    const count = (v) => (isNum(v) && v > 0 ? v : 0);
    const axis = axisOf(Math.max.apply(null, hours.map((h) => count(h.passed) + count(h.failed))));
    const max = axis.top;
    const y = (v) => m.top + plotH - (v / max) * plotH;
    const step = plotW / hours.length;
    const barW = Math.max(1, Math.min(48, step * 0.72));
    const labelEvery = Math.max(1, Math.ceil(46 / step));
    // Beyond two days hours are too narrow to name: the days are named at their midnight.
    const byDay = hours.length > 48;
    const dayEvery = Math.max(1, Math.ceil(46 / (step * 24)));
    let days = 0;

    const nodes = [];
    for (let v = 0; v <= max; v += axis.step) {
      nodes.push(svg('line', { class: 'grid', x1: m.left, x2: width - m.right, y1: y(v), y2: y(v) }));
      nodes.push(svg('text', { class: 'axis', x: m.left - 6, y: y(v) + 4, 'text-anchor': 'end',
                               text: fmtInt(v) }));
    }
    hours.forEach((h, i) => {
      const start = parseTime(h.hour);
      const x = m.left + i * step + (step - barW) / 2;
      const passed = count(h.passed);
      const failed = count(h.failed);
      const label = fmtClock(start, false);
      const g = svg('g', { class: 'hour', 'data-hour': h.hour }, [
        svg('title', { text: (sameDay(start, now) ? '' : fmtDate(start) + ' ') + label +
                             ': успешно ' + fmtInt(passed) + ', отказов ' + fmtInt(failed) }),
        // A transparent column makes the whole hour hoverable, bars or not.
        svg('rect', { class: 'hit', x: m.left + i * step, y: m.top, width: step, height: plotH }),
        svg('rect', { class: 'bar-passed', x: x, y: y(passed), width: barW,
                      height: y(0) - y(passed), 'data-figure': 'hourly.' + h.hour + '.passed',
                      'data-raw': JSON.stringify(h.passed === undefined ? null : h.passed) }),
        svg('rect', { class: 'bar-failed', x: x, y: y(passed + failed), width: barW,
                      height: y(passed) - y(passed + failed),
                      'data-figure': 'hourly.' + h.hour + '.failed',
                      'data-raw': JSON.stringify(h.failed === undefined ? null : h.failed) }),
      ]);
      nodes.push(g);
      const midnight = start.getHours() === 0 && i > 0;
      if (byDay ? midnight && days++ % dayEvery === 0 : i % labelEvery === 0) {
        nodes.push(svg('text', { class: 'axis' + (midnight ? ' axis-day' : ''),
                                 x: m.left + i * step + step / 2, y: height - m.bottom + 16,
                                 'text-anchor': 'middle',
                                 text: midnight ? fmtDate(start).slice(0, 5) : label }));
      }
    });
    nodes.push(svg('line', { class: 'baseline', x1: m.left, x2: width - m.right, y1: y(0),
                             y2: y(0) }));
    replaceChildren(box, svg('svg', {
      width: width, height: height, viewBox: '0 0 ' + width + ' ' + height, role: 'img',
      // kvr-line counts the runs that ended, by the hour they started in: a unit tried twice
      // is two of them, so the chart does not call them units.
      'aria-label': 'Изделий в час: годные и брак по часам',
    }, nodes));
  }

  function renderPareto(pareto) {
    // Largest first; equal counts keep the server's order.
    const rows = pareto.slice().sort((a, b) => count(b) - count(a));
    function count(p) {
      return isNum(p.count) ? p.count : 0;
    }
    const total = rows.reduce((s, p) => s + count(p), 0);
    const max = rows.reduce((s, p) => Math.max(s, count(p)), 0);
    let running = 0;
    const body = rows.map((p) => {
      const word = str(p.outcome);
      running += count(p);
      // Set through the style object, which a Content-Security-Policy without inline styles
      // still allows.
      const bar = el('div', { class: 'pareto-bar' });
      bar.style.width = (max > 0 ? (count(p) / max) * 100 : 0).toFixed(1) + '%';
      return el('tr', null, [
        el('th', { scope: 'row', title: word, text: outcomeLabel(word) }),
        el('td', { class: 'bar-cell' }, [
          bar,
          figure('span', 'pareto.' + word, p.count, fmtInt(p.count), 'pareto-count'),
        ]),
        figure('td', 'pareto.' + word + '.share', p.share, fmtPercent(p.share), 'num'),
        el('td', { class: 'num', text: total > 0 ? fmtPercent(running / total) : DASH }),
      ]);
    });
    replaceChildren($('pareto'), table([
      el('th', { scope: 'col', text: 'Исход' }),
      el('th', { scope: 'col', text: 'Отказов' }),
      el('th', { class: 'num', scope: 'col', text: 'Доля' }),
      el('th', { class: 'num', scope: 'col', text: 'Накопленная доля' }),
    ], body, 'Отказов нет.'));
  }

  function renderFailures(rows, now) {
    replaceChildren($('failures-count'),
                    figure('span', 'failures.count', rows.length, '(' + rows.length + ')'));
    const body = rows.map((f) => el('tr', null, [
      el('td', { class: 'nowrap', title: fmtFull(f.at), text: fmtWhen(f.at, now, true) }),
      el('td', { text: str(f.station) }),
      el('td', { class: 'mono', text: str(f.port) }),
      el('td', { class: 'mono', text: str(f.serial_number) || DASH }),
      el('td', null, [
        el('div', { class: 'outcome', title: str(f.outcome), text: outcomeLabel(f.outcome) }),
        el('div', { class: 'failure-text', text: str(f.text) }),
      ]),
      el('td', { class: 'mono path', text: str(f.log_path) || DASH }),
    ]));
    replaceChildren($('latest-failures'), table([
      el('th', { scope: 'col', text: 'Время' }),
      el('th', { scope: 'col', text: 'Станция' }),
      el('th', { scope: 'col', text: 'Порт' }),
      el('th', { scope: 'col', text: 'S/N' }),
      el('th', { scope: 'col', text: 'Что показано' }),
      el('th', { scope: 'col', text: 'Журнал' }),
    ], body, 'Отказов нет.'));
  }

  function renderStations(stations, now) {
    const cards = stations.map((s) => {
      const name = str(s.station);
      const online = s.online === true;
      // A clean stop is no lost link: said calmly, with its time.
      const stopped = !online && s.stopped === true;
      const lanes = list(s.lanes).map((l) => {
        const port = str(l.port);
        const state = str(l.state);
        const key = 'lane.' + name + '.' + port;
        return el('li', { class: 'lane' }, [
          el('span', { class: 'mono lane-port', text: port }),
          figure('span', key + '.state', l.state, laneStateLabel(state),
                 'state state-' + (has(LANE_STATES, state) ? state : 'other')),
          el('span', { class: 'lane-last' }, l.last_outcome ? [
            el('span', {
              class: l.last_outcome === 'success' ? 'good' : 'bad',
              title: str(l.last_outcome),
              text: outcomeLabel(l.last_outcome),
            }),
            el('span', { class: 'muted', title: fmtFull(l.last_at),
                         text: ' ' + fmtWhen(l.last_at, now, false) }),
          ] : el('span', { class: 'muted', text: 'прогонов не было' })),
        ]);
      });
      const pill = online ? 'pill-on' : stopped ? 'pill-stopped' : 'pill-off';
      return el('article', {
        class: 'card' + (online ? '' : stopped ? ' card-stopped' : ' card-offline'),
      }, [
        el('header', { class: 'card-head' }, [
          el('h3', { text: name }),
          figure('span', 'station.' + name + '.online', s.online,
                 online ? 'На связи' : stopped ? 'Остановлена' : 'Нет связи', 'pill ' + pill),
        ]),
        el('dl', { class: 'facts' }, [
          el('dt', { text: 'Запущена' }),
          el('dd', { title: fmtFull(s.started_at), text: fmtWhen(s.started_at, now, false) }),
          el('dt', { text: stopped ? 'Остановлена' : 'Был на связи' }),
          stopped && s.stopped_at
              ? el('dd', { title: fmtFull(s.stopped_at), text: fmtWhen(s.stopped_at, now, true) })
              : el('dd', { title: fmtFull(s.seen_at), text: fmtWhen(s.seen_at, now, true) }),
          el('dt', { text: 'Пакет' }),
          el('dd', null, [
            el('span', { text: str(s.package_name) || DASH }),
            s.package_sha256 ? el('span', { class: 'mono hash', title: str(s.package_sha256),
                                            text: ' ' + shortHash(s.package_sha256) }) : null,
          ]),
          s.pool ? el('dt', { text: 'Пул' }) : null,
          s.pool ? el('dd', { class: 'mono', text: str(s.pool) }) : null,
          el('dt', { text: 'Ждут отправки' }),
          figure('dd', 'station.' + name + '.waiting', s.waiting, fmtInt(s.waiting)),
          el('dt', { text: 'Номеров в запасе' }),
          figure('dd', 'station.' + name + '.lease_left', s.lease_left, fmtInt(s.lease_left)),
        ]),
        lanes.length ? el('ul', { class: 'lanes' }, lanes)
                     : el('p', { class: 'empty', text: 'Портов нет.' }),
      ]);
    });
    replaceChildren($('station-cards'),
                    cards.length ? cards : el('p', { class: 'empty', text: 'Станций нет.' }));
  }

  function renderPools(pools) {
    const body = pools.map((p) => {
      const name = str(p.name);
      const range = str(p.first) + '–' + (p.last == null || p.last === '' ? '…' : str(p.last));
      return el('tr', null, [
        el('th', { scope: 'row', text: name }),
        el('td', { class: 'mono', text: range }),
        el('td', { class: 'mono', text: str(p.next) || DASH }),
        figure('td', 'pool.' + name + '.left', p.left, fmtInt(p.left), 'num'),
        figure('td', 'pool.' + name + '.used_per_hour', p.used_per_hour, fmtRate(p.used_per_hour),
               'num'),
        figure('td', 'pool.' + name + '.runs_out_at', p.runs_out_at,
               p.runs_out_at ? fmtFull(p.runs_out_at).slice(0, 16) : DASH, 'num'),
      ]);
    });
    replaceChildren($('pool-table'), table([
      el('th', { scope: 'col', text: 'Пул' }),
      el('th', { scope: 'col', text: 'Номера' }),
      el('th', { scope: 'col', text: 'Следующий' }),
      el('th', { class: 'num', scope: 'col', text: 'Осталось' }),
      el('th', { class: 'num', scope: 'col', text: 'Расход в час' }),
      el('th', { class: 'num', scope: 'col', text: 'Закончится' }),
    ], body, 'Пулов нет.'));
  }

  function renderRecord(record) {
    const state = str(record.state) || 'unknown';
    document.body.setAttribute('data-record-state', state);
    const away = state === 'away';
    $('away-banner').hidden = !away;
    if (away) {
      $('away-text').textContent = str(record.text);
      $('away-as-of').textContent = record.as_of ? 'Показаны данные на ' + fmtFull(record.as_of) : '';
    }
    const url = blankPassword(record.url);
    replaceChildren($('record-line'), [
      'Запись: ',
      el('span', { class: 'mono', text: url || DASH }),
      ' ',
      el('span', { class: 'pill ' + (away ? 'pill-off' : 'pill-on'),
                   text: away ? 'недоступна' : 'на связи' }),
    ]);
  }

  function render(data) {
    const now = parseTime(data.now) || new Date();
    renderRecord(obj(data.record));
    $('now').textContent = fmtFull(data.now);
    renderWindow(obj(data.window), obj(data.line), now);
    renderTiles(obj(data.line));
    renderChart(list(data.hourly), now);
    renderByStation(list(data.by_station));
    renderByLane(list(data.by_lane));
    renderPareto(list(data.pareto));
    renderFailures(list(data.latest_failures), now);
    renderStations(list(data.stations), now);
    renderPools(list(data.pools));
  }

  // ---- Fetching ---------------------------------------------------------------------------

  function showLink(problem) {
    const banner = $('link-banner');
    banner.hidden = !problem;
    document.body.classList.toggle('stale', !!problem);
    if (problem) {
      banner.textContent = problem +
          (lastSuccess ? '. Показаны данные, полученные в ' + fmtClock(lastSuccess, true) + '.'
                       : '.');
    }
  }
  function showUpdated() {
    $('updated').textContent =
        lastSuccess ? 'обновлено в ' + fmtClock(lastSuccess, true) : 'Ещё не обновлено';
  }

  function apiUrl() {
    // Relative, so that the page works behind a proxy that puts it under a path of its own.
    return new URL('api/v1/line?' + choiceQuery(choice), window.location.href).toString();
  }

  async function refresh() {
    clearTimeout(refreshTimer);
    const mine = ++requestSeq;
    const abort = typeof AbortController === 'function' ? new AbortController() : null;
    const guard = abort ? setTimeout(() => abort.abort(), FETCH_GUARD_MS) : null;
    let problem = null;
    try {
      const response = await fetch(apiUrl(), {
        cache: 'no-store',
        headers: { Accept: 'application/json' },
        signal: abort ? abort.signal : undefined,
      });
      let body = null;
      try {
        body = await response.json();
      } catch (e) {
        body = null;
      }
      if (mine !== requestSeq) return;  // a newer request (another window) went out meanwhile
      if (!response.ok) {
        problem = body && typeof body.error === 'string'
            ? 'kvr-line не принял запрос: ' + body.error
            : 'kvr-line ответил ошибкой ' + response.status;
      } else if (!body || typeof body !== 'object') {
        problem = 'kvr-line прислал ответ, который не читается';
      } else if (body.api !== 1) {
        problem = 'kvr-line отвечает версией ' + str(body.api) + ', а страница знает версию 1';
      } else {
        try {
          render(body);
          lastData = body;
          lastSuccess = new Date();
          document.body.dataset.loaded = '1';
        } catch (e) {
          problem = 'Ответ kvr-line не отображается: ' + (e && e.message ? e.message : e);
          if (lastData) render(lastData);
        }
      }
    } catch (e) {
      if (mine !== requestSeq) return;
      problem = 'нет связи с kvr-line';
    } finally {
      if (guard) clearTimeout(guard);
    }
    if (mine !== requestSeq) return;
    showLink(problem);
    showUpdated();
    refreshTimer = setTimeout(refresh, REFRESH_MS);
  }

  // ---- The window control -----------------------------------------------------------------

  function showChoice() {
    $('mode-shift').checked = choice.mode === 'shift';
    $('mode-hours').checked = choice.mode === 'hours';
    $('shift-start').value = choice.shift;
    $('shift-hours').value = String(choice.hours);
  }

  function applyForm() {
    const mode = $('mode-shift').checked ? 'shift' : 'hours';
    const shift = $('shift-start').value;
    const hours = $('shift-hours').value.trim();
    const note = $('shift-note');
    if (mode === 'shift' && !validShift(shift)) {
      note.textContent = 'Начало смены: время ЧЧ:ММ';
      return;
    }
    if (mode === 'hours' && !validHours(hours)) {
      note.textContent = 'Часов: целое число от 1 до 720';
      return;
    }
    note.textContent = '';
    choice = {
      mode: mode,
      shift: validShift(shift) ? shift : choice.shift,
      hours: validHours(hours) ? Number(hours) : choice.hours,
    };
    saveStored(choice);
    // The address bar follows, so that a reload or a bookmark shows the same window.
    const q = new URLSearchParams(window.location.search);
    q.delete('shift');
    q.delete('hours');
    const rest = q.toString();
    try {
      window.history.replaceState(null, '', '?' + (rest ? rest + '&' : '') + choiceQuery(choice));
    } catch (e) {
      // Some embedded browsers refuse; the window is applied all the same.
    }
    refresh();
  }

  function start() {
    showChoice();
    if (refusedInAddress.length) {
      $('shift-note').textContent = 'В адресе ' + refusedInAddress.join('; ') + '.';
    }
    const form = $('shift-form');
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      applyForm();
    });
    form.addEventListener('change', applyForm);
    // Typing into the time or the hours selects that way of choosing.
    $('shift-start').addEventListener('focus', () => { $('mode-shift').checked = true; });
    $('shift-hours').addEventListener('focus', () => { $('mode-hours').checked = true; });

    let resizeTimer = null;
    window.addEventListener('resize', () => {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(() => {
        if (lastData) renderChart(list(lastData.hourly), parseTime(lastData.now) || new Date());
      }, 150);
    });
    refresh();
  }

  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
