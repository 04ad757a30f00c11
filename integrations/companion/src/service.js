// The module's one door to telvanord: its HTTP/JSON API and its event stream.
// Keeps what the service says (field table, monitors, presets, every screen's
// state) and tells the module what changed; reconnects by itself, and never
// keeps Companion waiting on a service that is away.
import { EventEmitter } from 'node:events';
import WebSocket from 'ws';
import { tableFault } from './definitions.js';

// A request waits at most this long: a command through a centre is answered
// within 35 s ("may or may not have been made" after that). The lists read on
// connecting come at once from a service that is there.
const RequestMs = 40000;
const ListMs = 10000;
// Reconnecting: 1 s, doubling to 10 s; a refused token is tried again every 10 s.
const RetryFirstMs = 1000;
const RetryMostMs = 10000;
// The service pings every 10 s; a stream silent for this long lost its link.
const SilentMs = 35000;

const listOf = (x) => (Array.isArray(x) ? x : []);

export class ServiceError extends Error {
  constructor(status, message) {
    super(status ? `${status}: ${message}` : message);
    this.status = status;
  }
}

// Merges the `state` of an event (monitor -> screen -> field) into the kept state.
export function mergeState(into, change) {
  for (const [monitor, values] of Object.entries(change ?? {})) {
    if (!values || typeof values !== 'object') continue;
    const kept = (into[monitor] ??= {});
    for (const [key, value] of Object.entries(values)) {
      if (value && typeof value === 'object' && !Array.isArray(value)) kept[key] = { ...kept[key], ...value };
      else kept[key] = value;
    }
  }
  return Object.keys(change ?? {});
}

export class Service extends EventEmitter {
  // where: {host, port, token}. Events: 'status' (status, message), 'catalogue'
  // (fields, monitors or presets changed), 'state' (names of the monitors changed).
  constructor(where, log) {
    super();
    this.where = where;
    this.log = log;
    this.base = `http://${where.host}:${where.port}/api/v1`;
    this.fields = null;     // GET /fields
    this.monitors = [];     // GET /monitors
    this.presets = [];      // GET /presets
    this.state = {};        // monitor -> {online, monitorName, "1": {field: value}}
    this.connected = false;
    this.closed = false;
    this.retryMs = RetryFirstMs;
    this.timer = null;
    this.socket = null;
    this.refreshing = new Set(); // lists to be read again shortly
  }

  start() {
    this.status('connecting', null);
    this.connect();
  }

  close() {
    this.closed = true;
    clearTimeout(this.timer);
    const socket = this.socket;
    this.socket = null;
    socket?.terminate();
  }

  status(status, message) {
    if (this.closed) return;
    this.emit('status', status, message);
  }

  // Returns the decoded answer; throws ServiceError with the service's message.
  async request(method, path, body, ms = RequestMs) {
    const headers = { Accept: 'application/json' };
    if (this.where.token) headers.Authorization = `Bearer ${this.where.token}`;
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    let response;
    try {
      response = await fetch(this.base + path, {
        method, headers, body: body === undefined ? undefined : JSON.stringify(body),
        signal: AbortSignal.timeout(ms),
      });
    } catch (e) {
      const why = e?.name === 'TimeoutError' ? `no answer within ${ms / 1000} s` : (e?.cause?.code ?? e?.message ?? String(e));
      throw new ServiceError(0, `service unreachable (${why})`);
    }
    const text = await response.text();
    let answer = null;
    try {
      answer = text ? JSON.parse(text) : null;
    } catch {
      answer = null;
    }
    if (!response.ok) throw new ServiceError(response.status, answer?.error ?? (text.trim() || response.statusText));
    return answer;
  }

  async connect() {
    if (this.closed) return;
    try {
      const [fields, monitors, presets] = await Promise.all([
        this.request('GET', '/fields', undefined, ListMs), this.request('GET', '/monitors', undefined, ListMs),
        this.request('GET', '/presets', undefined, ListMs)]);
      if (this.closed) return;
      const fault = tableFault(fields);
      if (fault) throw Object.assign(new ServiceError(0, `this service's ${fault} not understood (another version?)`), { unknown: true });
      this.fields = fields;
      this.monitors = listOf(monitors?.monitors);
      this.presets = listOf(presets?.presets);
      this.emit('catalogue');
      this.openEvents();
    } catch (e) {
      this.failed(e);
    }
  }

  failed(e) {
    if (this.closed) return;
    const refused = e instanceof ServiceError && e.status === 401;
    if (refused) this.status('authentication_failure', 'Bad token');
    else if (e.unknown) this.status('unknown_error', e.message);
    else this.status('connection_failure', `Service unreachable: ${e.message ?? e}`);
    this.retry(refused ? RetryMostMs : undefined);
  }

  retry(after) {
    clearTimeout(this.timer);
    const wait = after ?? this.retryMs;
    this.retryMs = Math.min(this.retryMs * 2, RetryMostMs);
    this.timer = setTimeout(() => this.connect(), wait);
  }

  openEvents() {
    const headers = this.where.token ? { Authorization: `Bearer ${this.where.token}` } : {};
    const socket = new WebSocket(`ws://${this.where.host}:${this.where.port}/api/v1/events`, { headers, handshakeTimeout: 10000 });
    this.socket = socket;
    let heard = Date.now();
    const watch = setInterval(() => {
      if (Date.now() - heard > SilentMs) socket.terminate();
    }, 5000);
    let ended = false;
    const end = (e) => {
      if (ended) return;
      ended = true;
      clearInterval(watch);
      if (this.socket !== socket) return;  // closed on purpose
      this.socket = null;
      if (!this.connected) return this.failed(e ?? new ServiceError(0, 'the event stream closed'));
      this.connected = false;
      this.log('warn', 'lost the service; reconnecting');
      // Whether the monitors answer is unknown until the service is back.
      const names = Object.keys(this.state);
      for (const name of names) this.state[name].online = false;
      this.emit('state', names);
      this.retryMs = RetryFirstMs;
      this.status('connection_failure', 'Service unreachable - reconnecting');
      this.retry();
    };
    socket.on('ping', () => { heard = Date.now(); });
    socket.on('message', (data) => {
      heard = Date.now();
      let message;
      try {
        message = JSON.parse(data.toString());
      } catch {
        this.log('warn', 'an event that is not JSON was left out');
        return;
      }
      this.onMessage(message);
    });
    socket.on('unexpected-response', (request, response) => {
      end(new ServiceError(response.statusCode, 'the event stream was refused'));
      socket.terminate();
    });
    socket.on('error', () => {});
    socket.on('close', () => end(null));
  }

  onMessage(message) {
    switch (message.type) {
      case 'snapshot':
        this.connected = true;
        this.retryMs = RetryFirstMs;
        this.state = {};
        mergeState(this.state, message.state);
        if (Array.isArray(message.monitors)) this.monitors = message.monitors;
        this.status('ok', null);
        this.emit('catalogue');
        this.emit('state', Object.keys(this.state));
        return;
      case 'added':
      case 'identified':
      case 'site':
        this.refresh('/monitors');
        break;
      case 'request':
        if (typeof message.path === 'string' && message.path.includes('/presets/')) this.refresh('/presets');
        break;
      default:
        break;
    }
    if (message.state && typeof message.state === 'object') this.emit('state', mergeState(this.state, message.state));
  }

  // Asks for a list again (monitors or presets), once for a burst of changes.
  refresh(path) {
    if (this.refreshing.has(path)) return;
    this.refreshing.add(path);
    setTimeout(async () => {
      this.refreshing.delete(path);
      try {
        const answer = await this.request('GET', path);
        if (path === '/monitors') this.monitors = listOf(answer?.monitors);
        else this.presets = listOf(answer?.presets);
        this.emit('catalogue');
      } catch (e) {
        this.log('warn', `could not read ${path} again: ${e.message}`);
      }
    }, 200);
  }
}
