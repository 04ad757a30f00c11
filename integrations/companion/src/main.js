// The Companion connection: drives telvanord's monitors from buttons and follows
// them in feedbacks and variables.
import { InstanceBase, Regex, runEntrypoint } from '@companion-module/base';
import { Service, mergeState } from './service.js';
import {
  Catalogue, actionDefinitions, feedbackDefinitions, parseTarget, presetDefinitions, variableDefinitions, variableValues,
} from './definitions.js';

const Nothing = { fields: null, monitors: [], presets: [] };

class TelvanorInstance extends InstanceBase {
  async init(config, isFirstInit, secrets) {
    this.configure(config, secrets);
  }

  async configUpdated(config, secrets) {
    this.configure(config, secrets);
  }

  async destroy() {
    this.service?.close();
    this.service = null;
  }

  getConfigFields() {
    return [
      { type: 'static-text', id: 'info', width: 12, label: 'telvanord', value: 'The address telvanord listens on (its "http" section) and its token, if it has one.' },
      { type: 'textinput', id: 'host', label: 'Host', width: 8, default: '127.0.0.1', regex: Regex.HOSTNAME },
      { type: 'number', id: 'port', label: 'Port', width: 4, default: 8080, min: 1, max: 65535 },
      { type: 'secret-text', id: 'token', label: 'Token (empty when the service has none)', width: 12, default: '' },
      { type: 'textinput', id: 'only', label: 'Only these monitors (names, SITE~* for a whole site; empty for all)', width: 12, default: '' },
    ];
  }

  configure(config, secrets) {
    this.service?.close();
    this.service = null;
    this.asked = new Map();  // "target field" -> the level last asked for and not yet answered
    this.only = String(config?.only ?? '');
    const host = String(config?.host ?? '').trim();
    const port = Number(config?.port);
    if (!host || !Number.isInteger(port) || port < 1 || port > 65535) {
      this.updateStatus('bad_config', 'Set the host and port of telvanord');
      this.define();
      return;
    }
    const service = new Service({ host, port, token: String(secrets?.token ?? '').trim() }, (level, text) => this.log(level, text));
    this.service = service;
    service.on('status', (status, message) => this.updateStatus(status, message));
    service.on('catalogue', () => this.define());
    service.on('state', (names) => this.follow(names));
    this.define();
    service.start();
  }

  // Gives Companion the actions, feedbacks, variables and presets again when
  // what they are made of changed.
  define() {
    const c = new Catalogue(this.service ?? Nothing, this.only);
    const key = JSON.stringify([this.service?.fields ?? null, this.label, this.only, c.presets.map((p) => [p.name, p.deviceType]),
      c.monitors.map((m) => [m.name, m.type, m.screenCount, m.monitorName])]);
    if (key === this.defined) return;
    this.defined = key;
    this.catalogue = c;
    this.setActionDefinitions(actionDefinitions(c, this));
    this.setFeedbackDefinitions(feedbackDefinitions(c, this));
    this.setVariableDefinitions(variableDefinitions(c));
    this.setPresetDefinitions(presetDefinitions(c, this.label));
    this.follow(null);
  }

  follow(names) {
    this.setVariableValues(variableValues(this.catalogue, this.service?.state ?? {}, names));
    this.checkFeedbacks();
  }

  monitor(name) {
    return this.service?.state[name];
  }

  screen(target) {
    const at = parseTarget(target);
    return at ? this.service?.state[at.monitor]?.[String(at.screen)] : undefined;
  }

  // Learn: the value of the setting chosen, as the screen shows it now.
  learn(options) {
    const at = this.catalogue.setting(options);
    const now = at.why ? undefined : this.screen(at.t.id)?.[at.name];
    if (typeof now === 'number') return { ...options, level: now };
    return typeof now === 'string' ? { ...options, [this.catalogue.valueOption.get(`${at.t.row} ${at.name}`)]: now } : undefined;
  }

  fail(what, why) {
    this.log('error', `${what}: ${why}`);
    throw new Error(why);
  }

  // One request to the service. A failure goes to the connection's log with the
  // service's own message and fails the action; a screen's answer updates its state.
  async send(what, target, method, path, body) {
    const service = this.service;
    if (!service) return this.fail(what, 'not configured');
    let answer;
    try {
      answer = await service.request(method, path, body);
    } catch (e) {
      return this.fail(what, e.message);
    }
    if (target && answer?.settings && service === this.service) {
      this.follow(mergeState(service.state, { [target.monitor]: { [String(target.screen)]: answer.settings } }));
    }
    return answer;
  }

  screenPath(at, rest = '') {
    return `/monitors/${encodeURIComponent(at.monitor)}/screens/${at.screen}${rest}`;
  }

  async set(options) {
    const at = this.catalogue.chosen(options);
    if (at.why) return this.fail('Set', at.why);
    return this.send(`${at.t.monitor} screen ${at.t.screen}: ${at.name}`, at.t, 'PATCH', this.screenPath(at.t), { [at.name]: at.value });
  }

  // A step starts from the level last asked for while its answer is still on
  // its way, so that quick presses add up.
  async step(options) {
    const at = this.catalogue.setting(options);
    if (at.why || !at.offer.levels) return this.fail('Step', at.why ?? `${at.name} is not a level`);
    const { t, name } = at;
    const key = `${t.id} ${name}`;
    const now = this.asked.get(key) ?? this.screen(t.id)?.[name];
    if (typeof now !== 'number') return this.fail('Step', `${t.monitor} screen ${t.screen} has not been read yet`);
    const by = Math.max(1, Math.round(Number(options.by) || 1)) * (options.direction === 'down' ? -1 : 1);
    const [lo, hi] = at.offer.levels;
    const next = Math.min(hi, Math.max(lo, now + by));
    if (next === now) return undefined;
    this.asked.set(key, next);
    try {
      return await this.send(`${t.monitor} screen ${t.screen}: ${name}`, t, 'PATCH', this.screenPath(t), { [name]: next });
    } finally {
      if (this.asked.get(key) === next) this.asked.delete(key);
    }
  }

  async post(target, kind, body) {
    const at = parseTarget(target);
    if (!at) return this.fail(kind, `no monitor screen ${target}`);
    return this.send(`${at.monitor} screen ${at.screen}: ${kind}`, at, 'POST', this.screenPath(at, `/${kind}`), body);
  }

  async umdStyle(options) {
    const at = parseTarget(options.target);
    if (!at) return this.fail('UMD', `no monitor screen ${options.target}`);
    const slot = Number(options.slot);
    const body = {};
    if (options.on !== 'keep') body[`umd${slot}On`] = options.on;
    if (options.colour !== 'keep') body[`umd${slot}Color`] = options.colour;
    if (!Object.keys(body).length) return undefined;
    return this.send(`${at.monitor} screen ${at.screen}: UMD ${slot}`, at, 'PATCH', this.screenPath(at), body);
  }

  // One recall per monitor, with the screens chosen of it.
  async recall(options) {
    const screens = new Map();
    for (const id of options.targets ?? []) {
      const at = parseTarget(id);
      if (at) screens.set(at.monitor, [...(screens.get(at.monitor) ?? []), at.screen]);
    }
    if (!options.preset || !screens.size) return this.fail('Recall', 'choose a preset and the screens it goes to');
    const results = await Promise.allSettled([...screens].map(([monitor, list]) =>
      this.send(`${monitor}: recall ${options.preset}`, null, 'POST', `/monitors/${encodeURIComponent(monitor)}/recall`,
        { preset: options.preset, screens: list })));
    const failed = results.find((r) => r.status === 'rejected');
    if (failed) throw failed.reason;
    return undefined;
  }
}

runEntrypoint(TelvanorInstance, []);
