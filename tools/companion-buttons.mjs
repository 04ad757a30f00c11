#!/usr/bin/env node
// Draws the Companion module's ready-made buttons as Companion shows them (72 x 72
// keys, the text with its variables filled in, lit by their feedbacks) into
// docs/img/companion-buttons.png: the packaged module, under the test suite's
// stand-in for Companion's host, against telvanord and simulated monitors.
//   tools/companion-buttons.mjs [--telvanord build/service/telvanord]
//     [--sim build/sim/telvanor-monitor-sim] [--module build/companion/integrations/companion/pkg]
import { execFileSync } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Host, Rig, until } from '../tests/companion/host.mjs';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const arg = (name, fallback) => (process.argv.includes(`--${name}`) ? process.argv[process.argv.indexOf(`--${name}`) + 1] : join(root, fallback));
const rig = new Rig(arg('telvanord', 'build/service/telvanord'), arg('sim', 'build/sim/telvanor-monitor-sim'),
  { cam1: 'type=2,id=1,name=CAM 1', cam2: 'type=2,id=2,name=CAM 2', program: 'type=1,id=3,name=PROGRAM' });
await rig.start();
for (const [name, text, tally] of [['cam1', 'CAM 1', 'red'], ['cam2', 'CAM 2 WIDE', 'green'], ['program', 'PGM', 'off']]) {
  await rig.api('POST', `/monitors/${name}/screens/1/umd`, { text });
  await rig.api('POST', `/monitors/${name}/screens/1/tally`, { tally });
}
await rig.api('PUT', '/presets/day', { from: 'cam1', screen: 1 });

const host = new Host(arg('module', 'build/companion/integrations/companion/pkg'));
await host.init({ host: '127.0.0.1', port: rig.port }, {});
await until(() => host.status?.status === 'ok' && host.presets.some((p) => p.id === 'cam2_1_recall_day')
  && host.variables.get('program_1_umd1') === 'PGM', 'the buttons');

// Each button's look: its style, then the style of each feedback that holds.
let fb = 0;
const rows = [];
for (const t of ['cam1/1', 'cam2/1', 'program/1']) {
  const keys = [];
  for (const p of host.presets.filter((x) => x.category === `${t.split('/')[0]} screen 1`)) {
    const style = { ...p.style };
    for (const f of p.feedbacks) {
      const id = `fb${fb += 1}`;
      await host.feedback(id, f.feedbackId, f.options);
      if (await until(() => host.feedbackValues.has(id), 'a feedback') && host.feedbackValues.get(id) === true) Object.assign(style, f.style);
    }
    keys.push({ name: p.name, text: host.parse(style.text), style });
  }
  rows.push({ category: `${t.replace('/', ' screen ')}`, keys });
}
const colour = (n) => `#${Number(n).toString(16).padStart(6, '0')}`;
const escape = (s) => s.replace(/[&<>]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;' })[c]);
const html = `<!doctype html><meta charset="utf-8"><style>
body { margin: 0; padding: 16px; background: #222; font-family: Arial, sans-serif; color: #ddd; }
.row { display: flex; align-items: center; gap: 6px; margin-bottom: 10px; }
.cat { width: 130px; font-size: 13px; }
.key { width: 72px; height: 72px; border-radius: 4px; display: flex; align-items: center; justify-content: center;
  text-align: center; white-space: pre-line; font-size: 12px; font-weight: bold; overflow: hidden; box-shadow: 0 0 0 1px #444; }
</style>${rows.map((r) => `<div class="row"><div class="cat">${escape(r.category)}</div>${r.keys.map((k) => `<div class="key" title="${escape(k.name)}" style="background:${colour(k.style.bgcolor)};color:${colour(k.style.color)}">${escape(k.text)}</div>`).join('')}</div>`).join('')}`;
writeFileSync(`${rig.dir}/buttons.html`, html);
const out = join(root, 'docs/img/companion-buttons.png');
execFileSync('chromium', ['--headless=new', '--no-sandbox', '--disable-gpu', '--hide-scrollbars', `--screenshot=${out}`,
  '--window-size=700,300', '--disable-background-networking', '--host-resolver-rules=MAP * ~NOTFOUND', `file://${rig.dir}/buttons.html`], { stdio: 'ignore' });
console.log(`saved ${out}`);
await host.stop();
await rig.stop();
process.exit(0);
