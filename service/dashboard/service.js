// Talking to the service: the token of this browser session, JSON requests, and the event
// streams of samples, read with fetch so that the token can travel as a bearer header.

const tokenKey = 'mavozarp.token';

// The service prints the dashboard's address with "#token=..." once at start. The token is kept
// for this tab's session only and taken out of the address bar, so it is neither bookmarked nor
// shown over a shoulder.
export function takeTokenFromAddress() {
  const fragment = new URLSearchParams(location.hash.slice(1));
  const token = fragment.get('token');
  if (token) keepToken(token);
  if (!fragment.has('token')) return;
  fragment.delete('token');  // what else the address chose (a device) stays
  const rest = fragment.toString();
  history.replaceState(null, '', location.pathname + location.search + (rest ? `#${rest}` : ''));
}

export function hasToken() {
  return sessionStorage.getItem(tokenKey) !== null;
}

// A token typed into the sign-in form, kept like one from the address.
export function keepToken(token) {
  sessionStorage.setItem(tokenKey, token);
}

export function forgetToken() {
  sessionStorage.removeItem(tokenKey);
}

// Told when the service refuses the token this tab holds (a user removed, a mistyped token, the
// service restarted with another), whichever request met it, so that the page asks again.
let tokenRefused = () => {};
export function whenTokenRefused(callback) {
  tokenRefused = callback;
}

function headers(extra = {}) {
  const token = sessionStorage.getItem(tokenKey);
  return token ? { ...extra, Authorization: `Bearer ${token}` } : extra;
}

// A refusal of the service (its "error" and "message") or a failure to reach it.
export class ServiceError extends Error {
  constructor(status, error, message) {
    super(message);
    this.status = status;
    this.error = error;
  }
}

async function answer(response) {
  const body = await response.json().catch(() => null);
  if (response.status === 401 && hasToken()) tokenRefused(body?.message ?? response.statusText);
  if (!response.ok) {
    throw new ServiceError(response.status, body?.error ?? `http-${response.status}`,
                           body?.message ?? response.statusText);
  }
  return body;
}

async function request(path, options = {}) {
  let response;
  try {
    response = await fetch(path, { cache: 'no-store', credentials: 'omit', ...options,
                                   headers: headers(options.headers) });
  } catch (failure) {
    throw new ServiceError(0, 'unreachable', 'the service cannot be reached');
  }
  return answer(response);
}

export const getJson = (path) => request(path);

function sendJson(method, path, document) {
  return request(path, { method, headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(document) });
}

export const putJson = (path, document) => sendJson('PUT', path, document);

export const devicePath = (id) => `/api/v1/devices/${encodeURIComponent(id)}`;

export const sendCommands = (id, commands) => sendJson('POST', `${devicePath(id)}/commands`, { commands });

// Waits that grow after each failure, up to half a minute, with some spread so that many pages
// do not come back at the same instant.
export class Backoff {
  constructor(first = 1000, longest = 30000) {
    this.first = first;
    this.longest = longest;
    this.reset();
  }
  reset() { this.next = this.first; }
  delay() {
    const wait = this.next * (0.75 + Math.random() / 2);
    this.next = Math.min(this.next * 2, this.longest);
    return wait;
  }
}

// One stream of samples of a device: calls onEvent(type, data) for every event ("sample" or
// "error") and onLink(true|false, why) when the stream opens or is lost; reconnects with back-off
// until closed.
export function openStream(id, commands, seconds, { onEvent, onLink }) {
  const backoff = new Backoff();
  let abort = null;
  let timer = null;
  let closed = false;

  async function connect() {
    abort = new AbortController();
    const query = `commands=${encodeURIComponent(commands.join(','))}&interval=${seconds}`;
    try {
      const response = await fetch(`${devicePath(id)}/stream?${query}`, {
        cache: 'no-store', credentials: 'omit', signal: abort.signal,
        headers: headers({ Accept: 'text/event-stream' }),
      });
      if (!response.ok) await answer(response);
      onLink(true, '');
      await readEvents(response.body, (type, data) => { backoff.reset(); onEvent(type, data); });
      onLink(false, 'the stream ended');
    } catch (failure) {
      if (closed) return;
      onLink(false, failure instanceof ServiceError ? failure.message : 'the service cannot be reached');
    }
    if (!closed) timer = setTimeout(connect, backoff.delay());
  }

  connect();
  return {
    close() {
      closed = true;
      clearTimeout(timer);
      abort?.abort();
    },
  };
}

// Server-Sent Events: blocks separated by a blank line, "event:" and "data:" fields, comments
// starting with ":".
async function readEvents(body, deliver) {
  const reader = body.pipeThrough(new TextDecoderStream()).getReader();
  let buffer = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    buffer += value.replace(/\r\n?/g, '\n');
    let end;
    while ((end = buffer.indexOf('\n\n')) >= 0) {
      const block = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      let type = 'message';
      const data = [];
      for (const line of block.split('\n')) {
        if (line.startsWith('event:')) type = line.slice(6).trim();
        else if (line.startsWith('data:')) data.push(line.slice(5).replace(/^ /, ''));
      }
      if (data.length > 0) deliver(type, JSON.parse(data.join('\n')));
    }
  }
}
