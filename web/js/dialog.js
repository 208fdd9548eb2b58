// A confirmation dialog on the page's own <dialog> element.
import { $ } from './ui.js';

export function confirmDialog(text, okLabel = 'OK') {
  const dialog = $('#confirm');
  $('#confirm-text').textContent = text;
  $('#confirm-ok').textContent = okLabel;
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('#confirm-cancel').focus();
  });
}
