// A page of another origin tries to change the white list through the
// administrator's browser: an <img> under referrer policy no-referrer, a
// fetch and a form POST, all aimed at the API. The page sets them off
// itself (window.attack); this script only opens it and records every
// request to the API and what the browser got back.
//
// Environment: FOREIGN_URLS (space-separated page addresses), API_URL,
// RESULT (where the record goes, JSON), CHROMIUM.

'use strict';

const fs = require('fs');
const { check, step, withBrowser, run } = require('./browser.cjs');

const API_URL = process.env.API_URL;
const FOREIGN_URLS = process.env.FOREIGN_URLS.split(' ');

// What the browser did with a request: the status it got, or why it
// failed. An image or no-cors fetch answered with JSON is blocked by the
// browser (opaque response blocking) after the server answered it.
async function record(request, pageUrl) {
  const response = await request.response().catch(() => null);
  const failure = request.failure();
  return {
    page: pageUrl,
    url: request.url(),
    method: request.method(),
    resourceType: request.resourceType(),
    status: response ? response.status() : null,
    failure: failure ? failure.errorText : null,
  };
}

// The request of one kind to the API, once the browser is done with it.
function settled(page, type) {
  return new Promise((resolve) => {
    const done = (request) => {
      if (!request.url().startsWith(API_URL) || request.resourceType() !== type) return;
      page.off('requestfinished', done);
      page.off('requestfailed', done);
      resolve(request);
    };
    page.on('requestfinished', done);
    page.on('requestfailed', done);
  });
}

run(async () => {
  const seen = [];
  // Every address involved is on loopback: the page's own and the API's.
  await withBrowser('http://', async (page) => {
    for (const url of FOREIGN_URLS) {
      step(`foreign page ${url}`);
      // One request of each kind reaches the API from each page.
      const requests = ['image', 'fetch', 'document'].map((type) => settled(page, type));
      await page.goto(url);
      check(await page.evaluate(() => window.attack), 'the page ran its requests');
      for (const request of await Promise.all(requests)) seen.push(await record(request, url));
    }
  });
  fs.writeFileSync(process.env.RESULT, JSON.stringify(seen, null, 2));
});
