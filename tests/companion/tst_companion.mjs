// The packaged Companion module under a stand-in for Companion's host, against
// telvanord and simulated monitors on a pseudo-terminal: what it offers, what its
// buttons send, what its feedbacks and variables show, its status, a restart.
//   node tst_companion.mjs --telvanord PATH --sim PATH --module DIR
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Host, Rig, until } from './host.mjs';

const arg = (name) => process.argv[process.argv.indexOf(`--${name}`) + 1];
const Token = 'companion-test-token-0001';
const rig = new Rig(arg('telvanord'), arg('sim'), { cam1: 'type=2,id=5,name=CAM 1', pgm: 'type=4,id=6,name=PGM' }, Token);
const where = () => ({ host: '127.0.0.1', port: rig.port });
let host;

// Whether an option shows for these choices, as Companion's UI decides it.
const visible = (o, options) => !o.isVisibleFn || new Function(`return ${o.isVisibleFn}`)()(options, o.isVisibleData);
const shown = (def, prefix, options) => def.options.filter((o) => o.id.startsWith(prefix) && visible(o, options));

// Options chosen the way a user does in the drop-downs: the screen, then the one
// setting list shown, then the one value list shown or the level.
function choose(target, field, value, def = host.actions.get('set')) {
  const options = { target };
  const [list, ...more] = shown(def, 'field_', options);
  assert.ok(!more.length && list.choices.some((c) => c.id === field), `${target} offers ${field} in one list`);
  options[list.id] = field;
  const values = shown(def, 'value_', options);
  const level = typeof value === 'number';
  assert.deepEqual([values.length, shown(def, 'level', options).length], [level ? 0 : 1, level ? 1 : 0], `one value list for ${field}`);
  options[level ? 'level' : values[0].id] = value;
  return options;
}

before(async () => {
  await rig.start();
  host = new Host(arg('module'));
  await host.init(where(), { token: Token });
  await until(() => host.status?.status === 'ok' && host.actions.get('tally')?.options[0].choices.length === 4
    && ['pgm_3_brightness', 'cam1_1_brightness'].every((v) => typeof host.variables.get(v) === 'number'), 'both monitors listed and read');
});

after(() => Promise.all([host?.stop(), rig.stop()]));

describe('the module', () => {
  it('offers what the service has: screens, each type\'s settings with the page\'s captions, presets as they change', async () => {
    const set = host.actions.get('set');
    assert.deepEqual(set.options[0].choices.map((c) => `${c.id} ${c.label}`).slice(0, 2), ['cam1/1 cam1 screen 1 (CAM 1)', 'pgm/1 pgm screen 1 (PGM)']);
    assert.ok(shown(set, 'field_', { target: 'cam1/1' })[0].choices.some((c) => c.id === 'brightness' && c.label === 'Picture: Brightness'));
    // The sources each type has, with the captions it gives them.
    for (const [target, offered] of [['cam1/1', 'SDI1 SDI1,SDI2 SDI2,SDI3 SDI3,SDI4 SDI4,SFP SFP,2SI 2SI,SQUARE SQUARE,HDMI HDMI'], ['pgm/2', 'SDI1 SDI,HDMI HDMI']]) {
      assert.equal(shown(set, 'value_', choose(target, 'source', 'HDMI'))[0].choices.map((c) => `${c.id} ${c.label}`).join(), offered, target);
    }
    for (const p of ['cam1_1_onair', 'cam1_1_clear', 'cam1_1_label', 'cam1_1_bright_up', 'pgm_3_bright_down']) assert.ok(host.presets.some((x) => x.id === p), p);
    assert.deepEqual(host.presets.find((x) => x.id === 'cam1_1_onair').feedbacks.map((f) => f.feedbackId), ['tally_red', 'tally_green', 'tally_yellow']);
    await rig.api('PUT', '/presets/day', { from: 'cam1', screen: 1 });
    await until(() => host.actions.get('recall').options[0].choices.some((c) => c.id === 'day') && host.presets.some((x) => x.id === 'cam1_1_recall_day'), 'a new preset');
    assert.ok(!host.presets.some((x) => x.id.startsWith('pgm_1_recall')), 'a preset of type 2 on type 2 alone');
  });

  // [what, action, options, monitor ID, screen, the change the monitor takes, or
  // the service's refusal in the connection's log and nothing sent]
  const rows = [
    ['tally', 'tally', { target: 'cam1/1', tally: 'red' }, 5, 1, /^Tally off -> red$/],
    ['a level', 'set', () => choose('pgm/2', 'brightness', 61), 6, 2, /^Brightness \d+ -> 61$/],
    ['a value by name', 'set', () => choose('cam1/1', 'colorTemp', '9300k'), 5, 1, /^Color Temp \S+ -> 9300k$/],
    ['a value from its type\'s own list', 'set', () => choose('pgm/2', 'source', 'HDMI'), 6, 2, /^Source \S+ -> HDMI$/],
    ['a label with a variable', 'umd', { target: 'cam1/1', slot: 2, text: 'IN $(telvanor:pgm_1_tally)' }, 5, 1, /UMD ?2.*IN off/i],
    ['a UMD colour', 'umdStyle', { target: 'cam1/1', slot: 1, colour: 'green' }, 5, 1, /UMD ?1 ?Colou?r \S+ -> green/i],
    ['a level out of range', 'set', () => choose('cam1/1', 'brightness', 170), 5, 1, null, /cam1 screen 1: brightness: 422: .*0-100/],
    ['a UMD the type lacks', 'umd', { target: 'pgm/1', slot: 3, text: 'X' }, 6, 1, null, /pgm screen 1: umd: 409: /],
  ];
  for (const [what, action, options, id, screen, change, refused] of rows) {
    it(refused ? `fails on ${what}, with the service's message` : `sends ${what}`, async () => {
      const [mark, logs] = [rig.mark(), host.logs.length];
      const done = host.action(action, typeof options === 'function' ? options() : options);
      if (change) return until(async () => (await done, rig.changes(mark, id, screen).some((l) => change.test(l))), `${change} at ID ${id}`);
      await assert.rejects(done);
      assert.ok(host.logs.slice(logs).some((l) => l.startsWith('error: ') && refused.test(l)), host.logs.slice(logs).join('\n'));
      await rig.api('GET', `/monitors/${id === 5 ? 'cam1' : 'pgm'}/screens/1?fresh=true`);
      return assert.deepEqual(rig.said(mark).filter((l) => / screen \d: /.test(l)), []);
    });
  }

  it('recalls a preset onto the screens chosen', async () => {
    await host.action('set', choose('cam1/1', 'brightness', 77));
    const mark = rig.mark();
    await host.action('recall', { preset: 'day', targets: ['cam1/1'] });
    await until(() => rig.changes(mark, 5, 1).includes('Brightness 77 -> 40'), 'brightness back to 40');
  });

  it('adds up quick presses of a step, and stops at the end of the range', async () => {
    const step = (direction, by) => host.action('step', { ...choose('pgm/3', 'brightness', 0), direction, by });
    const start = (await rig.api('GET', '/monitors/pgm/screens/3')).settings.brightness;
    await Promise.all([step('up', 2), step('up', 2), step('up', 2)]);
    await until(() => host.variables.get('pgm_3_brightness') === start + 6, 'three steps of 2');
    await step('up', 255).then(() => until(() => host.variables.get('pgm_3_brightness') === 100, 'the top'));
    const mark = rig.mark();
    await step('up', 5).then(() => step('down', 1));
    await until(() => rig.changes(mark, 6, 3).includes('Brightness 100 -> 99'), 'one step down');
    assert.equal(rig.changes(mark, 6, 3).length, 1);
  });

  it('follows the monitor in feedbacks and variables', async () => {
    const is = (id, value) => host.feedbackValues.get(id) === value;
    await Promise.all([host.feedback('f1', 'tally_green', { target: 'cam1/1' }), host.feedback('f2', 'online', { monitor: 'pgm' }),
      host.feedback('f3', 'field', choose('cam1/1', 'colorTemp', '6500k', host.feedbacks.get('field'))), host.feedback('f4', 'tally', { target: 'cam1/1' })]);
    await until(() => is('f1', false) && is('f2', true), 'feedbacks first checked');
    ['set 5 1 tally green', 'set 5 1 colorTemp 6500k'].forEach((c) => rig.command(c));
    await until(() => is('f1', true) && is('f3', true) && host.feedbackValues.get('f4')?.bgcolor === 0x009900 && host.variables.get('cam1_1_tally') === 'green', 'tally green');
    for (const [drop, answers] of [[100, false], [0, true]]) {
      rig.command(`fail drop-percent ${drop}`);
      await until(() => is('f2', answers) && host.variables.get('pgm_online') === answers, `answering: ${answers}`, 30000);
    }
  });

  // The service's table and events mangled at random: what passes the checks
  // builds every list, and nothing throws.
  it('survives a field table and events it does not expect', async () => {
    const [d, { mergeState }] = await Promise.all(['definitions', 'service'].map((f) => import(pathToFileURL(resolve(arg('module'), `../src/${f}.js`)))));
    const [table, { monitors }] = await Promise.all([rig.api('GET', '/fields'), rig.api('GET', '/monitors')]);
    let seed = 7;
    const random = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
    const odd = [null, -1, 1e9, 'x', [], {}, [1, 'a'], { rows: 'x' }, 2 ** 31, undefined];
    const mangle = (x, depth = 0) => {
      if (random(8) === 0 || x === null || typeof x !== 'object') return random(3) ? odd[random(odd.length)] : x;
      const copy = Array.isArray(x) ? [...x] : { ...x };
      for (let k = random(3), keys = Object.keys(copy), key; k >= 0 && keys.length; k -= 1) {
        key = keys[random(keys.length)];
        copy[key] = depth < 6 ? mangle(copy[key], depth + 1) : null;
      }
      return copy;
    };
    let built = 0;
    for (let i = 0; i < 3000; i += 1) {
      const [t, listed, state] = [mangle(table), mangle(monitors), {}];
      const c = new d.Catalogue({ fields: d.tableFault(t) ? table : t, monitors: Array.isArray(listed) ? listed : [], presets: [] });
      mergeState(state, mangle({ cam1: { online: true, 1: { tally: 'red' } } }));
      for (const f of Object.values(d.feedbackDefinitions(c, { screen: () => mangle({ tally: 'red', brightness: 3 }), monitor: () => state.cam1 }))) f.callback({ options: { target: 'cam1/1' } });
      d.actionDefinitions(c, {}); d.presetDefinitions(c, 'telvanor'); d.variableValues(c, state, null);
      built += d.tableFault(t) ? 0 : 1;
    }
    assert.ok(built > 100, `${built} mangled tables passed the checks`);
  });

  it('says a bad token, and connects once it is right, with the monitors it is told to take', async () => {
    const other = new Host(arg('module'));
    try {
      await other.init(where(), { token: 'not-the-token-at-all' });
      await until(() => other.status?.status === 'authentication_failure', 'bad token');
      await other.configure({ ...where(), only: 'pgm*' }, { token: Token });
      await until(() => other.status?.status === 'ok' && other.actions.get('tally')?.options[0].choices.map((c) => c.id).join() === 'pgm/1,pgm/2,pgm/3', 'ok');
    } finally { await other.stop(); }
  });

  it('reconnects after the service restarts, failing presses meanwhile; Learn afterwards', async () => {
    await rig.service.stop();
    await until(() => host.status.status === 'connection_failure' && host.variables.get('cam1_online') === false, 'service unreachable');
    await assert.rejects(host.action('tally', { target: 'cam1/1', tally: 'yellow' }), /service unreachable/);
    assert.match(host.logs.at(-1), /cam1 screen 1: tally: service unreachable/);
    rig.command('set 5 1 tally red');
    await rig.startService();
    await until(() => host.status.status === 'ok' && host.variables.get('cam1_1_tally') === 'red' && host.variables.get('cam1_online') === true, 'back', 30000);
    const mark = rig.mark();
    await host.action('tally', { target: 'cam1/1', tally: 'off' });
    await until(() => rig.changes(mark, 5, 1).includes('Tally red -> off'), 'a press after the return');
    // Learn takes the value the screen shows now.
    for (const [field, value, blank] of [['brightness', 40, 0], ['colorTemp', '6500k', '3200k']]) {
      const key = typeof value === 'number' ? 'level' : shown(host.actions.get('set'), 'value_', choose('cam1/1', field, value))[0].id;
      await until(async () => (await host.action('set', choose('cam1/1', field, blank), 'learnAction')).options[key] === value, `${field} learnt`);
    }
  });
});
