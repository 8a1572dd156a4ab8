// Requests to the studio's server. The session cookie set by the first page
// load authorises every one; a refusal arrives as an ApiError with the
// server's own message.

export class ApiError extends Error {
  constructor(status, message, data = null) {
    super(message);
    this.status = status;
    this.data = data; // the server's answer, when it sent one
  }
}

// fetch, with no answer at all (the studio stopped) said as such.
async function reach(path, options) {
  try {
    return await fetch(path, { credentials: 'same-origin', ...options });
  } catch (error) {
    throw new ApiError(0, `no answer from the studio (is it still running?): ${error.message}`);
  }
}

function send(method, path, body) {
  const options = { method };
  if (body !== undefined) {
    options.headers = { 'Content-Type': 'application/json' };
    options.body = JSON.stringify(body);
  }
  return reach(path, options);
}

async function answer(res) {
  const text = await res.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!res.ok) {
    throw new ApiError(res.status, (data && data.error) || `${res.status} ${res.statusText}`, data);
  }
  return data;
}

async function call(method, path, body) {
  return answer(await send(method, path, body));
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export const api = {
  state: () => call('GET', '/api/state'),
  version: () => call('GET', '/api/version'),
  // Resolves as soon as the server has stored the value (its answer's
  // headers are here); the answer itself is read with read().
  async putProperty(name, value) {
    const res = await send('PUT', '/api/property', { name, value });
    return { read: () => answer(res) };
  },
  response: (points, file) => call('GET', `/api/response?points=${points}&file=${file}`),
  save: (body = {}) => call('POST', '/api/save', body),

  // A file's samples as the engine in the page takes them: 16-bit,
  // interleaved, converted as `tolvane render` converts them.
  async pcm(file) {
    const res = await reach(`/api/pcm?file=${file}`);
    if (!res.ok) await answer(res); // throws with the server's message
    return {
      rate: Number(res.headers.get('X-Tolvane-Rate')),
      channels: Number(res.headers.get('X-Tolvane-Channels')),
      samples: new Int16Array(await res.arrayBuffer()),
    };
  },
  reload: () => call('POST', '/api/reload', {}),

  // Has the server render and keep a render; answers where the audio element
  // streams it from, with the figures `tolvane render` prints. Only its first
  // byte travels here. A busy server says when to come back; the page does.
  async render(file, { bypass = false, sweep = null } = {}) {
    let path = `/api/render?file=${file}`;
    if (bypass) path += '&bypass=1';
    if (sweep) path += `&sweep=${sweep[0]}:${sweep[1]}`;
    for (;;) {
      const res = await reach(path, { headers: { Range: 'bytes=0-0' } });
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
      res.arrayBuffer().catch(() => {}); // the one byte asked for: not waited for
      const id = res.headers.get('X-Tolvane-Render');
      if (!id) throw new ApiError(res.status, 'the studio sent a render without X-Tolvane-Render');
      return {
        url: `/api/render?id=${id}`,
        peak: res.headers.get('X-Tolvane-Peak'),
        saturated: Number(res.headers.get('X-Tolvane-Saturated')),
      };
    }
  },
};
