// The last entries of the service's audit log, for an admin: who changed what, through which
// door, and how it ended (refusals stand out). Read every few seconds, after each command sent
// from this page, and for the device whose panel is open (all devices on the grid).
import { getJson } from '/dashboard/service.js';
import { element } from '/dashboard/element.js';

const everyMs = 5000;
const entriesShown = 20;

// The columns, from an entry.
const columns = [
  ['time', (entry) => new Date(entry.time).toLocaleTimeString()],
  ['user', (entry) => (entry.user === null ? '—' : `${entry.user} (${entry.role})`)],
  ['door', (entry) => entry.door],
  ['client', (entry) => entry.client],
  ['device', (entry) => entry.device ?? '—'],
  ['command', (entry) => entry.command ?? ''],
  ['status', (entry) => (entry.status === 0 ? 'ok' : String(entry.status))],
  ['reply', (entry) => entry.reply ?? ''],
];

export class AuditPanel {
  constructor(container) {
    this.container = container;
    this.device = undefined;
    this.asked = 0;  // the latest reading asked for; an earlier one answering later is dropped
    this.note = element('p', { className: 'audit-note', role: 'status' });
    this.rows = element('tbody');
    this.heading = element('h2', { id: 'audit-title', textContent: 'Audit log' });
    container.replaceChildren(this.heading, this.note, element('table', { className: 'audit-entries' },
      element('thead', {}, element('tr', {}, ...columns.map(([name]) => element('th', { scope: 'col', textContent: name })))),
      this.rows));
    container.hidden = false;
  }

  // The entries of one device (its id), or of every device (null).
  watch(device) {
    if (device === this.device) return;
    this.device = device;
    this.heading.textContent = device === null ? 'Audit log: the last entries' : `Audit log: the last entries for ${device}`;
    this.rows.replaceChildren();
    this.refresh();
  }

  async refresh() {
    clearTimeout(this.timer);
    const asked = ++this.asked;
    const query = new URLSearchParams({ limit: entriesShown });
    if (this.device !== null) query.set('device', this.device);
    try {
      const { entries, earlier } = await getJson(`/api/v1/audit?${query}`);
      if (asked !== this.asked || this.closed) return;
      this.render(entries);
      this.note.textContent = entries.length === 0 ? 'No entries yet.'
        : earlier > 0 ? `The last ${entries.length}, newest first; ${earlier} earlier.` : 'Newest first.';
      this.note.classList.remove('failed');
    } catch (failure) {
      if (asked !== this.asked || this.closed) return;
      this.note.textContent = `The audit log could not be read: ${failure.message}`;
      this.note.classList.add('failed');
    }
    this.timer = setTimeout(() => this.refresh(), everyMs);
  }

  render(entries) {
    this.rows.replaceChildren(...entries.slice().reverse().map((entry) => {
      const row = element('tr', { title: entry.time }, ...columns.map(([name, text]) => {
        const cell = element('td', { textContent: text(entry) });
        cell.dataset.column = name;
        return cell;
      }));
      row.dataset.status = String(entry.status);
      row.classList.toggle('failed', entry.status !== 0);
      return row;
    }));
  }

  close() {
    this.closed = true;
    clearTimeout(this.timer);
    this.container.replaceChildren();
    this.container.hidden = true;
  }
}
