// Shared pieces of the browser journeys: launching the system Chromium
// with a fresh profile, checks, steps, screenshots and state waits.

'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const STEP_TIMEOUT = 60000;

function check(condition, text) {
  if (!condition) throw new Error(`check failed: ${text}`);
}

function step(text) {
  console.log(`step: ${text}`);
}

// Runs body(page, context) in a new headless Chromium; script errors in the
// page and requests leaving BASE_URL fail the run.
async function withBrowser(baseUrl, body) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tavo-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    viewport: { width: 1280, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const pageErrors = [];
  const requests = [];
  try {
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(STEP_TIMEOUT);
    page.on('pageerror', (err) => pageErrors.push(err.message));
    page.on('console', (msg) => { if (msg.type() === 'error') console.log(`console: ${msg.text()}`); });
    page.on('request', (req) => requests.push(req.url()));
    await body(page, context);
    const outside = requests.filter((u) => !u.startsWith(baseUrl) && !u.startsWith('data:'));
    check(outside.length === 0, `no outside request (${outside})`);
    check(pageErrors.length === 0, `no script error (${pageErrors})`);
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

async function stateWord(page) {
  return (await page.locator('#state-word').textContent()).trim();
}

// Waits until the state word (without "(paused)") is one of words.
async function waitForState(page, words, timeout = STEP_TIMEOUT) {
  await page.waitForFunction((wanted) => {
    const word = document.querySelector('#state-word').textContent.replace(' (paused)', '').trim();
    return wanted.includes(word);
  }, words, { timeout, polling: 200 });
  return stateWord(page);
}

async function errorMessages(page) {
  return page.locator('.message.error .text').allTextContents();
}

// Clears the message area (notes also go away by themselves, so clicking
// each close button would race with them).
async function dismissMessages(page) {
  await page.evaluate(() => document.querySelectorAll('#messages .message').forEach((m) => m.remove()));
}

// Waits until a list table has been filled once (rows or its empty row).
async function listLoaded(page, table) {
  await page.locator(`#${table} tbody tr`).first().waitFor();
}

// Installs definitions from the demo mirror when there are none yet.
async function ensureDefinitions(page) {
  await page.waitForFunction(() => document.querySelector('#state').dataset.state !== 'unknown');
  if (await stateWord(page) === 'No virus definitions') {
    await page.click('#update-start');
    await page.waitForFunction(() => !document.querySelector('#update-start').hasAttribute('aria-busy'));
    await waitForState(page, ['Protected', 'At risk']);
  }
  check((await page.locator('#defs-age').textContent()) === 'current', 'definitions are current');
}

function run(main) {
  main().then(() => console.log('journey done'), (err) => {
    console.error(err.stack || String(err));
    process.exit(1);
  });
}

module.exports = {
  check, step, withBrowser, stateWord, waitForState, errorMessages, dismissMessages, listLoaded, ensureDefinitions, run,
};
