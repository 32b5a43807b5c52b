// Live plots of a device's power, current and temperature loops through uPlot: a chosen window
// of 1 minute to 1 hour, pause, zoom by dragging (which pauses), and the CSV of what is shown.
import uPlot from '/dashboard/uPlot.esm.js';
import { element } from '/dashboard/element.js';

const longestWindow = 3600;  // seconds kept
const colours = ['#0b57d0', '#b3261e', '#146c2e', '#8e4ec6', '#b06000'];
const windows = [[60, '1 minute'], [300, '5 minutes'], [900, '15 minutes'], [3600, '1 hour']];
const smallestSpan = 1;  // of the y axis, so that a steady reading is not shown as noise in 0.0001 steps

// Tick labels with as many decimals as the tick spacing needs, no more.
function tickLabels(plot, ticks) {
  const step = ticks.length > 1 ? Math.abs(ticks[1] - ticks[0]) : 1;
  const decimals = Math.max(0, Math.min(3, -Math.floor(Math.log10(step))));
  return ticks.map((tick) => tick.toFixed(decimals));
}

// The time of day to the second, on the time axis and in the legend alike.
function clock(seconds) {
  const time = new Date(seconds * 1000);
  return [time.getHours(), time.getMinutes(), time.getSeconds()].map((part) => String(part).padStart(2, '0')).join(':');
}

function yRange(plot, min, max) {
  if (min === null || max === null) return [0, smallestSpan];
  const middle = (min + max) / 2;
  const half = Math.max((max - min) * 0.55, smallestSpan / 2);
  const low = min >= 0 ? Math.max(0, middle - half) : middle - half;  // no negative power drawn
  return [low, low + 2 * half];
}

let nextId = 0;

// charts: [{ title, series: [{ command, label }] }]
export class Plots {
  constructor(container, deviceName, charts) {
    this.deviceName = deviceName;
    this.charts = charts.filter((chart) => chart.series.length > 0);
    this.times = [];
    this.values = new Map();  // command -> numbers (null where a sample lacked it)
    for (const chart of this.charts) for (const s of chart.series) this.values.set(s.command, []);
    this.seconds = windows[0][0];
    this.paused = false;

    const id = `plots-${nextId++}`;
    const choice = element('select', { id: `${id}-window` },
      ...windows.map(([seconds, label]) => element('option', { value: seconds, textContent: label })));
    choice.addEventListener('change', () => { this.seconds = Number(choice.value); this.resume(); });
    this.pauseButton = element('button', { type: 'button', textContent: 'Pause' });
    this.pauseButton.addEventListener('click', () => (this.paused ? this.resume() : this.pause()));
    const csv = element('button', { type: 'button', textContent: 'Download CSV' });
    csv.addEventListener('click', () => this.download());
    this.note = element('span', { className: 'plot-note', role: 'status' });
    container.append(element('div', { className: 'plot-tools' },
      element('label', { htmlFor: choice.id, textContent: 'Window ' }), choice,
      this.pauseButton, csv, this.note));

    this.plots = this.charts.map((chart) => {
      const holder = element('div', { className: 'plot', role: 'img', ariaLabel: `${chart.title}, live plot` });
      container.append(holder);
      return new uPlot({
        title: chart.title,
        width: this.width(container),
        height: 170,
        scales: { x: { time: true }, y: { range: yRange } },
        axes: [{ values: (plot, ticks) => ticks.map(clock), space: 70 }, { values: tickLabels, size: 56 }],
        series: [{ value: (plot, time) => (time === null ? '--' : clock(time)) }, ...chart.series.map((s, i) => ({ label: s.label, stroke: colours[i % colours.length], width: 1.5, spanGaps: false }))],
        cursor: { drag: { x: true, y: false, setScale: true } },
        hooks: { setSelect: [(plot) => { if (plot.select.width > 0) this.pause('zoomed: Resume follows the live data again'); }] },
      }, this.dataOf(chart), holder);
    });
    this.resize = () => this.plots.forEach((plot) => plot.setSize({ width: this.width(container), height: 170 }));
    window.addEventListener('resize', this.resize);
  }

  width(container) {
    return Math.max(240, Math.min(container.clientWidth || 600, 900) - 8);
  }

  dataOf(chart) {
    return [this.times, ...chart.series.map((s) => this.values.get(s.command))];
  }

  // One sample: the time (milliseconds) and each reading's number by command.
  add(time, numbers) {
    const now = time / 1000;
    this.times.push(now);
    for (const [command, list] of this.values) list.push(numbers.get(command) ?? null);
    const oldest = now - longestWindow;
    let drop = 0;
    while (drop < this.times.length && this.times[drop] < oldest) drop++;
    if (drop > 0) {
      this.times.splice(0, drop);
      for (const list of this.values.values()) list.splice(0, drop);
    }
    if (!this.paused) this.draw();
  }

  draw() {
    const now = this.times.at(-1) ?? Date.now() / 1000;
    const latest = this.times.length - 1;
    this.plots.forEach((plot, i) => {
      plot.setData(this.dataOf(this.charts[i]), false);
      plot.setScale('x', { min: now - this.seconds, max: now });
      // The legend tells the latest values unless the pointer is over the plot.
      if (!(plot.cursor.left >= 0) && latest >= 0) plot.setLegend({ idx: latest });
    });
  }

  pause(why = 'paused') {
    this.paused = true;
    this.pauseButton.textContent = 'Resume';
    this.note.textContent = why;
  }

  resume() {
    this.paused = false;
    this.pauseButton.textContent = 'Pause';
    this.note.textContent = '';
    this.draw();
  }

  // The points within the time range the first plot shows (the window, or the zoom).
  download() {
    const { min, max } = this.plots[0]?.scales.x ?? {};
    const series = this.charts.flatMap((chart) => chart.series);
    const rows = [['time', ...series.map((s) => s.label)].join(',')];
    this.times.forEach((t, i) => {
      if (t < min || t > max) return;
      rows.push([new Date(t * 1000).toISOString(), ...series.map((s) => this.values.get(s.command)[i] ?? '')].join(','));
    });
    const link = element('a', {
      href: URL.createObjectURL(new Blob([rows.join('\r\n') + '\r\n'], { type: 'text/csv' })),
      download: `${this.deviceName.replace(/[^A-Za-z0-9._-]+/g, '_')}.csv`,
    });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  }

  destroy() {
    window.removeEventListener('resize', this.resize);
    this.plots.forEach((plot) => plot.destroy());
  }

  // How many points the plots hold (for people and tests alike).
  get pointCount() { return this.times.length; }
}
