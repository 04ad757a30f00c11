// A stand-in for Companion's module host: runs a packaged module as Companion
// does (a node child process speaking the host API over its IPC channel), keeps
// what the module tells it, and executes actions and feedbacks as Companion would.
import { fork, spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

// Waits until check() returns something truthy; rejects with what after ms.
export async function until(check, what, ms = 15000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => { setTimeout(resolve, 20); });
  }
}

export class Host {
  constructor(pkg, label = 'telvanor') {
    this.label = label;
    this.status = null;
    this.logs = [];
    this.actions = new Map();
    this.feedbacks = new Map();
    this.variables = new Map();
    this.presets = [];
    this.feedbackValues = new Map();
    this.calls = new Map();
    this.nextCall = 1;
    this.child = fork(join(pkg, 'main.js'), [], {
      env: { ...process.env, CONNECTION_ID: 'tv1', VERIFICATION_TOKEN: 'check', MODULE_MANIFEST: join(pkg, 'companion/manifest.json') },
      stdio: ['ignore', 'inherit', 'inherit', 'ipc'],
    });
    this.manifest = JSON.parse(readFileSync(join(pkg, 'companion/manifest.json')));
    this.child.on('message', (m) => this.receive(m));
    this.registered = new Promise((resolve) => { this.onRegister = resolve; });
  }

  handle(name, p) {
    switch (name) {
      case 'register': this.onRegister(p); return {};
      case 'log-message': this.logs.push(`${p.level}: ${p.message}`); return undefined;
      case 'set-status': this.status = p; return undefined;
      case 'setActionDefinitions': this.actions = new Map(p.actions.map((a) => [a.id, a])); return undefined;
      case 'setFeedbackDefinitions': this.feedbacks = new Map(p.feedbacks.map((f) => [f.id, f])); return undefined;
      case 'setPresetDefinitions': this.presets = p.presets; return undefined;
      case 'setVariableDefinitions':
      case 'setVariableValues':
        for (const v of p.newValues ?? []) this.variables.set(v.id, v.value);
        return undefined;
      case 'updateFeedbackValues':
        for (const v of p.values) this.feedbackValues.set(v.id, v.value);
        return undefined;
      case 'parseVariablesInString': return { text: this.parse(p.text), variableIds: [] };
      default: return {};
    }
  }

  receive(m) {
    if (m.direction === 'response') {
      const call = this.calls.get(m.callbackId);
      this.calls.delete(m.callbackId);
      const payload = m.payload ? JSON.parse(m.payload) : undefined;
      if (m.success) call?.resolve(payload);
      else call?.reject(new Error(payload?.message ?? JSON.stringify(payload)));
      return;
    }
    const result = this.handle(m.name, m.payload ? JSON.parse(m.payload) : undefined);
    if (m.callbackId) this.child.send({ direction: 'response', callbackId: m.callbackId, success: true, payload: JSON.stringify(result ?? {}) });
  }

  call(name, payload) {
    const callbackId = this.nextCall++;
    return new Promise((resolve, reject) => {
      this.calls.set(callbackId, { resolve, reject });
      this.child.send({ direction: 'call', name, payload: JSON.stringify(payload), callbackId });
    });
  }

  // Companion fills in $(connection:variable) before the module sees the text.
  parse(text) {
    return String(text).replace(/\$\(([^:)]+):([^)]+)\)/g, (all, label, id) => (label === this.label ? String(this.variables.get(id) ?? '$NA') : '$NA'));
  }

  async init(config, secrets) {
    await this.registered;
    return this.call('init', { label: this.label, isFirstInit: false, config, secrets, lastUpgradeIndex: -1, feedbacks: {}, actions: {} });
  }

  configure(config, secrets) {
    return this.call('updateConfigAndLabel', { label: this.label, config, secrets });
  }

  // Runs an action as a button press does: its options with their defaults, text
  // fields that take variables parsed.
  action(actionId, options) {
    const def = this.actions.get(actionId);
    if (!def) throw new Error(`no action ${actionId}`);
    const all = {};
    for (const o of def.options) all[o.id] = o.id in options ? options[o.id] : o.default;
    for (const o of def.options) if (o.useVariables && typeof all[o.id] === 'string') all[o.id] = this.parse(all[o.id]);
    return this.call('executeAction', { action: { id: `a${this.nextCall}`, controlId: 'bank:1', actionId, options: all, upgradeIndex: null, disabled: false }, surfaceId: undefined });
  }

  feedback(id, feedbackId, options) {
    const def = this.feedbacks.get(feedbackId);
    const all = {};
    for (const o of def.options) all[o.id] = o.id in options ? options[o.id] : o.default;
    return this.call('updateFeedbacks', { feedbacks: { [id]: { id, controlId: 'bank:1', feedbackId, options: all, isInverted: false, upgradeIndex: null, disabled: false } } });
  }

  async stop() {
    if (this.child.exitCode !== null) return;
    this.child.kill();
    await once(this.child, 'exit');
  }
}

// A child process whose output lines are kept, to wait for one.
export class Proc {
  constructor(args, opts = {}) {
    this.lines = [];
    this.proc = spawn(args[0], args.slice(1), { stdio: ['pipe', 'pipe', 'pipe'], ...opts });
    let rest = '';
    const take = (chunk) => {
      const parts = (rest + chunk).split('\n');
      rest = parts.pop();
      this.lines.push(...parts);
    };
    this.proc.stdout.setEncoding('utf8').on('data', take);
    this.proc.stderr.setEncoding('utf8').on('data', take);
    this.proc.on('exit', () => { if (rest) this.lines.push(rest); });
  }

  mark() { return this.lines.length; }

  line(regex, since = 0, ms = 15000) {
    return until(() => this.lines.slice(since).find((l) => regex.test(l)), `${regex} from ${this.proc.spawnfile}; it said:\n${this.lines.slice(-10).join('\n')}`, ms);
  }

  since(mark) { return this.lines.slice(mark); }

  command(text) { this.proc.stdin.write(`${text}\n`); }

  async stop() {
    if (this.proc.exitCode !== null || this.proc.signalCode) return;
    this.proc.kill();
    await once(this.proc, 'exit');
  }
}

export function freePort() {
  return new Promise((resolve) => {
    const s = createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

export function scratch() {
  const dir = mkdtempSync(join(tmpdir(), 'telvanor-companion-'));
  process.on('exit', () => rmSync(dir, { recursive: true, force: true }));
  return dir;
}
