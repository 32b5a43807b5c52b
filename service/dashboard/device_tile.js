// A device at a glance in the rack's grid: head type and id, the power, emission, the number of
// active faults, the state, and a mark when a setting is beyond the device's limits. A tile costs the service one request every few seconds, never a
// stream: a browser keeps only six connections to one service, and the page needs them for its
// list and an open panel. The tile opens the device's panel.
import { devicePath, getJson, sendCommands } from '/dashboard/service.js';
import { emissionOf, powerReadout } from '/dashboard/front.js';
import { element } from '/dashboard/element.js';

const everyMs = 2000;
// The status document's keys of what a tile shows.
const shown = ['power', 'laser', 'shutter', 'fault_word'];
const emissionWords = { on: 'EMISSION', off: 'no emission', unknown: 'emission unknown' };

export class DeviceTile {
  constructor(container, summary) {
    this.summary = summary;
    // The status document tells the unit, which of the readings the head has, and the fault word
    // decoded into the family's flags; it is read again whenever the fault word changes.
    this.document = null;
    this.readings = {};
    this.problem = '';
    this.paused = true;
    this.type = element('span', { className: 'tile-type' });
    this.power = element('span', { className: 'tile-power' });
    this.emission = element('span', { className: 'emission' });
    this.faults = element('span', { className: 'tile-faults' });
    this.state = element('span', { className: 'tile-state' });
    this.beyond = element('span', { className: 'tile-beyond' });
    this.root = element('a', { className: 'tile', href: `#device=${encodeURIComponent(summary.id)}` },
      element('span', { className: 'tile-head' }, this.type, element('span', { className: 'tile-id', textContent: summary.id })),
      this.power, element('span', { className: 'tile-foot' }, this.emission, this.faults, this.beyond, this.state));
    this.root.dataset.device = summary.id;
    container.append(this.root);
    this.render();
  }

  update(summary) {
    const back = this.summary.state === 'gone' && summary.state !== 'gone';
    this.summary = summary;
    if (back) this.document = null;  // it may have come back with another head
    this.render();
    if (back && !this.paused) this.resume();
  }

  remove() {
    this.pause();
    this.root.remove();
  }

  markGone() {
    this.update({ ...this.summary, state: 'gone' });
  }

  // Polled only while the grid is shown. The timer is undefined when no poll is due, null while
  // one runs.
  resume() {
    this.paused = false;
    if (this.timer === undefined) this.poll();
  }

  pause() {
    this.paused = true;
    if (this.timer) clearTimeout(this.timer);
    if (this.timer !== null) this.timer = undefined;
  }

  async poll() {
    this.timer = null;
    if (this.summary.state !== 'gone') {
      try {
        await (this.document ? this.readShown() : this.readDocument());
        this.problem = '';
      } catch (failure) {
        this.problem = failure.message;  // the last readings stay, marked stale
      }
      this.render();
    }
    this.timer = this.paused || this.summary.state === 'gone' ? undefined : setTimeout(() => this.poll(), everyMs);
  }

  async readDocument() {
    this.document = await getJson(`${devicePath(this.summary.id)}/status`);
    this.readings = Object.fromEntries(shown.map((key) => [key, { ...this.document.readings[key] }]));
  }

  async readShown() {
    const keys = shown.filter((key) => this.readings[key]?.supported);
    const { results } = await sendCommands(this.summary.id, keys.map((key) => this.readings[key].command));
    results.forEach((result, i) => Object.assign(this.readings[keys[i]], { status: result.status, error: result.error, reply: result.reply }));
    // The flags' names come with the document: a new fault word is read with it next time.
    if (this.readings.fault_word?.reply !== this.document.readings.fault_word?.reply) this.document = null;
  }

  render() {
    const state = this.summary.state;
    this.root.dataset.state = state;
    this.root.classList.toggle('stale', this.problem !== '');
    this.root.title = this.problem ? `Not updated: ${this.problem}` : '';
    this.type.textContent = this.summary.head_type || 'unknown head';
    this.state.textContent = state;
    this.state.className = `tile-state state-${state}`;
    const beyond = this.summary.beyond_limits ?? [];
    this.beyond.textContent = beyond.length === 0 ? '' : 'beyond limits';
    this.beyond.title = beyond.map((found) => found.text).join('; ');
    if (!this.document && Object.keys(this.readings).length === 0) {
      this.power.textContent = '…';
      return;
    }
    const unit = this.document?.readings.power_unit?.value || this.readings.power?.unit || '';
    const power = powerReadout(this.readings.power, unit);
    this.power.textContent = power.text;
    this.power.className = `tile-power ${power.kind}`;
    const emission = emissionOf(this.readings.laser, this.readings.shutter);
    this.emission.textContent = emissionWords[emission];
    this.emission.className = `emission ${emission}`;
    this.root.dataset.emission = emission;
    if (!this.document) return;  // the fault count waits for the new word's flags
    const flags = this.document.faults?.flags;
    this.faults.textContent = !flags ? 'faults unknown' : flags.length === 0 ? 'no fault' : `${flags.length} fault${flags.length === 1 ? '' : 's'}`;
    this.faults.className = `tile-faults ${!flags ? 'unknown' : flags.length === 0 ? 'none' : 'active'}`;
    this.faults.title = flags?.map((flag) => flag.meaning).join('; ') ?? '';
    this.root.dataset.faults = flags ? String(flags.length) : '';
  }
}
