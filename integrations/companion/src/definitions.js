// What the module offers Companion, built from what the service says: its field
// table (captions, domains, what each monitor type has), its monitors and presets.
// Nothing here knows a field or a type by itself.
import { combineRgb } from '@companion-module/base';
import { typeRules } from '../../../service/web/typerules.js';

const White = combineRgb(255, 255, 255);
const Black = combineRgb(0, 0, 0);
export const TallyStyles = {
  red: { bgcolor: combineRgb(204, 0, 0), color: White },
  green: { bgcolor: combineRgb(0, 153, 0), color: White },
  yellow: { bgcolor: combineRgb(230, 190, 0), color: Black },
};

// Companion takes letters, digits, _ and - in $(connection:variable); a remote
// monitor's SITE~NAME becomes SITE__NAME.
export const variablePart = (name) => String(name).replace(/~/g, '__').replace(/[^A-Za-z0-9_-]/g, '_');
export const targetId = (monitor, screen) => `${monitor}/${screen}`;
export function parseTarget(id) {
  const at = String(id ?? '').lastIndexOf('/');
  return at > 0 ? { monitor: id.slice(0, at), screen: Number(id.slice(at + 1)) } : null;
}

// Why the service's field table cannot be used, or null: everything the lists are
// built from is checked before it is used, and a domain is at most 4096 values.
export function tableFault(table) {
  const isList = (x, each) => Array.isArray(x) && x.every(each);
  const whole = Number.isInteger;
  const rows = (r) => r && isList(r.rows, whole) && typeof r.field === 'string';
  const field = (f) => f && typeof f.name === 'string' && typeof f.caption === 'string' && whole(f.min) && whole(f.max)
    && f.min <= f.max && f.max - f.min < 4096 && (f.values === undefined || isList(f.values, (v) => v && typeof v.name === 'string' && whole(v.value)));
  const t = table?.types;
  if (!table || !isList(table.fields, field) || !isList(table.pages, (p) => p && typeof p.caption === 'string')) return 'fields are';
  if (!t || typeof t.rows !== 'object' || !whole(t.otherRow) || !['lacking', 'disabled', 'off', 'captions'].every((k) => isList(t[k], rows))) return 'type table is';
  return null;
}

// The service's lists as Companion's choices and the rules behind them.
export class Catalogue {
  // only: the monitors to offer ("cam1, SITE~*": names, and a * at the end for
  // every name that begins so); empty for all.
  constructor(service, only = '') {
    const table = service.fields ?? { fields: [], pages: [], types: null };
    this.fields = table.fields;
    this.field = new Map(table.fields.map((f) => [f.name, f]));
    this.pages = new Map(table.pages.map((p) => [p.group, p.caption]));
    const model = { types: table.types, field: this.field };
    const name = (x) => typeof x?.name === 'string' && x.name !== '';
    const wanted = String(only).split(/[\s,]+/).filter(Boolean);
    const chosen = (n) => !wanted.length || wanted.some((w) => (w.endsWith('*') ? n.startsWith(w.slice(0, -1)) : n === w));
    this.monitors = service.monitors.filter((m) => name(m) && chosen(m.name) && Number.isInteger(m.type) && m.type >= 0
      && Number.isInteger(m.screenCount) && m.screenCount > 0 && m.screenCount <= 16 && table.types);
    this.presets = service.presets.filter((p) => name(p) && !p.error);
    this.rowOf = new Map();     // monitor name -> row of the type table
    this.offered = new Map();   // row -> Map field name -> {levels: [lo, hi]} or {values: [{id, label}]}
    this.targets = [];          // {id, monitor, screen, row, label}
    this.variants = new Map();  // "field values" -> {id, field, values, targets}: one value list each
    this.valueOption = new Map(); // "row field" -> the id of the value list it shows
    for (const m of this.monitors) {
      const row = table.types.rows[String(m.type)] ?? table.types.otherRow;
      this.rowOf.set(m.name, row);
      if (!this.offered.has(row)) this.offered.set(row, this.offers(typeRules(model, m.type)));
      for (let n = 1; n <= m.screenCount; n += 1) {
        const shown = m.monitorName ? ` (${m.monitorName})` : '';
        this.targets.push({ id: targetId(m.name, n), monitor: m.name, screen: n, row, label: `${m.name} screen ${n}${shown}` });
      }
    }
    for (const [row, offer] of this.offered) {
      const targets = this.targets.filter((t) => t.row === row).map((t) => t.id);
      for (const [n, o] of offer) {
        if (o.levels) continue;
        const key = `${n} ${JSON.stringify(o.values)}`;
        if (!this.variants.has(key)) this.variants.set(key, { id: `value_${n}_${row}`, field: n, values: o.values, targets: [] });
        this.variants.get(key).targets.push(...targets);
        this.valueOption.set(`${row} ${n}`, this.variants.get(key).id);
      }
    }
  }

  // The fields a type has, with the values it has of each.
  offers(rules) {
    const out = new Map();
    for (const f of this.fields) {
      if (f.values) {
        const values = f.values.filter((v) => rules.offers(f.name, v.value))
          .map((v) => ({ id: v.name, label: rules.caption(f.name, v.value) ?? v.name }));
        if (values.length) out.set(f.name, { values });
      } else {
        const open = [];
        for (let v = f.min; v <= f.max; v += 1) if (rules.offers(f.name, v)) open.push(v);
        if (open.length) out.set(f.name, { levels: [open[0], open.at(-1)] });
      }
    }
    return out;
  }

  fieldLabel(name) {
    const f = this.field.get(name);
    return `${this.pages.get(f.group) ?? ''}: ${f.caption}`;
  }

  // The screen and setting the options name, and what the screen's type offers
  // of it ({t, name, offer}), or why there is none ({why}).
  setting(options) {
    const t = this.targets.find((x) => x.id === options.target);
    if (!t) return { why: `no monitor screen ${options.target} (is the service connected?)` };
    const name = options[`field_${t.row}`];
    if (!name) return { why: `no setting chosen for ${t.monitor}'s type (is it another type now?)` };
    const offer = this.offered.get(t.row).get(name);
    return offer ? { t, name, offer } : { why: `${t.monitor} has no ${this.field.get(name)?.caption ?? name}` };
  }

  // The options choosing a screen, a field its type has and a value of it:
  // one field list per type row, one value list per distinct list of values.
  fieldOptions(levelsOnly) {
    const options = [this.targetOption()];
    const fieldOf = {};
    for (const t of this.targets) fieldOf[t.id] = `field_${t.row}`;
    const levels = [];
    for (const [row, offer] of this.offered) {
      const names = [...offer.keys()].filter((n) => !levelsOnly || offer.get(n).levels);
      if (!names.length) continue;
      const targets = this.targets.filter((t) => t.row === row).map((t) => t.id);
      options.push({
        type: 'dropdown', id: `field_${row}`, label: 'Setting', default: names[0],
        choices: names.map((n) => ({ id: n, label: this.fieldLabel(n) })),
        isVisibleData: { targets }, isVisible: (o, d) => d.targets.includes(o.target),
      });
      levels.push(...names.filter((n) => offer.get(n).levels));
    }
    if (levelsOnly) return options;
    for (const v of this.variants.values()) {
      const only = Object.fromEntries(v.targets.map((id) => [id, fieldOf[id]]));
      options.push({
        type: 'dropdown', id: v.id, label: 'Value', default: v.values[0].id, choices: v.values,
        isVisibleData: { field: v.field, fieldOf: only }, isVisible: (o, d) => d.fieldOf[o.target] !== undefined && o[d.fieldOf[o.target]] === d.field,
      });
    }
    options.push({
      type: 'number', id: 'level', label: 'Value', default: 50, min: 0, max: 255,
      isVisibleData: { fieldOf, levels: [...new Set(levels)] }, isVisible: (o, d) => d.levels.includes(o[d.fieldOf[o.target]]),
    });
    return options;
  }

  targetOption(id = 'target', label = 'Monitor screen') {
    return { type: 'dropdown', id, label, default: this.targets[0]?.id ?? '', choices: this.targets.map((t) => ({ id: t.id, label: t.label })) };
  }

  // The field and value a set or a feedback names, as the API takes them.
  chosen(options) {
    const at = this.setting(options);
    if (at.why || at.offer.levels) return at.why ? at : { ...at, value: Number(options.level) };
    const value = options[this.valueOption.get(`${at.t.row} ${at.name}`)];
    return at.offer.values.some((v) => v.id === value) ? { ...at, value } : { why: `no value chosen for ${at.name}` };
  }

}

export function feedbackDefinitions(c, look) {
  const tally = {};
  for (const [colour, style] of Object.entries(TallyStyles)) {
    tally[`tally_${colour}`] = {
      type: 'boolean', name: `Tally is ${colour}`, defaultStyle: style, options: [c.targetOption()],
      callback: (fb) => look.screen(fb.options.target)?.tally === colour,
    };
  }
  return {
    ...tally,
    tally: {
      type: 'advanced', name: 'Tally colour', description: 'The button takes the colour of the tally, whichever it is',
      options: [c.targetOption()],
      callback: (fb) => TallyStyles[look.screen(fb.options.target)?.tally] ?? {},
    },
    field: {
      type: 'boolean', name: 'Setting equals a value', defaultStyle: { bgcolor: combineRgb(0, 70, 160), color: White },
      options: c.fieldOptions(false),
      learn: (fb) => look.learn(fb.options),
      callback: (fb) => {
        const at = c.chosen(fb.options);
        const now = look.screen(fb.options.target)?.[at.name];
        return !at.why && now !== undefined && (at.offer.levels ? Number(now) === at.value : now === at.value);
      },
    },
    online: {
      type: 'boolean', name: 'Monitor answers', showInvert: true, defaultStyle: { bgcolor: combineRgb(0, 100, 40), color: White },
      options: [{ type: 'dropdown', id: 'monitor', label: 'Monitor', default: c.monitors[0]?.name ?? '', choices: c.monitors.map((m) => ({ id: m.name, label: m.name })) }],
      callback: (fb) => look.monitor(fb.options.monitor)?.online === true,
    },
  };
}

export function actionDefinitions(c, act) {
  const slots = [1, 2, 3, 4].map((k) => ({ id: k, label: `UMD ${k}` }));
  const choicesOf = (name) => (c.field.get(name)?.values ?? []).map((v) => ({ id: v.name, label: v.name }));
  const tallies = choicesOf('tally');
  return {
    set: { name: 'Set a setting', options: c.fieldOptions(false), callback: (a) => act.set(a.options), learn: (a) => act.learn(a.options) },
    step: {
      name: 'Step a level up or down',
      options: [...c.fieldOptions(true),
        { type: 'dropdown', id: 'direction', label: 'Direction', default: 'up', choices: [{ id: 'up', label: 'Up' }, { id: 'down', label: 'Down' }] },
        { type: 'number', id: 'by', label: 'By', default: 5, min: 1, max: 255 }],
      callback: (a) => act.step(a.options),
    },
    tally: {
      name: 'Tally',
      options: [c.targetOption(), { type: 'dropdown', id: 'tally', label: 'Tally', default: tallies[1]?.id ?? 'red', choices: tallies }],
      callback: (a) => act.post(a.options.target, 'tally', { tally: a.options.tally }),
    },
    umd: {
      name: 'UMD label',
      options: [c.targetOption(), { type: 'dropdown', id: 'slot', label: 'UMD', default: 1, choices: slots },
        { type: 'textinput', id: 'text', label: 'Label (16 characters)', default: '', useVariables: true }],
      callback: (a) => act.post(a.options.target, 'umd', { slot: Number(a.options.slot), text: String(a.options.text ?? '') }),
    },
    umdStyle: {
      name: 'UMD on/off and colour',
      options: [c.targetOption(), { type: 'dropdown', id: 'slot', label: 'UMD', default: 1, choices: slots },
        { type: 'dropdown', id: 'on', label: 'Shown', default: 'keep', choices: [{ id: 'keep', label: 'As it is' }, ...choicesOf('umd1On')] },
        { type: 'dropdown', id: 'colour', label: 'Colour', default: 'keep', choices: [{ id: 'keep', label: 'As it is' }, ...choicesOf('umd1Color')] }],
      callback: (a) => act.umdStyle(a.options),
    },
    recall: {
      name: 'Recall a preset',
      options: [{ type: 'dropdown', id: 'preset', label: 'Preset', default: c.presets[0]?.name ?? '', choices: c.presets.map((p) => ({ id: p.name, label: p.name })) },
        { ...c.targetOption('targets', 'Onto'), type: 'multidropdown', default: [] }],
      callback: (a) => act.recall(a.options),
    },
  };
}

// The UMDs whose labels a type's screens have: UMD 1, and each other its table has.
const labelSlots = (offer) => [1, 2, 3, 4].filter((k) => k === 1 || offer.has(`umd${k}On`));

// Variables: per monitor whether it answers; per screen the tally, labels, input
// and each level its type has.
export function variableDefinitions(c) {
  const list = [];
  for (const m of c.monitors) {
    const v = variablePart(m.name);
    list.push({ variableId: `${v}_online`, name: `${m.name}: answers` }, { variableId: `${v}_name`, name: `${m.name}: the name it reports` });
    const offer = c.offered.get(c.rowOf.get(m.name));
    for (let n = 1; n <= m.screenCount; n += 1) {
      const at = `${v}_${n}`;
      list.push({ variableId: `${at}_tally`, name: `${m.name} screen ${n}: tally` });
      for (const k of labelSlots(offer)) list.push({ variableId: `${at}_umd${k}`, name: `${m.name} screen ${n}: UMD ${k} label` });
      list.push({ variableId: `${at}_input`, name: `${m.name} screen ${n}: input` });
      for (const [name, o] of offer) {
        if (o.levels) list.push({ variableId: `${at}_${name}`, name: `${m.name} screen ${n}: ${c.field.get(name).caption}` });
      }
    }
  }
  return list;
}

// The values of those variables, from the kept state.
export function variableValues(c, state, names) {
  const values = {};
  for (const m of c.monitors) {
    if (names && !names.includes(m.name)) continue;
    const v = variablePart(m.name);
    const kept = state[m.name] ?? {};
    values[`${v}_online`] = kept.online === true;
    values[`${v}_name`] = typeof kept.monitorName === 'string' ? kept.monitorName : (m.monitorName ?? '');
    const offer = c.offered.get(c.rowOf.get(m.name));
    for (let n = 1; n <= m.screenCount; n += 1) {
      const s = kept[String(n)] ?? {};
      const at = `${v}_${n}`;
      values[`${at}_tally`] = s.tally ?? '';
      for (const k of labelSlots(offer)) values[`${at}_umd${k}`] = s[`umd${k}`] ?? '';
      values[`${at}_input`] = s.input ?? '';
      for (const [name, o] of offer) if (o.levels) values[`${at}_${name}`] = s[name] ?? '';
    }
  }
  return values;
}

// Ready-made buttons per monitor screen: on air, clear, its label, brightness up
// and down (when its type has it), and the recall of each preset of its type.
export function presetDefinitions(c, label) {
  const presets = {};
  const button = (category, name, text, down, feedbacks = [], bgcolor = Black) => ({
    type: 'button', category, name,
    style: { text, size: 'auto', color: White, bgcolor },
    steps: [{ down, up: [] }], feedbacks,
  });
  for (const t of c.targets) {
    const v = `${variablePart(t.monitor)}_${t.screen}`;
    const category = `${t.monitor} screen ${t.screen}`;
    const target = { target: t.id };
    const lamps = Object.entries(TallyStyles).map(([colour, style]) => ({ feedbackId: `tally_${colour}`, options: target, style }));
    const key = variablePart(t.id);
    presets[`${key}_onair`] = button(category, 'On air', `ON AIR\n$(${label}:${v}_umd1)`,
      [{ actionId: 'tally', options: { ...target, tally: 'red' } }], lamps);
    presets[`${key}_clear`] = button(category, 'Clear', `CLEAR\n$(${label}:${v}_umd1)`,
      [{ actionId: 'tally', options: { ...target, tally: 'off' } }], lamps);
    presets[`${key}_label`] = button(category, 'Label', `$(${label}:${v}_umd1)`,
      [{ actionId: 'umd', options: { ...target, slot: 1, text: c.monitors.find((m) => m.name === t.monitor)?.monitorName ?? '' } }], lamps);
    if (c.offered.get(t.row).get('brightness')?.levels) {
      for (const [direction, sign] of [['up', '+'], ['down', '-']]) {
        presets[`${key}_bright_${direction}`] = button(category, `Brightness ${direction}`, `BRIGHT ${sign}\n$(${label}:${v}_brightness)`,
          [{ actionId: 'step', options: { ...target, [`field_${t.row}`]: 'brightness', direction, by: 5 } }]);
      }
    }
    const type = c.monitors.find((m) => m.name === t.monitor)?.type;
    for (const p of c.presets.filter((x) => x.deviceType === type)) {
      presets[`${key}_recall_${variablePart(p.name)}`] = button(category, `Recall ${p.name}`, `RECALL\n${p.name}`,
        [{ actionId: 'recall', options: { preset: p.name, targets: [t.id] } }], [], combineRgb(40, 40, 90));
    }
  }
  return presets;
}
