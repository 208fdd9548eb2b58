// The dashboard's pure helpers under Node's test runner: request fields,
// error and reason wording, schedule time hints, page arithmetic.
import test from 'node:test';
import assert from 'node:assert/strict';

const web = new URL('../../web/js/', import.meta.url);
const api = await import(new URL('api.js', web));
const { REASONS, reasonText } = await import(new URL('quarantine.js', web));
const { describeTime } = await import(new URL('settings.js', web));
const { CATEGORIES, MODULES } = await import(new URL('eventlog.js', web));

test('every parameter travels as JSON text beside api, version and method', () => {
  const form = api.fields('TAVO.AntiVirus.Log', 'load',
    { start: 0, limit: 25, sort: 'date', modules: ['scan'], categories: [], skipped: undefined });
  assert.deepEqual([...form.entries()], [
    ['api', 'TAVO.AntiVirus.Log'], ['version', '1'], ['method', 'load'],
    ['start', '0'], ['limit', '25'], ['sort', '"date"'], ['modules', '["scan"]'], ['categories', '[]'],
  ]);
  assert.equal(api.url('TAVO.AntiVirus.Log', 'export'),
    '/webapi/api.cgi?api=TAVO.AntiVirus.Log&version=1&method=export');
  // A string that looks like a number stays a string.
  assert.equal(api.fields('A', 'm', { task_id: '123' }).get('task_id'), '"123"');
});

test('error answers become messages that name the code', async () => {
  const answers = [
    [{ success: false, error: { code: 105 } }, 'Scan start_full failed: error 105 (cross-site request refused)'],
    [{ success: false, error: { code: 114 } }, 'Scan start_full failed: error 114 (missing or wrong-typed parameter)'],
    [{ success: false, error: { code: 999 } }, 'Scan start_full failed: error 999 (unknown error)'],
  ];
  for (const [answer, text] of answers) {
    globalThis.fetch = async () => new Response(JSON.stringify(answer), { status: answer.error.code === 105 ? 403 : 200 });
    await assert.rejects(api.post(api.API.scan, 'start_full'), (err) => err.message === text && err.code === answer.error.code);
  }
  globalThis.fetch = async () => new Response('<html>gateway</html>', { status: 502 });
  await assert.rejects(api.get(api.API.general, 'get_sys_info'), /General get_sys_info failed: HTTP 502, the answer is not JSON/);
  globalThis.fetch = async () => { throw new TypeError('connection refused'); };
  await assert.rejects(api.get(api.API.general, 'get_sys_info'), /cannot be reached \(connection refused\)/);
  // The partial object of an error answer is kept for the page.
  globalThis.fetch = async () => new Response(JSON.stringify({ success: false, error: { code: 117 }, data: { sysStatus: 'secure' } }));
  await assert.rejects(api.get(api.API.general, 'get_sys_info'), (err) => err.data.sysStatus === 'secure');
});

test('success answers give their data, or null without any', async () => {
  globalThis.fetch = async (target, init) => {
    assert.equal(init.method, 'POST');
    assert.equal(init.body.get('scanTarget'), '["/volume1/a b"]');
    return new Response('{"success":true}');
  };
  assert.equal(await api.post(api.API.scan, 'start_custom', { scanTarget: ['/volume1/a b'] }), null);
  globalThis.fetch = async (target, init) => {
    assert.equal(init.method, undefined);
    assert.match(String(target), /method=load&start=0&limit=10$/);
    return new Response('{"success":true,"data":{"quarantineArray":[],"quarantineCount":0}}');
  };
  assert.deepEqual(await api.get(api.API.quarantine, 'load', { start: 0, limit: 10 }), { quarantineArray: [], quarantineCount: 0 });
});

test('every quarantine failure reason is named in words', () => {
  assert.deepEqual(Object.keys(REASONS).map(Number), [1, 2, 3, 4, 5, 6, 7]);
  assert.equal(reasonText(7), 'a file already exists at the original place (7)');
  assert.equal(reasonText(3), 'stored file missing (3)');
  assert.equal(reasonText(9), 'reason 9');
});

test('common schedule times are put in words, others are left alone', () => {
  assert.equal(describeTime('30 2 * * 0'), 'every Sunday at 02:30');
  assert.equal(describeTime('0 3 * * *'), 'every day at 03:00');
  assert.equal(describeTime(' 5  23 * * 1-5 '), 'Monday to Friday at 23:05');
  assert.equal(describeTime('*/15 * * * *'), '');
  assert.equal(describeTime('0 3 1 * *'), '');
  assert.equal(describeTime('0 3 * *'), '');
});

test('the event log filters offer the categories and modules the service writes', () => {
  assert.deepEqual(CATEGORIES.map(([v]) => v), ['info', 'warning', 'error']);
  for (const module of ['scan', 'update', 'quarantine', 'config']) assert.ok(MODULES.some(([v]) => v === module), module);
});

const outcome = await import(new URL('outcome.js', web));
const checks = await import(new URL('checks.js', web));

const RUN = {
  id: 7, kind: 'full', targets: [], startedBy: 'address 127.0.0.1', startTime: '2026-12-08 10:00:00',
  endTime: '2026-12-08 10:05:00', outcome: 'completed', stoppedBy: '', reason: '', total: 12000,
  scanned: 12000, infected: 0, quarantined: 0, failedMoves: 0, unreadable: 0, cached: 0, definitionsVersion: '27000',
};

test('green only for a scan that ran to its end, read every file and found nothing', () => {
  assert.deepEqual(outcome.runOutcome(RUN),
    { word: 'Scan completed', text: 'Scanned 12,000 of 12,000 files and found no infected files.', tone: 'good' });
  const stopped = outcome.runOutcome({ ...RUN, outcome: 'stopped', scanned: 11100, stoppedBy: 'user admin' });
  assert.equal(stopped.text, 'Stopped after 11,100 of 12,000 files by user admin.');
  assert.equal(stopped.tone, 'warn');
  const missing = outcome.runOutcome({ ...RUN, scanned: 0, total: 0, reason: '/volume1/x does not exist' });
  assert.deepEqual(missing, { word: 'Nothing scanned', text: 'Nothing was scanned: /volume1/x does not exist.', tone: 'warn' });
  const unreadable = outcome.runOutcome({ ...RUN, unreadable: 3 });
  assert.equal(unreadable.tone, 'warn');
  assert.match(unreadable.text, /but 3 files could not be read\.$/);
  const failed = outcome.runOutcome({ ...RUN, outcome: 'failed', scanned: 0, reason: 'the engine state cannot be read' });
  assert.deepEqual(failed, { word: 'Scan failed', text: 'The scan failed: the engine state cannot be read.', tone: 'bad' });
  assert.equal(outcome.runOutcome({ ...RUN, outcome: 'interrupted', scanned: 5 }).tone, 'bad');
  assert.equal(outcome.runOutcome({ ...RUN, infected: 2, quarantined: 1, failedMoves: 1 }).text,
    'Scanned 12,000 of 12,000 files. Found 2 infected files. 1 file could not be moved into the quarantine.');
  for (const tone of ['stopped', 'failed', 'interrupted', 'running']) {
    assert.notEqual(outcome.runOutcome({ ...RUN, outcome: tone }).tone, 'good', tone);
  }
});

test('re-processing reports how many files it moved', () => {
  const run = { ...RUN, kind: 'reprocess', total: 3, scanned: 0, quarantined: 2, failedMoves: 1 };
  assert.deepEqual(outcome.runOutcome(run), {
    word: 'Some files still not moved',
    text: 'Re-processing: 2 of 3 files moved into the quarantine; 1 file still could not be moved.',
    tone: 'warn',
  });
  assert.equal(outcome.runOutcome({ ...run, quarantined: 3, failedMoves: 0 }).text, 'Re-processing: 3 of 3 files moved into the quarantine.');
  assert.equal(outcome.lastScan([run, RUN]), RUN);
});

test('without history the counters decide, and never green for a short scan', () => {
  const status = (scanned, total) => ({ sysStatus: 'completed', scan: { scanned: String(scanned) }, scanFileCountTotal: String(total) });
  assert.equal(outcome.countersOutcome(status(0, 0)).word, 'Nothing scanned');
  assert.deepEqual(outcome.countersOutcome(status(11100, 12000)),
    { word: 'Scan stopped', text: 'Stopped after 11,100 of 12,000 files.', tone: 'warn' });
  assert.equal(outcome.countersOutcome(status(14, 14)).tone, 'good');
});

test('paths are checked before a scan or a white list change, naming the line and the fix', () => {
  assert.deepEqual(checks.checkPathLines('/volume1/a\n\n /volume2/b \n', 'Paths'), { paths: ['/volume1/a', '/volume2/b'] });
  assert.equal(checks.checkPathLines('volume1/x', 'Paths').problem,
    'Paths, line 1: "volume1/x" is not an absolute path; write it from the volume, e.g. "/volume1/x".');
  assert.match(checks.checkPathLines('./share/x', 'Paths').problem, /e\.g\. "\/volume1\/share\/x"/);
  assert.match(checks.checkPathLines('/volume1/a\n/etc/passwd', 'Paths').problem, /^Paths, line 2: "\/etc\/passwd" is not on a volume/);
  assert.match(checks.checkPathLines('/volume1/a\n/volume1/a', 'Paths').problem, /line 2: .* is already on line 1; remove one/);
  assert.match(checks.checkPathLines('/volume1/../etc', 'Paths').problem, /"\." or "\.\."/);
  assert.match(checks.checkPathLines('  \n', 'Paths').problem, /enter at least one path/);
  assert.match(checks.checkPathLines('/volume10x/a', 'Paths').problem, /not on a volume/);
  // The white list may hold system files.
  assert.deepEqual(checks.checkPathLines('/usr/bin/tool', 'White list', false), { paths: ['/usr/bin/tool'] });
});

test('extensions are letters and digits without a dot', () => {
  assert.deepEqual(checks.checkExtension(' *.EXE '), { value: 'EXE' });
  assert.deepEqual(checks.checkExtension('.tvx'), { value: 'tvx' });
  assert.match(checks.checkExtension('tar.gz').problem, /enter "gz"/);
  assert.match(checks.checkExtension('e x').problem, /only letters, digits/);
  assert.match(checks.checkExtension('').problem, /^Extension: enter/);
});

test('schedule times are checked as the service reads them, row by row', () => {
  for (const good of ['30 2 * * 0', '*/15 * * * *', '0 0-23/2 1,15 1-12 1-5', ' 5  23 * * 7 ']) {
    assert.equal(checks.cronTimeProblem(good), '', good);
  }
  const cases = [
    ['99 * * * *', 'the minute 99 is outside 0–59'],
    ['0 24 * * *', 'the hour 24 is outside 0–23'],
    ['0 3 0 * *', 'the day of the month 0 is outside 1–31'],
    ['0 3 * * 8', 'the weekday 8 is outside 0–7'],
    ['0 3 * *', 'it has 4 fields, not five'],
    ['0 3 * * mon', '"m" is not allowed'],
    ['0\t3 * * *', 'is not allowed'],
    ['*/0 * * * *', 'the step "/0" of the minute must be a number from 1 to 59'],
    ['5-1 * * * *', 'runs backwards; write "1-5"'],
    ['100 * * * *', 'is not a number from 0 to 59'],
    ['', 'it is empty'],
  ];
  for (const [text, words] of cases) assert.ok(checks.cronTimeProblem(text).includes(words), `${text}: ${checks.cronTimeProblem(text)}`);
  const job = (triggerTime, scanType = 'full', scanTarget = '') => ({ activated: 1, triggerTime, scanType, scanTarget });
  assert.equal(checks.checkSchedule([job('0 3 * * *'), job('0 4 * * *', 'custom', '/volume1/a:/volume2/b')]), null);
  assert.deepEqual(checks.checkSchedule([job('0 3 * * *'), job('99 * * * *')]),
    { row: 2, field: 'time', problem: 'Scheduled scan 2, time "99 * * * *": the minute 99 is outside 0–59.' });
  assert.equal(checks.checkSchedule([job('0 3 * * *', 'custom', '/volume1/a::/volume2')]).field, 'target');
  assert.match(checks.checkSchedule([job('0 3 * * *', 'custom', '')]).problem, /a custom scan needs paths/);
  assert.match(checks.checkSchedule([job('0 3 * * *', 'custom', 'volume1/a')]).problem, /not an absolute path/);
  assert.match(checks.checkSchedule([job('0 3 * * *'), job('0  3 * * *')]).problem, /Scheduled scan 2 repeats scheduled scan 1/);
});

test('answers are put in words per method, and input refused in the page reads like the service refusing it', () => {
  const err = new api.ApiError('Schedule save', 117, '');
  assert.equal(err.message, 'Schedule save failed: error 117 (internal error) — the schedule could not be stored or written to the system crontab; see the service log');
  const input = new api.InputError('Schedule save', 'Scheduled scan 2, time "99 * * * *": the minute 99 is outside 0–59.');
  assert.equal(input.code, 120);
  assert.equal(input.message, 'Schedule save failed: error 120 (invalid parameter value) — Scheduled scan 2, time "99 * * * *": the minute 99 is outside 0–59.');
  assert.ok(api.notServed(new api.ApiError('History list', 102, '')));
  assert.ok(!api.notServed(new api.ApiError('History list', 117, '')));
});
