// One monitor screen: its settings on the pages the window shows them on, each
// control sending through the API; values follow the monitor as events arrive.
import { ApiError, path, request } from './api.js';
import { el } from './dom.js';
import { createPresets } from './presets.js';
import { typeRules } from './typerules.js';
import { ageText, goneSite, silentText } from './wall.js';

// Sends the latest value of one control: at once when the monitor's pace allows,
// else when it does; never two requests at a time, never closer than the pace.
// The last value set is always the last one sent.
class Pacer {
  constructor(pauseMs, send) {
    this.pauseMs = pauseMs;
    this.send = send;
    this.last = -Infinity;
    this.busy = false;
    this.timer = null;
    this.pending = undefined;
  }

  active() { return this.busy || this.pending !== undefined; }

  set(value) {
    this.pending = value;
    this.kick();
  }

  kick() {
    if (this.busy || this.pending === undefined || this.timer) return;
    const wait = this.last + this.pauseMs - performance.now();
    if (wait > 0) {
      this.timer = setTimeout(() => { this.timer = null; this.kick(); }, wait);
      return;
    }
    const value = this.pending;
    this.pending = undefined;
    this.busy = true;
    this.last = performance.now();
    this.send(value).finally(() => { this.busy = false; this.kick(); });
  }
}

export function createMonitorView(model, root) {
  let name = null;
  let screen = 1;
  let controls = [];  // {refresh()} of the controls shown
  let header = null;
  let builtType;
  let rules;  // of the shown monitor's type
  const presets = createPresets(model);

  const monitor = () => model.monitors.get(name);
  const current = () => monitor()?.screens[screen - 1];
  const screenPath = (...rest) => path('monitors', name, 'screens', screen, ...rest);

  function errorLine(key) {
    return el('p', { className: 'error', role: 'alert', 'data-for': key, hidden: true });
  }

  // Runs a request for a control; its error shows in the control's error line.
  async function run(errorEl, method, url, body) {
    try {
      const answer = await request(method, url, body);
      errorEl.hidden = true;
      errorEl.textContent = '';
      return answer;
    } catch (e) {
      errorEl.textContent = e instanceof ApiError ? e.message : String(e);
      errorEl.hidden = false;
      throw e;
    }
  }

  function slider(f) {
    const id = `f-${f.name}`;
    const offered = [];
    for (let v = f.min; v <= f.max; v += 1) if (rules.offers(f.name, v)) offered.push(v);
    const input = el('input', {
      type: 'range', id, min: offered[0], max: offered.at(-1), step: 1, 'data-field': f.name,
    });
    const out = el('output', { 'data-for': f.name, for: id });
    const err = errorLine(f.name);
    const target = { name, screen };
    const pacer = new Pacer(model.pauseMs, (value) =>
      run(err, 'PATCH', path('monitors', target.name, 'screens', target.screen), { [f.name]: value })
        .catch(() => { input.value = current()?.settings?.[f.name] ?? input.value; out.value = input.value; }));
    let held = false;
    input.addEventListener('pointerdown', () => { held = true; });
    input.addEventListener('pointerup', () => { held = false; });
    input.addEventListener('input', () => { out.value = input.value; pacer.set(Number(input.value)); });
    input.addEventListener('change', () => { held = false; pacer.set(Number(input.value)); });
    const row = el('div', { className: 'control slider' },
      el('label', { for: id, text: f.caption }), input, out, err);
    controls.push({
      refresh(set) {
        // The values other settings leave open; none open: the slider is off.
        const open = offered.filter((v) => !rules.off(f.name, v, set));
        input.disabled = !open.length;
        if (held || pacer.active() || !(f.name in set)) return;
        const v = String(set[f.name]);
        if (open.length) {
          // Cut to what is open, yet always wide enough to show where the monitor is.
          const lo = String(Math.min(open[0], set[f.name]));
          const hi = String(Math.max(open.at(-1), set[f.name]));
          if (input.min !== lo) input.min = lo;
          if (input.max !== hi) input.max = hi;
        }
        if (input.value !== v) input.value = v;
        if (out.value !== v) out.value = v;
      },
    });
    return row;
  }

  function options(f, caption, send) {
    const err = errorLine(f.name);
    const labelId = `l-${f.name}`;
    const group = el('div', { role: 'group', 'data-field': f.name, 'aria-labelledby': labelId, className: 'options' });
    const buttons = f.values.filter((v) => rules.offers(f.name, v.value)).map((v) => {
      const b = el('button', {
        type: 'button', 'data-value': v.name, text: rules.caption(f.name, v.value) ?? v.name, 'aria-pressed': 'false',
      });
      b.value = v.value;
      b.addEventListener('click', () => {
        group.setAttribute('aria-busy', 'true');
        send(v.name, err).catch(() => {}).finally(() => group.removeAttribute('aria-busy'));
      });
      group.append(b);
      return b;
    });
    controls.push({
      refresh(set) {
        const now = String(set[f.name]);
        for (const b of buttons) {
          const pressed = String(b.dataset.value === now);
          if (b.getAttribute('aria-pressed') !== pressed) b.setAttribute('aria-pressed', pressed);
          const off = rules.off(f.name, Number(b.value), set);
          if (b.disabled !== off) b.disabled = off;
        }
      },
    });
    return el('div', { className: 'control' }, el('span', { className: 'caption', id: labelId, text: caption }), group, err);
  }

  const patch = (f) => (value, err) => run(err, 'PATCH', screenPath(), { [f.name]: value });

  function umdSlot(k, set) {
    const id = `umd-text-${k}`;
    const input = el('input', { id, type: 'text', maxLength: 16, 'data-umd-slot': k, autocomplete: 'off', spellcheck: false });
    const err = errorLine(`umd${k}`);
    const send = el('button', { type: 'button', 'data-umd-send': k, text: 'Send label' });
    const go = () => run(err, 'POST', screenPath('umd'), { slot: k, text: input.value }).catch(() => {});
    send.addEventListener('click', go);
    input.addEventListener('keydown', (e) => { if (e.key === 'Enter') go(); });
    const box = el('div', { className: 'umd-slot' },
      el('div', { className: 'control text' }, el('label', { for: id, text: `UMD ${k} label` }), input, send, err));
    for (const fname of [`umd${k}On`, `umd${k}Color`]) {
      const f = model.field.get(fname);
      if (f && fname in set) box.append(options(f, f.caption, patch(f)));
    }
    controls.push({
      refresh() {
        const text = current()?.labels[k - 1];
        if (document.activeElement !== input && typeof text === 'string' && input.value !== text) input.value = text;
      },
    });
    return box;
  }

  function pageOf(group, set) {
    const fs = el('fieldset', { className: 'page', 'data-group': group.group },
      el('legend', { text: group.caption }));
    for (const f of model.fields) {
      if (f.group !== group.group || !(f.name in set) || /^umd\d/.test(f.name)) continue;
      if (f.name === 'tally') {
        fs.append(options(f, f.caption, (value, err) => run(err, 'POST', screenPath('tally'), { tally: value })));
      } else {
        fs.append(f.values ? options(f, f.caption, patch(f)) : slider(f));
      }
    }
    if (group.group === 6) for (let k = 1; k <= 4; k += 1) if (`umd${k}On` in set) fs.append(umdSlot(k, set));
    return fs;
  }

  // A page far down a phone's single column is one tap away; the keyboard's
  // focus follows, so that Tab goes on from there.
  function jumpTo(target, key, caption) {
    const b = el('button', { type: 'button', 'data-jump': key, text: caption });
    target.tabIndex = -1;
    b.addEventListener('click', () => {
      target.scrollIntoView({ block: 'start' });
      target.focus({ preventScroll: true });
    });
    return b;
  }

  function refreshHeader() {
    const m = monitor();
    if (!header || !m) return;
    const s = current();
    const gone = goneSite(model, m);
    header.status.textContent = gone ? `site ${m.site} gone ${ageText(gone.goneSince)}: as it last told`
      : m.online ? 'answering' : `not answering — ${silentText(m)}`;
    header.status.dataset.online = String(m.online && !gone);
    header.device.textContent = [m.monitorName, m.type === null ? '' : `type ${m.type}`, s?.input,
      [m.site, m.room].filter((p) => p !== null).join(' / ')].filter(Boolean).join(' · ');
  }

  function refresh() {
    refreshHeader();
    const set = current()?.settings;
    if (set) for (const c of controls) c.refresh(set);
  }

  function build() {
    // A slider value still to go out goes on to the screen it was meant for.
    controls = [];
    const m = monitor();
    if (!m) {
      root.replaceChildren(el('p', { className: 'note', text: `No monitor named ${name}.` }), el('a', { href: '#/', text: '← Wall' }));
      header = null;
      return;
    }
    builtType = m.type;
    rules = typeRules(model, m.type);
    root.dataset.monitor = name;
    root.dataset.screen = String(screen);
    const tabs = el('nav', { className: 'screens', 'aria-label': 'Screens' });
    for (let n = 1; m.screenCount > 1 && n <= m.screenCount; n += 1) {
      tabs.append(el('a', { href: `#/monitor/${encodeURIComponent(name)}/${n}`, text: `Screen ${n}`,
        ...(n === screen ? { 'aria-current': 'page' } : {}) }));
    }
    header = {
      status: el('span', { className: 'status' }),
      device: el('span', { className: 'device' }),
    };
    const head = el('div', { className: 'monitor-head' },
      el('a', { className: 'back', href: '#/', text: '← Wall' }),
      el('h1', { text: name, tabIndex: -1 }), header.device, header.status, tabs);
    const s = current();
    const body = el('div', { className: 'pages' });
    const jumps = el('nav', { className: 'jumps', 'aria-label': 'Pages' });
    const err = errorLine('screen');
    if (s && s.settings) {
      for (const g of model.pages) {
        const page = pageOf(g, s.settings);
        if (page.childElementCount < 2) continue;
        body.append(page);
        jumps.append(jumpTo(page, String(g.group), g.caption));
      }
    } else {
      body.append(el('p', { className: 'note', text: 'Waiting for the monitor to answer…' }), err);
      // The service reads the screen now; its first read arrives as an event and
      // builds the controls. A monitor that does not answer says so here.
      run(err, 'GET', screenPath()).catch(() => {});
    }
    jumps.append(jumpTo(presets.element, 'presets', 'Presets'));
    root.replaceChildren(head, jumps, body, presets.element);
    presets.show(name, screen);
    refresh();
  }

  return {
    show(n, s) {
      const same = n === name && s === screen && root.childElementCount;
      name = n;
      screen = s;
      if (!same) {
        // The screen just opened is read before the others waiting their turn:
        // what it shows now comes as events a moment later.
        if (current()?.settings) request('GET', `${screenPath()}?fresh=true`).catch(() => {});
        build();
      }
      root.querySelector('h1')?.focus?.();
    },
    hide() {
      name = null;
      controls = [];
      root.replaceChildren();
    },
    // The shown monitor may have changed shape (a snapshot, its type, a first read):
    // built again only then, so that an edit under way survives.
    rebuild(n, s) {
      if (name === null || (n && n !== name) || (s && s !== screen)) return;
      const m = monitor();
      if (m && header && builtType === m.type && controls.length && current()?.settings) refresh();
      else build();
    },
    update(n, s) {
      if (n === name && (!s || s === screen)) refresh();
    },
  };
}
