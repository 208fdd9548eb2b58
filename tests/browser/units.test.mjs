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
