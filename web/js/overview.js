// Overview page: the status summary, scan control and definition update.
// The status is read every few seconds while something runs, slowly
// otherwise, and on demand; every reading is also announced as a
// "tavo-status" event for the other pages.

import { API, get, post } from './api.js';
import { $, guarded, notify, showError, formatCount, formatBytes, setProgress } from './ui.js';

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

let timer = null;
let fastUntil = 0;
let lastErrorText = '';
export let lastStatus = null;

export function describeState(word) {
  return STATES[word] || [word || 'Unknown', 'The service reports a state this page does not know.', 'warn'];
}

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
  let data = null;
  try {
    data = await get(API.general, 'get_sys_info');
    lastErrorText = '';
  } catch (err) {
    // A failing status read repeats every few seconds: report it once.
    if (err.message !== lastErrorText) showError(err);
    lastErrorText = err.message;
    data = err.data && typeof err.data === 'object' ? err.data : null;
  }
  if (data) render(data);
  else unavailable();
  const busy = data && BUSY.has(data.sysStatus);
  // A tab in the background only looks now and then.
  schedule((busy || Date.now() < fastUntil) && !document.hidden ? FAST_MS : SLOW_MS);
  return data;
}

function unavailable() {
  const state = $('#state');
  if (lastStatus) return;  // keep the last good reading on screen
  state.dataset.state = 'error';
  state.dataset.tone = 'warn';
  $('#state-word').textContent = 'Status unavailable';
  $('#state-text').textContent = 'The status could not be read; see the message.';
  $('#mini-state').textContent = 'Status unavailable';
}

function render(s) {
  lastStatus = s;
  const [word, text, tone] = describeState(s.sysStatus);
  const b = s.button || {};
  const paused = s.sysStatus === 'scanning' && b.isPaused;
  const state = $('#state');
  state.dataset.state = s.sysStatus || 'unknown';
  state.dataset.tone = tone;
  $('#state-word').textContent = paused ? `${word} (paused)` : word;
  $('#state-text').textContent = text;
  $('#mini-state').textContent = word;
  $('#mini-dot').dataset.tone = tone;

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
  $('#scan-full').disabled = busy;
  $('#scan-system').disabled = busy;
  $('#scan-custom').disabled = busy;
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

export function setup() {
  document.addEventListener('visibilitychange', () => { if (!document.hidden) refresh(); });
  $('#status-refresh').addEventListener('click', (e) => guarded(e.currentTarget, refresh));
  $('#scan-full').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'start_full', {}, 'Full scan started.'));
  $('#scan-system').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'start_system', {}, 'System scan started.'));
  $('#custom-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const paths = $('#custom-paths').value.split('\n').map((p) => p.trim()).filter(Boolean);
    if (paths.length === 0) {
      notify('Enter at least one path for the custom scan.', 'error');
      return;
    }
    act($('#scan-custom'), API.scan, 'start_custom', { scanTarget: paths }, `Custom scan of ${paths.length} path(s) started.`);
  });
  $('#scan-pause').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'pause', {}, 'Scan paused.'));
  $('#scan-resume').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'resume', {}, 'Scan resumed.'));
  $('#scan-stop').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'stop', {}, 'Stop requested.'));
  $('#scan-ack').addEventListener('click', (e) => act(e.currentTarget, API.scan, 'ack_result', {}, 'Result acknowledged.'));
  $('#clear-warning').addEventListener('click', (e) => act(e.currentTarget, API.general, 'clear_warning', {}, 'Warning cleared.'));
  const retry = (e) => act(e.currentTarget, API.quarantine, 'retry', {}, 'Re-processing of the failed files started.');
  $('#reprocess').addEventListener('click', retry);
  $('#q-retry').addEventListener('click', retry);
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
