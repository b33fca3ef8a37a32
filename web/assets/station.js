// The station's live page: one tile per port, the run's figures and its charts, from the
// station's feed (/events). Every text from outside goes in through setText or make.
'use strict';

// The last unit's facts on a tile: [the record's field, label, how it reads]. A field the
// record gains is one line here.
const kUnitFields = [
  ['sequence', 'unit', (v) => '#' + v],
  ['label', 'label'],
  ['attempt', 'attempt'],
  ['outcome', 'result'],
  ['result_meaning', 'meaning'],
  ['duration_ms', 'took', (v) => (v / 1000).toFixed(1) + ' s'],
  ['ended_utc', 'ended', (v) => String(v).replace('T', ' ').replace(/\.\d+Z$/, ' UTC')],
  ['handset_product_id', 'handset'],
  ['capture', 'capture'],
  ['signed_release', 'signed release'],
  ['signing_key_id', 'signed by key'],
];

// The capture a failed unit left, as a link that saves it: the server answers only a unit
// capture's own id (captures/ATTEMPT-UUID.pcapng in the row).
function captureLink(capture) {
  const id = String(capture).replace(/^captures\//, '').replace(/\.pcapng$/, '');
  const link = make('a', 'capture', capture);
  link.href = '/capture?id=' + encodeURIComponent(id);
  link.download = id + '.pcapng';
  return link;
}

// A tile's headline for each state word the station sends.
const tiles = new Map();  // port key -> its elements

function newTile(key) {
  const t = { root: make('article', 'tile') };
  t.root.dataset.port = key;
  t.selector = make('h2', 'selector');
  t.identity = make('p', 'identity');
  t.headline = make('p', 'headline');
  t.detail = make('p', 'detail');
  t.progress = make('progress');
  t.figures = make('p', 'figures');
  t.last = make('dl', 'last');
  t.root.append(t.selector, t.identity, t.headline, t.detail, t.progress, t.figures, t.last);
  document.getElementById('ports').append(t.root);
  tiles.set(key, t);
  return t;
}

// Blue while flashing; red when the last unit did not complete, until the port's next unit
// starts (an adapter pulled meanwhile does not hide it); grey when the adapter is absent;
// green when the last unit completed.
function tileLook(port) {
  const last = port.last;
  if (port.kind === 'flashing') return 'flashing';
  if (last && last.outcome !== 'completed') return 'failed';
  if (port.kind === 'absent' || port.kind === 'unusable') return 'absent';
  if (last) return 'completed';
  return 'idle';
}

function showLast(t, last) {
  const rows = [];
  for (const [field, label, reads] of kUnitFields) {
    if (!last || last[field] === undefined || last[field] === null || last[field] === '') continue;
    rows.push([label, reads ? reads(last[field]) : last[field]]);
  }
  if (t.last.childElementCount === rows.length * 2 &&
      rows.every(([, v], i) => t.last.children[i * 2 + 1].textContent === shown(v))) return;
  t.last.replaceChildren(...rows.flatMap(([label, value]) => {
    const dd = make('dd', '');
    if (label === 'capture') dd.append(captureLink(value)); else dd.textContent = shown(value);
    return [make('dt', '', label), dd];
  }));
}

function showTile(key, port) {
  const t = tiles.get(key) || newTile(key);
  const look = tileLook(port);
  t.root.className = 'tile ' + look;
  t.root.dataset.look = look;
  setText(t.selector, port.selector);
  setText(t.identity, port.identity || '');
  const last = port.last;
  if (look === 'flashing') {
    setText(t.headline, 'flashing: ' + (port.phase || ''));
  } else if (look === 'failed') {
    setText(t.headline, 'failed: ' + (last.result_meaning || last.outcome));
  } else if (look === 'completed') {
    setText(t.headline, 'completed');
  } else {
    setText(t.headline, port.state || '');  // the station's own words (port_state.cpp)
  }
  setText(t.detail, look === 'failed' || look === 'completed' ? (port.state || '') : '');
  t.progress.max = Math.max(port.total || 0, 1);
  t.progress.value = look === 'flashing' ? (port.block || 0) : 0;
  t.progress.hidden = look !== 'flashing';
  const unit = (port.sequence ? 'unit #' + port.sequence : 'no unit') + (port.label ? ', label ' + port.label : '');
  const speed = port.bps ? port.bps.toLocaleString('en') + ' bytes/s' : '';
  setText(t.figures, look === 'flashing' ? unit + (speed ? ', ' + speed : '') : unit);
  showLast(t, last);
}

function seconds(total) {
  const s = Math.max(0, Math.floor(total || 0));
  const two = (n) => String(n).padStart(2, '0');
  return Math.floor(s / 3600) + ':' + two(Math.floor(s / 60) % 60) + ':' + two(s % 60);
}

function centralText(central) {
  if (typeof central !== 'object') return central;
  const parts = [central.connected ? 'connected' : 'not connected'];
  if (central.unconfirmed !== undefined) parts.push(central.unconfirmed + ' units not yet confirmed');
  if (central.oldest_unconfirmed_utc) parts.push('oldest ' + central.oldest_unconfirmed_utc);
  return parts.join(', ');
}

function showRun(run) {
  const byId = (id) => document.getElementById(id);
  setText(byId('station-id'), run.station_id);
  setText(byId('release-file'), run.release_file);
  setText(byId('release-sha256'), run.release_sha256);
  setText(byId('operator'), run.operator);
  setText(byId('lot'), run.lot);
  setText(byId('done'), run.units ?? 0);
  setText(byId('failed'), run.failed ?? 0);
  setText(byId('pass-rate'), typeof run.pass_rate === 'number' ? (run.pass_rate * 100).toFixed(1) + ' %' : '-');
  setText(byId('per-hour'), (run.per_hour ?? 0).toFixed(1));
  setText(byId('elapsed'), seconds(run.elapsed_s));
  const central = run.central;
  byId('central-slot').hidden = central === undefined || central === null;
  if (central !== undefined && central !== null) setText(byId('central'), centralText(central));
}

// ---- charts (Chart.js, served by the station itself) --------------------------------------

const charts = {};
let chartsDue = false;

function newChart(id, type, colour, xTitle) {
  const options = {
    animation: false, responsive: true, maintainAspectRatio: false,
    plugins: { legend: { display: false } },
    scales: { y: { beginAtZero: true, ticks: { precision: 0 } } },
  };
  if (type === 'scatter') options.scales.x = { title: { display: true, text: xTitle } };
  const dataset = { data: [], showLine: type === 'scatter', backgroundColor: colour, borderColor: colour };  // a line's element exists only if asked at the start
  return new Chart(document.getElementById(id), { type, data: { labels: [], datasets: [dataset] }, options });
}

function countBy(items, key) {
  const counts = new Map();
  for (const item of items) counts.set(key(item), (counts.get(key(item)) || 0) + 1);
  return counts;
}

function drawCharts(state) {
  if (typeof Chart === 'undefined') return;
  if (!charts.rate) {
    charts.rate = newChart('chart-rate', 'scatter', '#1f6fb2', 'minutes');
    charts.durations = newChart('chart-durations', 'bar', '#2e8b57');
    charts.portFailures = newChart('chart-port-failures', 'bar', '#c0392b');
    charts.resultFailures = newChart('chart-result-failures', 'bar', '#c0392b');
  }
  const items = state.items || [];
  const rate = items.filter((u) => u.at_s > 0).map((u, i) => ({ x: u.at_s / 60, y: (i + 1) / (u.at_s / 3600) }));
  charts.rate.data.datasets[0].data = rate;
  charts.durations.data.labels = items.map((u) => '#' + u.sequence);
  charts.durations.data.datasets[0].data = items.map((u) => u.duration_ms / 1000);
  charts.durations.data.datasets[0].backgroundColor = items.map((u) => (u.outcome === 'completed' ? '#2e8b57' : '#c0392b'));
  const failed = items.filter((u) => u.outcome !== 'completed' && u.outcome !== 'interrupted');
  const ports = state.ports || {};
  const byPort = countBy(failed, (u) => String(u.port));
  charts.portFailures.data.labels = Object.keys(ports).map((k) => shown(ports[k].selector));
  charts.portFailures.data.datasets[0].data = Object.keys(ports).map((k) => byPort.get(k) || 0);
  const byResult = countBy(failed, (u) => u.result_code + ' ' + shown(u.result_meaning));
  charts.resultFailures.data.labels = [...byResult.keys()];
  charts.resultFailures.data.datasets[0].data = [...byResult.values()];
  for (const chart of Object.values(charts)) chart.update('none');
}

let latest = {};

function render(state, itemsChanged) {
  latest = state;
  for (const [key, port] of Object.entries(state.ports || {})) showTile(key, port);
  showRun(state.run || {});
  const lags = window.tarvoloLags || [];
  if (lags.length) setText(document.getElementById('lag'), 'page ' + lags[lags.length - 1] + ' ms behind the station');
  if (itemsChanged && !chartsDue) {
    // Charts redraw at most once a second: tiles must never wait for them.
    chartsDue = true;
    setTimeout(() => { chartsDue = false; drawCharts(latest); }, charts.rate ? 1000 : 0);
  }
}

followFeed('/events', render, document.getElementById('link'));
