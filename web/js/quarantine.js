// Quarantine page: the paged list across volumes, delete and restore of
// chosen items with their failure records, and the delete-all and
// restore-all background tasks with progress and stop.

import { API, get, post, errorName } from './api.js';
import { $, el, guarded, notify, showError, Pager, SelectableTable, formatCount } from './ui.js';
import { confirmDialog } from './dialog.js';
import { watch } from './overview.js';

export const REASONS = {
  1: 'unknown error',
  2: 'quarantine folder not found',
  3: 'stored file missing',
  4: 'move failed',
  5: 'remove failed',
  6: 'database operation failed',
  7: 'a file already exists at the original place',
};

export function reasonText(reason) {
  return REASONS[reason] ? `${REASONS[reason]} (${reason})` : `reason ${reason}`;
}

const TASK_POLL_MS = 1000;

let pager;
let table;
let lastFailures = { op: null, items: [] };
let task = null;

const itemKey = (item) => `${item.volumePath}\n${item.renamedName}`;

async function load(start, limit) {
  try {
    const data = await get(API.quarantine, 'load', { start, limit });
    const items = data.quarantineArray || [];
    table.fill(items, (it) => [it.originalPath, it.threat, it.quarantineTime, it.volumePath],
      start === 0 ? 'The quarantine is empty.' : 'No items on this page.');
    pager.update(data.quarantineCount, items.length);
  } catch (err) {
    showError(err);
    table.fill([], () => [], `Could not load the quarantine: ${err.message}`);
  }
}

export function reload() {
  return pager.reload();
}

function showFailures(op, records) {
  lastFailures = { op, items: records };
  const box = $('#q-failures');
  box.hidden = records.length === 0;
  if (records.length === 0) return;
  const verb = op === 'delete' ? 'deleted' : 'restored';
  $('#q-fail-summary').textContent = `${records.length} item(s) could not be ${verb}.`;
  const body = $('#q-fail-table').tBodies[0];
  const fragment = document.createDocumentFragment();
  for (const r of records) {
    fragment.append(el('tr', {},
      el('td', { text: r.originalPath }), el('td', { text: r.threat }), el('td', { text: r.time }),
      el('td', { text: r.volumePath }), el('td', { class: 'reason', text: reasonText(r.reason) })));
  }
  body.replaceChildren(fragment);
  $('#q-fail-again').hidden = op !== 'delete' && op !== 'restore';
}

// Deletes or restores the given items; with toWhiteList the items go on
// the white list first, while the quarantine still knows them.
async function processItems(op, items, toWhiteList) {
  const volumes = items.map((it) => it.volumePath);
  const names = items.map((it) => it.renamedName);
  if (op === 'restore' && toWhiteList) {
    await post(API.whiteList, 'add_quarantined', { volumes, whiteList: names });
  }
  const params = op === 'delete' ? { volumes, deleteNames: names } : { volumes, restoreNames: names };
  const data = await post(API.quarantine, op === 'delete' ? 'delete_list' : 'restore_list', params);
  const failed = data.failArray || [];
  await reload();
  const done = items.length - failed.length;
  const verb = op === 'delete' ? 'deleted' : 'restored';
  notify(`${done} item(s) ${verb}${op === 'restore' && toWhiteList ? ' and added to the white list' : ''}`
    + `${failed.length ? `; ${failed.length} failed` : ''}.`, failed.length ? 'error' : 'info');
  showFailures(op, failed);
  watch(3000);
}

async function runTask(op) {
  const toWhiteList = $('#q-whitelist').checked;
  const what = op === 'delete' ? 'Delete every quarantined file for good?'
    : `Restore every quarantined file to its original place${toWhiteList ? ' and add it to the white list' : ''}?`;
  if (!(await confirmDialog(what, op === 'delete' ? 'Delete all' : 'Restore all'))) return;
  const initial = pager.total;
  const method = op === 'delete' ? 'task_delete_all' : 'task_restore_all';
  const params = op === 'delete' ? {} : { addToWhiteList: toWhiteList };
  let started;
  try {
    started = await post(API.quarantine, method, params);
  } catch (err) {
    showError(err);
    return;
  }
  const id = started && started.task_id;
  if (!id) {
    notify(`The ${op}-all task did not report a task identifier.`, 'error');
    return;
  }
  task = { id, op, initial, stopping: false };
  $('#q-task').hidden = false;
  $('#q-task-title').textContent = op === 'delete' ? 'Deleting all items…' : 'Restoring all items…';
  $('#q-task-text').textContent = 'started';
  $('#q-task-stop').disabled = false;
  $('#q-delete-all').disabled = true;
  $('#q-restore-all').disabled = true;
  const bar = $('#q-task-bar');
  bar.removeAttribute('value');
  pollTask(task);
}

async function pollTask(current) {
  if (task !== current) return;
  let status;
  try {
    status = await get(API.quarantine, 'task_status', { task_id: current.id });
  } catch (err) {
    showError(err);
    finishTask(current, `Status unknown: ${err.message}`);
    return;
  }
  if (!status.finished) {
    // Progress: how far the quarantine count has come down.
    try {
      const info = await get(API.general, 'get_sys_info');
      const left = Number(info.quarantineCount);
      if (current.initial > 0 && Number.isFinite(left)) {
        const done = Math.max(0, current.initial - left);
        const bar = $('#q-task-bar');
        bar.max = current.initial;
        bar.value = Math.min(done, current.initial);
        $('#q-task-text').textContent = `${formatCount(done)} of ${formatCount(current.initial)} done`;
      } else {
        $('#q-task-text').textContent = 'running';
      }
    } catch {
      $('#q-task-text').textContent = 'running';
    }
    setTimeout(() => pollTask(current), TASK_POLL_MS);
    return;
  }
  const verb = current.op === 'delete' ? 'Delete all' : 'Restore all';
  if (status.stopped) {
    notify(`${verb} was stopped; what was done before stays done.`);
    finishTask(current, 'stopped');
  } else if (status.success === false) {
    const code = status.error && status.error.code;
    notify(`${verb} failed: error ${code} (${errorName(code)})`, 'error');
    finishTask(current, `failed with error ${code}`);
  } else {
    const failed = (status.data && status.data.failArray) || [];
    notify(`${verb} finished${failed.length ? `; ${failed.length} item(s) failed` : ''}.`, failed.length ? 'error' : 'info');
    showFailures(current.op === 'delete' ? 'delete' : 'restore', failed);
    finishTask(current, 'finished');
  }
}

function finishTask(current, text) {
  if (task !== current) return;
  task = null;
  $('#q-task-text').textContent = text;
  $('#q-task-stop').disabled = true;
  $('#q-delete-all').disabled = false;
  $('#q-restore-all').disabled = false;
  const bar = $('#q-task-bar');
  bar.max = 1;
  bar.value = 1;
  setTimeout(() => { if (!task) $('#q-task').hidden = true; }, 5000);
  reload();
  watch(3000);
}

export function setup() {
  table = new SelectableTable($('#q-table'), 'quarantined file', itemKey);
  table.controls = [$('#q-delete'), $('#q-restore')];
  pager = new Pager($('#q-pager'), 'quarantine', load);
  $('#q-refresh').addEventListener('click', (e) => guarded(e.currentTarget, reload));
  $('#q-delete').addEventListener('click', async (e) => {
    const items = table.selected();
    if (!(await confirmDialog(`Delete ${items.length} quarantined file(s) for good?`, 'Delete'))) return;
    guarded(e.currentTarget, () => processItems('delete', items, false));
  });
  $('#q-restore').addEventListener('click', (e) => {
    const items = table.selected();
    guarded(e.currentTarget, () => processItems('restore', items, $('#q-whitelist').checked));
  });
  $('#q-delete-all').addEventListener('click', () => runTask('delete'));
  $('#q-restore-all').addEventListener('click', () => runTask('restore'));
  $('#q-task-stop').addEventListener('click', async (e) => {
    const current = task;
    if (!current) return;
    await guarded(e.currentTarget, async () => {
      await post(API.quarantine, 'task_stop', { task_id: current.id });
      $('#q-task-text').textContent = 'stopping…';
    });
  });
  $('#q-fail-again').addEventListener('click', (e) => {
    const { op, items } = lastFailures;
    if (!items.length) return;
    guarded(e.currentTarget, () => processItems(op, items, false));
  });
  // A scan or task elsewhere changed the count: show the new list.
  let knownCount = null;
  document.addEventListener('tavo-status', (e) => {
    const count = e.detail.quarantineCount;
    if (count === undefined) return;
    if (knownCount !== null && count !== knownCount && !task && !$('#page-quarantine').hidden) reload();
    knownCount = count;
  });
  $('#q-fail-close').addEventListener('click', () => { $('#q-failures').hidden = true; });
}

export function show() {
  return reload();
}
