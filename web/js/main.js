// Page switching by the address fragment and start-up of every page.
import { $$ } from './ui.js';
import * as overview from './overview.js';
import * as quarantine from './quarantine.js';
import * as settings from './settings.js';
import * as eventlog from './eventlog.js';
import * as history from './history.js';

const PAGES = {
  overview: () => overview.refresh(),
  quarantine: () => quarantine.show(),
  history: () => history.show(),
  settings: () => settings.show(),
  log: () => eventlog.show(),
};

function route() {
  const name = PAGES[location.hash.slice(1)] ? location.hash.slice(1) : 'overview';
  for (const page of $$('.page')) page.hidden = page.dataset.page !== name;
  for (const link of $$('nav a')) {
    if (link.dataset.nav === name) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  document.body.dataset.page = name;
  return PAGES[name]();
}

overview.setup();
quarantine.setup();
settings.setup();
eventlog.setup();
history.setup();
// After a page switch the page's heading takes the focus, so that screen
// readers announce where the user went.
window.addEventListener('hashchange', () => {
  route();
  const heading = document.querySelector(`#page-${document.body.dataset.page} h2`);
  if (heading) {
    heading.setAttribute('tabindex', '-1');
    heading.focus({ preventScroll: true });
  }
});
route();
if (document.body.dataset.page !== 'overview') overview.refresh();
