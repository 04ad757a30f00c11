import { el } from './dom.js';

// The wall: one tile per monitor screen with its name, input, UMD labels in
// their colours and the tally as the lamp. A service on no broker groups them
// by the link each monitor is on; one with sites, by site and, within a site,
// by room (a monitor in none under its link, or another site's under "No
// room"). Filters by site, room, tally and text combine; the dense view fits
// some 250 screens on a 1920 x 1080 window and is remembered by the browser.

const denseKey = 'telvanor.dense';

function linkTitle(link) {
  return link === 'lan' ? 'Network' : `Serial line ${link.replace(/^serial:/, '')}`;
}

function setText(e, text) {
  if (e.textContent !== text) e.textContent = text;
}

// How long ago a moment on performance.now()'s clock was, in words.
export function ageText(since) {
  const s = Math.max(0, Math.round((performance.now() - since) / 1000));
  return s < 120 ? `${s} s` : s < 7200 ? `${Math.round(s / 60)} min` : `${Math.round(s / 3600)} h`;
}

export function silentText(m) {
  if (m.silentSince === null) return m.remote ? 'not answering' : 'never answered';
  return `silent ${ageText(m.silentSince)}`;
}

// The monitor's site when that site is gone: the monitor keeps what it last told.
export function goneSite(model, m) {
  const s = m.site === null ? undefined : model.sites.get(m.site);
  return s && !s.online ? s : null;
}

// What is wrong with a monitor in a few words; '' while it answers.
export function troubleText(model, m) {
  const gone = goneSite(model, m);
  if (gone) return `gone ${ageText(gone.goneSince)}`;
  return m.online ? '' : silentText(m);
}

// Runs fn at the next frame, once however often it is asked for meanwhile.
function coalesced(fn) {
  let queued = false;
  return () => {
    if (queued) return;
    queued = true;
    requestAnimationFrame(() => { queued = false; fn(); });
  };
}

export function createWall(model, root) {
  const links = root.querySelector('#links');
  const filter = root.querySelector('#filter');
  const count = root.querySelector('#wall-count');
  const dense = root.querySelector('#dense');
  const pick = { site: root.querySelector('#filter-site'), room: root.querySelector('#filter-room'), tally: root.querySelector('#filter-tally') };
  const tiles = new Map(); // "name/screen" -> {tile, parts}
  const heads = new Map(); // site -> {section, title}
  let siteNames = [];      // in the wall's order
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

  const filtering = () => !!(filter.value.trim() || pick.site.value || pick.room.value || pick.tally.value);

  function matches(m, n) {
    const s = m.screens[n - 1];
    const words = filter.value.trim().toLowerCase();
    return (!pick.site.value || m.site === pick.site.value)
      && (!pick.room.value || m.room === pick.room.value)
      && (!pick.tally.value || (s?.settings?.tally || 'off') === pick.tally.value)
      && (!words || [m.name, m.monitorName, ...(s?.labels || [])].join(' ').toLowerCase().includes(words));
  }

  function fill(entry, m, n) {
    const s = m.screens[n - 1] || { settings: null, labels: [], input: '' };
    const set = s.settings || {};
    const tally = set.tally || 'off';
    const gone = goneSite(model, m);
    const trouble = troubleText(model, m);
    if (entry.tile.dataset.tally !== tally) entry.tile.dataset.tally = tally;
    entry.tile.classList.toggle('offline', !m.online);
    entry.tile.classList.toggle('gone', !!gone);
    // Another site's monitor is named SITE~NAME; its group names the site.
    const shortName = m.remote ? m.name.slice(m.site.length + 1) : m.name;
    setText(entry.name, m.screenCount > 1 ? `${shortName} · ${n}` : shortName);
    setText(entry.device, m.monitorName);
    setText(entry.input, s.input || (s.known ? 'no input' : '–'));
    setText(entry.silent, trouble);
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
    const state = gone ? `${trouble}, last tally ${tally}` : m.online ? `tally ${tally}` : `offline, ${trouble}`;
    const aria = `${m.name} screen ${n}, ${state}${labels.length ? `, label ${labels.map((l) => l.text).join(' / ')}` : ''}`;
    if (entry.tile.getAttribute('aria-label') !== aria) {
      entry.tile.setAttribute('aria-label', aria);
      entry.tile.title = aria; // a name cut short shows whole under the pointer
    }
    if (filtering() && entry.tile.hidden === matches(m, n)) filterSoon(); // its tally or label moved it in or out
  }

  function applyFilter() {
    let shown = 0;
    for (const entry of tiles.values()) {
      const hit = matches(model.monitors.get(entry.tile.dataset.monitor), Number(entry.tile.dataset.screen));
      entry.tile.hidden = !hit;
      shown += hit ? 1 : 0;
    }
    for (const section of links.querySelectorAll('section')) section.hidden = !section.querySelector('.tile:not([hidden])');
    count.textContent = filtering() ? `${shown} of ${tiles.size} screens` : `${tiles.size} screens`;
  }
  const filterSoon = coalesced(applyFilter);

  function fillPick(select, values) {
    const keep = select.value;
    select.replaceChildren(select.firstElementChild, ...values.map((v) => el('option', { value: v, text: v })));
    select.value = values.includes(keep) ? keep : '';
    select.parentElement.hidden = !values.length;
  }

  // The sites' and their rooms' names to pick from: the rooms of the site picked, or of all.
  function fillPicks() {
    fillPick(pick.site, siteNames);
    const rooms = new Set();
    for (const m of model.monitors.values()) if (m.room !== null && (!pick.site.value || m.site === pick.site.value)) rooms.add(m.room);
    fillPick(pick.room, [...rooms].sort());
  }

  function group(className, title, heading) {
    const section = el('section', { className });
    section.append(el(heading, { text: title }), el('div', { className: 'tiles' }));
    return section;
  }

  // The group a monitor's tiles go in; groups made on the way.
  function groupOf(sites, loose, m) {
    if (!sites) {
      if (!loose.has(m.link)) {
        const g = group('link', linkTitle(m.link), 'h2');
        g.dataset.link = m.link;
        g.order = 0;
        loose.set(m.link, g);
      }
      return loose.get(m.link);
    }
    let site = sites.get(m.site);
    if (!site) {
      site = { section: el('section', { className: 'site' }), groups: new Map() };
      site.section.dataset.site = m.site;
      const title = el('h2');
      site.section.append(title);
      heads.set(m.site, { section: site.section, title });
      sites.set(m.site, site);
    }
    const key = m.room !== null ? `room:${m.room}` : m.remote ? 'none' : `link:${m.link}`;
    if (!site.groups.has(key)) {
      const g = group('room', m.room ?? (m.remote ? 'No room' : linkTitle(m.link)), 'h3');
      g.dataset.room = m.room ?? '';
      g.order = m.room === null ? 1 : 0; // rooms first, then what is in none
      site.groups.set(key, g);
    }
    return site.groups.get(key);
  }

  function refreshHeads() {
    for (const [name, head] of heads) {
      const s = model.sites.get(name);
      const gone = !!s && !s.online;
      head.section.classList.toggle('gone', gone);
      setText(head.title, gone ? `${name} — gone ${ageText(s.goneSince)}` : s?.here ? `${name} · this service` : name);
    }
  }

  function render() {
    tiles.clear();
    heads.clear();
    const sited = model.sites.size > 0 || [...model.monitors.values()].some((m) => m.site !== null);
    const sites = sited ? new Map() : null;
    const loose = new Map();
    // This service's monitors in its order, other sites' by name with their numbers as numbers (cam2 before cam10).
    const byName = new Intl.Collator(undefined, { numeric: true });
    const order = [...model.monitors.values()].sort((a, b) => a.remote - b.remote || (a.remote ? byName.compare(a.name, b.name) : 0));
    for (const m of order) {
      const g = groupOf(sites, loose, m);
      for (let n = 1; n <= Math.max(1, m.screenCount); n += 1) {
        const entry = tileFor(m, n);
        fill(entry, m, n);
        g.lastChild.append(entry.tile);
      }
    }
    const byOrder = (groups) => [...groups.values()].sort((a, b) => a.order - b.order);
    siteNames = [];
    if (sited) {
      // This service's own site first, then the others by name.
      const here = (name) => (model.sites.get(name)?.here ? 0 : 1);
      siteNames = [...sites.keys()].sort((a, b) => here(a) - here(b) || a.localeCompare(b));
      for (const site of sites.values()) site.section.append(el('div', { className: 'groups' }, ...byOrder(site.groups)));
      links.replaceChildren(...siteNames.map((name) => sites.get(name).section));
    } else {
      links.replaceChildren(...byOrder(loose));
    }
    refreshHeads();
    fillPicks();
    applyFilter();
  }

  // One monitor changed: its screen n, or all of its screens.
  function update(m, n) {
    for (let k = n || 1; k <= (n || Math.max(1, m.screenCount)); k += 1) {
      const entry = tiles.get(`${m.name}/${k}`);
      if (entry) fill(entry, m, k);
    }
  }

  function setDense(on) {
    root.classList.toggle('dense', on);
    dense.setAttribute('aria-pressed', String(on));
    localStorage.setItem(denseKey, on ? 'on' : 'off');
  }
  setDense(localStorage.getItem(denseKey) === 'on');
  dense.addEventListener('click', () => setDense(!root.classList.contains('dense')));

  filter.addEventListener('input', applyFilter);
  pick.site.addEventListener('change', () => { fillPicks(); applyFilter(); });
  pick.room.addEventListener('change', applyFilter);
  pick.tally.addEventListener('change', applyFilter);
  // Offline tiles count their silence, a gone site's tiles and heading how long it has been gone.
  setInterval(() => {
    for (const m of model.monitors.values()) if (!m.online || goneSite(model, m)) update(m);
    refreshHeads();
  }, 1000);

  return {
    render,
    // Many monitors added or identified at once (a search, a service start) make one render.
    renderSoon: coalesced(render),
    update,
    // A site came or went: its heading and its monitors' tiles.
    siteChanged(site) {
      for (const m of model.monitors.values()) if (m.site === site) update(m);
      refreshHeads();
    },
    focusLast() {
      const entry = lastOpened && tiles.get(lastOpened);
      if (entry) entry.tile.focus();
    },
  };
}
