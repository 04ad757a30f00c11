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
  sites: new Map(),     // by name: {online, here, goneSince}; none without a broker
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

// A site as last heard of; gone since performance.now() - silentMs.
function siteOf(name, online, silentMs) {
  let s = model.sites.get(name);
  if (!s) {
    s = { online: true, here: false, goneSince: null };
    model.sites.set(name, s);
  }
  if (typeof online === 'boolean') s.online = online;
  s.goneSince = s.online ? null : typeof silentMs === 'number' ? performance.now() - silentMs : s.goneSince ?? performance.now();
  return s;
}

function monitorOf(json) {
  // Another site's monitor: its silentMs is its site's, and it says whether its site is here.
  const remote = typeof json.siteOnline === 'boolean';
  const m = {
    name: json.name,
    site: json.site ?? null,
    room: json.room ?? null,
    remote,
    target: json.target || '',
    link: json.link || 'lan',
    type: json.type ?? null,
    screenCount: json.screenCount || 0,
    online: !!json.online,
    monitorName: json.monitorName || '',
    silentSince: null,
    screens: (json.screens || []).map(screenOf),
  };
  if (!remote) setSilent(m, json.silentMs);
  else if (!model.sites.has(m.site)) siteOf(m.site, json.siteOnline, json.silentMs);
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

// One screen's values of a "state" message: settings, input, umd1-umd4.
function applyScreen(m, n, values) {
  const s = screenAt(m, n);
  for (const [key, value] of Object.entries(values)) {
    const umd = /^umd([1-4])$/.exec(key);
    if (key === 'input') s.input = value ?? '';
    else if (umd) s.labels[umd[1] - 1] = value;
    else if (value === null) delete s.settings?.[key];
    else (s.settings ||= {})[key] = value;
  }
  s.known = !!s.settings && Object.keys(s.settings).length > 0;
  if (!s.known) s.settings = null;
  view.rebuild(m.name, n);
}

// Another site's changes to one monitor, as a "state" message has them: a null value is gone.
function applyState(name, changes) {
  const m = model.monitors.get(name);
  if (!m) return;
  let reshaped = false;
  for (const [key, value] of Object.entries(changes)) {
    if (/^[1-8]$/.test(key)) applyScreen(m, Number(key), value);
    else if (key === 'online') m.online = !!value;
    else if (key === 'monitorName') m.monitorName = value ?? '';
    else if (key === 'type' || key === 'screenCount' || key === 'room') {
      m[key] = key === 'screenCount' ? value || 0 : value;
      reshaped = true;
    }
  }
  // Screens beyond a new count are gone.
  if ('screenCount' in changes && m.screenCount) m.screens.length = Math.min(m.screens.length, m.screenCount);
  if (reshaped) {
    wall.renderSoon();
    view.rebuild(name);
  } else {
    wall.update(m);
    view.update(name);
  }
}

// One event applied to the model and the views it touches.
function apply(msg) {
  const m = model.monitors.get(msg.monitor);
  switch (msg.type) {
    case 'snapshot':
      model.sites = new Map();
      for (const j of msg.sites || []) siteOf(j.site, j.online, j.silentMs).here = !!j.here;
      model.monitors = new Map(msg.monitors.map((j) => [j.name, monitorOf(j)]));
      wall.render();
      view.rebuild();
      return;
    case 'added':
      model.monitors.set(msg.monitor.name, monitorOf(msg.monitor));
      wall.renderSoon();
      return;
    case 'state':
      for (const [name, changes] of Object.entries(msg.state)) applyState(name, changes);
      return;
    case 'site':
      siteOf(msg.site, msg.online, 0);
      wall.siteChanged(msg.site);
      for (const other of model.monitors.values()) if (other.site === msg.site) view.update(other.name);
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
