// The dashboard journey in headless Chromium: definitions update, full
// scan with its progress and detections, acknowledgement, restore of one
// quarantined file onto the white list, the white list page, a filtered
// event log, the export download and a restore-all task. Screenshots of each page go to
// ARTIFACTS, with journey.json describing what was done.
//
// Environment: BASE_URL, ARTIFACTS, CHROMIUM, SANDBOX_ROOT
// (the sandbox's root folder, where the script puts a file in the way).

'use strict';

const fs = require('fs');
const path = require('path');
const {
  check, step, withBrowser, stateWord, waitForState, errorMessages, dismissMessages, ensureDefinitions, run,
} = require('./browser.cjs');

const BASE_URL = process.env.BASE_URL;
const ARTIFACTS = process.env.ARTIFACTS;
const SANDBOX_ROOT = process.env.SANDBOX_ROOT;

async function shot(page, name) {
  await page.screenshot({ path: path.join(ARTIFACTS, `${name}.png`), fullPage: true });
}

async function main() {
  const journey = {};
  try {
    await withBrowser(BASE_URL, async (page) => {
      step('open the page');
      await page.goto(BASE_URL);
      await page.waitForFunction(() => document.querySelector('#state').dataset.state !== 'unknown');
      journey.initialState = await stateWord(page);
      console.log(`state: ${journey.initialState}`);

      step('update the definitions');
      await ensureDefinitions(page);

      step('start a full scan and see its progress');
      await page.click('#scan-full');
      await page.locator('#scan-progress').waitFor({ state: 'visible' });
      journey.sawProgress = true;
      // Files counted while the scan runs, unless it ends first.
      await page.waitForFunction(() => {
        const word = document.querySelector('#state-word').textContent;
        return (!document.querySelector('#scan-progress').hidden && Number(document.querySelector('#scan-bar').value) > 0)
          || word === 'Threats found' || word === 'Scan completed';
      }, null, { polling: 100 });
      journey.progressText = await page.locator('#scan-progress-text').textContent();
      await shot(page, 'scanning');

      step('see the detections');
      await waitForState(page, ['Threats found', 'Scan completed'], 180000);
      check(await stateWord(page) === 'Threats found', 'the scan found the test files');
      check(Number(await page.locator('#c-quarantine').textContent()) > 0, 'the test files are quarantined');
      // The picture for the README: the status right after the scan.
      await dismissMessages(page);
      await page.evaluate(() => document.activeElement && document.activeElement.blur());
      await page.mouse.move(1270, 510);
      await page.screenshot({ path: path.join(ARTIFACTS, 'dashboard.png'), clip: { x: 0, y: 0, width: 1280, height: 520 } });
      await shot(page, 'overview');

      step('acknowledge the result');
      await page.locator('#scan-ack').click();
      await waitForState(page, ['Protected', 'At risk']);
      check(await page.locator('#scan-ack').isDisabled(), 'acknowledge is disabled afterwards');

      step('restore one quarantined file and add it to the white list');
      await page.click('nav a[href="#quarantine"]');
      const rows = page.locator('#q-table tbody tr:not(.empty)');
      await rows.first().waitFor();
      const before = await rows.count();
      check(before > 0, 'the quarantine lists items');
      journey.quarantined = before;
      await shot(page, 'quarantine');
      const first = rows.first();
      journey.restoredPath = (await first.locator('td').nth(1).textContent()).trim();
      await first.locator('input[type=checkbox]').check();
      await page.check('#q-whitelist');
      await page.click('#q-restore');
      // Restoring puts a detected file back: the page asks first.
      await page.locator('#confirm[open]').waitFor();
      await page.click('#confirm-ok');
      await page.locator('.message:not(.error)', { hasText: 'restored and added to the white list' }).waitFor();
      await page.waitForFunction(([p, n]) => {
        const cells = [...document.querySelectorAll('#q-table tbody tr td:nth-child(2)')];
        return cells.length < n || !cells.some((c) => c.textContent === p);
      }, [journey.restoredPath, before]);

      step('a restore that meets a file at the original place is reported with its reason');
      await page.uncheck('#q-whitelist');
      const second = rows.first();
      const occupied = (await second.locator('td').nth(1).textContent()).trim();
      fs.writeFileSync(path.join(SANDBOX_ROOT, occupied), 'a newer file\n');
      await second.locator('input[type=checkbox]').check();
      // A refresh of the list keeps what the administrator selected.
      await page.click('#q-refresh');
      await page.locator('#q-refresh:not([aria-busy])').waitFor();
      check(await second.locator('input[type=checkbox]').isChecked(), 'a refresh keeps the selection');
      check(await page.locator('#q-restore').isEnabled(), 'restore stays enabled after a refresh');
      await page.click('#q-restore');
      // Restoring puts a detected file back: the page asks first.
      await page.locator('#confirm[open]').waitFor();
      await page.click('#confirm-ok');
      await page.locator('#q-failures').waitFor({ state: 'visible' });
      const reason = (await page.locator('#q-fail-table tbody td.reason').first().textContent()).trim();
      check(reason === 'a file already exists at the original place (7)', `reason named (${reason})`);
      check((await page.locator('#q-fail-table tbody td').first().textContent()).trim() === occupied, 'the failed item is listed');
      await shot(page, 'quarantine-failures');
      fs.unlinkSync(path.join(SANDBOX_ROOT, occupied));
      await page.click('#q-fail-close');
      // Dismiss the failure notice so that only later errors are counted.
      await dismissMessages(page);

      step('find it on the white list');
      await page.click('nav a[href="#settings"]');
      await page.locator('#wl-table tbody td:not(.select)', { hasText: journey.restoredPath }).waitFor();
      await shot(page, 'whitelist');

      step('filter the event log');
      await page.click('nav a[href="#log"]');
      const logRows = page.locator('#log-table tbody tr:not(.empty)');
      await logRows.first().waitFor();
      const all = Number((await page.locator('#log-pager .pager-info').textContent()).split('of ').pop());
      for (const other of ['update', 'quarantine', 'config', 'schedule']) await page.uncheck(`#log-modules-${other}`);
      await page.waitForFunction(() => {
        const cells = [...document.querySelectorAll('#log-table tbody tr:not(.empty) td:nth-child(4)')];
        return cells.length > 0 && cells.every((c) => c.textContent === 'scan');
      });
      const filtered = Number((await page.locator('#log-pager .pager-info').textContent()).split('of ').pop());
      check(filtered > 0 && filtered <= all, `the filter keeps scan events (${filtered} of ${all})`);
      await page.click('#log-table th[data-sort="date"] button');
      await page.waitForFunction(() => document.querySelector('#log-table th[data-sort="date"]').getAttribute('aria-sort') === 'descending');
      await shot(page, 'eventlog');

      step('download the export');
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#log-export')]);
      journey.exportFile = download.suggestedFilename();
      await download.saveAs(path.join(ARTIFACTS, journey.exportFile));

      step('restore everything left onto the white list as a background task');
      await page.click('nav a[href="#quarantine"]');
      await rows.first().waitFor();
      journey.restoredByTask = (await rows.locator('td:nth-child(2)').allTextContents()).map((t) => t.trim());
      await page.check('#q-whitelist');
      await page.click('#q-restore-all');
      await page.locator('#confirm[open]', { hasText: 'add it to the white list' }).waitFor();
      await page.click('#confirm-ok');
      await page.locator('#q-task').waitFor({ state: 'visible' });
      await page.locator('.message', { hasText: 'Restore all finished' }).waitFor();
      await page.locator('#q-table tbody tr.empty').waitFor();
      journey.leftAfterRestoreAll = await rows.count();
      await shot(page, 'quarantine-emptied');

      step('error answers are shown with their code');
      await page.evaluate(async () => {
        const api = await import('./js/api.js');
        const ui = await import('./js/ui.js');
        try {
          await api.post('TAVO.AntiVirus.Scan', 'start_custom', { scanTarget: 'not a list' });
        } catch (err) {
          ui.showError(err);
        }
      });
      const errors = await errorMessages(page);
      check(errors.some((t) => t.includes('error 114 (missing or wrong-typed parameter)')), `114 is named (${errors})`);
      journey.unexpectedErrors = errors.filter((t) => !t.includes('error 114'));

      check(journey.unexpectedErrors.length === 0, `no error message (${journey.unexpectedErrors})`);
    });
  } finally {
    fs.writeFileSync(path.join(ARTIFACTS, 'journey.json'), JSON.stringify(journey, null, 2));
  }
}

run(main);
