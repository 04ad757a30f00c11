import { el } from './dom.js';

// The wall: one tile per monitor screen, grouped by the link the monitor is on,
// with its name, input, UMD labels in their colours and the tally as the lamp.

function linkTitle(link) {
  return link === 'lan' ? 'Network' : `Serial line ${link.replace(/^serial:/, '')}`;
}

function setText(e, text) {
  if (e.textContent !== text) e.textContent = text;
}

export function silentText(m) {
  if (m.silentSince === null) return 'never answered';
  const s = Math.max(0, Math.round((performance.now() - m.silentSince) / 1000));
  return s < 120 ? `silent ${s} s` : s < 7200 ? `silent ${Math.round(s / 60)} min` : `silent ${Math.round(s / 3600)} h`;
}

export function createWall(model, root) {
  const links = root.querySelector('#links');
  const filter = root.querySelector('#filter');
  const count = root.querySelector('#wall-count');
  const tiles = new Map(); // "name/screen" -> {tile, parts}
  let lastOpened = null;

  function tileFor(m, n) {
    const tile = el('button', { className: 'tile', type: 'button' });
    tile.dataset.monitor = m.name;
    tile.dataset.screen = String(n);
    const name = el('span', { className: 'tile-name' });
    const device = el('span', { className: 'tile-device' });
    const input = el('span', { className: 'tile-input' });
    const umds = el('span', { className: 'tile-umds' });
    const silent = el('span', { className: 'tile-silent' });
    tile.append(el('span', { className: 'tile-lamp' }), name, device, input, umds, silent);
    tile.addEventListener('click', () => {
      lastOpened = `${m.name}/${n}`;
      location.hash = `#/monitor/${encodeURIComponent(m.name)}/${n}`;
    });
    const entry = { tile, name, device, input, umds, silent, umd: [] };
    tiles.set(`${m.name}/${n}`, entry);
    return entry;
  }

  function fill(entry, m, n) {
    const s = m.screens[n - 1] || { settings: null, labels: [], input: '' };
    const set = s.settings || {};
    const tally = set.tally || 'off';
    if (entry.tile.dataset.tally !== tally) entry.tile.dataset.tally = tally;
    entry.tile.classList.toggle('offline', !m.online);
    setText(entry.name, m.screenCount > 1 ? `${m.name} · ${n}` : m.name);
    setText(entry.device, m.monitorName);
    setText(entry.input, s.input || (s.known ? 'no input' : '–'));
    setText(entry.silent, m.online ? '' : silentText(m));
    const labels = [];
    for (let k = 1; k <= 4; k += 1) {
      const text = s.labels[k - 1];
      if (text === null || text === undefined || !(`umd${k}On` in set || k === 1)) continue;
      labels.push({ slot: k, text, color: set[`umd${k}Color`] || 'white', off: set[`umd${k}On`] === 'off' });
    }
    while (entry.umd.length < labels.length) {
      const span = el('span', { className: 'tile-umd' });
      entry.umds.append(span);
      entry.umd.push(span);
    }
    entry.umd.forEach((span, i) => {
      const l = labels[i];
      span.hidden = !l;
      if (!l) return;
      span.dataset.slot = String(l.slot);
      span.dataset.color = l.color;
      span.classList.toggle('off', l.off);
      setText(span, l.text || ' ');
    });
    const state = m.online ? `tally ${tally}` : `offline, ${silentText(m)}`;
    const aria = `${m.name} screen ${n}, ${state}${labels.length ? `, label ${labels.map((l) => l.text).join(' / ')}` : ''}`;
    if (entry.tile.getAttribute('aria-label') !== aria) {
      entry.tile.setAttribute('aria-label', aria);
      entry.tile.title = aria; // a name cut short shows whole under the pointer
    }
  }

  function applyFilter() {
    const words = filter.value.trim().toLowerCase();
    let shown = 0;
    let total = 0;
    for (const section of links.children) {
      let any = false;
      for (const tile of section.querySelectorAll('.tile')) {
        const m = model.monitors.get(tile.dataset.monitor);
        const hit = !words || `${m.name} ${m.monitorName}`.toLowerCase().includes(words);
        tile.hidden = !hit;
        any = any || hit;
        shown += hit ? 1 : 0;
        total += 1;
      }
      section.hidden = !any;
    }
    count.textContent = words ? `${shown} of ${total} screens` : `${total} screens`;
  }

  function render() {
    tiles.clear();
    const sections = new Map();
    for (const m of model.monitors.values()) {
      let section = sections.get(m.link);
      if (!section) {
        section = el('section', { className: 'link' });
        section.dataset.link = m.link;
        section.append(el('h2', { text: linkTitle(m.link) }), el('div', { className: 'tiles' }));
        sections.set(m.link, section);
      }
      for (let n = 1; n <= Math.max(1, m.screenCount); n += 1) {
        const entry = tileFor(m, n);
        fill(entry, m, n);
        section.lastChild.append(entry.tile);
      }
    }
    links.replaceChildren(...sections.values());
    applyFilter();
  }

  // One monitor changed: its screen n, or all of its screens.
  function update(m, n) {
    for (let k = n || 1; k <= (n || Math.max(1, m.screenCount)); k += 1) {
      const entry = tiles.get(`${m.name}/${k}`);
      if (entry) fill(entry, m, k);
    }
  }

  filter.addEventListener('input', applyFilter);
  // Offline tiles count their silence.
  setInterval(() => {
    for (const m of model.monitors.values()) if (!m.online) update(m);
  }, 1000);

  // Many monitors added or identified at once (a search, a service start) make one render.
  let soon = false;
  function renderSoon() {
    if (soon) return;
    soon = true;
    requestAnimationFrame(() => { soon = false; render(); });
  }

  return {
    render,
    renderSoon,
    update,
    focusLast() {
      const entry = lastOpened && tiles.get(lastOpened);
      if (entry) entry.tile.focus();
    },
  };
}
