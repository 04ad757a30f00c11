// The page: the wall of monitor screens and one monitor's controls, kept live
// from the service's event stream.
import { connectEvents, request } from './api.js';
import { createWall } from './wall.js';
import { createMonitorView } from './monitor.js';

// Everything the page knows, as the service last told it.
const model = {
  pages: [],            // settings pages in order: {group, caption}
  fields: [],           // the field table
  field: new Map(),     // by name
  pauseMs: 500,         // a monitor takes one frame this often
  monitors: new Map(),  // by name, in the service's order
  types: null,          // what each monitor type offers: {rows, otherRow, lacking, disabled, off, captions}
};

const stats = { applied: 0 };
window.telvanorPage = stats;

function screenOf(json) {
  return {
    known: !!json.known,
    input: json.input || '',
    labels: (json.labels || []).slice(0, 4),
    settings: json.settings || null,
  };
}

function monitorOf(json) {
  const m = {
    name: json.name,
    target: json.target || '',
    link: json.link || 'lan',
    type: json.type ?? null,
    screenCount: json.screenCount || 0,
    online: !!json.online,
    monitorName: json.monitorName || '',
    silentSince: null,
    screens: (json.screens || []).map(screenOf),
  };
  setSilent(m, json.silentMs);
  return m;
}

function setSilent(m, silentMs) {
  m.silentSince = typeof silentMs === 'number' ? performance.now() - silentMs : m.silentSince;
}

function screenAt(m, n) {
  while (m.screens.length < n) m.screens.push(screenOf({}));
  return m.screens[n - 1];
}

const wall = createWall(model, document.getElementById('wall'));
const view = createMonitorView(model, document.getElementById('monitor'));

// One event applied to the model and the views it touches.
function apply(msg) {
  const m = model.monitors.get(msg.monitor);
  switch (msg.type) {
    case 'snapshot':
      model.monitors = new Map(msg.monitors.map((j) => [j.name, monitorOf(j)]));
      wall.render();
      view.rebuild();
      return;
    case 'added':
      model.monitors.set(msg.monitor.name, monitorOf(msg.monitor));
      wall.renderSoon();
      return;
    case 'request':
      return;
  }
  if (!m) return;
  const s = msg.screen ? screenAt(m, msg.screen) : null;
  switch (msg.type) {
    case 'identified':
      m.type = msg.deviceType;
      m.screenCount = msg.screenCount;
      screenAt(m, m.screenCount);
      wall.renderSoon();
      view.rebuild(m.name);
      return;
    case 'online':
      m.online = msg.online;
      setSilent(m, msg.silentMs);
      break;
    case 'screen':
      Object.assign(s, screenOf(msg));
      m.monitorName = msg.monitorName ?? m.monitorName;
      view.rebuild(m.name, msg.screen);
      break;
    case 'field':
      s.settings = s.settings || {};
      s.settings[msg.field] = msg.after;
      break;
    case 'label':
      s.labels[msg.slot - 1] = msg.text;
      break;
    case 'input':
      s.input = msg.input;
      break;
    case 'name':
      m.monitorName = msg.monitorName;
      break;
    default:
      return;
  }
  wall.update(m, msg.screen);
  view.update(m.name, msg.screen);
}

function onMessage(msg) {
  apply(msg);
  stats.applied += 1;
}

const conn = document.getElementById('conn');
function onState(state) {
  conn.dataset.state = state;
  conn.textContent = state === 'open' ? 'Live'
    : state === 'connecting' ? 'Connecting…' : 'Service unreachable — reconnecting…';
  document.body.classList.toggle('away', state !== 'open');
}

function route() {
  const parts = location.hash.replace(/^#\/?/, '').split('/').map(decodeURIComponent);
  const onMonitor = parts[0] === 'monitor' && parts[1];
  document.getElementById('wall').hidden = !!onMonitor;
  document.getElementById('monitor').hidden = !onMonitor;
  if (onMonitor) view.show(parts[1], Number(parts[2]) || 1);
  else {
    view.hide();
    wall.focusLast();
  }
}

async function start() {
  let table = null;
  while (!table) {
    try {
      table = await request('GET', '/fields');
    } catch {
      onState('closed');
      await new Promise((resolve) => { setTimeout(resolve, 1000); });
    }
  }
  model.pages = table.pages;
  model.fields = table.fields;
  model.field = new Map(table.fields.map((f) => [f.name, f]));
  model.pauseMs = table.pauseMs || model.pauseMs;
  model.types = table.types;
  window.addEventListener('hashchange', route);
  route();
  connectEvents(onMessage, onState);
}

start();
