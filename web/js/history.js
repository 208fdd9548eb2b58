// History page: every scan and re-processing run, newest first, with its
// outcome in words; a run's details list its detections.

import { $, el, guarded, showError, Pager } from './ui.js';
import { historyCall } from './runs.js';
import { runOutcome, kindText, whoText, count } from './outcome.js';

let pager;
let shownId = null;
let detailTicket = 0;

const NOT_SERVED = 'This system keeps no scan history (no plug-in serves TAVO.AntiVirus.History). '
  + 'The event log lists what each scan did.';

function labels(table) {
  return [...table.tHead.rows[0].cells].map((th) => th.textContent.trim());
}

function emptyRow(table, text) {
  return el('tr', { class: 'empty' }, el('td', { colspan: table.tHead.rows[0].cells.length, text }));
}

function runRow(run, names) {
  const view = runOutcome(run);
  const targets = run.targets && run.targets.length ? run.targets.join(', ') : '';
  const details = el('button', {
    type: 'button', class: 'link', text: 'Details',
    'aria-label': `Details of run ${run.id}`, 'aria-controls': 'history-detail',
    onclick: (e) => guarded(e.currentTarget, () => showRun(run.id)),
  });
  const cells = [
    run.startTime,
    targets ? `${kindText(run.kind)}: ${targets}` : kindText(run.kind),
    whoText(run.startedBy),
    el('span', {}, el('strong', { class: `outcome tone-${view.tone}`, text: view.word }), ` ${view.text}`),
    count(run.scanned),
    count(run.infected),
    details,
  ];
  return el('tr', { 'data-run': run.id, 'data-outcome': run.outcome },
    cells.map((cell, i) => el('td', { 'data-label': names[i] }, cell)));
}

async function load(start, limit, isLatest) {
  const table = $('#history-table');
  try {
    const data = await historyCall('list', { start, limit });
    if (!isLatest()) return;
    if (data === null) {
      table.tBodies[0].replaceChildren(emptyRow(table, NOT_SERVED));
      pager.update(0);
      return;
    }
    const runs = data.runs || [];
    const names = labels(table);
    table.tBodies[0].replaceChildren(...(runs.length
      ? runs.map((run) => runRow(run, names)) : [emptyRow(table, 'No scan has run yet.')]));
    pager.update(data.total, runs.length);
  } catch (err) {
    if (!isLatest()) return;
    showError(err);
    table.tBodies[0].replaceChildren(emptyRow(table, `Could not load the history: ${err.message}`));
  }
}

// One run in full: every counter, who started and stopped it, and its
// detections with the action taken on each.
async function showRun(id) {
  const ticket = ++detailTicket;
  const data = await historyCall('get', { id });
  if (ticket !== detailTicket || data === null) return;
  const { run } = data;
  const detections = data.detections || [];
  shownId = id;
  const view = runOutcome(run);
  const facts = [
    ['Run', `${run.id}: ${kindText(run.kind)}`],
    ['Targets', run.targets && run.targets.length ? run.targets.join(', ') : 'every volume'],
    ['Started', `${run.startTime} by ${whoText(run.startedBy) || 'unknown'}`],
    ['Ended', run.endTime || 'still running'],
    ['Outcome', `${view.word}. ${view.text}`],
    ['Stopped by', run.stoppedBy ? whoText(run.stoppedBy) : ''],
    ['Reason', run.reason],
    ['Files to scan', count(run.total)],
    ['Files scanned', count(run.scanned)],
    ['From the clean-file cache', Number(run.cached) > 0 ? count(run.cached) : ''],
    ['Infected', count(run.infected)],
    ['Moved into the quarantine', count(run.quarantined)],
    ['Could not be moved', count(run.failedMoves)],
    ['Could not be read or judged', count(run.unreadable)],
    ['Virus definitions', run.definitionsVersion],
  ].filter(([, value]) => value !== '' && value !== undefined && value !== null);
  $('#history-detail-title').textContent = `Run ${run.id}: ${kindText(run.kind)}, ${run.startTime}`;
  $('#history-facts').replaceChildren(...facts.map(([name, value]) => el('div', {}, el('dt', { text: name }), el('dd', { text: value }))));
  const table = $('#history-detections');
  const names = labels(table);
  table.tBodies[0].replaceChildren(...(detections.length
    ? detections.map((d) => el('tr', {}, [d.path, d.threat, d.action].map((text, i) =>
      el('td', { 'data-label': names[i], class: i === 2 && d.action !== 'quarantined' ? 'reason' : undefined, text }))))
    : [emptyRow(table, 'No detections in this run.')]));
  $('#history-detail').hidden = false;
  $('#history-detail-title').focus({ preventScroll: false });
}

export function setup() {
  pager = new Pager($('#history-pager'), 'scan history', load, 25);
  $('#history-refresh').addEventListener('click', (e) => guarded(e.currentTarget, async () => {
    await pager.reload();
    if (shownId !== null && !$('#history-detail').hidden) await showRun(shownId).catch(showError);
  }));
  $('#history-detail-close').addEventListener('click', () => {
    $('#history-detail').hidden = true;
    shownId = null;
  });
}

export function show() {
  return pager.reload();
}
