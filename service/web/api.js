// The service's API and its event stream, with the access token asked for once
// per tab when the service wants one.

const tokenKey = 'telvanor.token';
const base = '/api/v1';

export class ApiError extends Error {
  constructor(status, message, field) {
    super(message);
    this.status = status;
    this.field = field;
  }
}

export function token() {
  return sessionStorage.getItem(tokenKey) || '';
}

// One question at a time: every request that meets a 401 meanwhile waits for it.
let asking = null;
function askToken(reason) {
  if (!asking) {
    asking = new Promise((resolve) => {
      const dialog = document.getElementById('token-dialog');
      const input = document.getElementById('token-input');
      document.getElementById('token-reason').textContent =
        token() ? `The token was refused: ${reason}` : 'The service needs its access token.';
      input.value = '';
      dialog.addEventListener('close', () => {
        sessionStorage.setItem(tokenKey, input.value.trim());
        asking = null;
        resolve();
      }, { once: true });
      dialog.showModal();
      input.focus();
    });
  }
  return asking;
}

// A request to the API; resolves with the answer's JSON, rejects with an
// ApiError carrying the service's own message.
export async function request(method, path, body) {
  for (;;) {
    const headers = { Accept: 'application/json' };
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (token()) headers.Authorization = `Bearer ${token()}`;
    let response;
    try {
      response = await fetch(base + path, {
        method, headers, body: body === undefined ? undefined : JSON.stringify(body), cache: 'no-store',
      });
    } catch {
      throw new ApiError(0, 'The service is not reachable');
    }
    let data = {};
    try { data = await response.json(); } catch { /* an answer without a body */ }
    if (response.status === 401) {
      await askToken(data.error || 'unauthorized');
      continue;
    }
    if (!response.ok) throw new ApiError(response.status, data.error || `HTTP ${response.status}`, data.field);
    return data;
  }
}

export const path = (...parts) => parts.map((p) => `/${encodeURIComponent(p)}`).join('');

// The event stream: a snapshot first, then one message per change. When the
// service goes away it is opened again, every second at first and then less
// often; the first message after that is a new snapshot. Each opening takes a
// new single-use ticket, asked for with the token: the token itself never goes
// into a URL, where a proxy would log it.
export function connectEvents(onMessage, onState) {
  let delay = 500;
  const later = () => {
    setTimeout(open, delay);
    delay = Math.min(delay * 2, 4000);
  };
  const open = async () => {
    onState('connecting');
    const url = new URL(`${base}/events`, location.href);
    url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
    try {
      const { ticket } = await request('POST', '/events/ticket');
      url.searchParams.set('ticket', ticket);
    } catch {
      onState('closed'); // away: try again later
      later();
      return;
    }
    const ws = new WebSocket(url);
    ws.onopen = () => { delay = 500; onState('open'); };
    ws.onmessage = (e) => {
      let message;
      try { message = JSON.parse(e.data); } catch { return; }
      onMessage(message);
    };
    ws.onclose = () => {
      onState('closed');
      later();
    };
  };
  open();
}
