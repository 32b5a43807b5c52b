// The controls of one device, offered only where the service allows control: power, current and
// power memory, laser (key switch), shutter and remote on and off, the match of the head's stored
// settings, each confirmed first, and a console for any command (settings confirmed, queries
// not). Values are checked before they are sent; the service's or the library's refusal is shown
// beside the control that was used.
import { sendCommands } from '/dashboard/service.js';
import { element } from '/dashboard/element.js';

let nextId = 0;

// The service's own rule for what needs control: everything but a plain query. A query starts
// with '?' and holds no '='; anything else, MATCH=1 included, changes a setting.
export function changesSetting(command) {
  return !command.startsWith('?') || command.includes('=');
}

// The first failure of a batch as a person reads it, or null when every command succeeded.
function failureOf(result) {
  const failed = result.results.find((r) => r.status !== 0);
  return failed ? `${failed.command}: ${failed.message ?? failed.error}` : null;
}

async function send(id, commands, output) {
  output.className = 'control-result';
  output.textContent = 'sending…';
  try {
    const result = await sendCommands(id, commands);
    const failure = failureOf(result);
    output.textContent = failure ?? 'done';
    if (failure) output.classList.add('error');
    return result;
  } catch (refusal) {
    output.textContent = refusal.message;
    output.classList.add('error');
    return null;
  }
}

// A number in [0, highest] (highest unknown: any number from 0); else why not.
function checkValue(text, highest, unit) {
  const value = Number(text.trim());
  if (text.trim() === '' || !Number.isFinite(value)) return { problem: 'enter a number' };
  if (value < 0) return { problem: 'the value cannot be negative' };
  if (highest !== null && value > highest) return { problem: `at most ${highest} ${unit} (the head's limit)` };
  return { value };
}

// What each bit of MATCH=1's reply says was not programmed.
const matchBits = [[1, 'current limit'], [2, 'power limit'], [4, 'power command'], [8, 'main temperature set point']];

function describeMatch(reply) {
  const bits = parseInt(reply, 16);
  if (!Number.isInteger(bits)) return reply;
  const missed = matchBits.filter(([bit]) => bits & bit).map(([, name]) => name);
  return missed.length === 0 ? 'all four settings programmed' : `not programmed: ${missed.join(', ')}`;
}

// device: { id, limits() -> { power, current, powerUnit }, supports(key) -> bool }
export function buildControls(container, device, onSent) {
  const prefix = `control-${nextId++}`;
  const fieldset = element('fieldset', { className: 'controls' }, element('legend', { textContent: 'Control' }));
  const row = (key, ...children) => {
    const line = element('div', { className: 'control-row' }, ...children);
    line.dataset.control = key;
    fieldset.append(line);
    return line;
  };

  const setting = (key, label, command, unitOf, limitOf) => {
    const input = element('input', { id: `${prefix}-${key}`, type: 'text', inputMode: 'decimal', autocomplete: 'off', size: 8 });
    const button = element('button', { type: 'button', textContent: `Set ${label}` });
    const output = element('output', { className: 'control-result', htmlFor: input.id, ariaLive: 'polite' });
    const unitText = element('span', { className: 'unit' });
    const run = async () => {
      const unit = unitOf();
      const checked = checkValue(input.value, limitOf(), unit);
      input.setAttribute('aria-invalid', checked.problem ? 'true' : 'false');
      if (checked.problem) {
        output.className = 'control-result error';
        output.textContent = checked.problem;
        return;
      }
      if (!confirm(`Set the ${label} of ${device.id} to ${checked.value} ${unit}?`)) return;
      if (await send(device.id, [`${command}${checked.value}`], output)) onSent();
    };
    button.addEventListener('click', run);
    input.addEventListener('keydown', (event) => { if (event.key === 'Enter') run(); });
    row(key, element('label', { htmlFor: input.id, textContent: `${label[0].toUpperCase()}${label.slice(1)}` }),
        input, unitText, button, output);
    return () => { unitText.textContent = unitOf(); };
  };
  const powerUnit = () => device.limits().powerUnit;
  const powerLimit = () => device.limits().power;
  const units = [
    setting('power', 'power', 'PCMD=', powerUnit, powerLimit),
    setting('current', 'current', 'CCMD=', () => 'A', () => device.limits().current),
  ];
  // Kept by the supply over a restart: the power it starts with.
  if (device.supports('power_memory')) units.push(setting('power_memory', 'power memory', 'PMEM=', powerUnit, powerLimit));

  const switchRow = (key, label, command, words) => {
    const output = element('output', { className: 'control-result', ariaLive: 'polite' });
    const line = row(key, element('span', { className: 'label', textContent: label }));
    Object.assign(line, { role: 'group', ariaLabel: label });
    words.forEach((word, value) => {
      const button = element('button', { type: 'button', textContent: word });
      button.addEventListener('click', async () => {
        if (!confirm(`${label} of ${device.id}: ${word}?`)) return;
        if (await send(device.id, [`${command}${value}`], output)) onSent();
      });
      line.append(button);
    });
    line.append(output);
  };
  switchRow('laser', 'Laser (key switch)', 'KSWCMD=', ['Off', 'On']);
  if (device.supports('shutter')) switchRow('shutter', 'Shutter', 'SHCMD=', ['Close', 'Open']);
  if (device.supports('remote')) switchRow('remote', 'Remote', 'REM=', ['Off', 'On']);

  // The head's stored current limit, power limit, power command and main temperature set point,
  // programmed into the supply.
  const matchOutput = element('output', { className: 'control-result', ariaLive: 'polite' });
  const matchButton = element('button', { type: 'button', textContent: 'Match to head' });
  matchButton.addEventListener('click', async () => {
    if (!confirm(`Program ${device.id}'s supply with the settings stored in its head (MATCH=1)?`)) return;
    const result = await send(device.id, ['MATCH=1'], matchOutput);
    if (result && !failureOf(result)) matchOutput.textContent = describeMatch(result.results[0].reply);
    if (result) onSent();
  });
  row('match', element('span', { className: 'label', textContent: 'Head settings' }), matchButton, matchOutput);

  // The console: any command of the language, with its reply or error.
  const line = element('input', { id: `${prefix}-console`, type: 'text', autocomplete: 'off', spellcheck: false, placeholder: '?P or PCMD=1.5' });
  const log = element('ol', { className: 'console-log', ariaLive: 'polite' });
  const submit = element('button', { type: 'submit', textContent: 'Send' });
  const form = element('form', { className: 'console' },
    element('label', { htmlFor: line.id, textContent: 'Console' }), line, submit, log);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const command = line.value.trim();
    if (command === '') return;
    if (changesSetting(command) && !confirm(`Send ${command} to ${device.id}? It changes a setting.`)) return;
    const entry = element('li', {}, element('code', { textContent: command }), ' → ');
    const output = element('output');
    entry.append(output);
    log.prepend(entry);
    while (log.children.length > 20) log.lastChild.remove();
    const result = await send(device.id, [command], output);
    if (result && !failureOf(result)) output.textContent = result.results[0].reply === '' ? '(ok)' : result.results[0].reply;
    line.select();
    if (result) onSent();
  });
  fieldset.append(form);
  container.append(fieldset);
  return { refresh() { units.forEach((update) => update()); } };
}
