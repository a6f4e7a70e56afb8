// The live view of zelquar-agent: the readers, the tags in the field and
// their signal over time, from the agent's HTTP API and its event stream.
//
// Sections: state and the API; the agent's records as rows; readers and the
// connection; the table; the charts; live updates (event stream, table
// polls); controls; row actions; start.
//
// The page keeps no state of its own beyond the view: what it shows comes
// from GET /api/readers, GET /api/tags and the stream GET /api/stream, whose
// events carry each reader's sequence number, so a page that lost its
// connection tells whether it missed any (the browser's EventSource resumes
// with Last-Event-ID).
'use strict';

// ---- state and the API ----------------------------------------------------------------

const POLL_MS = 1000;          // the tag table's refresh
const CHART_POINTS = 600;      // points kept per charted tag
const RATE_POINTS = 300;       // points of the total read rate
const PAGE_START = Date.now();  // the charts' time 0
const params = new URLSearchParams(location.search);
const token = params.get('token') || '';

const state = {
  readers: new Map(),      // serial -> reader record
  rows: new Map(),         // reader|epc -> row
  lastSeq: new Map(),      // serial -> last sequence number seen
  missed: 0,               // events the sequence numbers say were not received
  received: 0,             // events received on the stream
  charted: new Set(),      // row keys whose signal is charted
  sortKey: 'epc',
  sortDown: false,
  filter: '',
  paused: false,
  pausedEvents: [],
  clearedAt: 0,            // ms: rows last seen before this are hidden
  recording: null,         // events recorded, or null
  replaying: false,
  lastReads: null,         // {at, total} of the previous table poll
  connected: false,
  everConnected: false,
};

// What the page measured of itself: updates applied and their time.
window.zqStats = { updates: 0, totalMs: 0, maxMs: 0, last: [], events: 0, missed: 0, resumed: 0 };

function apiUrl(path) {
  if (!token) return path;
  return path + (path.includes('?') ? '&' : '?') + 'access_token=' + encodeURIComponent(token);
}

async function api(path, options = {}) {
  const headers = Object.assign({}, options.headers || {});
  if (token) headers['Authorization'] = 'Bearer ' + token;
  if (options.body !== undefined) headers['Content-Type'] = 'application/json';
  const response = await fetch(path, Object.assign({}, options, { headers }));
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok && (!body || typeof body !== 'object')) {
    body = { result: 'error', message: response.status + ' ' + response.statusText };
  }
  return { ok: response.ok, status: response.status, body };
}

function post(serial, operation, body) {
  return api('/api/readers/' + encodeURIComponent(serial) + '/' + operation,
             { method: 'POST', body: JSON.stringify(body || {}) });
}

// ---- the agent's records as rows --------------------------------------------------------

function ms(value) {
  if (value === undefined || value === null || value === '') return 0;
  if (typeof value === 'number') return value;
  const t = Date.parse(value);
  return Number.isNaN(t) ? 0 : t;
}

function num(...values) {
  for (const v of values) if (typeof v === 'number' && Number.isFinite(v)) return v;
  return null;
}

function identityText(identity, fallback) {
  if (!identity) return fallback || '';
  if (typeof identity === 'string') return identity;
  return identity.element_string || identity.pure_uri || identity.tag_uri || identity.uri || fallback || '';
}

// A tag record of GET /api/tags (nested or flat signal fields) as a row.
function rowFromTag(t) {
  const rssi = t.rssi && typeof t.rssi === 'object' ? t.rssi : {};
  return {
    reader: t.reader || '',
    epc: (t.epc || '').toUpperCase(),
    pc: t.pc || '',
    identity: identityText(t.identity, t.pure_uri || t.uri),
    reads: num(t.reads, t.read_count) || 0,
    rate: num(t.reads_per_s, t.reads_per_second, t.rate) || 0,
    last: num(rssi.last, t.rssi_last, t.rssi_dbm, typeof t.rssi === 'number' ? t.rssi : undefined),
    peak: num(rssi.peak, t.rssi_peak),
    mean: num(rssi.mean, t.rssi_mean),
    first_seen: ms(t.first_seen),
    last_seen: ms(t.last_seen),
    present: t.present !== undefined ? !!t.present : !t.gone,
    history: Array.isArray(t.history) ? t.history : [],
  };
}

function keyOf(reader, epc) { return reader + '|' + (epc || '').toUpperCase(); }

// ---- readers and the connection -----------------------------------------------------------

function showConnection(kind, text) {
  const el = document.getElementById('connection');
  el.dataset.state = kind;
  el.textContent = text;
}

function renderReaders() {
  const box = document.getElementById('readers');
  const select = document.getElementById('reader');
  const chosen = select.value;
  box.replaceChildren();
  select.replaceChildren();
  for (const r of state.readers.values()) {
    const card = document.createElement('div');
    card.className = 'reader';
    card.dataset.serial = r.serial;
    card.dataset.state = r.state || '';
    const running = r.inventory === undefined ? '' : (r.inventory ? ', inventory running' : ', inventory stopped');
    card.textContent = r.serial + ': ' + (r.state || 'unknown') + running;
    box.append(card);
    const option = document.createElement('option');
    option.value = r.serial;
    option.textContent = r.serial;
    select.append(option);
  }
  if (chosen && state.readers.has(chosen)) select.value = chosen;
}

async function loadReaders() {
  const answer = await api('/api/readers');
  if (!answer.ok || !Array.isArray(answer.body)) return;
  state.readers.clear();
  for (const r of answer.body) {
    const serial = r.serial || r.reader;
    if (serial) state.readers.set(serial, Object.assign({}, r, { serial }));
  }
  renderReaders();
}

// ---- the table ----------------------------------------------------------------------------

function fmt(v, digits = 1) { return v === null || v === undefined ? '' : Number(v).toFixed(digits); }
// The time of day of a UTC time stamp; the agent's are ISO texts already.
function timeText(t) {
  if (!t) return '';
  return typeof t === 'string' && t.length === 24 && t[10] === 'T' ? t.substring(11, 23) : new Date(t).toISOString().substring(11, 23);
}

function visibleRows() {
  const f = state.filter.toUpperCase();
  const rows = [];
  for (const row of state.rows.values()) {
    if (row.last_seen && row.last_seen < state.clearedAt) continue;
    if (f && !row.epc.startsWith(f) && !row.identity.toUpperCase().startsWith(f)) continue;
    rows.push(row);
  }
  const k = state.sortKey, sign = state.sortDown ? -1 : 1;
  rows.sort((a, b) => {
    const x = a[k], y = b[k];
    if (x === y) return a.epc < b.epc ? -1 : a.epc > b.epc ? 1 : 0;
    if (x === null || x === undefined) return 1;
    if (y === null || y === undefined) return -1;
    return (x < y ? -1 : 1) * sign;
  });
  return rows;
}

let renderPending = false;
function scheduleRender() {
  if (renderPending) return;
  renderPending = true;
  requestAnimationFrame(() => { renderPending = false; render(); });
}

// The table's rows, made once per tag and updated in place: with a
// thousand tags, rebuilding them at every update would take longer than the
// updates' interval.
const rowElements = new Map();  // row key -> {tr, cells, check}
let shownOrder = [];

// Only the rows on screen (and a margin) get their cells written at an
// update: writing the cells of a thousand rows took longer than the 50 ms
// an update may take. A row that comes into view is brought up to date at
// once.
const inView = new Set();  // row keys
const viewObserver = 'IntersectionObserver' in window ? new IntersectionObserver((entries) => {
  let came = false;
  for (const entry of entries) {
    if (entry.isIntersecting) {
      came = came || !inView.has(entry.target.dataset.key);
      inView.add(entry.target.dataset.key);
    } else {
      inView.delete(entry.target.dataset.key);
    }
  }
  if (came) scheduleRender();
}, { rootMargin: '300px 0px' }) : null;

function rowElement(key, row) {
  let el = rowElements.get(key);
  if (el) return el;
  const tr = document.createElement('tr');
  tr.dataset.key = key;
  tr.dataset.epc = row.epc;
  const check = document.createElement('input');
  check.type = 'checkbox';
  check.className = 'chart-toggle';
  check.setAttribute('aria-label', 'chart ' + row.epc);
  const first = document.createElement('td');
  first.append(check);
  tr.append(first);
  const cells = [];
  for (let i = 0; i < 10; ++i) {
    const td = document.createElement('td');
    tr.append(td);
    cells.push(td);
  }
  const actions = document.createElement('td');
  for (const [name, label] of [['tid', 'TID'], ['user', 'User'], ['write-epc', 'Write EPC'], ['kill', 'Kill'],
                               ['permalock', 'Permalock']]) {
    const b = document.createElement('button');
    b.className = 'action';
    b.dataset.action = name;
    b.textContent = label;
    actions.append(b);
  }
  tr.append(actions);
  el = { tr, cells, check, texts: new Array(10).fill(null) };
  rowElements.set(key, el);
  // Written in full once; the observer then says whether it is on screen.
  inView.add(key);
  if (viewObserver) viewObserver.observe(tr);
  return el;
}

function render() {
  const started = performance.now();
  const tbody = document.querySelector('#tags tbody');
  const rows = visibleRows();
  const order = [];
  for (const row of rows) {
    const key = keyOf(row.reader, row.epc);
    const el = rowElement(key, row);
    order.push(key);
    if (inView.has(key)) {
      const texts = [row.epc, row.identity, String(row.reads), fmt(row.rate), fmt(row.last, 2), fmt(row.peak, 2),
                     fmt(row.mean, 2), timeText(row.first_seen), timeText(row.last_seen), row.present ? 'present' : 'gone'];
      for (let i = 0; i < texts.length; ++i) {
        if (el.texts[i] !== texts[i]) { el.cells[i].textContent = texts[i]; el.texts[i] = texts[i]; }
      }
    }
    const cls = row.present ? 'present' : 'gone';
    if (el.tr.className !== cls) el.tr.className = cls;
    const charted = state.charted.has(key);
    if (el.check.checked !== charted) el.check.checked = charted;
  }
  if (order.length !== shownOrder.length || order.some((k, i) => k !== shownOrder[i])) {
    tbody.replaceChildren(...order.map(k => rowElements.get(k).tr));
    shownOrder = order;
  }
  const present = rows.filter(r => r.present).length;
  document.getElementById('counts').textContent = rows.length + ' tags, ' + present + ' present';
  for (const th of document.querySelectorAll('#tags th[data-key]')) {
    const sorted = th.dataset.key === state.sortKey ? (state.sortDown ? 'down' : 'up') : '';
    if (th.dataset.sorted !== sorted) th.dataset.sorted = sorted;
  }
  updateCharts();
  const spent = performance.now() - started;
  window.zqStats.updates += 1;
  window.zqStats.totalMs += spent;
  window.zqStats.maxMs = Math.max(window.zqStats.maxMs, spent);
  window.zqStats.last.push(spent);
  if (window.zqStats.last.length > 100) window.zqStats.last.shift();
}

// ---- the charts ---------------------------------------------------------------------------

const palette = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];
let signalChart = null, rateChart = null;
const series = new Map();  // row key -> [{x, y}]
const ratePoints = [];

function makeCharts() {
  if (typeof Chart === 'undefined') return;  // the chart library is not installed: the table alone
  const common = { animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true };
  signalChart = new Chart(document.getElementById('signal-chart'), {
    type: 'line',
    data: { datasets: [] },
    options: Object.assign({}, common, {
      scales: { x: { type: 'linear', title: { display: true, text: 'seconds since the page opened' } },
                y: { title: { display: true, text: 'dBm' } } },
      plugins: { legend: { display: true } },
    }),
  });
  rateChart = new Chart(document.getElementById('rate-chart'), {
    type: 'line',
    data: { datasets: [{ label: 'reads/s', data: ratePoints, borderColor: '#555', pointRadius: 0 }] },
    options: Object.assign({}, common, { scales: { x: { type: 'linear', title: { display: true, text: 'seconds' } } } }),
  });
}

function addSignalPoint(key, t, dbm) {
  if (dbm === null || dbm === undefined || !t) return;
  let points = series.get(key);
  if (!points) { points = []; series.set(key, points); }
  const x = (t - PAGE_START) / 1000;
  if (points.length && points[points.length - 1].x >= x) return;
  points.push({ x, y: dbm });
  if (points.length > CHART_POINTS) points.splice(0, points.length - CHART_POINTS);
}

function updateCharts() {
  if (!signalChart) return;
  const datasets = [];
  let i = 0;
  for (const key of state.charted) {
    const row = state.rows.get(key);
    datasets.push({ label: row ? row.epc : key, data: series.get(key) || [], borderColor: palette[i++ % palette.length],
                    pointRadius: 1, showLine: true });
  }
  signalChart.data.datasets = datasets;
  signalChart.update('none');
  rateChart.update('none');
}

// Points of a chart, by tag, for tests and for the record: how many each has.
window.zqChartPoints = () => {
  const out = {};
  for (const key of state.charted) out[(state.rows.get(key) || {}).epc || key] = (series.get(key) || []).length;
  return out;
};

// ---- live updates -----------------------------------------------------------------------

function applyTags(list) {
  const now = Date.now();
  let total = 0;
  const seen = new Set();
  for (const t of list) {
    const row = rowFromTag(t);
    const key = keyOf(row.reader, row.epc);
    seen.add(key);
    total += row.reads;
    const before = state.rows.get(key);
    if (state.charted.has(key) && (!before || before.last_seen !== row.last_seen)) addSignalPoint(key, row.last_seen, row.last);
    state.rows.set(key, row);
  }
  // A tag the agent no longer lists (forgotten after its absence) stays, as gone.
  for (const [key, row] of state.rows) if (!seen.has(key)) row.present = false;
  if (state.lastReads && now > state.lastReads.at) {
    const rate = Math.max(0, (total - state.lastReads.total) * 1000 / (now - state.lastReads.at));
    ratePoints.push({ x: (now - PAGE_START) / 1000, y: rate });
    if (ratePoints.length > RATE_POINTS) ratePoints.splice(0, ratePoints.length - RATE_POINTS);
  }
  state.lastReads = { at: now, total };
  scheduleRender();
}

async function pollTags() {
  if (!state.paused && !state.replaying) {
    const answer = await api('/api/tags').catch(() => null);
    if (answer && answer.ok && Array.isArray(answer.body)) applyTags(answer.body);
  }
  setTimeout(pollTags, POLL_MS);
}

// One event of the stream (or of a replayed recording).
function applyEvent(e) {
  if (!e || typeof e !== 'object') return;
  const serial = e.reader || '';
  if (typeof e.seq === 'number') {
    const last = state.lastSeq.get(serial);
    if (last !== undefined && e.seq > last + 1 && e.type !== 'gap') {
      state.missed += e.seq - last - 1;
      window.zqStats.missed = state.missed;
    }
    if (last === undefined || e.seq > last) state.lastSeq.set(serial, e.seq);
  }
  if (e.type === 'appear' || e.type === 'leave') {
    const key = keyOf(serial, e.epc);
    const row = state.rows.get(key) || rowFromTag({ reader: serial, epc: e.epc, pc: e.pc });
    row.present = e.type === 'appear';
    if (e.identity) row.identity = identityText(e.identity, row.identity);
    if (typeof e.rssi_dbm === 'number') row.last = e.rssi_dbm;
    if (typeof e.reads === 'number') row.reads = e.reads;
    if (e.first_seen) row.first_seen = ms(e.first_seen);
    row.last_seen = ms(e.last_seen || e.time) || row.last_seen;
    state.rows.set(key, row);
    if (state.charted.has(key)) addSignalPoint(key, row.last_seen, row.last);
  } else if (e.type === 'reader') {
    const r = state.readers.get(serial) || { serial };
    r.state = e.state || e.status || r.state;
    state.readers.set(serial, r);
    renderReaders();
  }
  scheduleRender();
}

function onStreamEvent(message) {
  let e;
  try { e = JSON.parse(message.data); } catch (err) { return; }
  state.received += 1;
  window.zqStats.events = state.received;
  if (state.recording) state.recording.push(e);
  if (state.replaying) return;
  if (state.paused) { state.pausedEvents.push(e); return; }
  applyEvent(e);
}

function connect() {
  const source = new EventSource(apiUrl('/api/stream'));
  source.onopen = () => {
    if (state.everConnected) {
      window.zqStats.resumed += 1;
      showConnection('resumed', 'resumed' + (state.missed ? ', ' + state.missed + ' events missed' : ', no event missed'));
    } else {
      showConnection('live', 'live');
    }
    state.connected = state.everConnected = true;
    loadReaders();
  };
  source.onerror = () => {
    state.connected = false;
    showConnection('lost', 'connection lost, reconnecting');
  };
  source.onmessage = onStreamEvent;
  for (const type of ['appear', 'leave', 'summary', 'reader', 'gap']) source.addEventListener(type, onStreamEvent);
}

// ---- controls -----------------------------------------------------------------------------

function say(text, failed) {
  const el = document.getElementById('status');
  el.textContent = text;
  el.dataset.failed = failed ? 'yes' : '';
}

function chosenReader() { return document.getElementById('reader').value; }

async function runOperation(serial, operation, body, done) {
  const answer = await post(serial, operation, body).catch(err => ({ ok: false, body: { message: String(err) } }));
  const b = answer.body || {};
  const text = b.message || (answer.ok ? 'done' : 'failed');
  say(operation + ': ' + text, !answer.ok || (b.result && b.result !== 'ok' && b.result !== 0));
  if (answer.ok && done) done(b);
  return answer;
}

function download(name, text, type) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([text], { type }));
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
}

function csvField(v) {
  const s = v === null || v === undefined ? '' : String(v);
  return /[",\n]/.test(s) ? '"' + s.replace(/"/g, '""') + '"' : s;
}

function exportCsv() {
  const head = ['reader', 'epc', 'identity', 'reads', 'reads_per_s', 'rssi_last_dbm', 'rssi_peak_dbm', 'rssi_mean_dbm',
                'first_seen', 'last_seen', 'state'];
  const lines = [head.join(',')];
  for (const r of visibleRows()) {
    lines.push([r.reader, r.epc, r.identity, r.reads, fmt(r.rate, 2), fmt(r.last, 2), fmt(r.peak, 2), fmt(r.mean, 2),
                r.first_seen ? new Date(r.first_seen).toISOString() : '', r.last_seen ? new Date(r.last_seen).toISOString() : '',
                r.present ? 'present' : 'gone'].map(csvField).join(','));
  }
  download('zelquar-tags.csv', lines.join('\n') + '\n', 'text/csv');
}

async function replay(file) {
  const text = await file.text();
  const events = [];
  for (const line of text.split('\n')) {
    if (!line.trim()) continue;
    try { events.push(JSON.parse(line)); } catch (e) { say('replay: a line is not JSON', true); return; }
  }
  state.replaying = true;
  state.rows.clear();
  state.lastSeq.clear();
  state.missed = 0;
  say('replaying ' + events.length + ' events');
  let previous = 0;
  for (const e of events) {
    const t = ms(e.time);
    // The recording's own pace, each pause at most a second.
    if (previous && t > previous) await new Promise(r => setTimeout(r, Math.min(1000, t - previous)));
    previous = t || previous;
    applyEvent(e);
  }
  state.replaying = false;
  say('replayed ' + events.length + ' events');
}

function wireControls() {
  document.getElementById('start').onclick = () => runOperation(chosenReader(), 'inventory', { action: 'start' });
  document.getElementById('stop').onclick = () => runOperation(chosenReader(), 'inventory', { action: 'stop' });
  document.getElementById('power-set').onclick = () => {
    const level = Number(document.getElementById('power-level').value);
    runOperation(chosenReader(), 'power', { level });
  };
  document.getElementById('pause').onclick = (ev) => {
    state.paused = !state.paused;
    ev.target.setAttribute('aria-pressed', String(state.paused));
    ev.target.textContent = state.paused ? 'Resume' : 'Pause';
    if (!state.paused) { for (const e of state.pausedEvents.splice(0)) applyEvent(e); }
  };
  document.getElementById('clear').onclick = () => {
    state.clearedAt = Date.now();
    state.charted.clear();
    series.clear();
    ratePoints.length = 0;
    scheduleRender();
  };
  document.getElementById('export').onclick = exportCsv;
  document.getElementById('record').onclick = (ev) => {
    if (state.recording) {
      const text = state.recording.map(e => JSON.stringify(e)).join('\n') + '\n';
      state.recording = null;
      download('zelquar-events.jsonl', text, 'application/x-ndjson');
      ev.target.textContent = 'Record events';
      ev.target.setAttribute('aria-pressed', 'false');
    } else {
      state.recording = [];
      ev.target.textContent = 'Stop recording';
      ev.target.setAttribute('aria-pressed', 'true');
    }
  };
  document.getElementById('replay').onchange = (ev) => { if (ev.target.files[0]) replay(ev.target.files[0]); };
  document.getElementById('filter').oninput = (ev) => { state.filter = ev.target.value.trim(); scheduleRender(); };
  for (const th of document.querySelectorAll('#tags th[data-key]')) {
    th.onclick = () => {
      if (state.sortKey === th.dataset.key) state.sortDown = !state.sortDown;
      else { state.sortKey = th.dataset.key; state.sortDown = false; }
      scheduleRender();
    };
  }
  document.querySelector('#tags tbody').addEventListener('click', onRowClick);
  document.querySelector('#tags tbody').addEventListener('change', (ev) => {
    if (!ev.target.classList.contains('chart-toggle')) return;
    const key = ev.target.closest('tr').dataset.key;
    if (ev.target.checked) {
      state.charted.add(key);
      const row = state.rows.get(key);
      if (row) {
        // The strength the agent kept for it so far, then the updates.
        api('/api/tags?reader=' + encodeURIComponent(row.reader) + '&epc=' + row.epc + '&history=1').then((answer) => {
          const t = answer.ok && Array.isArray(answer.body) ? answer.body[0] : null;
          const before = series.get(key) || [];
          series.set(key, []);
          for (const h of (t && t.history) || []) addSignalPoint(key, h[0], h[1]);
          for (const p of before) addSignalPoint(key, p.x * 1000 + PAGE_START, p.y);
          scheduleRender();
        });
        addSignalPoint(key, row.last_seen, row.last);
      }
    } else {
      state.charted.delete(key);
    }
    scheduleRender();
  });
}

// ---- row actions --------------------------------------------------------------------------

function dialog(title, build) {
  const d = document.getElementById('tag-dialog');
  document.getElementById('dialog-title').textContent = title;
  const body = document.getElementById('dialog-body');
  body.replaceChildren();
  build(body);
  d.showModal();
  return d;
}

function field(body, label, name, placeholder) {
  const l = document.createElement('label');
  l.textContent = label + ' ';
  const input = document.createElement('input');
  input.name = name;
  input.placeholder = placeholder || '';
  l.append(input);
  body.append(l);
  return input;
}

function button(body, text, onclick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.onclick = onclick;
  body.append(b);
  return b;
}

function onRowClick(ev) {
  const b = ev.target.closest('button.action');
  if (!b) return;
  const tr = b.closest('tr');
  const row = state.rows.get(tr.dataset.key);
  if (!row) return;
  const serial = row.reader, epc = row.epc;
  const action = b.dataset.action;
  if (action === 'tid' || action === 'user') {
    const bank = action;
    runOperation(serial, 'read', { epc, bank, ptr: 0, words: bank === 'tid' ? 4 : 8 }, (answer) => {
      say('read ' + bank + ' of ' + epc + ': ' + (answer.data || answer.message || ''));
    });
  } else if (action === 'write-epc') {
    dialog('Write a new EPC to ' + epc, (body) => {
      const hex = field(body, 'EPC (hex)', 'new', '300833B2DDD9014000000001');
      const uri = field(body, 'or GS1 identity', 'uri', 'urn:epc:tag:sgtin-96:1.0614141.812345.6789');
      const password = field(body, 'access password', 'password', '00000000');
      button(body, 'Write', async () => {
        const request = { epc };
        if (uri.value.trim()) request.uri = uri.value.trim(); else request.new = hex.value.trim();
        if (password.value.trim()) request.password = password.value.trim();
        document.getElementById('tag-dialog').close();
        await runOperation(serial, 'write-epc', request);
      });
    });
  } else if (action === 'kill' || action === 'permalock') {
    const what = action === 'kill' ? 'Kill ' + epc + ' for good? A killed tag never answers again.'
                                    : 'Permalock the EPC bank of ' + epc + '? It can never be written again.';
    dialog(action === 'kill' ? 'Kill' : 'Permalock', (body) => {
      const password = field(body, action === 'kill' ? 'kill password' : 'access password', 'password', '00000000');
      button(body, action === 'kill' ? 'Kill' : 'Permalock', async () => {
        if (!window.confirm(what)) return;
        document.getElementById('tag-dialog').close();
        const request = action === 'kill' ? { epc, password: password.value.trim() }
                                          : { epc, lock: 'epc=permalock', password: password.value.trim() || '00000000' };
        await runOperation(serial, action === 'kill' ? 'kill' : 'lock', request);
      });
    });
  }
}

// ---- start ----------------------------------------------------------------------------------

window.addEventListener('DOMContentLoaded', () => {
  makeCharts();
  wireControls();
  loadReaders();
  connect();
  pollTags();
});
