// The line's dashboard: the stations, the period's figures per station and lot, the releases
// (/api/line, fetched again every few seconds) and a unit search (/api/units, /units.csv).
// Every text from outside goes in through setText or make (page.js).
'use strict';

const kRefreshMs = 5000;
const kOutcomes = ['completed', 'failed', 'interrupted', 'port-lost'];
const charts = {};
let searchOffset = 0;

function percent(rate) { return rate === null || rate === undefined ? '-' : (rate * 100).toFixed(1) + ' %'; }
function utcText(v) { return v ? String(v).replace('T', ' ').replace(/(\.\d+)?Z$/, '') : ''; }
// A datetime-local input's value (the browser's own time) as UTC, or '' when empty.
function inputUtc(value) { return value ? new Date(value).toISOString() : ''; }

function row(cells, className) {
  const tr = make('tr', className);
  for (const cell of cells) {
    const [text, cls] = Array.isArray(cell) ? cell : [cell, ''];
    tr.append(make('td', cls, text));
  }
  return tr;
}

function fillTable(id, rows) {
  const body = document.querySelector('#' + id + ' tbody');
  body.replaceChildren(...rows);
}

function periodQuery() {
  const choice = document.getElementById('period').value;
  if (choice !== 'range') return new URLSearchParams({ period: choice });
  const q = new URLSearchParams();
  const from = inputUtc(document.getElementById('period-from').value);
  const to = inputUtc(document.getElementById('period-to').value);
  if (from) q.set('from', from);
  if (to) q.set('to', to);
  return q;
}

function lastHeard(s) {
  const ago = s.silent_s < 120 ? s.silent_s + ' s ago' : Math.floor(s.silent_s / 60) + ' min ago';
  return utcText(s.last_heard_utc) + ' (' + ago + ')';
}

// A station whose clock is off by more than the server's bound: how far, and which way.
function clockText(s) {
  if (!s.clock_off || typeof s.clock_ahead_s !== 'number') return '';
  const a = Math.abs(s.clock_ahead_s);
  const far = a >= 86400 ? Math.floor(a / 86400) + ' d ' + Math.floor(a % 86400 / 3600) + ' h'
    : a >= 3600 ? Math.floor(a / 3600) + ' h ' + Math.floor(a % 3600 / 60) + ' min' : Math.floor(a / 60) + ' min';
  return 'clock ' + far + (s.clock_ahead_s > 0 ? ' ahead' : ' behind') + ': counted by arrival';
}

function stateText(s) {
  if (s.state === 'silent') return 'silent';
  if (s.state === 'stopped') return 'stopped (' + s.run_ending + ')';
  return 'running';
}

function showStations(line) {
  const figures = new Map(line.figures.stations.map((f) => [f.key, f]));
  fillTable('stations', line.stations.map((s) => {
    const f = figures.get(s.station_id) || { units: 0, failed: 0, pass_rate: null, per_hour: null };
    const tr = row([s.station_id, [stateText(s), 'state'], [lastHeard(s), 'heard'], [clockText(s), 'clock'], s.operator, s.lot, s.release_file,
      [f.units, 'units'], [f.failed, 'failed'], [percent(f.pass_rate), 'pass-rate'],
      [f.per_hour === null ? '-' : f.per_hour, 'per-hour']], ['running', 'stopped', 'silent'].includes(s.state) ? s.state : '');
    tr.dataset.station = shown(s.station_id);
    return tr;
  }));
}

function showFigures(line) {
  const all = line.figures.line;
  for (const key of ['units', 'completed', 'failed', 'interrupted'])
    setText(document.getElementById('line-' + key), all[key]);
  setText(document.getElementById('line-pass-rate'), percent(all.pass_rate));
  setText(document.getElementById('line-per-hour'), all.per_hour === null ? '-' : all.per_hour);
  fillTable('lots', line.figures.lots.map((f) => row([f.key, f.units, f.completed, f.failed, f.interrupted,
    percent(f.pass_rate), f.per_hour === null ? '-' : f.per_hour])));
  setText(document.getElementById('lots-note'), line.figures.lots_left_off ?
    line.figures.lots_left_off + ' lots with fewer units not listed' : '');
}

function showReleases(line) {
  fillTable('releases', line.releases.map((r) => row([[r.state, 'state'], r.release_file, r.product_id,
    [r.sha256, 'hash'], r.approved_by, utcText(r.approved_utc), r.revoked_by, utcText(r.revoked_utc)],
  r.state === 'revoked' ? 'revoked' : 'approved')));
}

// Chart.js draws labels on a canvas (never markup); they are still shown() for their control bytes.
function chart(name, id, type, datasets) {
  if (typeof Chart === 'undefined') return null;
  if (!charts[name]) {
    charts[name] = new Chart(document.getElementById(id), {
      type, data: { labels: [], datasets },
      options: { animation: false, maintainAspectRatio: false, scales: { y: { beginAtZero: true } } },
    });
  }
  return charts[name];
}

function showCharts(line) {
  const byStation = chart('stations', 'chart-stations', 'bar', [
    { label: 'completed', data: [], backgroundColor: '#2e8b57' }, { label: 'failed', data: [], backgroundColor: '#c0392b' }]);
  if (byStation) {
    const list = line.figures.stations;
    byStation.data.labels = list.map((f) => shown(f.key));
    byStation.data.datasets[0].data = list.map((f) => f.completed);
    byStation.data.datasets[1].data = list.map((f) => f.failed);
    byStation.update();
  }
  const byLot = chart('lots', 'chart-lots', 'bar', [{ label: 'pass rate', data: [], backgroundColor: '#1f6fb2' }]);
  if (byLot) {
    const list = line.figures.lots.slice(0, 30);
    byLot.data.labels = list.map((f) => shown(f.key));
    byLot.data.datasets[0].data = list.map((f) => (f.pass_rate === null ? 0 : f.pass_rate * 100));
    byLot.update();
  }
}

async function answer(path) {
  const response = await fetch(path, { cache: 'no-store' });
  const body = await response.json().catch(() => ({ error: 'answer ' + response.status }));
  if (!response.ok) throw new Error(body.error || 'answer ' + response.status);
  return body;
}

function linkState(ok, text) {
  const link = document.getElementById('link');
  link.className = ok ? 'link-up' : 'link-down';
  link.textContent = ok ? 'live' : 'not reading';
  setText(document.getElementById('error'), text || '');
}

async function refresh() {
  try {
    const line = await answer('/api/line?' + periodQuery());
    showStations(line);
    showFigures(line);
    showReleases(line);
    showCharts(line);
    setText(document.getElementById('as-of'), 'as of ' + utcText(line.now_utc) + ' UTC');
    linkState(true);
  } catch (e) {
    linkState(false, e.message);
  }
}

function searchQuery() {
  const form = document.getElementById('search');
  const q = new URLSearchParams();
  for (const input of form.querySelectorAll('input')) {
    const value = input.type === 'datetime-local' ? inputUtc(input.value) : input.value.trim();
    if (value) q.set(input.name, value);
  }
  return q;
}

function unitRow(u) {
  const outcome = kOutcomes.includes(u.outcome) ? u.outcome : '';
  const tr = row([utcText(u.started_utc), u.station_id, u.port_selector, [u.outcome, 'outcome'],
    u.result_meaning, u.duration_ms === null ? '' : (u.duration_ms / 1000).toFixed(1), u.lot, u.operator,
    u.label, u.attempt, u.release_file, [u.attempt_uuid, 'hash']], outcome);
  tr.dataset.attempt = shown(u.attempt_uuid);
  return tr;
}

async function search(offset) {
  const q = searchQuery();
  document.getElementById('csv').href = '/units.csv?' + q;
  q.set('offset', offset);
  const note = document.getElementById('search-note');
  try {
    const found = await answer('/api/units?' + q);
    searchOffset = offset;
    fillTable('units', found.units.map(unitRow));
    setText(note, found.units.length ? 'units ' + (offset + 1) + ' to ' + (offset + found.units.length) +
      ', newest first' : 'no unit matches');
    document.getElementById('more').hidden = !found.more;
  } catch (e) {
    setText(note, e.message);
  }
}

function start() {
  const period = document.getElementById('period');
  period.addEventListener('change', () => {
    const range = period.value === 'range';
    for (const id of ['period-from', 'period-to']) document.getElementById(id).disabled = !range;
    refresh();
  });
  for (const id of ['period-from', 'period-to']) document.getElementById(id).addEventListener('change', refresh);
  document.getElementById('search').addEventListener('submit', (e) => { e.preventDefault(); search(0); });
  document.getElementById('more').addEventListener('click', () => search(searchOffset + 200));
  refresh();
  search(0);
  setInterval(refresh, kRefreshMs);
}

start();
