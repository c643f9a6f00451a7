// Units: the table, programming one or a tray, writing an EEPROM record.
import * as api from './api.js';
import { $, el, keyed } from './dom.js';
import { say, state, update } from './state.js';

// Shares of a unit's bar per programming step.
const STEPS = { queued: [0, 0], erase: [0, 20], write: [20, 60], eeprom: [80, 2], verify: [82, 18] };

// The unit whose flash the figures compare against: the first selected, else the first present.
export function flashUnit(s) {
  return s.devices.find((d) => s.selected.has(d.name)) ?? s.devices[0];
}

function jobPercent(job) {
  if (!job) return 0;
  if (job.state === 'done') return 100;
  if (job.kind === 'eeprom') return 0;
  const [base, share] = STEPS[job.step] ?? [0, 0];
  return base + (share * job.progress) / 100;
}

function makeRow(unit) {
  const pick = el('input', { type: 'checkbox', className: 'pick' });
  pick.onchange = () => update((s) => {
    if (pick.checked) s.selected.add(unit.name);
    else s.selected.delete(unit.name);
  });
  return el('tr', { dataset: { unit: unit.name } },
    el('td', {}, pick),
    el('td', {}, el('b', { className: 'unit-name' }), el('br'), el('small', { className: 'unit-texts' })),
    el('td', { className: 'place' }),
    el('td', {}, el('code', { className: 'flash-id' }), ' ', el('span', { className: 'flash-size' })),
    el('td', {}, el('code', { className: 'eeprom-product' }), el('br'), el('code', { className: 'eeprom-record' })),
    el('td', {}, el('span', { className: 'bar' }, el('div')), el('span', { className: 'result' })));
}

function fillRow(row, unit, s) {
  const text = (selector, value) => {
    row.querySelector(selector).textContent = value;
  };
  text('.unit-name', unit.name);
  text('.unit-texts', `${unit.vendor ?? ''} ${unit.product ?? ''}`);
  text('.place', `${unit.hub ?? '?'} / ${unit.port ?? '?'}`);
  text('.flash-id', unit.flash_id ?? '—');
  text('.flash-size', unit.flash_size ? `${unit.flash_size >> 10} KiB` : 'unknown size');
  text('.eeprom-product', unit.eeprom_product ?? '—');
  text('.eeprom-record', unit.eeprom_record ?? '—');
  row.querySelector('.pick').checked = s.selected.has(unit.name);
  const job = s.unitJobs.get(unit.name);
  const bar = row.querySelector('.bar');
  bar.firstElementChild.style.width = `${jobPercent(job)}%`;
  bar.classList.toggle('done', job?.state === 'done');
  bar.classList.toggle('failed', job?.state === 'failed');
  const result = row.querySelector('.result');
  result.className = `result ${job?.state === 'done' ? 'verified' : job?.state === 'failed' ? 'failed' : ''}`;
  result.textContent = !job ? '' : job.state === 'running' ? `${job.step} ${job.progress}%` : job.result;
}

export function renderUnits(s) {
  keyed($('devices').querySelector('tbody'), s.devices, (unit) => unit.name, makeRow, (row, unit) => fillRow(row, unit, s));
  $('no-devices').hidden = s.devices.length > 0;
  $('select-all').checked = s.devices.length > 0 && s.devices.every((d) => s.selected.has(d.name));
  $('program-all').disabled = !s.loaded || s.devices.length === 0;
  $('program-selected').disabled = !s.loaded || s.selected.size === 0;
  $('write-record').disabled = s.selected.size === 0;
}

export function onDevices(list) {
  update((s) => {
    s.devices = list;
    for (const name of [...s.selected]) {
      if (!list.some((d) => d.name === name)) s.selected.delete(name);
    }
  });
}

// Events and answers may arrive in either order: an older or stale snapshot never replaces a newer one.
export function noteUnitJob(job) {
  const last = state.unitJobs.get(job.subject);
  if (last && (last.id > job.id || (last.id === job.id && last.state !== 'running'))) return;
  update((s) => s.unitJobs.set(job.subject, job));
}

async function program(units) {
  const record = $('record').value.trim();
  try {
    const answer = await api.postJson('/api/program', {
      sound: state.loaded.id, encoding: $('encoding').value, units, ...(record ? { record } : {}),
    });
    for (const job of answer.jobs) noteUnitJob(job);
    const refused = answer.refused.map((r) => `${r.unit}: ${r.error}`).join('; ');
    update((s) => {
      s.deviceMessage = say(refused, refused !== '');
    });
  } catch (e) {
    update((s) => {
      s.deviceMessage = say(e.message, true);
    });
  }
}

// One job per unit; each unit's bar and result follow it.
async function writeRecord() {
  const record = $('record').value.trim();
  for (const name of state.selected) {
    try {
      const { job } = await api.postJson(`/api/devices/${encodeURIComponent(name)}/eeprom`, { record });
      noteUnitJob(job);
      update((s) => {
        s.deviceMessage = say('');
      });
    } catch (e) {
      update((s) => {
        s.deviceMessage = say(`${name}: ${e.message}`, true);
      });
    }
  }
}

export function setupUnits() {
  $('program-all').onclick = () => program('all');
  $('program-selected').onclick = () => program([...state.selected]);
  $('write-record').onclick = writeRecord;
  $('select-all').onchange = (e) => update((s) => {
    s.selected = new Set(e.target.checked ? s.devices.map((d) => d.name) : []);
  });
}
