// Event log page: paged, filtered and sortable table of the report, with
// deletion by selection or by filter and the text export.

import { API, get, post, url } from './api.js';
import { $, $$, el, guarded, notify, showError, Pager, SelectableTable } from './ui.js';
import { confirmDialog } from './dialog.js';

export const CATEGORIES = [['info', 'Information'], ['warning', 'Warning'], ['error', 'Error']];
export const MODULES = [
  ['scan', 'Scan'], ['update', 'Update'], ['quarantine', 'Quarantine'],
  ['config', 'Settings'], ['schedule', 'Schedule'],
];

let pager;
let table;
let sort = 'ID';
let dir = 'DESC';

function checked(fieldset) {
  return $$(`#${fieldset} input:checked`).map((box) => box.value);
}

// Filters can change faster than answers come back: only the answer to the
// last request sent is shown (isLatest), so no older answer overwrites it.
async function load(start, limit, isLatest) {
  const categories = checked('log-categories');
  const modules = checked('log-modules');
  if (categories.length === 0 || modules.length === 0) {
    table.fill([], () => [], 'Choose at least one category and one module.');
    pager.update(0);
    return;
  }
  try {
    const data = await get(API.log, 'load', { start, limit, sort, dir, modules, categories });
    if (!isLatest()) return;
    const rows = data.reportArray || [];
    table.fill(rows, (r) => [r.ID, el('span', { class: `cat cat-${r.category}`, text: r.category }), r.module, r.eventContent, r.date],
      'No events match the filter.');
    pager.update(data.reportCount, rows.length);
  } catch (err) {
    if (!isLatest()) return;
    showError(err);
    table.fill([], () => [], `Could not load the event log: ${err.message}`);
  }
}

function markSort() {
  for (const th of $$('#log-table th[data-sort]')) {
    th.setAttribute('aria-sort', th.dataset.sort === sort ? (dir === 'ASC' ? 'ascending' : 'descending') : 'none');
  }
}

function filterBoxes(fieldset, entries) {
  const box = $(`#${fieldset}`);
  for (const [value, text] of entries) {
    const id = `${fieldset}-${value}`;
    box.append(el('label', { class: 'check', for: id },
      el('input', { type: 'checkbox', id, value, checked: true }), ` ${text}`));
  }
}

export function setup() {
  filterBoxes('log-categories', CATEGORIES);
  filterBoxes('log-modules', MODULES);
  table = new SelectableTable($('#log-table'), 'log entry', (r) => r.ID);
  table.controls = [$('#log-delete')];
  pager = new Pager($('#log-pager'), 'event log', load, 25);
  $('#log-filter').addEventListener('change', () => pager.go(0));
  for (const th of $$('#log-table th[data-sort]')) {
    th.querySelector('button').addEventListener('click', () => {
      if (sort === th.dataset.sort) dir = dir === 'ASC' ? 'DESC' : 'ASC';
      else {
        sort = th.dataset.sort;
        dir = sort === 'ID' || sort === 'date' ? 'DESC' : 'ASC';
      }
      markSort();
      pager.go(0);
    });
  }
  markSort();
  $('#log-refresh').addEventListener('click', (e) => guarded(e.currentTarget, () => pager.reload()));
  $('#log-export').href = url(API.log, 'export');
  $('#log-delete').addEventListener('click', async (e) => {
    const ids = table.selected().map((r) => String(r.ID));
    if (!(await confirmDialog(`Delete ${ids.length} log entr${ids.length === 1 ? 'y' : 'ies'}?`, 'Delete', true))) return;
    guarded(e.currentTarget, async () => {
      await post(API.log, 'delete', { data: ids });
      notify(`${ids.length} log entr${ids.length === 1 ? 'y' : 'ies'} deleted.`);
      await pager.reload();
    });
  });
  $('#log-delete-filtered').addEventListener('click', async (e) => {
    const categories = checked('log-categories');
    const modules = checked('log-modules');
    if (categories.length === 0 || modules.length === 0) {
      notify('Choose at least one category and one module to delete by.', 'error');
      return;
    }
    const what = `Delete every log entry of category ${categories.join(', ')} from module ${modules.join(', ')}?`;
    if (!(await confirmDialog(what, 'Delete', true))) return;
    guarded(e.currentTarget, async () => {
      await post(API.log, 'delete_advanced', { modules, categories });
      notify('Log entries deleted.');
      await pager.go(0);
    });
  });
}

export function show() {
  return pager.reload();
}
