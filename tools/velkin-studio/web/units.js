// Units: the table (units present, and those gone with a result to show), programming one or a
// tray, writing an EEPROM record. Each row shows its unit's own last job and what the unit holds;
// what cannot start is disabled with the reason on its title, and erasing a unit that holds
// something else is asked first.
import * as api from './api.js';
import { $, el, keyed } from './dom.js';
import { NAMES } from './playback.js';
import { saveSelection } from './selection.js';
import { newer, RECORD, say, state, update } from './state.js';

// Shares of a unit's bar per programming step.
const STEPS = { queued: [0, 0], start: [0, 0], erase: [0, 20], write: [20, 60], eeprom: [80, 2], verify: [82, 18] };

const present = (s) => s.devices.filter((d) => d.present);

// The unit whose flash the figures compare against: the first selected, else the first present.
export function flashUnit(s) {
  return present(s).find((d) => s.selected.has(d.name)) ?? present(s)[0];
}

// The last job of a unit: from the events, or from the row the studio keeps.
export function unitJob(s, unit) {
  return newer(unit.last_job ?? null, s.unitJobs.get(unit.name) ?? null);
}

const busy = (s, unit) => unit.busy || unitJob(s, unit)?.state === 'running';

function jobPercent(job) {
  if (!job) return 0;
  if (job.state === 'done') return 100;
  if (job.kind === 'eeprom') return 0;
  const [base, share] = STEPS[job.step] ?? [0, 0];
  return base + (share * job.progress) / 100;
}

const clock = (ms) => new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });

// What a unit's flash holds, as far as the studio knows, in words.
export function holdsText(holds) {
  switch (holds?.kind) {
    case 'blank':
      return 'nothing (erased)';
    case 'code': {
      const seconds = holds.rate ? `, ${(holds.samples / holds.rate).toFixed(1)} s` : '';
      return `a ${holds.format} code file${seconds}, found on the unit`;
    }
    case 'data':
      return 'data that is not a code file';
    case 'sound': {
      const how = holds.verified ? 'verified' : holds.half_written ? 'half written' : 'not verified';
      return `${holds.name} · ${NAMES[holds.encoding] ?? holds.encoding} · ${clock(holds.at)} · ${how}`;
    }
    default:
      return 'unknown: its flash could not be read';
  }
}

// What the program buttons write: { bytes, name, body (of the program request), same(holds) }, or
// { reason } while there is nothing. The sound shown with the chosen encoding, unless the view
// shown has an image of its own (the Set view's, from sets.js).
function soundImage(s) {
  const bytes = s.loaded?.summary.encodings?.[s.encoding]?.bytes;
  if (!bytes) return { reason: 'choose a sound that is encoded first' };
  return {
    bytes,
    name: `${s.loaded.summary.name} (${NAMES[s.encoding]})`,
    body: { sound: s.loaded.id, encoding: s.encoding },
    same: (holds) => holds?.kind === 'sound' && holds.sound === s.loaded.id && holds.encoding === s.encoding,
  };
}
const sources = { sound: soundImage };
export function addProgramSource(view, source) {
  sources[view] = source;
}
const source = (s) => (sources[s.tab] ?? soundImage)(s);

// The image to program and its size, when there is one.
function image(s) {
  const shown = source(s);
  return shown.bytes ? shown : null;
}

// Whether programming the image erases something else.
function holdsOther(s, unit) {
  if (unit.holds?.kind === 'blank') return false;
  return !image(s)?.same(unit.holds);
}

const fits = (s, unit) => !image(s) || !unit.flash_size || image(s).bytes <= unit.flash_size;

function tooLarge(s, units) {
  const over = units.filter((u) => !fits(s, u));
  if (!over.length) return '';
  const { bytes, name } = image(s);
  return `${name}: ${bytes.toLocaleString('en')} bytes do not fit the flash of ${over
    .map((u) => `${u.name} (${(u.flash_size >> 10).toLocaleString('en')} KiB)`).join(', ')}`;
}

// Why programming `units` cannot start now, or '' when it can.
function cannotProgram(s, units, none) {
  if (!s.running) return 'the studio is not running';
  if (!image(s)) return source(s).reason;
  if (!units.length) return none;
  const working = units.filter((u) => busy(s, u));
  if (working.length) return `busy: ${working.map((u) => u.name).join(', ')} ${working.length > 1 ? 'are' : 'is'} being programmed`;
  if (s.record.trim() && !RECORD.test(s.record.trim())) return 'the EEPROM record must be 32 hexadecimal digits, or nothing';
  return tooLarge(s, units);
}

function cannotWriteRecord(s, units) {
  if (!s.running) return 'the studio is not running';
  if (!units.length) return 'tick the units to write the record to';
  const working = units.filter((u) => busy(s, u));
  if (working.length) return `busy: ${working.map((u) => u.name).join(', ')}`;
  if (!RECORD.test(s.record.trim())) return 'type a record of 32 hexadecimal digits';
  return '';
}

const chosenUnits = (s) => present(s).filter((d) => s.selected.has(d.name));

function makeRow(unit) {
  const pick = el('input', { type: 'checkbox', className: 'pick' });
  pick.onchange = () => {
    update((s) => {
      if (pick.checked) s.selected.add(unit.name);
      else s.selected.delete(unit.name);
    });
    saveSelection();
  };
  const clear = el('button', { type: 'button', className: 'clear', title: 'Forget this unit and its result' }, 'Clear');
  clear.onclick = () => clearUnit(unit.name);
  return el('tr', { dataset: { unit: unit.name } },
    el('td', {}, pick),
    el('td', {}, el('b', { className: 'unit-name' }), el('br'), el('small', { className: 'unit-texts' })),
    el('td', { className: 'place' }),
    el('td', {}, el('code', { className: 'flash-id' }), ' ', el('span', { className: 'flash-size' })),
    el('td', { className: 'eeprom' },
      el('small', {}, 'product record'), el('code', { className: 'eeprom-product' }), el('br'),
      el('small', {}, 'record'), el('code', { className: 'eeprom-record' })),
    el('td', { className: 'holds' }),
    el('td', { className: 'programming' }, el('span', { className: 'bar' }, el('div')), el('span', { className: 'result' }), clear,
      el('span', { className: 'fits' })));
}

function fillRow(row, unit, s) {
  const text = (selector, value) => {
    row.querySelector(selector).textContent = value;
  };
  row.classList.toggle('gone', !unit.present);
  text('.unit-name', unit.name);
  text('.unit-texts', `${unit.vendor ?? ''} ${unit.product ?? ''}`);
  text('.place', `${unit.hub ?? '?'} / ${unit.port ?? '?'}`);
  text('.flash-id', unit.flash_id ?? '—');
  text('.flash-size', unit.flash_size ? `${unit.flash_size >> 10} KiB` : 'unknown size');
  text('.eeprom-product', unit.eeprom_product ?? '—');
  text('.eeprom-record', unit.eeprom_record ?? '—');
  const holds = row.querySelector('.holds');
  holds.textContent = holdsText(unit.holds);
  holds.classList.toggle('half', unit.holds?.half_written === true);
  const pick = row.querySelector('.pick');
  pick.checked = unit.present && s.selected.has(unit.name);
  pick.disabled = !unit.present || !s.running;
  const job = unitJob(s, unit);
  const bar = row.querySelector('.bar');
  bar.firstElementChild.style.width = `${jobPercent(job)}%`;
  bar.classList.toggle('done', job?.state === 'done');
  bar.classList.toggle('failed', job?.state === 'failed');
  const result = row.querySelector('.result');
  result.className = `result ${job?.state === 'done' ? 'verified' : job?.state === 'failed' ? 'failed' : ''}`;
  result.textContent = !job ? '' : job.state === 'running' ? `${job.step} ${job.progress}%` : job.result;
  result.title = job?.details?.name ? `${job.kind}: ${job.details.name} (${NAMES[job.details.encoding] ?? ''})` : '';
  const clear = row.querySelector('.clear');
  clear.hidden = unit.present;
  clear.disabled = !s.running;
  text('.fits', unit.present && !fits(s, unit) ? `${image(s).name} does not fit` : '');
}

export function renderUnits(s) {
  keyed($('devices').querySelector('tbody'), s.devices, (unit) => unit.name, makeRow, (row, unit) => fillRow(row, unit, s));
  $('devices-panel').classList.toggle('stale', !s.running);
  $('no-devices').hidden = s.devices.length > 0;
  $('no-devices').textContent = s.running ? 'No units present.' : 'The studio is not running: no units can be seen.';
  const all = present(s);
  $('select-all').checked = all.length > 0 && all.every((d) => s.selected.has(d.name));
  $('select-all').disabled = !s.running;
  const reasons = {
    'program-all': cannotProgram(s, all, 'no units present'),
    'program-selected': cannotProgram(s, chosenUnits(s), 'tick the units to program'),
    'write-record': cannotWriteRecord(s, chosenUnits(s)),
  };
  for (const [id, reason] of Object.entries(reasons)) {
    $(id).disabled = reason !== '';
    $(id).title = reason;
  }
  $('encoding').disabled = !s.running;
  $('record').disabled = !s.running;
  if ($('encoding').value !== s.encoding) $('encoding').value = s.encoding;
  if (document.activeElement !== $('record') && $('record').value !== s.record) $('record').value = s.record;
}

export function onDevices(list) {
  update((s) => {
    s.devices = list;
  });
}

export function noteUnitJob(job) {
  update((s) => s.unitJobs.set(job.subject, newer(s.unitJobs.get(job.subject) ?? null, job)));
}

async function clearUnit(name) {
  try {
    await api.remove(`/api/devices/${encodeURIComponent(name)}`);
  } catch (e) {
    update((s) => {
      s.deviceMessage = say(`${name}: ${e.message}`, true);
    });
  }
}

async function program(units) {
  const s = state;
  const record = s.record.trim();
  // Programming erases the whole flash first: a unit that holds something else is asked about.
  const others = units.filter((u) => holdsOther(s, u));
  if (others.length) {
    const list = others.map((u) => `${u.name}: ${holdsText(u.holds)}`).join('\n');
    const question = `Programming erases the whole flash first. ${others.length > 1 ? 'These units hold' : 'This unit holds'} something else:\n\n${list}\n\nErase and program with ${image(s).name}?`;
    if (!window.confirm(question)) {
      update((t) => {
        t.deviceMessage = say('Not programmed: nothing was erased.');
      });
      return;
    }
  }
  try {
    const answer = await api.postJson('/api/program', {
      ...image(s).body, units: units.map((u) => u.name), ...(record ? { record } : {}),
    });
    for (const job of answer.jobs) noteUnitJob(job);
    const refused = answer.refused.map((r) => `${r.unit}: ${r.error}`).join('; ');
    update((t) => {
      t.deviceMessage = say(refused, refused !== '');
    });
  } catch (e) {
    update((t) => {
      t.deviceMessage = say(e.message, true);
    });
  }
}

// One job per unit, all started at once; each unit's row follows its own.
async function writeRecord() {
  const record = state.record.trim();
  const results = await Promise.all(chosenUnits(state).map(async (unit) => {
    try {
      const { job } = await api.postJson(`/api/devices/${encodeURIComponent(unit.name)}/eeprom`, { record });
      noteUnitJob(job);
      return '';
    } catch (e) {
      return `${unit.name}: ${e.message}`;
    }
  }));
  const refused = results.filter((r) => r).join('; ');
  update((s) => {
    s.deviceMessage = say(refused, refused !== '');
  });
}

export function setupUnits() {
  $('program-all').onclick = () => program(present(state));
  $('program-selected').onclick = () => program(chosenUnits(state));
  $('write-record').onclick = writeRecord;
  $('select-all').onchange = (e) => {
    update((s) => {
      s.selected = new Set(e.target.checked ? present(s).map((d) => d.name) : []);
    });
    saveSelection();
  };
  $('encoding').onchange = (e) => {
    update((s) => {
      s.encoding = e.target.value;
    });
    saveSelection();
  };
  $('record').oninput = (e) => {
    update((s) => {
      s.record = e.target.value;
    });
    saveSelection();
  };
}
