// The controls of one device, offered only where the service allows control: power, current and
// power memory, laser (key switch), shutter and remote on and off (each with its present state),
// the match of the head's stored settings, each confirmed first, and a console for any command
// (settings confirmed, queries not). Values are checked before they are sent; the service's or
// the library's refusal is shown beside the control that was used.
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
  delete output.dataset.refusal;
  output.textContent = 'sending…';
  try {
    const result = await sendCommands(id, commands);
    const failure = failureOf(result);
    output.textContent = failure ?? 'done';
    if (failure) output.classList.add('error');
    return result;
  } catch (refusal) {
    tellRefusal(output, refusal);
    return null;
  }
}

// The service's refusal (a role, a limit, the audit log unable to record, ...) in its own words,
// marked with its kind.
export function tellRefusal(output, refusal) {
  output.className = 'control-result error';
  output.textContent = refusal.message;
  output.dataset.refusal = refusal.error;
}

// A number in [0, highest] (highest unknown: any number from 0); else why not.
export function checkValue(text, highest, unit) {
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

// A number read back, or null.
function numberOf(reading) {
  const value = reading?.supported && reading.status === 0 ? Number(reading.reply) : NaN;
  return Number.isFinite(value) ? value : null;
}

// device: { id, limits() -> { power, current, powerUnit }, supports(key) -> bool,
//           reading(key) -> the live reading, coupled() -> bool }
// onSent() follows every command sent, answered or refused (a refusal is logged too).
export function buildControls(container, device, onSent) {
  const prefix = `control-${nextId++}`;
  const fieldset = element('fieldset', { className: 'controls' }, element('legend', { textContent: 'Control' }));
  const row = (key, ...children) => {
    const line = element('div', { className: 'control-row' }, ...children);
    line.dataset.control = key;
    fieldset.append(line);
    return line;
  };

  // On a head whose one converter drives both commands, setting one moves the other: the
  // confirmation says so, with what the other becomes (in proportion to the two read now), and
  // the other is read back with the setting.
  const partnerOf = {
    power: { label: 'current command', query: '?CCMD', key: 'current_command', own: 'power_command', unit: () => 'A' },
    current: { label: 'power command', query: '?PCMD', key: 'power_command', own: 'current_command', unit: () => device.limits().powerUnit },
  };
  const coupling = (key, value) => {
    const partner = partnerOf[key];
    if (!partner || !device.coupled() || !device.supports(partner.key)) return null;
    const own = numberOf(device.reading(partner.own));
    const other = numberOf(device.reading(partner.key));
    const moves = own > 0 && other !== null
      ? `becomes about ${Number((value * other / own).toPrecision(3))} ${partner.unit()} as well`
      : 'moves with it, in proportion';
    return { partner, warning: ` This head drives the power and current commands from one converter: the ${partner.label} ${moves}.` };
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
      const coupled = coupling(key, checked.value);
      if (!confirm(`Set the ${label} of ${device.id} to ${checked.value} ${unit}?${coupled?.warning ?? ''}`)) return;
      const commands = [`${command}${checked.value}`, ...(coupled ? [coupled.partner.query] : [])];
      const result = await send(device.id, commands, output);
      if (coupled && result && !failureOf(result)) {
        output.textContent = `done; the ${coupled.partner.label} is now ${result.results[1].reply} ${coupled.partner.unit()}`;
      }
      onSent();
    };
    button.addEventListener('click', run);
    input.addEventListener('keydown', (event) => { if (event.key === 'Enter') run(); });
    row(key, element('label', { htmlFor: input.id, textContent: `${label[0].toUpperCase()}${label.slice(1)}` }),
        input, unitText, button, output);
    return () => { unitText.textContent = unitOf(); };
  };
  const powerUnit = () => device.limits().powerUnit;
  const powerLimit = () => device.limits().power;
  const refreshers = [
    setting('power', 'power', 'PCMD=', powerUnit, powerLimit),
    setting('current', 'current', 'CCMD=', () => 'A', () => device.limits().current),
  ];
  // Kept by the supply over a restart: the power it starts with.
  if (device.supports('power_memory')) refreshers.push(setting('power_memory', 'power memory', 'PMEM=', powerUnit, powerLimit));

  // Two buttons and the present state, read live, the button of that state marked pressed.
  const switchRow = (key, label, command, words, stateKey, stateWords) => {
    const output = element('output', { className: 'control-result', ariaLive: 'polite' });
    const now = element('span', { className: 'switch-state' });
    const line = row(key, element('span', { className: 'label', textContent: label }), now);
    Object.assign(line, { role: 'group', ariaLabel: label });
    const buttons = words.map((word, value) => {
      const button = element('button', { type: 'button', textContent: word });
      button.addEventListener('click', async () => {
        if (!confirm(`${label} of ${device.id}: ${word}?`)) return;
        await send(device.id, [`${command}${value}`], output);
        onSent();
      });
      line.append(button);
      return button;
    });
    line.append(output);
    refreshers.push(() => {
      const state = numberOf(device.reading(stateKey));
      const known = state === 0 || state === 1;
      now.textContent = known ? stateWords[state] : 'unknown';
      now.dataset.state = known ? stateWords[state] : 'unknown';
      buttons.forEach((button, value) => button.setAttribute('aria-pressed', String(known && value === state)));
    });
  };
  switchRow('laser', 'Laser (key switch)', 'KSWCMD=', ['Off', 'On'], 'key_switch', ['off', 'on']);
  if (device.supports('shutter')) switchRow('shutter', 'Shutter', 'SHCMD=', ['Close', 'Open'], 'shutter', ['closed', 'open']);
  if (device.supports('remote')) switchRow('remote', 'Remote', 'REM=', ['Off', 'On'], 'remote', ['off', 'on']);

  // The head's stored current limit, power limit, power command and main temperature set point,
  // programmed into the supply.
  const matchOutput = element('output', { className: 'control-result', ariaLive: 'polite' });
  const matchButton = element('button', { type: 'button', textContent: 'Match to head' });
  matchButton.addEventListener('click', async () => {
    if (!confirm(`Program ${device.id}'s supply with the settings stored in its head (MATCH=1)?`)) return;
    const result = await send(device.id, ['MATCH=1'], matchOutput);
    if (result && !failureOf(result)) matchOutput.textContent = describeMatch(result.results[0].reply);
    onSent();
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
    onSent();
  });
  fieldset.append(form);
  container.append(fieldset);
  return { refresh() { refreshers.forEach((update) => update()); } };
}
