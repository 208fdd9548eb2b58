// Small DOM helpers shared by the pages: element building, the message
// area, button busy state and the pager of every long list.

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'class') node.className = value;
    else if (name === 'text') node.textContent = value;
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else if (value === true) node.setAttribute(name, '');
    else node.setAttribute(name, value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export const $ = (selector, root = document) => root.querySelector(selector);
export const $$ = (selector, root = document) => [...root.querySelectorAll(selector)];

// Messages: errors stay until dismissed, notes fade after a while.
const MAX_MESSAGES = 5;

export function notify(text, kind = 'info') {
  const area = $('#messages');
  if (!area) return;
  const close = el('button', { type: 'button', class: 'close', 'aria-label': 'Dismiss message', text: '×' });
  const item = el('div', { class: `message ${kind}`, role: kind === 'error' ? 'alert' : 'status' },
    el('span', { class: 'text', text }), close);
  close.addEventListener('click', () => item.remove());
  area.prepend(item);
  while (area.children.length > MAX_MESSAGES) area.lastElementChild.remove();
  if (kind !== 'error') setTimeout(() => item.remove(), 4500);
}

export function showError(err) {
  notify(err && err.message ? err.message : String(err), 'error');
  if (err && !err.code) console.error(err);
}

// Runs an action with the button disabled meanwhile; errors go to the
// message area. Resolves with the action's result or undefined on error.
export async function guarded(button, action) {
  const wasDisabled = button ? button.disabled : false;
  if (button) {
    button.disabled = true;
    button.setAttribute('aria-busy', 'true');
  }
  try {
    return await action();
  } catch (err) {
    showError(err);
    return undefined;
  } finally {
    if (button) {
      button.removeAttribute('aria-busy');
      // A button that acts on a table's selection follows the selection as
      // it is now: the action may have reloaded the table.
      if (button.dataset.noSelection !== undefined) button.disabled = button.dataset.noSelection === '1';
      else button.disabled = wasDisabled;
    }
  }
}

// Several requests of one view may be under way at once (a refresh while a
// filter changes): only the answer to the last one sent may be shown.
export class LatestOnly {
  constructor() {
    this.sent = 0;
  }

  // A ticket for a request about to be sent; isLatest(ticket) tells, once
  // its answer is in, whether a newer request was sent meanwhile.
  next() {
    this.sent += 1;
    return this.sent;
  }

  isLatest(ticket) {
    return ticket === this.sent;
  }
}

// Marks a form field as refused (or clears it) and points to it.
export function markInvalid(input, refused) {
  if (!input) return;
  if (refused) {
    input.setAttribute('aria-invalid', 'true');
    input.focus();
    input.addEventListener('input', () => input.removeAttribute('aria-invalid'), { once: true });
  } else {
    input.removeAttribute('aria-invalid');
  }
}

// A pager: page size choice, previous/next and the position text.
// onChange(start, limit, isLatest) loads a page; the load shows its answer
// only while isLatest() is true, and calls update(total) after it.
export class Pager {
  constructor(container, label, onChange, pageSize = 25) {
    this.start = 0;
    this.limit = pageSize;
    this.total = 0;
    this.onChange = onChange;
    this.requests = new LatestOnly();
    this.prev = el('button', { type: 'button', text: '‹ Previous', 'aria-label': `Previous page of ${label}` });
    this.next = el('button', { type: 'button', text: 'Next ›', 'aria-label': `Next page of ${label}` });
    this.info = el('span', { class: 'pager-info', 'aria-live': 'polite' });
    const sizeId = `pagesize-${label.replace(/\W+/g, '-').toLowerCase()}`;
    this.size = el('select', { id: sizeId },
      [10, 25, 50, 100].map((n) => el('option', { value: n, selected: n === pageSize, text: n })));
    this.prev.addEventListener('click', () => this.go(Math.max(0, this.start - this.limit)));
    this.next.addEventListener('click', () => this.go(this.start + this.limit));
    this.size.addEventListener('change', () => {
      this.limit = Number(this.size.value);
      this.go(0);
    });
    this.settled = 0;
    this.element = el('div', { class: 'pager' },
      this.prev, this.info, this.next,
      el('label', { for: sizeId, text: 'Per page' }), this.size);
    container.append(this.element);
    this.update(0);
  }

  go(start) {
    this.start = start;
    const ticket = this.requests.next();
    const load = Promise.resolve(this.onChange(this.start, this.limit, () => this.requests.isLatest(ticket)));
    // How many loads have ended (shown or passed over): tests wait on it.
    return load.finally(() => {
      this.settled += 1;
      this.element.dataset.settled = String(this.settled);
    });
  }

  reload() {
    return this.go(this.start);
  }

  // The page that holds the last entry once `added` entries were appended.
  goLast(added = 1) {
    const total = this.total + added;
    return this.go(Math.max(0, Math.floor((total - 1) / this.limit) * this.limit));
  }

  // After a load: fix the position text and buttons; if the page fell off
  // the end (items removed), step back to the last page.
  update(total, shown = 0) {
    this.total = total;
    if (shown === 0 && total > 0 && this.start >= total) {
      const last = Math.max(0, Math.floor((total - 1) / this.limit) * this.limit);
      if (last !== this.start) {
        this.go(last);
        return;
      }
    }
    const first = total === 0 ? 0 : this.start + 1;
    const end = Math.min(total, this.start + Math.max(shown, 0));
    this.info.textContent = total === 0 ? 'No entries' : `${first}–${end} of ${total}`;
    this.prev.disabled = this.start <= 0;
    this.next.disabled = this.start + this.limit >= total;
  }
}

// A table body filled from records; keeps a set of selected keys.
export class SelectableTable {
  constructor(table, label, keyOf) {
    this.table = table;
    this.body = table.tBodies[0];
    this.keyOf = keyOf;
    this.rows = new Map();
    this.label = label;
    this.all = table.querySelector('thead input[type=checkbox]');
    if (this.all) {
      this.all.addEventListener('change', () => {
        for (const box of $$('tbody input[type=checkbox]', this.table)) box.checked = this.all.checked;
        this.changed();
      });
    }
    this.onSelect = () => {};
    this.controls = [];
    // Column names, shown beside each value when a narrow screen stacks the cells.
    this.headings = [...table.tHead.rows[0].cells].map((th) => th.textContent.trim());
  }

  // Refills the rows; rows that were selected and are still listed stay
  // selected, so a refresh in the background never drops a selection.
  fill(records, cells, emptyText) {
    const kept = new Set($$('tbody input[type=checkbox]:checked', this.table).map((box) => box.value));
    this.rows.clear();
    const fragment = document.createDocumentFragment();
    if (records.length === 0) {
      const columns = this.table.tHead.rows[0].cells.length;
      fragment.append(el('tr', { class: 'empty' }, el('td', { colspan: columns, text: emptyText })));
    }
    records.forEach((record, index) => {
      const key = this.keyOf(record);
      this.rows.set(key, record);
      const id = `${this.table.id}-sel-${index}`;
      const box = el('input', { type: 'checkbox', id, value: key });
      box.checked = kept.has(key);
      box.addEventListener('change', () => this.changed());
      const values = cells(record);
      const labelText = `Select ${this.label} ${values[0]}`;
      fragment.append(el('tr', {},
        el('td', { class: 'select' }, box, el('label', { for: id, class: 'visually-hidden', text: labelText })),
        values.map((cell, i) => el('td', { 'data-label': this.headings[i + 1] }, cell))));
    });
    this.body.replaceChildren(fragment);
    if (this.all) this.all.checked = records.length > 0 && this.selected().length === records.length;
    this.changed();
  }

  selected() {
    return $$('tbody input[type=checkbox]:checked', this.table).map((box) => this.rows.get(box.value));
  }

  // Buttons in controls are enabled only while something is selected.
  changed() {
    const selected = this.selected();
    for (const button of this.controls) {
      button.dataset.noSelection = selected.length === 0 ? '1' : '0';
      if (button.getAttribute('aria-busy') !== 'true') button.disabled = selected.length === 0;
    }
    this.onSelect(selected);
  }
}

export function formatCount(text) {
  const n = Number(text);
  return Number.isFinite(n) ? n.toLocaleString('en-US') : String(text);
}

export function formatBytes(text) {
  const n = Number(text);
  if (!Number.isFinite(n)) return String(text);
  const units = ['B', 'KiB', 'MiB', 'GiB'];
  let value = n;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${unit === 0 ? value : value.toFixed(1)} ${units[unit]}`;
}

export function setProgress(bar, now, total) {
  const n = Number(now);
  const t = Number(total);
  if (t > 0) {
    bar.max = t;
    bar.value = Math.min(n, t);
    bar.textContent = `${Math.floor((Math.min(n, t) / t) * 100)}%`;
  } else {
    bar.removeAttribute('value');
    bar.textContent = '';
  }
}
