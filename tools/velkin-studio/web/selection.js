// What the user has chosen (the sound shown, the encoding, the EEPROM record as typed, the units
// ticked) is kept by the studio, so that a page reloaded half way through programming, or opened
// again, comes back to it. Saved a moment after each change; read once as the page starts.
import * as api from './api.js';
import { state } from './state.js';

let timer = 0;

function chosen() {
  const record = state.record.trim();
  return {
    sound: state.current,
    encoding: state.encoding,
    // Only what the studio takes: up to 32 hexadecimal digits, as typed so far.
    ...(/^[0-9a-fA-F]{0,32}$/.test(record) ? { record } : {}),
    units: [...state.selected],
  };
}

export function saveSelection() {
  clearTimeout(timer);
  timer = setTimeout(() => {
    if (state.running) api.postJson('/api/selection', chosen()).catch(() => {});
  }, 150);
}

export async function loadSelection() {
  try {
    return await api.getJson('/api/selection');
  } catch {
    return null;
  }
}
