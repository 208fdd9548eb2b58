// Quarantine page: the paged list across volumes, delete and restore of
// chosen items with their failure records, and the delete-all and
// restore-all background tasks with progress and stop, and the files whose
// move into the quarantine failed (from the scan history) with the reason.

import { API, get, post, errorName } from './api.js';
import { $, el, guarded, notify, showError, Pager, SelectableTable, formatCount } from './ui.js';
import { confirmDialog } from './dialog.js';
import { watch } from './overview.js';
import { historyCall } from './runs.js';

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

// What to do about a failed restore or delete, by reason.
const FIXES = {
  restore: {
    2: "the volume's quarantine folder is gone; the stored file cannot be reached",
    3: 'the stored copy is missing from the quarantine; there is nothing left to restore',
    4: 'check that the original folder still exists and the volume has space, then try again',
    6: 'the quarantine database could not be changed; try again, and see the service log if it persists',
    7: 'this file already exists at the original place — rename it there first, then try again',
  },
  delete: {
    2: "the volume's quarantine folder is gone; refresh the list",
    3: 'the stored copy is already gone; refresh the list',
    5: 'the stored file could not be removed; try again, and see the service log if it persists',
    6: 'the quarantine database could not be changed; try again',
  },
};

export function reasonFix(op, reason) {
  return (FIXES[op] && FIXES[op][reason]) || 'try again; the event log may say more';
}

const TASK_POLL_MS = 1000;

let pager;
let table;
let lastFailures = { op: null, items: [] };
let task = null;

const itemKey = (item) => `${item.volumePath}\n${item.renamedName}`;

async function load(start, limit, isLatest) {
  try {
    const data = await get(API.quarantine, 'load', { start, limit });
    if (!isLatest()) return;
    const items = data.quarantineArray || [];
    table.fill(items, (it) => [it.originalPath, it.threat, it.quarantineTime, it.volumePath],
      start === 0 ? 'The quarantine is empty.' : 'No items on this page.');
    pager.update(data.quarantineCount, items.length);
  } catch (err) {
    if (!isLatest()) return;
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
  const labels = [...$('#q-fail-table').tHead.rows[0].cells].map((th) => th.textContent);
  for (const r of records) {
    const cells = [r.originalPath, r.threat, r.time, r.volumePath, reasonText(r.reason), reasonFix(op, r.reason)];
    fragment.append(el('tr', {}, cells.map((text, i) => el('td', {
      class: i === 4 ? 'reason' : undefined, 'data-label': labels[i], text,
    }))));
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
  const why = failed.length === 1 ? `: ${reasonFix(op, failed[0].reason)}` : ' (see the list below)';
  notify(`${done} item(s) ${verb}${op === 'restore' && toWhiteList ? ' and added to the white list' : ''}`
    + `${failed.length ? `; ${failed.length} failed${why}` : ''}.`, failed.length ? 'error' : 'info');
  showFailures(op, failed);
  watch(3000);
}

async function runTask(op) {
  const toWhiteList = $('#q-whitelist').checked;
  const what = op === 'delete' ? 'Delete every quarantined file for good?'
    : `Restore every quarantined file to its original place${toWhiteList ? ' and add it to the white list' : ''}?`;
  if (!(await confirmDialog(what, op === 'delete' ? 'Delete all' : 'Restore all', true))) return;
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
  bar.hidden = false;
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
    finishTask(current, 'Task status unknown', err.message, null);
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
    // How far it came: what left the quarantine meanwhile.
    let done = null;
    try {
      const info = await get(API.general, 'get_sys_info');
      if (Number.isFinite(Number(info.quarantineCount))) done = Math.max(0, current.initial - Number(info.quarantineCount));
    } catch {
      done = null;
    }
    const after = done === null ? 'Stopped' : `Stopped after ${formatCount(done)} of ${formatCount(current.initial)}`;
    notify(`${verb} was stopped; what was done before stays done.`);
    finishTask(current, `${verb} stopped`, `${after} items.`, done);
  } else if (status.success === false) {
    const code = status.error && status.error.code;
    notify(`${verb} failed: error ${code} (${errorName(code)})`, 'error');
    finishTask(current, `${verb} failed`, `error ${code} (${errorName(code)})`, null);
  } else {
    const failed = (status.data && status.data.failArray) || [];
    notify(`${verb} finished${failed.length ? `; ${failed.length} item(s) failed` : ''}.`, failed.length ? 'error' : 'info');
    showFailures(current.op === 'delete' ? 'delete' : 'restore', failed);
    finishTask(current, `${verb} finished`, failed.length ? `${failed.length} item(s) failed.` : 'done.',
      current.initial - failed.length);
  }
}

// Ends the task's display: its title says how it ended, the bar shows how
// far it came (done of the items there were at the start).
function finishTask(current, title, text, done = null) {
  if (task !== current) return;
  task = null;
  $('#q-task-title').textContent = title;
  $('#q-task-text').textContent = text;
  $('#q-task-stop').disabled = true;
  $('#q-delete-all').disabled = false;
  $('#q-restore-all').disabled = false;
  const bar = $('#q-task-bar');
  if (done === null || current.initial <= 0) {
    bar.removeAttribute('value');
    bar.hidden = true;
  } else {
    bar.max = current.initial;
    bar.value = Math.min(Math.max(done, 0), current.initial);
  }
  setTimeout(() => { if (!task) $('#q-task').hidden = true; }, 15000);
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
    if (!(await confirmDialog(`Delete ${items.length} quarantined file(s) for good?`, 'Delete', true))) return;
    guarded(e.currentTarget, () => processItems('delete', items, false));
  });
  $('#q-restore').addEventListener('click', async (e) => {
    const button = e.currentTarget;
    const items = table.selected();
    const toWhiteList = $('#q-whitelist').checked;
    const what = `Put ${items.length} file(s) detected as infected back at the original place`
      + `${toWhiteList ? ' and add them to the white list, so that scans pass them over' : ''}? `
      + 'Everyone who can reach that folder can open them again.';
    if (!(await confirmDialog(what, 'Restore', true))) return;
    guarded(button, () => processItems('restore', items, toWhiteList));
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
  failedMoves = new Pager($('#q-moves-pager'), 'failed moves', loadFailedMoves, 10);
  document.addEventListener('tavo-reprocessed', () => { if (!$('#page-quarantine').hidden) failedMoves.reload(); });
  // The failed-move count changed (a scan, a re-processing, a cleared warning).
  let knownFailed = null;
  document.addEventListener('tavo-status', (e) => {
    const failed = e.detail.procFailCount;
    if (failed === undefined) return;
    if (knownFailed !== null && failed !== knownFailed && !$('#page-quarantine').hidden) failedMoves.reload();
    knownFailed = failed;
  });
}

let failedMoves;

// The files whose move into the quarantine failed, with the reason of the
// last attempt. Without the history only their number is known.
async function loadFailedMoves(start, limit, isLatest) {
  const card = $('#q-moves');
  const body = $('#q-moves-table').tBodies[0];
  const labels = [...$('#q-moves-table').tHead.rows[0].cells].map((th) => th.textContent);
  try {
    const data = await historyCall('failed_moves', { start, limit });
    if (!isLatest()) return;
    if (data === null) {
      const info = await get(API.general, 'get_sys_info');
      if (!isLatest()) return;
      const n = Number(info.procFailCount) || 0;
      card.hidden = n === 0;
      $('#q-moves-summary').textContent = `${formatCount(n)} file(s) could not be moved into the quarantine. `
        + 'This system keeps no list of them (the scan history is not installed); the event log names each one.';
      $('#q-moves-table').hidden = true;
      failedMoves.update(0);
      return;
    }
    const items = data.items || [];
    card.hidden = data.total === 0;
    $('#q-moves-table').hidden = false;
    $('#q-moves-summary').textContent = `${formatCount(data.total)} file(s) detected as infected could not be moved `
      + 'into the quarantine and are still in place. Remove the cause, then re-process them.';
    body.replaceChildren(...items.map((item) => el('tr', {},
      [item.path, item.threat, item.time, item.reason || 'no reason recorded'].map((text, i) =>
        el('td', { class: i === 3 ? 'reason' : undefined, 'data-label': labels[i], text })))));
    failedMoves.update(data.total, items.length);
  } catch (err) {
    if (!isLatest()) return;
    showError(err);
  }
}

export function show() {
  return Promise.all([reload(), failedMoves.reload()]);
}
