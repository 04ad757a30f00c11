// Presets: a screen saved under a name, recalled onto any screens of any
// monitors (only the packet groups that differ go out), listed and deleted.
import { ApiError, path, request } from './api.js';
import { el } from './dom.js';

const message = (e) => (e instanceof ApiError ? e.message : String(e));

export function createPresets(model) {
  const nameInput = el('input', { id: 'preset-name', type: 'text', maxLength: 64, autocomplete: 'off', pattern: '[A-Za-z0-9_\\-]{1,64}' });
  const save = el('button', { id: 'preset-save', type: 'button', text: 'Save this screen' });
  const list = el('ul', { className: 'preset-list' });
  const force = el('input', { id: 'preset-force', type: 'checkbox' });
  const targets = el('div', { className: 'targets' });
  const result = el('p', { className: 'result', role: 'status', 'aria-live': 'polite' });
  const error = el('p', { className: 'error', role: 'alert', 'data-for': 'preset', hidden: true });
  const element = el('section', { id: 'presets', 'aria-labelledby': 'presets-title' },
    el('h2', { id: 'presets-title', text: 'Presets' }),
    el('div', { className: 'control text' }, el('label', { for: 'preset-name', text: 'Preset name' }), nameInput, save),
    list,
    el('fieldset', { className: 'recall-to' }, el('legend', { text: 'Recall onto' }), targets,
      el('label', { className: 'check' }, force, 'Also onto monitors of another type')),
    result, error);
  let shown = { name: null, screen: 1 };

  function fail(e) {
    error.textContent = message(e);
    error.hidden = false;
  }
  function ok(text) {
    error.hidden = true;
    result.textContent = text;
  }

  async function load() {
    let answer;
    try { answer = await request('GET', '/presets'); } catch (e) { fail(e); return; }
    list.replaceChildren(...answer.presets.map((p) => {
      const recall = el('button', { type: 'button', 'data-action': 'recall', text: 'Recall' });
      const del = el('button', { type: 'button', 'data-action': 'delete', text: 'Delete', className: 'danger' });
      recall.addEventListener('click', () => recallOnto(p.name));
      del.addEventListener('click', async () => {
        try { await request('DELETE', path('presets', p.name)); ok(`Deleted ${p.name}.`); } catch (e) { fail(e); }
        load();
      });
      const about = p.error ? `cannot be read: ${p.error}`
        : `type ${p.deviceType}, screen${p.screens.length > 1 ? 's' : ''} ${p.screens.join(', ')}`;
      return el('li', { 'data-preset': p.name },
        el('span', { className: 'preset-name', text: p.name }), el('span', { className: 'about', text: about }), recall, del);
    }));
  }

  // Every screen of every monitor, this one first and checked.
  function fillTargets() {
    const here = model.monitors.get(shown.name);
    const rows = [];
    const add = (m, n, checked) => {
      // The label holds its box: the whole row, 44 px high, is one target.
      const box = el('input', { type: 'checkbox', 'data-target': `${m.name}/${n}`, checked });
      rows.push(el('label', { className: 'check' }, box, `${m.name} screen ${n}`));
    };
    const mons = [...model.monitors.values()];
    mons.sort((a, b) => (b === here) - (a === here) || (b.type === here?.type) - (a.type === here?.type));
    for (const m of mons) for (let n = 1; n <= Math.max(1, m.screenCount); n += 1) add(m, n, m === here && n === shown.screen);
    const first = rows.slice(0, 1);
    const others = el('details', {}, el('summary', { text: `Other screens and monitors (${rows.length - 1})` }), ...rows.slice(1));
    others.hidden = rows.length < 2;
    targets.replaceChildren(...first, others);
  }

  async function recallOnto(preset) {
    const chosen = [...targets.querySelectorAll('input[data-target]:checked')].map((b) => b.dataset.target);
    if (!chosen.length) { fail('Pick at least one screen to recall onto.'); return; }
    const body = (n) => ({ preset, screens: [Number(n)], ...(force.checked ? { force: true } : {}) });
    const outcomes = await Promise.all(chosen.map(async (t) => {
      const [monitor, n] = t.split('/');
      try {
        const answer = await request('POST', path('monitors', monitor, 'recall'), body(n));
        const sent = answer.screens.flatMap((s) => s.sent || []).map((g) => g.page);
        return { t, sent };
      } catch (e) {
        return { t, error: message(e) };
      }
    }));
    const failed = outcomes.filter((o) => o.error);
    ok(outcomes.filter((o) => !o.error).map((o) => `${o.t}: ${o.sent.length ? o.sent.join(', ') : 'already so'}`).join('; '));
    if (failed.length) fail(failed.map((o) => `${o.t}: ${o.error}`).join('; '));
  }

  save.addEventListener('click', async () => {
    const presetName = nameInput.value.trim();
    const { name, screen } = shown;
    try {
      await request('PUT', path('presets', presetName), { from: name, screen });
      ok(`Saved ${name} screen ${screen} as ${presetName}.`);
      load();
    } catch (e) { fail(e); }
  });

  return {
    element,
    show(name, screen) {
      shown = { name, screen };
      result.textContent = '';
      error.hidden = true;
      fillTargets();
      load();
    },
  };
}
