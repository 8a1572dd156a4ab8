// Requests to the studio's server. The session cookie set by the first page
// load authorises every one; a refusal arrives as an ApiError with the
// server's own message.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function call(method, path, body) {
  const options = { method, credentials: 'same-origin' };
  if (body !== undefined) {
    options.headers = { 'Content-Type': 'application/json' };
    options.body = JSON.stringify(body);
  }
  const res = await fetch(path, options);
  const text = await res.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!res.ok) {
    throw new ApiError(res.status, (data && data.error) || `${res.status} ${res.statusText}`);
  }
  return data;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export const api = {
  state: () => call('GET', '/api/state'),
  setProperty: (name, value) => call('PUT', '/api/property', { name, value }),
  response: (points, file) => call('GET', `/api/response?points=${points}&file=${file}`),
  save: (body = {}) => call('POST', '/api/save', body),
  reload: () => call('POST', '/api/reload', {}),

  // A render as WAV bytes with the figures `tolvane render` prints. A busy
  // server says when to come back; the page does.
  async render(file, { bypass = false, sweep = null } = {}) {
    let path = `/api/render?file=${file}`;
    if (bypass) path += '&bypass=1';
    if (sweep) path += `&sweep=${sweep[0]}:${sweep[1]}`;
    for (;;) {
      const res = await fetch(path, { credentials: 'same-origin' });
      if (res.status === 503) {
        await sleep(1000 * Number(res.headers.get('Retry-After') || 1));
        continue;
      }
      if (!res.ok) {
        let message = `${res.status} ${res.statusText}`;
        try {
          message = (await res.json()).error || message;
        } catch {
          /* the status says enough */
        }
        throw new ApiError(res.status, message);
      }
      return {
        bytes: await res.arrayBuffer(),
        peak: res.headers.get('X-Tolvane-Peak'),
        saturated: Number(res.headers.get('X-Tolvane-Saturated')),
      };
    }
  },
};
