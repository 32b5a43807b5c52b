// The panel of one device: its state, its status panel and plots kept live from one stream of
// samples, and its controls where the service allows them, placed first so that they are seen
// without scrolling.
import { ServiceError, devicePath, getJson, openStream } from '/dashboard/service.js';
import { Plots } from '/dashboard/plots.js';
import { buildControls } from '/dashboard/control.js';
import { LimitsView } from '/dashboard/limits.js';
import { element } from '/dashboard/element.js';
import { emissionOf, powerReadout } from '/dashboard/front.js';

// The panel as people read it; keys are those of the status document.
const sections = [
  ['Head', [['head_id', 'identifier'], ['board_revision', 'board revision'], ['model', 'model'], ['wavelength', 'wavelength']]],
  ['Power', [['power', 'power'], ['power_command', 'command'], ['power_limit', 'limit'], ['power_memory', 'memory']]],
  ['Current', [['current', 'current'], ['current_command', 'command'], ['current_limit', 'limit']]],
  ['States', [['laser', 'laser', ['off', 'on']], ['shutter', 'shutter', ['closed', 'open']],
              ['key_switch', 'key switch', ['off', 'on']], ['interlock', 'interlock', ['open', 'closed']],
              ['fan', 'fan', ['off', 'on']], ['remote', 'remote', ['off', 'on']],
              ['analog_mode', 'analog mode', ['off', 'on']], ['control_mode', 'control mode']]],
  ['Hours', [['head_hours', 'head'], ['electronics_hours', 'electronics']]],
];
const loops = [['main', 'main'], ['brf', 'BRF'], ['shg', 'SHG'], ['thg', 'THG'], ['eta', 'ETA']];
const loopParts = ['temperature', 'setpoint', 'drive'];
// Readings that do not move: read with the panel, not streamed.
const fixed = new Set(['head_id', 'board_revision', 'model', 'wavelength', 'power_unit', 'head_hours', 'electronics_hours']);
const streamSeconds = 1;
const invalidCommand = -3;  // the library's status for a command this head does not take
const panelRefreshMs = 30000;

// A reading the board revision lacks: the status document marks it unsupported and keeps the
// board's answer (-1.000), where a reading the head lacks has none.
const boardLacks = (reading) => reading?.supported === false && reading.reply !== undefined;

// How a reading reads: "not supported" and failures are told as such, not as numbers.
function describe(reading, words, bare = false) {
  if (boardLacks(reading)) return { text: 'not supported by this board', kind: 'unsupported' };
  if (!reading || !reading.supported) return { text: 'not supported', kind: 'unsupported' };
  if (reading.status !== 0) return { text: `error: ${reading.error ?? reading.status}`, kind: 'failed', title: reading.message };
  if (words && (reading.reply === '0' || reading.reply === '1')) return { text: words[Number(reading.reply)], kind: 'value' };
  return { text: reading.unit && !bare ? `${reading.reply} ${reading.unit}` : reading.reply, kind: 'value' };
}

export class DeviceCard {
  // onSent(): a command or new limits were sent from the panel, answered or refused.
  constructor(container, summary, access, onSent) {
    this.summary = summary;
    this.access = access;
    this.onSent = onSent;
    this.document = null;
    this.cells = new Map();  // reading key -> cell
    this.root = element('article', { className: 'card', ariaLabel: `Device ${summary.id}` });
    this.root.dataset.device = summary.id;
    this.title = element('h2', { textContent: `${summary.head_type || 'unknown head'} — ${summary.id}` });
    this.badge = element('span', { className: 'badge', role: 'status' });
    // The front panel's essentials: the power, large, and whether light leaves the head.
    this.powerReadout = element('output', { className: 'power-readout', ariaLabel: 'power' });
    this.emission = element('span', { className: 'emission', role: 'status' });
    this.link = element('p', { className: 'link-state', role: 'status' });
    this.panel = element('div', { className: 'panel', textContent: 'Reading the status panel…' });
    this.plotArea = element('div', { className: 'plots' });
    this.controlSlot = element('div');
    this.limits = new LimitsView(summary.id, access.may('limits'), () => this.readSummary());
    this.controlArea = element('div', { className: 'control-area' }, this.controlSlot, this.limits.box);
    this.root.id = `device-${summary.id}`;
    this.root.append(element('div', { className: 'card-head' }, this.title, this.badge, this.powerReadout, this.emission),
                     this.link, this.limits.warning,
                     element('div', { className: 'card-body' }, this.controlArea, this.panel, this.plotArea));
    this.showLimits();
    container.append(this.root);
    this.setState(summary.state);
    this.loadPanel();
  }

  // The panel is left: its stream, timers and plots end with it.
  close() {
    this.closed = true;
    this.stream?.close();
    clearTimeout(this.refreshTimer);
    this.plots?.destroy();
    this.root.remove();
  }

  setState(state, why = '') {
    this.state = state;
    this.badge.textContent = state;
    this.badge.className = `badge state-${state}`;
    this.root.classList.toggle('gone', state === 'gone');
    this.root.classList.toggle('failing', state === 'failing');
    this.link.textContent = state === 'gone' ? 'This device is gone: it left the service (unplugged?). It comes back here when it returns.'
      : state === 'failing' ? `This device is not answering${why ? `: ${why}` : ''}.` : '';
  }

  update(summary) {
    this.summary = summary;
    this.showLimits();
    if (summary.state === 'gone') {
      this.markGone();  // listed until it comes back
    } else if (this.state === 'gone') {
      this.setState(summary.state);
      this.loadPanel();
    } else if (summary.state !== this.state && !(this.state === 'failing' && this.streamFailing)) {
      this.setState(summary.state);
    }
  }

  markGone() {
    if (this.state === 'gone') return;
    this.setState('gone');
    this.stream?.close();
    this.stream = null;
    clearTimeout(this.refreshTimer);
  }

  async loadPanel() {
    clearTimeout(this.refreshTimer);
    try {
      const document = await getJson(`${devicePath(this.summary.id)}/status`);
      if (this.closed) return;
      this.document = document;
      this.renderPanel();
      if (!this.plots) this.startPlots();
      if (!this.stream) this.startStream();
    } catch (failure) {
      if (this.state === 'gone') return;
      if (!this.document) this.panel.textContent = `The status panel could not be read: ${failure.message}`;
      if (failure instanceof ServiceError && failure.error === 'gone') return this.markGone();
    }
    if (this.state !== 'gone' && !this.closed) this.refreshTimer = setTimeout(() => this.loadPanel(), panelRefreshMs);
  }

  readings() { return this.document.readings; }

  // The limits are in the head's power unit, which the status document names.
  showLimits() {
    this.limits.show(this.summary, this.document?.readings.power_unit?.value ?? '');
  }

  // The device's document read again at once (the list brings it every few seconds anyway).
  async readSummary() {
    try {
      const summary = await getJson(devicePath(this.summary.id));
      if (!this.closed) this.update(summary);
    } catch {
      // the next list brings it
    }
    this.onSent();
  }

  renderPanel() {
    const readings = this.readings();
    const device = this.document.device;
    this.panel.replaceChildren();
    this.cells.clear();
    const table = (caption, rows) => element('table', {}, element('caption', { textContent: caption }), element('tbody', {}, ...rows));
    const row = (label, ...cells) => element('tr', {}, element('th', { scope: 'row', textContent: label }), ...cells);
    const cell = (key, words, bare) => {
      const td = element('td');
      td.dataset.reading = key;
      this.cells.set(key, { td, words, bare });
      this.fill(key);
      return td;
    };
    const groups = [];
    for (const [title, entries] of sections) {
      const rows = entries.map(([key, label, words]) => row(label, cell(key, words)));
      if (title === 'Head') rows.unshift(row('type', element('td', { textContent: device.head_type })), row('family', element('td', { textContent: device.family })), row('transport', element('td', { textContent: device.transport })));
      if (title === 'Power') rows.unshift(row('unit', cell('power_unit')));
      groups.push(table(title, rows));
    }
    const loopRows = loops.map(([key, label]) => {
      const parts = loopParts.map((part) => readings[`${key}_${part}`]);
      if (parts.every(boardLacks)) {
        return row(label, element('td', { colSpan: 3, className: 'unsupported', textContent: 'not supported by this board' }));
      }
      if (parts.every((r) => !r?.supported)) return row(label, element('td', { colSpan: 3, className: 'unsupported', textContent: 'not supported' }));
      return row(label, ...loopParts.map((part) => cell(`${key}_${part}`, null, true)));
    });
    const head = element('tr', {}, element('td'), ...['measured', 'set point', 'drive'].map((t) => element('th', { scope: 'col', textContent: t })));
    groups.splice(3, 0, element('table', { className: 'loops' }, element('caption', { textContent: 'Temperatures (°C) and drives' }), element('thead', {}, head), element('tbody', {}, ...loopRows)));
    this.faultBox = element('div', { className: 'faults' });
    groups.splice(5, 0, this.faultBox);
    this.renderFaults();
    this.renderFront();
    this.showLimits();
    this.panel.append(...groups);
    this.controls?.refresh();
  }

  fill(key) {
    const { td, words, bare } = this.cells.get(key);
    const shown = describe(this.readings()[key], words, bare);
    td.textContent = shown.text;
    td.className = shown.kind;
    td.title = shown.title ?? '';
  }

  renderFront() {
    const readings = this.readings();
    const shown = powerReadout(readings.power, readings.power_unit?.value ?? readings.power?.unit ?? '');
    this.powerReadout.textContent = shown.text;
    this.powerReadout.className = `power-readout ${shown.kind}`;
    const emission = emissionOf(readings.laser, readings.shutter);
    const on = readings.shutter?.supported ? 'EMISSION: laser on, shutter open' : 'EMISSION: laser on';
    this.emission.textContent = { on, off: 'no emission', unknown: 'emission unknown' }[emission];
    this.emission.className = `emission ${emission}`;
    this.root.dataset.emission = emission;
  }

  renderFaults() {
    const faults = this.document.faults;
    const word = this.readings().fault_word;
    const heading = element('h3', { textContent: 'Faults' });
    if (!faults) {
      const shown = describe(word);
      this.faultBox.replaceChildren(heading, element('p', { className: shown.kind, textContent: shown.kind === 'unsupported' ? 'fault word not supported' : shown.text }));
      return;
    }
    const hex = `0x${faults.word.toString(16).toUpperCase().padStart(4, '0')}`;
    const list = element('ul', { className: 'flags' });
    for (const flag of faults.flags) {
      const item = element('li', { className: 'flag lit', title: flag.meaning }, element('strong', { textContent: flag.name }), ` (${flag.bit}): ${flag.meaning}`);
      item.dataset.flag = flag.name;
      list.append(item);
    }
    if (list.children.length === 0) list.append(element('li', { className: 'flag clear', textContent: faults.word === 0 ? 'no fault' : 'no defined fault' }));
    // Bits the family gives no meaning are no alarm: told once, quietly.
    const undefinedBits = faults.undefined_bits.length === 0 ? []
      : [element('p', { className: 'undefined-bits', textContent: `set bits with no meaning on this head: ${faults.undefined_bits.join(', ')}` })];
    this.faultBox.replaceChildren(heading, element('p', { textContent: `fault word ${hex}` }), list, ...undefinedBits);
  }

  // Numbers plotted: power, current and the measured temperature of each loop the head has.
  startPlots() {
    const readings = this.readings();
    const has = (key) => readings[key]?.supported;
    const unit = readings.power_unit?.value || readings.power?.unit || '';
    this.plots = new Plots(this.plotArea, this.summary.id, [
      { title: `Power${unit ? ` (${unit})` : ''}`, series: has('power') ? [{ command: readings.power.command, label: 'power' }] : [] },
      { title: 'Current (A)', series: has('current') ? [{ command: readings.current.command, label: 'current' }] : [] },
      { title: 'Temperatures (°C)', series: loops.filter(([key]) => has(`${key}_temperature`)).map(([key, label]) => ({ command: readings[`${key}_temperature`].command, label })) },
    ]);
    this.root.dataset.points = '0';
    if (this.access.may('set')) {
      this.controls = buildControls(this.controlSlot, {
        id: this.summary.id,
        reading: (key) => this.readings()[key],
        supports: (key) => this.readings()[key]?.supported && this.readings()[key].status !== invalidCommand,
        coupled: () => this.document.device.power_and_current_coupled === true,
        limits: () => ({
          power: this.readings().power_limit?.value ?? null,
          current: this.readings().current_limit?.value ?? null,
          powerUnit: this.readings().power_unit?.value || '',
        }),
      }, () => {
        setTimeout(() => this.loadPanel(), 300);
        this.onSent();
      });
      this.controls.refresh();
    }
  }

  // One stream of every reading that moves.
  startStream() {
    const readings = this.readings();
    this.byCommand = new Map();
    for (const [key, reading] of Object.entries(readings)) {
      if (!reading.supported || fixed.has(key)) continue;
      if (!this.byCommand.has(reading.command)) this.byCommand.set(reading.command, []);
      this.byCommand.get(reading.command).push(key);
    }
    this.stream = openStream(this.summary.id, [...this.byCommand.keys()], streamSeconds, {
      onEvent: (type, sample) => this.takeSample(type, sample),
      onLink: (open, why) => {
        if (!open && this.state !== 'gone') this.link.textContent = `Live updates interrupted (${why}); reconnecting…`;
        if (open && this.state !== 'failing') this.link.textContent = '';
      },
    });
  }

  takeSample(type, sample) {
    this.streamFailing = type === 'error';
    if (type === 'error') {
      this.setState('failing', sample.failure ?? sample.readings.find((r) => r.status !== 0)?.message ?? '');
    } else if (this.state !== 'answering') {
      this.setState('answering');
    }
    const numbers = new Map();
    let faultChanged = false;
    for (const reading of sample.readings) {
      const keys = this.byCommand.get(reading.command) ?? [];
      for (const key of keys) {
        const known = this.readings()[key];
        if (key === 'fault_word' && known.reply !== reading.reply) faultChanged = true;
        Object.assign(known, { status: reading.status, error: reading.error, message: reading.message, reply: reading.reply });
        if (this.cells.has(key)) this.fill(key);
      }
      if (reading.value !== undefined) numbers.set(reading.command, reading.value);
    }
    this.renderFront();
    this.controls?.refresh();
    this.plots.add(Date.parse(sample.time), numbers);
    this.root.dataset.points = String(this.plots.pointCount);
    // The flags' names come with the panel; a new fault word is read with it.
    if (faultChanged) this.loadPanel();
  }
}
