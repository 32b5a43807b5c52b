// A device's limits as the service enforces them, a warning naming every setting found beyond
// them (made before they applied: the service leaves it as it is), and for an admin the form that
// changes them. The limits come with the device list the page reads anyway.
import { devicePath, putJson } from '/dashboard/service.js';
import { checkValue, tellRefusal } from '/dashboard/control.js';
import { element } from '/dashboard/element.js';

// The numeric limits: the key of the limits object, what it bounds, and its unit.
const bounds = [
  ['max_power_command', 'power command', (unit) => unit],
  ['max_current_command', 'current command', () => 'A'],
];

function describe(limits, powerUnit) {
  const parts = bounds.filter(([key]) => limits[key] !== undefined)
    .map(([key, label, unitOf]) => `${label} at most ${limits[key].toFixed(3)} ${unitOf(powerUnit)}`.trim());
  if (limits.refuse?.length) parts.push(`never ${limits.refuse.join(', ')}`);
  return parts.length === 0 ? 'none set' : parts.join('; ');
}

export class LimitsView {
  // onChanged(): the limits were changed here; the device's document is to be read again.
  constructor(id, mayEdit, onChanged) {
    this.id = id;
    this.limits = {};
    this.powerUnit = '';
    this.warning = element('div', { className: 'beyond-limits', role: 'alert' });
    this.line = element('span', { className: 'limits-set' });
    this.box = element('div', { className: 'limits' }, element('span', { className: 'label', textContent: 'Limits' }), this.line);
    if (mayEdit) this.box.append(this.buildForm(onChanged));
  }

  // summary: the device's document (its "limits" and "beyond_limits"); powerUnit: the head's.
  show(summary, powerUnit) {
    this.limits = summary.limits ?? {};
    this.powerUnit = powerUnit;
    this.line.textContent = describe(this.limits, powerUnit);
    const beyond = summary.beyond_limits ?? [];
    this.warning.replaceChildren(...(beyond.length === 0 ? [] : [
      element('strong', { textContent: 'Beyond this device\'s limits' }),
      ' (set before the limits applied; the service leaves settings as they are):',
      element('ul', {}, ...beyond.map((found) => element('li', { textContent: found.text })))]));
    this.warning.dataset.beyond = String(beyond.length);
    this.units?.forEach((update) => update());
  }

  buildForm(onChanged) {
    const fields = bounds.map(([key, label, unitOf]) => {
      const input = element('input', { id: `limit-${key}-${this.id}`, type: 'text', inputMode: 'decimal', autocomplete: 'off', size: 7 });
      const unit = element('span', { className: 'unit' });
      return { key, label, unitOf, input, unit };
    });
    const refuse = element('input', { id: `limit-refuse-${this.id}`, type: 'text', autocomplete: 'off', spellcheck: false, size: 18, placeholder: 'KSWCMD=1, SHCMD=1' });
    const output = element('output', { className: 'control-result', ariaLive: 'polite' });
    this.units = fields.map(({ unit, unitOf }) => () => { unit.textContent = unitOf(this.powerUnit); });
    const form = element('form', { className: 'limits-form' },
      ...fields.map(({ label, input, unit }) => element('div', { className: 'control-row' },
        element('label', { htmlFor: input.id, textContent: `Highest ${label}` }), input, unit)),
      element('div', { className: 'control-row' }, element('label', { htmlFor: refuse.id, textContent: 'Never allowed' }), refuse),
      element('div', { className: 'control-row' }, element('button', { type: 'submit', textContent: 'Save limits' }), output));
    const details = element('details', {}, element('summary', { textContent: 'Change the limits' }), form);
    // Filled with the limits in force when opened, so that a save changes only what was edited.
    details.addEventListener('toggle', () => {
      if (!details.open) return;
      for (const { key, input } of fields) input.value = this.limits[key] ?? '';
      refuse.value = (this.limits.refuse ?? []).join(', ');
      output.textContent = '';
    });
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const limits = {};
      for (const { key, label, input } of fields) {
        if (input.value.trim() === '') continue;  // no limit
        const checked = checkValue(input.value, null, '');
        input.setAttribute('aria-invalid', checked.problem ? 'true' : 'false');
        if (checked.problem) {
          output.className = 'control-result error';
          output.textContent = `${label}: ${checked.problem}`;
          return;
        }
        limits[key] = checked.value;
      }
      const never = refuse.value.split(/[\s,]+/).filter((command) => command !== '');
      if (never.length > 0) limits.refuse = never;
      if (!confirm(`Change the limits of ${this.id} to: ${describe(limits, this.powerUnit)}?`)) return;
      output.className = 'control-result';
      output.textContent = 'saving…';
      try {
        await putJson(`${devicePath(this.id)}/limits`, limits);
        output.textContent = 'saved';
        onChanged();
      } catch (refusal) {
        tellRefusal(output, refusal);
      }
    });
    return details;
  }
}
