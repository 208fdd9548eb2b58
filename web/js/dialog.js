// A confirmation dialog on the page's own <dialog> element. A destructive
// action's button is styled as such; Cancel has the focus either way.
import { $ } from './ui.js';

export function confirmDialog(text, okLabel = 'OK', destructive = false) {
  const dialog = $('#confirm');
  const ok = $('#confirm-ok');
  $('#confirm-text').textContent = text;
  ok.textContent = okLabel;
  ok.className = destructive ? 'danger' : 'primary';
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('#confirm-cancel').focus();
  });
}
