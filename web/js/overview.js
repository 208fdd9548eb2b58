// Overview page: the status summary, scan control and definition update.
// The status is read every few seconds while something runs, slowly
// otherwise, and on demand; every reading is also announced as a
// "tavo-status" event for the other pages. How the last scan ended comes
// from the scan history where it is served.

import { API, InputError, get, post } from './api.js';
import { $, guarded, notify, showError, formatCount, formatBytes, setProgress, LatestOnly, markInvalid } from './ui.js';
import { runOutcome, countersOutcome, lastScan, kindText, whoText, count } from './outcome.js';
import { recentRuns, lastRunId, newRunSince } from './runs.js';
import { checkPathLines } from './checks.js';

const STATES = {
  secure: ['Protected', 'No threats are known; the system is secure.', 'good'],
  completed: ['Scan completed', 'The scan found no infected files. Acknowledge the result to close it.', 'good'],
  preparing: ['Preparing', 'The antivirus engine is getting ready.', 'busy'],
  scanning: ['Scanning', 'A scan is running.', 'busy'],
  updating: ['Updating', 'The virus definitions are being updated.', 'busy'],
  reprocessing: ['Re-processing', 'Infected files that could not be handled are being processed again.', 'busy'],
  infected: ['Threats found', 'The scan found infected files. Review the quarantine and acknowledge the result.', 'bad'],
  danger: ['At risk', 'Some infected files could not be moved to the quarantine. Re-process them or clear the warning.', 'bad'],
  installvirusdef: ['No virus definitions', 'Virus definitions are not installed yet: start an update.', 'warn'],
};

const BUSY = new Set(['preparing', 'scanning', 'updating', 'reprocessing']);
const FAST_MS = 2000;
const SLOW_MS = 30000;
const AFTER_ACTION_MS = 15000;
// A start that shows no running scan (nor a record of one) after this long
// is reported as failed.
const START_GRACE_MS = 10000;
const CONFIRM_POLL_MS = 500;
const REPROCESS_LIMIT_MS = 120000;
const SCAN_KINDS = ['full', 'system', 'custom'];

let timer = null;
let fastUntil = 0;
let lastErrorText = '';
let statusError = null;     // the last status read failed: its message
let startFailure = null;    // a start this page sent that never ran: the words
let pendingStart = null;    // a start being confirmed
let runs = null;            // the newest run records, or null without history
const statusReads = new LatestOnly();
export let lastStatus = null;

export function describeState(word) {
  return STATES[word] || [word || 'Unknown', 'The service reports a state this page does not know.', 'warn'];
}

const sleep = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

function schedule(ms) {
  clearTimeout(timer);
  timer = setTimeout(refresh, ms);
}

// Poll quickly for a while, e.g. after starting something whose state the
// service reports a moment later.
export function watch(ms = AFTER_ACTION_MS) {
  fastUntil = Math.max(fastUntil, Date.now() + ms);
  schedule(300);
}

export async function refresh() {
  const ticket = statusReads.next();
  let data = null;
  let failure = null;
  try {
    data = await get(API.general, 'get_sys_info');
  } catch (err) {
    failure = err;
    data = err.data && typeof err.data === 'object' && err.data.sysStatus ? err.data : null;
  }
  // The run records tell how the last scan ended; while a scan runs the
  // counters of the status say enough.
  let records = runs;
  if (!data || !BUSY.has(data.sysStatus) || data.sysStatus === 'reprocessing') {
    try {
      const answer = await recentRuns(5);
      records = answer ? answer.runs || [] : null;
    } catch {
      // The status stays readable without it.
    }
  }
  // An older read finishing after a newer one changes nothing.
  if (!statusReads.isLatest(ticket)) return data;
  runs = records;
  if (failure) {
    // A failing status read repeats every few seconds: report it once.
    if (failure.message !== lastErrorText) showError(failure);
    lastErrorText = failure.message;
    statusError = failure.message;
  } else {
    lastErrorText = '';
    statusError = null;
  }
  if (data) lastStatus = data;
  paint();
  const busy = data && BUSY.has(data.sysStatus);
  // A tab in the background only looks now and then.
  schedule((busy || Date.now() < fastUntil) && !document.hidden ? FAST_MS : SLOW_MS);
  return data;
}

// The state in words from the status, the last run records and a start of
// this page that never ran: never green unless a scan really ran to its end
// and found nothing.
export function stateView(s, records, failure) {
  if (failure) return { word: 'Scan did not start', text: failure, tone: 'bad' };
  if (!s) return { word: 'Status unavailable', text: 'The status could not be read; see the message.', tone: 'warn' };
  const b = s.button || {};
  const [word, text, tone] = describeState(s.sysStatus);
  const scan = lastScan(records);
  const ended = scan && scan.outcome !== 'running' ? scan : null;
  if (s.sysStatus === 'scanning' && b.isPaused) {
    const done = Number((s.scan || {}).scanned) || 0;
    const total = Number(s.scanFileCountTotal) || 0;
    const where = total > 0 ? `${count(done)} of ${count(total)} files` : `${count(done)} files`;
    return { word: `${word} (paused)`, text: `Paused after ${where}. Resume to go on, or stop the scan.`, tone: 'warn', mini: 'Paused' };
  }
  if (s.sysStatus === 'completed') {
    const view = ended ? runOutcome(ended) : countersOutcome(s);
    if (ended && view.tone === 'good') view.text += ' Acknowledge the result to close it.';
    return view;
  }
  if (s.sysStatus === 'infected' && ended) {
    return { word, text: `${runOutcome(ended).text} Review the quarantine and acknowledge the result.`, tone };
  }
  if (s.sysStatus === 'secure' && ended && (ended.outcome === 'failed' || ended.outcome === 'interrupted')) {
    const view = runOutcome(ended);
    return { word: ended.outcome === 'failed' ? 'Last scan failed' : 'Last scan interrupted', text: view.text, tone: 'warn' };
  }
  return { word, text, tone };
}

function paint() {
  const s = lastStatus;
  const failure = startFailure && !(s && BUSY.has(s.sysStatus)) ? startFailure : null;
  const view = stateView(statusError ? null : s, runs, failure);
  const state = $('#state');
  state.dataset.state = statusError ? 'error' : (s && s.sysStatus) || 'unknown';
  state.dataset.tone = view.tone;
  $('#state-word').textContent = view.word;
  $('#state-text').textContent = statusError && s && !failure
    ? `${view.text} The figures below were read earlier.` : view.text;
  $('#mini-state').textContent = view.mini || view.word;
  $('#mini-dot').dataset.tone = view.tone;
  // The result notice and a failed last scan already are the last run in words.
  const told = (s && (s.sysStatus === 'completed' || s.sysStatus === 'infected')) || view.word.startsWith('Last scan');
  paintLastRun(told || statusError !== null);
  if (s) render(s);
}

function paintLastRun(told) {
  const line = $('#last-run');
  const scan = lastScan(runs);
  line.hidden = !scan || told;
  if (!scan) return;
  const who = scan.startedBy ? ` by ${whoText(scan.startedBy)}` : '';
  const targets = scan.targets && scan.targets.length ? ` of ${scan.targets.join(', ')}` : '';
  const view = runOutcome(scan);
  $('#last-run-text').textContent = `${kindText(scan.kind)}${targets}${who}, started ${scan.startTime}: ${view.text}`;
  line.dataset.tone = view.tone;
}

function render(s) {
  const b = s.button || {};

  const scan = s.scan || {};
  $('#c-scanned').textContent = formatCount(scan.scanned ?? '–');
  $('#c-processed').textContent = formatCount(scan.processed ?? '–');
  $('#c-failed').textContent = formatCount(scan.failed ?? '–');
  $('#c-procfail').textContent = s.procFailCount === undefined ? '–' : formatCount(s.procFailCount);
  $('#c-quarantine').textContent = s.quarantineCount === undefined ? '–' : formatCount(s.quarantineCount);

  const scanning = s.sysStatus === 'scanning' || s.sysStatus === 'preparing';
  $('#scan-progress').hidden = !scanning;
  if (scanning) {
    const total = Number(s.scanFileCountTotal);
    const done = Number(scan.scanned);
    setProgress($('#scan-bar'), done, total);
    $('#scan-progress-text').textContent = total > 0
      ? `${formatCount(done)} of ${formatCount(total)} files (${Math.floor((Math.min(done, total) / total) * 100)}%)`
      : `${formatCount(done)} files, counting the total…`;
  }

  const updating = s.sysStatus === 'updating';
  $('#update-progress').hidden = !updating;
  if (updating) {
    setProgress($('#update-bar'), s.downloadSizeNow, s.downloadSizeTotal);
    const total = Number(s.downloadSizeTotal);
    $('#update-progress-text').textContent = total > 0
      ? `${formatBytes(s.downloadSizeNow)} of ${formatBytes(total)}`
      : 'starting…';
  }

  const date = s.lastUpdate === undefined ? '–' : (s.lastUpdate === 'Unknown' ? 'never' : s.lastUpdate);
  for (const id of ['#defs-date', '#upd-date']) $(id).textContent = date;
  for (const id of ['#defs-age', '#upd-age']) {
    const tag = $(id);
    tag.textContent = s.updaterStatus === 'latest' ? 'current' : s.updaterStatus === 'obsolete' ? 'out of date' : '';
    tag.dataset.tone = s.updaterStatus === 'latest' ? 'good' : 'warn';
  }

  const busy = BUSY.has(s.sysStatus);
  const starting = pendingStart !== null;
  $('#scan-full').disabled = busy || starting;
  $('#scan-system').disabled = busy || starting;
  $('#scan-custom').disabled = busy || starting;
  $('#update-start').disabled = busy;
  $('#scan-pause').disabled = !!(b.isPauseDisabled || b.isPaused);
  $('#scan-resume').disabled = !(b.isPaused && !b.isPauseDisabled);
  $('#scan-stop').disabled = !!b.isStopDisabled;
  $('#scan-ack').disabled = !!b.isAckDisabled;
  $('#reprocess').disabled = !!b.isReProcessDisabled;
  $('#q-retry').disabled = !!b.isReProcessDisabled;
  $('#clear-warning').disabled = !!b.isClearDisabled;

  $('#status-time').textContent = `Read at ${new Date().toLocaleTimeString()}`;
  document.dispatchEvent(new CustomEvent('tavo-status', { detail: s }));
}

async function act(button, api, method, params, done) {
  const result = await guarded(button, async () => {
    await post(api, method, params);
    if (done) notify(done);
    return true;
  });
  watch();
  return result;
}

async function lastRunIdOrNull() {
  try {
    return await lastRunId();
  } catch {
    return null;
  }
}

async function newRunOrNull(afterId, kinds) {
  if (afterId === null) return null;
  try {
    return await newRunSince(afterId, kinds);
  } catch {
    return null;
  }
}

// Starts a scan and confirms that it runs: a new run record (or, without
// history, a busy state or a fresh result) within START_GRACE_MS; otherwise
// the start is shown as failed, with the reason the history gives.
async function startScan(button, method, params, label) {
  const before = lastStatus;
  const beforeId = await lastRunIdOrNull();
  const sent = await guarded(button, async () => {
    await post(API.scan, method, params);
    return true;
  });
  if (!sent) return;
  startFailure = null;
  const pending = { label, deadline: Date.now() + START_GRACE_MS };
  pendingStart = pending;
  watch();
  let reason = '';
  for (;;) {
    await sleep(CONFIRM_POLL_MS);
    const s = await refresh();
    const run = await newRunOrNull(beforeId, SCAN_KINDS);
    if (run && run.outcome === 'failed') {
      reason = run.reason || 'the history records no reason';
      break;
    }
    const fresh = s && (s.sysStatus === 'completed' || s.sysStatus === 'infected')
      && (!before || before.sysStatus !== s.sysStatus || JSON.stringify(before.scan) !== JSON.stringify(s.scan));
    if (run || (s && BUSY.has(s.sysStatus)) || fresh) {
      pendingStart = null;
      notify(`${label} started.`);
      paint();
      return;
    }
    if (Date.now() > pending.deadline) {
      reason = `no scan was running ${START_GRACE_MS / 1000} seconds after the request`;
      break;
    }
  }
  pendingStart = null;
  startFailure = `${label} did not start: ${reason}.`;
  notify(startFailure, 'error');
  paint();
}

// Re-processes the failed moves and reports the result: the run record of
// the re-processing, or without history what the failed-move count did.
async function reprocess(button) {
  const beforeCount = lastStatus ? Number(lastStatus.procFailCount) || 0 : 0;
  const beforeId = await lastRunIdOrNull();
  const sent = await guarded(button, async () => {
    await post(API.quarantine, 'retry');
    return true;
  });
  watch();
  if (!sent) return;
  notify('Re-processing of the failed files started.');
  const result = await reprocessResult(beforeId, beforeCount);
  for (const box of [$('#reprocess-result'), $('#q-reprocess-result')]) {
    box.textContent = result.text;
    box.dataset.tone = result.tone;
    box.hidden = false;
  }
  notify(result.text, result.tone === 'good' ? 'info' : 'error');
  document.dispatchEvent(new CustomEvent('tavo-reprocessed', { detail: result }));
}

async function reprocessResult(beforeId, beforeCount) {
  const began = Date.now();
  let seenBusy = false;
  const fromCounts = (left) => {
    const moved = Math.max(0, beforeCount - left);
    const text = `Re-processing: ${count(moved)} of ${count(beforeCount)} file${beforeCount === 1 ? '' : 's'} moved into the quarantine`
      + (left > 0 ? `; ${count(left)} still could not be moved.` : '.');
    return { word: left > 0 ? 'Some files still not moved' : 'Re-processed', text, tone: left > 0 ? 'warn' : 'good' };
  };
  while (Date.now() - began < REPROCESS_LIMIT_MS) {
    await sleep(CONFIRM_POLL_MS);
    const run = await newRunOrNull(beforeId, ['reprocess']);
    if (run && run.outcome !== 'running') return runOutcome(run);
    if (run) continue;
    const s = await refresh();
    if (!s) continue;
    if (s.sysStatus === 'reprocessing') {
      seenBusy = true;
      continue;
    }
    const left = Number(s.procFailCount) || 0;
    // Without a record the attempt has ended once the state left
    // "reprocessing" or the count moved; a count that never moves is only
    // believed after a quiet while (the attempt may end between two reads).
    const quiet = Date.now() - began > (beforeId === null ? START_GRACE_MS : 3 * START_GRACE_MS);
    if ((beforeId === null && (seenBusy || left !== beforeCount)) || quiet) return fromCounts(left);
  }
  return { word: 'No result', text: 'Re-processing has not reported a result yet; see the event log.', tone: 'warn' };
}

export function setup() {
  document.addEventListener('visibilitychange', () => { if (!document.hidden) refresh(); });
  $('#status-refresh').addEventListener('click', (e) => guarded(e.currentTarget, refresh));
  $('#scan-full').addEventListener('click', (e) => startScan(e.currentTarget, 'start_full', {}, 'Full scan'));
  $('#scan-system').addEventListener('click', (e) => startScan(e.currentTarget, 'start_system', {}, 'System scan'));
  $('#custom-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const field = $('#custom-paths');
    const checked = checkPathLines(field.value, 'Custom scan paths');
    if (checked.problem) {
      markInvalid(field, true);
      showError(new InputError('Scan start_custom', checked.problem));
      return;
    }
    markInvalid(field, false);
    startScan($('#scan-custom'), 'start_custom', { scanTarget: checked.paths },
      `Custom scan of ${checked.paths.length} path(s)`);
  });
  $('#scan-pause').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'pause', {}, 'Scan paused.'));
  $('#scan-resume').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'resume', {}, 'Scan resumed.'));
  $('#scan-stop').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'stop', {}, 'Stop requested.'));
  $('#scan-ack').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'ack_result', {}, 'Result acknowledged.'));
  $('#clear-warning').addEventListener('click', (e) => act(e.currentTarget, API.general, 'clear_warning', {}, 'Warning cleared.'));
  const retry = (e) => reprocess(e.currentTarget);
  $('#reprocess').addEventListener('click', retry);
  $('#q-retry').addEventListener('click', retry);
  // A new action replaces the note of a start that failed.
  for (const id of ['#scan-ack', '#update-start', '#status-refresh']) {
    $(id).addEventListener('click', () => { startFailure = null; });
  }
  $('#update-start').addEventListener('click', async (e) => {
    const button = e.currentTarget;
    const note = $('#update-progress-text');
    $('#update-progress').hidden = false;
    note.textContent = 'starting…';
    setProgress($('#update-bar'), 0, 0);
    watch(30000);
    const ok = await act(button, API.general, 'update', {}, 'Definition update started.');
    if (!ok) $('#update-progress').hidden = true;
    watch(30000);
  });
}
