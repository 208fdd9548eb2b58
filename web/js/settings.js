// Settings page: the configuration form, the extension list, the white
// list and the schedule editor.

import { API, InputError, get, post } from './api.js';
import { $, el, guarded, notify, showError, markInvalid, Pager, SelectableTable } from './ui.js';
import { confirmDialog } from './dialog.js';
import { checkExtension, checkPathLines, checkSchedule } from './checks.js';

// ---- Configuration --------------------------------------------------------

async function loadConfig() {
  const config = await get(API.config, 'get');
  const action = config.virusAction === 'do_nothing' ? '#cfg-nothing' : '#cfg-quarantine';
  $(action).checked = true;
  $('#cfg-extonly').checked = !!config.scanExtensionOnly;
  $('#cfg-update').checked = !!config.updateBeforeScan;
}

function setupConfig() {
  $('#config-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const chosen = document.querySelector('input[name=virusAction]:checked');
    const config = {
      virusAction: chosen ? chosen.value : 'quarantine_it',
      scanExtensionOnly: $('#cfg-extonly').checked,
      updateBeforeScan: $('#cfg-update').checked,
    };
    guarded($('#config-save'), async () => {
      await post(API.config, 'set', { config });
      notify('Scan settings saved.');
      await loadConfig();
    });
  });
  $('#config-reload').addEventListener('click', (e) => guarded(e.currentTarget, loadConfig));
  $('#config-default').addEventListener('click', async (e) => {
    if (!(await confirmDialog('Restore the factory settings of the scan settings?', 'Restore defaults'))) return;
    guarded(e.currentTarget, async () => {
      await post(API.config, 'restore_default');
      notify('Factory settings restored.');
      await loadConfig();
    });
  });
}

// ---- Paged string lists (extensions, white list) --------------------------

function pagedList({ tableId, pagerId, label, api, arrayName, field, emptyText }) {
  const table = new SelectableTable($(`#${tableId}`), label, (rec) => String(rec.ID));
  const pager = new Pager($(`#${pagerId}`), label, async (start, limit, isLatest) => {
    try {
      const data = await get(api, 'load', { start, limit });
      if (!isLatest()) return;
      const records = data[arrayName] || [];
      table.fill(records, (rec) => [rec[field]], emptyText);
      pager.update(data.itemCount, records.length);
    } catch (err) {
      if (!isLatest()) return;
      showError(err);
      table.fill([], () => [], `Could not load ${label}: ${err.message}`);
    }
  }, 10);
  return { table, pager };
}

let ext;
let white;

function setupExtensions() {
  ext = pagedList({
    tableId: 'ext-table', pagerId: 'ext-pager', label: 'extension', api: API.fileExt,
    arrayName: 'extensionList', field: 'extension', emptyText: 'No extensions listed.',
  });
  ext.table.controls = [$('#ext-delete')];
  $('#ext-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const field = $('#ext-input');
    const checked = checkExtension(field.value);
    if (checked.problem) {
      markInvalid(field, true);
      showError(new InputError('FileExt add', checked.problem));
      return;
    }
    markInvalid(field, false);
    const value = checked.value;
    guarded($('#ext-add'), async () => {
      const answer = await post(API.fileExt, 'add', { extension: value });
      field.value = '';
      // 0 records changed: the extension was listed already (any case).
      if (answer && answer.recordEffected === 0) notify(`Extension "${value}" is already on the list.`);
      else notify(`Extension "${value}" added.`);
      await ext.pager.goLast(answer && answer.recordEffected === 0 ? 0 : 1);
    });
  });
  $('#ext-delete').addEventListener('click', (e) => {
    const chosen = ext.table.selected().map((rec) => rec.extension);
    guarded(e.currentTarget, async () => {
      await post(API.fileExt, 'delete', { extensionToBeDelete: chosen });
      notify(`${chosen.length} extension(s) removed.`);
      await ext.pager.reload();
    });
  });
}

function setupWhiteList() {
  white = pagedList({
    tableId: 'wl-table', pagerId: 'wl-pager', label: 'white list entry', api: API.whiteList,
    arrayName: 'whiteList', field: 'filepath', emptyText: 'The white list is empty.',
  });
  white.table.controls = [$('#wl-delete')];
  $('#wl-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const field = $('#wl-input');
    const checked = checkPathLines(field.value, 'White list paths', false);
    const shown = new Set([...white.table.rows.values()].map((rec) => rec.filepath));
    const listed = checked.paths ? checked.paths.find((path) => shown.has(path)) : undefined;
    if (checked.problem || listed) {
      markInvalid(field, true);
      showError(new InputError('WhiteList add', checked.problem
        || `White list paths: "${listed}" is already on the white list; remove that line.`));
      return;
    }
    markInvalid(field, false);
    const paths = checked.paths;
    guarded($('#wl-add'), async () => {
      await post(API.whiteList, 'add', { listToBeAdd: paths });
      $('#wl-input').value = '';
      notify(`${paths.length} path(s) added to the white list.`);
      await white.pager.goLast(paths.length);
    });
  });
  $('#wl-delete').addEventListener('click', (e) => {
    const chosen = white.table.selected().map((rec) => rec.filepath);
    guarded(e.currentTarget, async () => {
      await post(API.whiteList, 'delete', { listToBeDelete: chosen });
      notify(`${chosen.length} white list entr${chosen.length === 1 ? 'y' : 'ies'} removed.`);
      await white.pager.reload();
    });
  });
}

// ---- Schedule ---------------------------------------------------------------

export const SCHEDULE_TYPES = [
  ['full', 'Full scan'],
  ['system', 'System scan'],
  ['custom', 'Custom scan'],
];
export const SCHEDULE_HELP = 'Time: five cron fields "minute hour day-of-month month weekday", each "*", '
  + 'a number, a range "N-M" or a comma list, optionally with "/step" (for example "30 2 * * 0" runs every '
  + 'Sunday at 02:30). Target, for a custom scan: absolute paths separated by ":".';

const WEEKDAYS = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];

// Plain words for the common trigger times; "" for anything else.
export function describeTime(text) {
  const f = text.trim().split(/\s+/);
  if (f.length !== 5 || !/^\d+$/.test(f[0]) || !/^\d+$/.test(f[1]) || f[2] !== '*' || f[3] !== '*') return '';
  const at = `${f[1].padStart(2, '0')}:${f[0].padStart(2, '0')}`;
  if (f[4] === '*') return `every day at ${at}`;
  if (/^[0-7]$/.test(f[4])) return `every ${WEEKDAYS[Number(f[4])]} at ${at}`;
  if (f[4] === '1-5') return `Monday to Friday at ${at}`;
  return '';
}

let jobCounter = 0;

function jobRow(job) {
  const n = jobCounter++;
  const typeOptions = SCHEDULE_TYPES.map(([value, text]) =>
    el('option', { value, selected: value === job.scanType, text }));
  if (job.scanType && !SCHEDULE_TYPES.some(([value]) => value === job.scanType)) {
    typeOptions.push(el('option', { value: job.scanType, selected: true, text: job.scanType }));
  }
  const time = el('input', { class: 'job-time', value: job.triggerTime || '', 'aria-label': `Time of scheduled scan ${n + 1}`, placeholder: '0 3 * * *' });
  const words = el('span', { class: 'small muted job-words' });
  const showWords = () => { words.textContent = describeTime(time.value); };
  time.addEventListener('input', showWords);
  showWords();
  const type = el('select', { class: 'job-type', 'aria-label': `Type of scheduled scan ${n + 1}` }, typeOptions);
  const target = el('input', { class: 'job-target', value: job.scanTarget || '', 'aria-label': `Target of scheduled scan ${n + 1}`, placeholder: '/volume1/share:/volume2/backup' });
  const enableTarget = () => { target.disabled = type.value !== 'custom'; };
  type.addEventListener('change', enableTarget);
  enableTarget();
  const remove = el('button', { type: 'button', class: 'link', text: 'Remove', 'aria-label': `Remove scheduled scan ${n + 1}` });
  const row = el('tr', { class: 'job' },
    el('td', { 'data-label': 'On' }, el('input', { type: 'checkbox', class: 'job-on', checked: !!job.activated, 'aria-label': `Scheduled scan ${n + 1} on` })),
    el('td', { 'data-label': 'Time' }, time, ' ', words),
    el('td', { 'data-label': 'Type' }, type),
    el('td', { 'data-label': 'Target' }, target),
    el('td', {}, remove));
  remove.addEventListener('click', () => row.remove());
  return row;
}

async function loadSchedule() {
  const data = await get(API.schedule, 'load');
  const jobs = data.scheduleScanJobs || [];
  const body = $('#sched-table').tBodies[0];
  body.replaceChildren(...jobs.map(jobRow));
  if (jobs.length === 0) body.append(el('tr', { class: 'empty' }, el('td', { colspan: 5, text: 'No scheduled scans.' })));
}

function readSchedule() {
  return [...$('#sched-table').tBodies[0].querySelectorAll('tr.job')].map((row) => ({
    activated: row.querySelector('.job-on').checked ? 1 : 0,
    triggerTime: row.querySelector('.job-time').value.trim(),
    scanType: row.querySelector('.job-type').value,
    scanTarget: row.querySelector('.job-target').value.trim(),
  }));
}

function setupSchedule() {
  $('#sched-help').textContent = SCHEDULE_HELP;
  $('#sched-add').addEventListener('click', () => {
    const body = $('#sched-table').tBodies[0];
    const empty = body.querySelector('tr.empty');
    if (empty) empty.remove();
    const row = jobRow({ activated: true, triggerTime: '0 3 * * *', scanType: 'full', scanTarget: '' });
    body.append(row);
    row.querySelector('.job-time').focus();
  });
  $('#sched-save').addEventListener('click', (e) => {
    const jobs = readSchedule();
    const rows = [...$('#sched-table').tBodies[0].querySelectorAll('tr.job')];
    for (const input of $('#sched-table').querySelectorAll('[aria-invalid]')) markInvalid(input, false);
    const bad = checkSchedule(jobs);
    if (bad) {
      markInvalid(rows[bad.row - 1].querySelector(bad.field === 'time' ? '.job-time' : '.job-target'), true);
      showError(new InputError('Schedule save', bad.problem));
      return;
    }
    guarded(e.currentTarget, async () => {
      await post(API.schedule, 'save', { scanJobArray: jobs });
      notify(`Schedule saved (${jobs.length} scan${jobs.length === 1 ? '' : 's'}).`);
      await loadSchedule();
    });
  });
  $('#sched-reload').addEventListener('click', (e) => guarded(e.currentTarget, loadSchedule));
}

export function setup() {
  setupConfig();
  setupExtensions();
  setupWhiteList();
  setupSchedule();
}

export function show() {
  const run = (fn) => fn().catch(showError);
  return Promise.all([run(loadConfig), ext.pager.reload(), white.pager.reload(), run(loadSchedule)]);
}
