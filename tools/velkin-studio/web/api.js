// The studio's HTTP API as seen from the page.

// The answer's JSON; for an error, an Error with the server's reason as its message and the
// status beside it (503 and 507 say which limit was reached).
async function answer(response) {
  const body = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(body.error || `${response.status} ${response.statusText}`);
    error.status = response.status;
    throw error;
  }
  return body;
}

export async function getJson(path) {
  return answer(await fetch(path));
}

export async function postJson(path, body) {
  return answer(await fetch(path, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body ?? {}),
  }));
}

export async function remove(path) {
  return answer(await fetch(path, { method: 'DELETE' }));
}

// Sends a WAV file as the request body and starts its encoding.
export async function uploadSound(file, settings) {
  const query = new URLSearchParams({ name: file.name, ...settings });
  return answer(await fetch(`/api/sounds?${query}`, {
    method: 'POST', headers: { 'Content-Type': 'audio/wav' }, body: file,
  }));
}

export async function reencode(id, settings) {
  const query = new URLSearchParams(settings);
  return answer(await fetch(`/api/sounds/${id}/encode?${query}`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}',
  }));
}

const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// A 16-bit mono WAV file from the studio: its rate and samples.
export async function loadWav(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  const bytes = await response.arrayBuffer();
  const view = new DataView(bytes);
  let rate = 16000;
  for (let at = 12; at + 8 <= bytes.byteLength;) {
    const id = String.fromCharCode(...new Uint8Array(bytes, at, 4));
    const size = view.getUint32(at + 4, true);
    if (id === 'fmt ') rate = view.getUint32(at + 12, true);
    if (id === 'data') {
      const count = Math.floor(Math.min(size, bytes.byteLength - at - 8) / 2);
      // A copy in one go where the machine's byte order is the file's (Int16Array reads the
      // machine's), sample by sample otherwise: a long sound has millions.
      const samples = LITTLE_ENDIAN ? new Int16Array(bytes.slice(at + 8, at + 8 + 2 * count)) : new Int16Array(count);
      if (!LITTLE_ENDIAN) for (let i = 0; i < count; i++) samples[i] = view.getInt16(at + 8 + 2 * i, true);
      return { rate, samples };
    }
    at += 8 + size + (size & 1);
  }
  throw new Error(`${url}: no data chunk`);
}

export async function loadSpectrogram(url) {
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status}`);
  return {
    columns: Number(response.headers.get('X-Columns')),
    rows: Number(response.headers.get('X-Rows')),
    hop: Number(response.headers.get('X-Hop')),
    cells: new Uint8Array(await response.arrayBuffer()),
  };
}

// Whether the studio answers at all.
export async function reachable() {
  try {
    const response = await fetch('/api/info', { cache: 'no-store' });
    return response.ok;
  } catch {
    return false;
  }
}

// Job and unit events; `onState` hears whether the stream is up.
export function listen({ job, devices, onState }) {
  const source = new EventSource('/api/events');
  source.addEventListener('job', (e) => job(JSON.parse(e.data)));
  source.addEventListener('devices', (e) => devices(JSON.parse(e.data)));
  source.onopen = () => onState(true);
  source.onerror = () => onState(false);
  return source;
}
