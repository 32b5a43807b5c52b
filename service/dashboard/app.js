// The dashboard: the devices of the service as a grid of tiles, kept in step with it, and the
// panel of the one device the address chooses ("#device=ID").
import { Backoff, getJson, hasToken, takeTokenFromAddress } from '/dashboard/service.js';
import { DeviceTile } from '/dashboard/device_tile.js';

const listEveryMs = 2000;

takeTokenFromAddress();
const tiles = new Map();  // device id -> DeviceTile
let card = null;          // the panel shown
// The panel's code, with the plotting library, is fetched when a panel first opens: the grid
// alone is a small page.
let cardCode = null;
let access = null;
let listed = false;
const serviceState = document.getElementById('service-state');
const grid = document.getElementById('tiles');
const cardArea = document.getElementById('cards');
const missing = document.getElementById('no-such-device');

function tell(text, trouble = false) {
  serviceState.textContent = text;
  serviceState.classList.toggle('trouble', trouble);
}

function explainControl() {
  const notice = document.getElementById('control-notice');
  if (!access.controlAllowed) {
    notice.textContent = 'Control is not offered: the service is read-only (start it with --allow-control to allow commands that change a setting).';
  } else if (!access.hasToken) {
    notice.textContent = 'Control is not offered: this page has no token. Open the dashboard address the service printed at start (it ends in #token=…).';
  } else {
    notice.textContent = 'Control allowed: every setting asks for confirmation first.';
  }
  notice.dataset.control = access.controlAllowed && access.hasToken ? 'offered' : 'absent';
}

function chosenDevice() {
  return new URLSearchParams(location.hash.slice(1)).get('device');
}

// The grid, or one device's panel; the tiles are polled only while they are seen, and a panel
// lives only while it is shown (its stream closes with it).
function showChosen() {
  const chosen = chosenDevice();
  document.body.classList.toggle('one-device', chosen !== null);
  for (const tile of tiles.values()) {
    if (chosen === null) tile.resume();
    else tile.pause();
  }
  if (card && card.summary.id !== chosen) {
    card.close();
    card = null;
  }
  if (chosen !== null && !card && tiles.has(chosen) && access) {
    openPanel(chosen).catch(() => { cardCode = null; });  // tried again with the next list
  }
  missing.textContent = chosen !== null && listed && !tiles.has(chosen) ? `This service has no device "${chosen}".` : '';
  document.title = chosen !== null ? `${chosen} — MavoZARP dashboard` : 'MavoZARP dashboard';
}

async function openPanel(id) {
  cardCode ??= import('/dashboard/device_card.js');
  const { DeviceCard } = await cardCode;
  if (card || chosenDevice() !== id) return;  // chosen again or otherwise meanwhile
  const tile = tiles.get(id);
  card = new DeviceCard(cardArea, tile.summary, access);
  if (tile.summary.state === 'gone') card.markGone();
}
window.addEventListener('hashchange', showChosen);

function takeList(devices) {
  const present = new Set(devices.map((device) => device.id));
  for (const device of devices) {
    if (tiles.has(device.id)) tiles.get(device.id).update(device);
    else tiles.set(device.id, new DeviceTile(grid, device));
    if (card?.summary.id === device.id) card.update(device);
  }
  // A device that left stays on the page, gone, until it comes back.
  for (const [id, tile] of tiles) {
    if (present.has(id)) continue;
    tile.markGone();
    if (card?.summary.id === id) card.markGone();
  }
  listed = true;
}

async function main() {
  const backoff = new Backoff(listEveryMs);
  for (;;) {
    try {
      if (!access) {
        const answer = await getJson('/api/v1/access');
        access = { controlAllowed: answer.control_allowed, hasToken: hasToken() };
        explainControl();
      }
      const { devices } = await getJson('/api/v1/devices');
      backoff.reset();
      tell(`${devices.length} device${devices.length === 1 ? '' : 's'} served; updated ${new Date().toLocaleTimeString()}`);
      takeList(devices);
      showChosen();
      await new Promise((resolve) => setTimeout(resolve, listEveryMs));
    } catch (failure) {
      const wait = backoff.delay();
      tell(`The service cannot be reached (${failure.message}); trying again in ${Math.round(wait / 1000)} s.`, true);
      await new Promise((resolve) => setTimeout(resolve, wait));
    }
  }
}

main();
