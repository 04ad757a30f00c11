// A stand-in for Companion's module host: runs a packaged module as Companion
// does (a node child process speaking the host API over its IPC channel), keeps
// what the module tells it, and executes actions and feedbacks as Companion would.
// Beside it the rig the module talks to: simulated monitors on a pseudo-terminal
// and telvanord on a free loopback port.
import { fork, spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

// Waits until check() returns something truthy; rejects with what after ms.
export async function until(check, what, ms = 15000) {
  let value;
  for (const deadline = Date.now() + ms; !(value = await check()); await new Promise((resolve) => { setTimeout(resolve, 20); })) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
  }
  return value;
}

async function stopped(child) {
  if (child.exitCode === null && child.signalCode === null) await Promise.all([once(child, 'exit'), child.kill()]);
}

export class Host {
  constructor(pkg, label = 'telvanor') {
    Object.assign(this, { label, status: null, logs: [], presets: [], calls: new Map(), nextCall: 1 });
    for (const name of ['actions', 'feedbacks', 'variables', 'feedbackValues']) this[name] = new Map();
    const env = { ...process.env, CONNECTION_ID: 'tv1', VERIFICATION_TOKEN: 'check', MODULE_MANIFEST: join(pkg, 'companion/manifest.json') };
    this.child = fork(join(pkg, 'main.js'), [], { env, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
    this.child.on('message', (m) => this.receive(m));
    this.registered = new Promise((resolve) => { this.onRegister = resolve; });
  }

  handle(name, p) {
    const values = (list) => { for (const v of list ?? []) this.variables.set(v.id, v.value); };
    return {
      register: () => this.onRegister(p),
      'log-message': () => this.logs.push(`${p.level}: ${p.message}`),
      'set-status': () => { this.status = p; },
      setActionDefinitions: () => { this.actions = new Map(p.actions.map((a) => [a.id, a])); },
      setFeedbackDefinitions: () => { this.feedbacks = new Map(p.feedbacks.map((f) => [f.id, f])); },
      setPresetDefinitions: () => { this.presets = p.presets; },
      setVariableDefinitions: () => values(p.newValues),
      setVariableValues: () => values(p.newValues),
      updateFeedbackValues: () => { for (const v of p.values) this.feedbackValues.set(v.id, v.value); },
    }[name]?.();
  }

  receive(m) {
    const payload = m.payload ? JSON.parse(m.payload) : undefined;
    if (m.direction === 'response') {
      const call = this.calls.get(m.callbackId);
      this.calls.delete(m.callbackId);
      return m.success ? call?.resolve(payload) : call?.reject(new Error(payload?.message ?? JSON.stringify(payload)));
    }
    this.handle(m.name, payload);
    if (m.callbackId) this.child.send({ direction: 'response', callbackId: m.callbackId, success: true, payload: '{}' });
    return undefined;
  }

  call(name, payload) {
    this.child.send({ direction: 'call', name, payload: JSON.stringify(payload), callbackId: this.nextCall });
    return new Promise((resolve, reject) => { this.calls.set(this.nextCall++, { resolve, reject }); });
  }

  // Companion fills in $(connection:variable) before the module sees the text.
  parse(text) {
    return String(text).replace(/\$\(([^:)]+):([^)]+)\)/g, (all, label, id) => (label === this.label ? String(this.variables.get(id) ?? '$NA') : '$NA'));
  }

  async init(config, secrets) {
    return this.registered.then(() => this.call('init', { label: this.label, isFirstInit: false, config, secrets, lastUpgradeIndex: -1, feedbacks: {}, actions: {} }));
  }

  configure(config, secrets) { return this.call('updateConfigAndLabel', { label: this.label, config, secrets }); }

  // An action's or feedback's options with their defaults, text fields that take
  // variables parsed.
  options(def, given) {
    const all = {};
    for (const o of def.options) all[o.id] = o.id in given ? given[o.id] : o.default;
    for (const o of def.options) if (o.useVariables && typeof all[o.id] === 'string') all[o.id] = this.parse(all[o.id]);
    return all;
  }

  // A press of a button with this action, or (call 'learnAction') its Learn.
  action(actionId, options, call = 'executeAction') {
    const action = { id: `a${this.nextCall}`, controlId: 'bank:1', actionId, options: this.options(this.actions.get(actionId), options), upgradeIndex: null, disabled: false };
    return this.call(call, { action, surfaceId: undefined });
  }

  feedback(id, feedbackId, options) {
    const feedback = { id, controlId: 'bank:1', feedbackId, options: this.options(this.feedbacks.get(feedbackId), options), isInverted: false, upgradeIndex: null, disabled: false };
    return this.call('updateFeedbacks', { feedbacks: { [id]: feedback } });
  }

  stop() { return stopped(this.child); }
}

// A child process whose output lines are kept, to wait for one.
function kept(args) {
  const proc = spawn(args[0], args.slice(1), { stdio: ['pipe', 'pipe', 'pipe'] });
  const it = { proc, lines: [], stop: () => stopped(proc) };
  let rest = '';
  for (const out of [proc.stdout, proc.stderr]) {
    out.setEncoding('utf8').on('data', (chunk) => { const parts = (rest + chunk).split('\n'); rest = parts.pop(); it.lines.push(...parts); });
  }
  proc.on('exit', () => { if (rest) it.lines.push(rest); });
  it.line = (regex) => until(() => it.lines.find((l) => regex.test(l)), `${regex} from ${args[0]}; it said:\n${it.lines.slice(-10).join('\n')}`);
  return it;
}

// Simulated monitors ({name: "type=2,id=5,name=CAM 1"}) and telvanord serving them.
export class Rig {
  constructor(telvanord, sim, monitors, token) {
    Object.assign(this, { telvanord, monitors, token, dir: mkdtempSync(join(tmpdir(), 'telvanor-companion-')) });
    this.sim = kept([sim, '--serial', '--pty-file', `${this.dir}/pty`, '--quiet-reads', ...Object.values(monitors).flatMap((m) => ['--monitor', m])]);
  }

  async start() {
    await this.sim.line(/^ready/);
    const s = createServer().listen(0, '127.0.0.1');
    this.port = (await once(s, 'listening'), s.address().port);
    s.close();
    const pty = readFileSync(`${this.dir}/pty`, 'utf8').trim();
    const monitors = Object.fromEntries(Object.entries(this.monitors).map(([name, m]) => [name, `serial:${pty}#${/id=(\d+)/.exec(m)[1]}`]));
    if (this.token) writeFileSync(`${this.dir}/token`, `${this.token}\n`);
    const http = { listen: '127.0.0.1', port: this.port, ...(this.token && { tokenFile: 'token' }) };
    writeFileSync(`${this.dir}/telvanord.json`, JSON.stringify({ monitors, readEveryMs: 1000, presets: `${this.dir}/presets`, http }));
    await this.startService();
  }

  startService() {
    this.service = kept([this.telvanord, `${this.dir}/telvanord.json`]);
    return this.service.line(/telvanord: listening on /);
  }

  // A request to the service as a script would make it.
  async api(method, path, body) {
    const headers = { 'Content-Type': 'application/json', ...(this.token && { Authorization: `Bearer ${this.token}` }) };
    return (await fetch(`http://127.0.0.1:${this.port}/api/v1${path}`, { method, headers, body: body && JSON.stringify(body) })).json();
  }

  // What the simulator said since a mark; one screen's changes without the time.
  mark() { return this.sim.lines.length; }

  said(mark) { return this.sim.lines.slice(mark); }

  changes(mark, id, screen) { return this.said(mark).filter((l) => l.includes(`ID ${id} screen ${screen}: `)).map((l) => l.replace(/^\S+ ID \d+ screen \d+: /, '')); }

  command(text) { this.sim.proc.stdin.write(`${text}\n`); }

  async stop() {
    await Promise.all([this.service?.stop(), this.sim.stop()]);
    rmSync(this.dir, { recursive: true, force: true });
  }
}
