// The packaged Companion module under a stand-in for Companion's host, against
// telvanord and simulated monitors on a pseudo-terminal: what it offers, what its
// buttons send, what its feedbacks and variables show, its status, a restart.
//   node tst_companion.mjs --telvanord PATH --sim PATH --module DIR
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { Host, Proc, freePort, scratch, until } from './host.mjs';

const arg = (name) => process.argv[process.argv.indexOf(`--${name}`) + 1];
const Token = 'companion-test-token-0001';
const dir = scratch();
let sim; let service; let host; let port; let config;

function startService() {
  service = new Proc([arg('telvanord'), config]);
  return service.line(/telvanord: listening on /);
}

// A request to the service as a script would make it.
async function api(method, path, body) {
  const r = await fetch(`http://127.0.0.1:${port}/api/v1${path}`, {
    method, headers: { Authorization: `Bearer ${Token}`, 'Content-Type': 'application/json' }, body: body && JSON.stringify(body),
  });
  return r.json();
}

// Whether an option shows for these choices, as Companion's UI decides it.
const visible = (o, options) => !o.isVisibleFn || new Function(`return ${o.isVisibleFn}`)()(options, o.isVisibleData);

// An action's or feedback's options choosing a field and value the way a user
// does in the drop-downs: the screen, then the visible setting list, then the
// visible value list or the level.
function choose(def, target, field, value) {
  const options = { target };
  const lists = def.options.filter((o) => o.id.startsWith('field_') && visible(o, options));
  assert.equal(lists.length, 1, `one setting list for ${target}`);
  assert.ok(lists[0].choices.some((c) => c.id === field), `${target} offers ${field}`);
  options[lists[0].id] = field;
  const values = def.options.filter((o) => o.id.startsWith('value_') && visible(o, options));
  if (typeof value === 'number') assert.ok(visible(def.options.find((o) => o.id === 'level'), options));
  if (typeof value === 'number') options.level = value;
  else options[values[0].id] = value;
  return options;
}

// Monitor ID and screen as the simulator prints the changes it takes.
const frames = (mark, id, screen) => sim.since(mark).filter((l) => l.includes(`ID ${id} screen ${screen}: `)).map((l) => l.replace(/^\S+ ID \d+ screen \d+: /, ''));

before(async () => {
  sim = new Proc([arg('sim'), '--serial', '--pty-file', `${dir}/pty`, '--quiet-reads',
    '--monitor', 'type=2,id=5,name=CAM 1', '--monitor', 'type=4,id=6,name=PGM']);
  await sim.line(/^ready/);
  port = await freePort();
  const pty = readFileSync(`${dir}/pty`, 'utf8').trim();
  writeFileSync(`${dir}/token`, `${Token}\n`);
  config = `${dir}/telvanord.json`;
  writeFileSync(config, JSON.stringify({
    monitors: { cam1: `serial:${pty}#5`, pgm: `serial:${pty}#6` }, readEveryMs: 1000, presets: `${dir}/presets`,
    http: { listen: '127.0.0.1', port, tokenFile: 'token' },
  }));
  await startService();
  host = new Host(arg('module'));
  await host.init({ host: '127.0.0.1', port }, { token: Token });
  await until(() => host.status?.status === 'ok' && host.actions.get('tally')?.options[0].choices.length === 4, 'both monitors listed');
  await until(() => ['pgm_3_brightness', 'cam1_1_brightness'].every((v) => typeof host.variables.get(v) === 'number'), 'screens read');
});

after(async () => {
  await host?.stop();
  await service?.stop();
  await sim?.stop();
});

describe('the module', () => {
  it('offers what the service has: screens, each type\'s settings with the page\'s captions, presets as they change', async () => {
    const set = host.actions.get('set');
    assert.deepEqual(set.options[0].choices.map((c) => c.id), ['cam1/1', 'pgm/1', 'pgm/2', 'pgm/3']);
    assert.match(set.options[0].choices[0].label, /cam1 screen 1 \(CAM 1\)/);
    const cam = set.options.find((o) => o.id.startsWith('field_') && visible(o, { target: 'cam1/1' }));
    assert.ok(cam.choices.some((c) => c.id === 'brightness' && c.label === 'Picture: Brightness'));
    // The sources each type has, with the captions it gives them.
    const sources = [
      ['cam1/1', 'SDI1 SDI1,SDI2 SDI2,SDI3 SDI3,SDI4 SDI4,SFP SFP,2SI 2SI,SQUARE SQUARE,HDMI HDMI'],
      ['pgm/2', 'SDI1 SDI,HDMI HDMI'],
    ];
    for (const [target, offered] of sources) {
      const options = choose(set, target, 'source', 'HDMI');
      const list = set.options.filter((o) => o.id.startsWith('value_source_') && visible(o, options));
      assert.equal(list.map((o) => o.choices.map((c) => `${c.id} ${c.label}`).join()).join('|'), offered, target);
    }
    assert.ok(host.variables.has('cam1_1_umd4') && host.variables.has('pgm_3_tally') && host.variables.has('pgm_online'));
    for (const p of ['cam1_1_onair', 'cam1_1_clear', 'cam1_1_label', 'cam1_1_bright_up', 'pgm_3_bright_down']) {
      assert.ok(host.presets.some((x) => x.id === p), p);
    }
    assert.deepEqual(host.presets.find((x) => x.id === 'cam1_1_onair').feedbacks.map((f) => f.feedbackId), ['tally_red', 'tally_green', 'tally_yellow']);
    await api('PUT', '/presets/day', { from: 'cam1', screen: 1 });
    await until(() => host.actions.get('recall').options[0].choices.some((c) => c.id === 'day')
      && host.presets.some((x) => x.id === 'cam1_1_recall_day'), 'a new preset offered');
    assert.ok(!host.presets.some((x) => x.id.startsWith('pgm_1_recall')), 'a preset of type 2 on type 2 alone');
  });

  // [what, action, options, monitor ID, screen, the change the monitor takes]
  const rows = [
    ['tally', 'tally', { target: 'cam1/1', tally: 'red' }, 5, 1, /^Tally off -> red$/],
    ['a level', 'set', () => choose(host.actions.get('set'), 'pgm/2', 'brightness', 61), 6, 2, /^Brightness \d+ -> 61$/],
    ['a value by name', 'set', () => choose(host.actions.get('set'), 'cam1/1', 'colorTemp', '9300k'), 5, 1, /^Color Temp \S+ -> 9300k$/],
    ['a label with a variable', 'umd', { target: 'cam1/1', slot: 2, text: 'IN $(telvanor:pgm_1_tally)' }, 5, 1, /UMD ?2.*IN off/i],
    ['a UMD colour', 'umdStyle', { target: 'cam1/1', slot: 1, colour: 'green' }, 5, 1, /UMD ?1 ?Colou?r \S+ -> green/i],
  ];
  for (const [what, action, options, id, screen, change] of rows) {
    it(`sends ${what}`, async () => {
      const mark = sim.mark();
      await host.action(action, typeof options === 'function' ? options() : options);
      await until(() => frames(mark, id, screen).some((l) => change.test(l)), `${change} at ID ${id}`);
    });
  }

  it('recalls a preset onto the screens chosen', async () => {
    await host.action('set', choose(host.actions.get('set'), 'cam1/1', 'brightness', 77));
    const mark = sim.mark();
    await host.action('recall', { preset: 'day', targets: ['cam1/1'] });
    await until(() => frames(mark, 5, 1).some((l) => /^Brightness 77 -> 40$/.test(l)), 'brightness back to 40');
  });

  it('adds up quick presses of a step, and stops at the end of the range', async () => {
    const step = (direction, by) => host.action('step', { ...choose(host.actions.get('set'), 'pgm/3', 'brightness', 0), direction, by });
    const start = await api('GET', '/monitors/pgm/screens/3').then((s) => s.settings.brightness);
    await Promise.all([step('up', 2), step('up', 2), step('up', 2)]);
    await until(() => host.variables.get('pgm_3_brightness') === start + 6, 'three steps of 2');
    await step('up', 255);
    await until(() => host.variables.get('pgm_3_brightness') === 100, 'the top');
    const mark = sim.mark();
    await step('up', 5);
    await step('down', 1);
    await until(() => frames(mark, 6, 3).some((l) => l === 'Brightness 100 -> 99'), 'one step down');
    assert.equal(frames(mark, 6, 3).length, 1);
  });

  // [what, action, options, the service's message in the log]
  const refusals = [
    ['a level out of range', 'set', () => choose(host.actions.get('set'), 'cam1/1', 'brightness', 170), /cam1 screen 1: brightness: 422: .*0-100/],
    ['a UMD the type lacks', 'umd', { target: 'pgm/1', slot: 3, text: 'X' }, /pgm screen 1: umd: 409: /],
    ['a label too long', 'umd', { target: 'cam1/1', slot: 1, text: 'SEVENTEEN LETTERS' }, /cam1 screen 1: umd: 422: text: at most 16/],
  ];
  for (const [what, action, options, logged] of refusals) {
    it(`fails on ${what}, with the service's message, sending nothing`, async () => {
      const mark = sim.mark();
      const logs = host.logs.length;
      await assert.rejects(host.action(action, typeof options === 'function' ? options() : options));
      assert.ok(host.logs.slice(logs).some((l) => l.startsWith('error: ') && logged.test(l)), host.logs.slice(logs).join('\n'));
      await api('GET', '/monitors/cam1/screens/1?fresh=true');
      assert.deepEqual(sim.since(mark).filter((l) => / screen \d: /.test(l)), []);
    });
  }

  it('follows the monitor in feedbacks and variables', async () => {
    await host.feedback('f1', 'tally_green', { target: 'cam1/1' });
    await host.feedback('f2', 'online', { monitor: 'pgm' });
    await host.feedback('f3', 'field', choose(host.feedbacks.get('field'), 'cam1/1', 'colorTemp', '6500k'));
    await until(() => host.feedbackValues.get('f1') === false && host.feedbackValues.get('f2') === true, 'feedbacks first checked');
    sim.command('set 5 1 tally green');
    sim.command('set 5 1 colorTemp 6500k');
    await until(() => host.feedbackValues.get('f1') === true && host.variables.get('cam1_1_tally') === 'green', 'tally green');
    await until(() => host.feedbackValues.get('f3') === true, 'a setting equal to the value');
    sim.command('fail drop-percent 100');
    await until(() => host.feedbackValues.get('f2') === false && host.variables.get('pgm_online') === false, 'a silent monitor', 30000);
    sim.command('fail drop-percent 0');
    await until(() => host.feedbackValues.get('f2') === true, 'answering again', 30000);
  });

  it('says a bad token, and connects once it is right', async () => {
    const other = new Host(arg('module'));
    try {
      await other.init({ host: '127.0.0.1', port }, { token: 'not-the-token-at-all' });
      await until(() => other.status?.status === 'authentication_failure', 'bad token');
      await other.configure({ host: '127.0.0.1', port }, { token: Token });
      await until(() => other.status?.status === 'ok', 'ok');
    } finally {
      await other.stop();
    }
  });

  it('reconnects after the service restarts, failing presses meanwhile', async () => {
    await service.stop();
    await until(() => host.status.status === 'connection_failure' && host.variables.get('cam1_online') === false, 'service unreachable');
    const logs = host.logs.length;
    await assert.rejects(host.action('tally', { target: 'cam1/1', tally: 'yellow' }));
    assert.ok(host.logs.slice(logs).some((l) => /cam1 screen 1: tally: service unreachable/.test(l)));
    sim.command('set 5 1 tally red');
    await startService();
    await until(() => host.status.status === 'ok' && host.variables.get('cam1_1_tally') === 'red' && host.variables.get('cam1_online') === true, 'back', 30000);
    const mark = sim.mark();
    await host.action('tally', { target: 'cam1/1', tally: 'off' });
    await until(() => frames(mark, 5, 1).includes('Tally red -> off'), 'a press after the return');
  });
});
