// The second browser journey: scan pause, resume and stop; a custom scan
// and a delete-all task; the settings
// forms (configuration, extensions, white list, schedule, with a refused
// schedule shown as an error); deleting event log entries by selection and
// by filter. Screenshots go to ARTIFACTS with the prefix "controls-".
//
// Environment: BASE_URL, ARTIFACTS, CHROMIUM.

'use strict';

const path = require('path');
const {
  check, step, withBrowser, stateWord, waitForState, errorMessages, dismissMessages, listLoaded, ensureDefinitions, run,
} = require('./browser.cjs');

const BASE_URL = process.env.BASE_URL;
const ARTIFACTS = process.env.ARTIFACTS;

async function shot(page, name) {
  await page.screenshot({ path: path.join(ARTIFACTS, `controls-${name}.png`), fullPage: true });
}

async function confirm(page) {
  await page.locator('#confirm[open]').waitFor();
  await page.click('#confirm-ok');
}

async function total(page, pager) {
  const text = await page.locator(`#${pager} .pager-info`).textContent();
  return text === 'No entries' ? 0 : Number(text.split('of ').pop());
}

async function scanControls(page) {
  step('pause, resume and stop a running scan');
  await ensureDefinitions(page);
  await page.click('#scan-full');
  await waitForState(page, ['Scanning']);
  await page.locator('#scan-pause:not([disabled])').click();
  await page.waitForFunction(() => document.querySelector('#state-word').textContent === 'Scanning (paused)');
  check(await page.locator('#scan-pause').isDisabled(), 'pause is disabled while paused');
  await page.locator('#scan-resume:not([disabled])').click();
  await page.waitForFunction(() => document.querySelector('#state-word').textContent === 'Scanning'
    || document.querySelector('#state').dataset.state !== 'scanning');
  await page.locator('#scan-stop:not([disabled])').click();
  // A stopped scan is no longer "Scan completed" (outcomes.cjs checks its words).
  const after = await waitForState(page, ['Scan completed', 'Scan stopped', 'Threats found', 'Protected', 'At risk']);
  check(await page.locator('#scan-stop').isDisabled(), `stop is disabled after stopping (${after})`);
  if (!(await page.locator('#scan-ack').isDisabled())) {
    await page.click('#scan-ack');
    await waitForState(page, ['Protected', 'At risk']);
  }
  await shot(page, 'overview');
}

async function customScanAndDeleteAll(page) {
  step('scan one folder, then delete the whole quarantine as a background task');
  await page.click('nav a[href="#overview"]');
  await page.fill('#custom-paths', '/volume1/downloads\n');
  await page.locator('#scan-custom:not([disabled])').click();
  await page.locator('.message', { hasText: 'Custom scan of 1 path(s) started.' }).waitFor();
  await waitForState(page, ['Threats found'], 120000);
  check(Number(await page.locator('#c-processed').textContent()) === 2, 'both infected files of the folder were handled');
  await page.click('#scan-ack');
  await waitForState(page, ['Protected', 'At risk']);
  await page.click('nav a[href="#quarantine"]');
  await page.locator('#q-table tbody tr:not(.empty)').first().waitFor();
  await page.click('#q-delete-all');
  await confirm(page);
  await page.locator('.message', { hasText: 'Delete all finished' }).waitFor();
  await page.locator('#q-table tbody tr.empty').waitFor();
  check(!(await page.locator('#q-task-stop').isEnabled()), 'the stop button is off once the task ended');
}

async function configuration(page) {
  step('change the configuration, reload it and restore the defaults');
  await page.click('nav a[href="#settings"]');
  await page.waitForFunction(() => document.querySelector('input[name=virusAction]:checked'));
  const before = {
    nothing: await page.isChecked('#cfg-nothing'),
    extOnly: await page.isChecked('#cfg-extonly'),
    update: await page.isChecked('#cfg-update'),
  };
  await page.check(before.nothing ? '#cfg-quarantine' : '#cfg-nothing');
  await page.setChecked('#cfg-extonly', !before.extOnly);
  await page.setChecked('#cfg-update', !before.update);
  await page.click('#config-save');
  await page.locator('.message', { hasText: 'Scan settings saved.' }).waitFor();
  await page.reload();
  await page.waitForFunction(() => document.querySelector('input[name=virusAction]:checked'));
  check(await page.isChecked('#cfg-nothing') === !before.nothing, 'the infected-file action was saved');
  check(await page.isChecked('#cfg-extonly') === !before.extOnly, 'the extension setting was saved');
  check(await page.isChecked('#cfg-update') === !before.update, 'the update setting was saved');
  await page.click('#config-default');
  await confirm(page);
  await page.locator('.message', { hasText: 'Factory settings restored.' }).waitFor();
  return before;
}

async function extensions(page) {
  step('add and remove a file extension');
  await listLoaded(page, 'ext-table');
  const count = await total(page, 'ext-pager');
  await page.fill('#ext-input', '.tvx');
  await page.click('#ext-add');
  await page.locator('#ext-table tbody td:not(.select)', { hasText: /^tvx$/ }).waitFor();
  check(await total(page, 'ext-pager') === count + 1, 'the count grew by one');
  await page.locator('#ext-table tbody tr').filter({ has: page.locator('td:text-is("tvx")') })
    .locator('input[type=checkbox]').check();
  await page.click('#ext-delete');
  await page.locator('.message', { hasText: '1 extension(s) removed.' }).waitFor();
  await page.waitForFunction(() => ![...document.querySelectorAll('#ext-table tbody td')].some((c) => c.textContent === 'tvx'));
}

async function whiteList(page) {
  step('add two white list entries and remove one');
  await listLoaded(page, 'wl-table');
  await page.fill('#wl-input', '/volume1/tools/a.exe\n/volume2/tools/b.exe\n');
  await page.click('#wl-add');
  await page.locator('#wl-table td:text-is("/volume2/tools/b.exe")').waitFor();
  await page.locator('#wl-table tbody tr').filter({ has: page.locator('td:text-is("/volume1/tools/a.exe")') })
    .locator('input[type=checkbox]').check();
  await page.click('#wl-delete');
  await page.waitForFunction(() => {
    const cells = [...document.querySelectorAll('#wl-table tbody td')].map((c) => c.textContent);
    return !cells.includes('/volume1/tools/a.exe') && cells.includes('/volume2/tools/b.exe');
  });
}

async function schedule(page) {
  step('save a schedule; a refused one is reported with its code');
  await page.click('#sched-add');
  const row = page.locator('#sched-table tbody tr.job').last();
  await row.locator('.job-time').fill('30 2 * * 0');
  check((await row.locator('.job-words').textContent()) === 'every Sunday at 02:30', 'the time is put in words');
  check(await row.locator('.job-target').isDisabled(), 'a full scan has no target');
  await row.locator('.job-type').selectOption('custom');
  await row.locator('.job-target').fill('/volume1/documents:/volume2/backup');
  await page.click('#sched-save');
  await page.locator('.message', { hasText: 'Schedule saved' }).waitFor();
  await page.click('#sched-reload');
  // The rows typed above already show the target: wait for the reload itself
  // to finish, or the next row added could be replaced by the reloaded table.
  await page.waitForFunction(() => !document.querySelector('#sched-reload').hasAttribute('aria-busy'));
  const saved = page.locator('#sched-table tbody tr.job').last();
  await page.waitForFunction(() => [...document.querySelectorAll('#sched-table .job-target')]
    .some((i) => i.value === '/volume1/documents:/volume2/backup'));
  check(await saved.locator('.job-on').isChecked(), 'the job is on');
  check((await saved.locator('.job-type').inputValue()) === 'custom', 'the job is a custom scan');
  await shot(page, 'settings');

  await page.click('#sched-add');
  await page.locator('#sched-table tbody tr.job').last().locator('.job-time').fill('99 * * * *');
  await page.click('#sched-save');
  await page.locator('.message.error', { hasText: 'Schedule save failed: error' }).waitFor();
  const errors = await errorMessages(page);
  check(errors.some((t) => /Schedule save failed: error (117 \(internal error\)|120 \(invalid parameter value\))/.test(t)),
    `the refusal names its code (${errors})`);
  await dismissMessages(page);
  await page.click('#sched-reload');
}

async function eventLog(page) {
  step('delete event log entries by selection and by filter');
  await page.click('nav a[href="#log"]');
  await page.locator('#log-table tbody tr:not(.empty)').first().waitFor();
  const count = await total(page, 'log-pager');
  const firstId = (await page.locator('#log-table tbody tr').first().locator('td').nth(1).textContent()).trim();
  await page.locator('#log-table tbody tr').first().locator('input[type=checkbox]').check();
  await page.click('#log-delete');
  await confirm(page);
  await page.locator('.message', { hasText: '1 log entry deleted.' }).waitFor();
  await page.waitForFunction((id) => ![...document.querySelectorAll('#log-table tbody td:nth-child(2)')]
    .some((c) => c.textContent === id), firstId);
  check(await total(page, 'log-pager') === count - 1, 'one entry fewer');

  // Every run has "info" events of the definition update.
  for (const other of ['warning', 'error']) await page.uncheck(`#log-categories-${other}`);
  for (const other of ['scan', 'quarantine', 'config', 'schedule']) await page.uncheck(`#log-modules-${other}`);
  await page.waitForFunction(() => {
    const rows = [...document.querySelectorAll('#log-table tbody tr:not(.empty)')];
    return rows.length > 0 && rows.every((r) => r.cells[2].textContent === 'info' && r.cells[3].textContent === 'update');
  });
  await page.click('#log-delete-filtered');
  await confirm(page);
  await page.locator('#log-table tbody tr.empty').waitFor();
  for (const other of ['warning', 'error']) await page.check(`#log-categories-${other}`);
  for (const other of ['scan', 'quarantine', 'config', 'schedule']) await page.check(`#log-modules-${other}`);
  await page.locator('#log-table tbody tr:not(.empty)').first().waitFor();
  const left = await page.locator('#log-table tbody tr:not(.empty)').evaluateAll((rows) =>
    rows.filter((r) => r.cells[2].textContent === 'info' && r.cells[3].textContent === 'update').length);
  check(left === 0, 'no update information is left');
  await shot(page, 'eventlog');
}

async function main() {
  await withBrowser(BASE_URL, async (page) => {
    await page.goto(BASE_URL);
    await scanControls(page);
    await customScanAndDeleteAll(page);
    await configuration(page);
    await extensions(page);
    await whiteList(page);
    await schedule(page);
    await eventLog(page);
    const errors = await errorMessages(page);
    check(errors.length === 0, `no error message (${errors})`);
  });
}

run(main);
