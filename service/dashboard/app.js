// The dashboard: the devices of the service, kept in step with it, and a card for each.
import { Backoff, getJson, hasToken, takeTokenFromAddress } from '/dashboard/service.js';
import { DeviceCard } from '/dashboard/device_card.js';
import { element } from '/dashboard/element.js';

const listEveryMs = 2000;

takeTokenFromAddress();
const cards = new Map();  // device id -> DeviceCard
const serviceState = document.getElementById('service-state');
const rows = document.querySelector('#devices tbody');

function tell(text, trouble = false) {
  serviceState.textContent = text;
  serviceState.classList.toggle('trouble', trouble);
}

function explainControl(access) {
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

// "#device=ID" shows that device's panel alone.
function chosenDevice() {
  return new URLSearchParams(location.hash.slice(1)).get('device');
}

function showChosen() {
  const chosen = chosenDevice();
  document.body.classList.toggle('one-device', chosen !== null);
  for (const [id, card] of cards) card.root.hidden = chosen !== null && id !== chosen;
}
window.addEventListener('hashchange', showChosen);

function showRows(devices) {
  const known = new Map(devices.map((d) => [d.id, d]));
  const everyId = [...new Set([...known.keys(), ...cards.keys()])];
  rows.replaceChildren(...everyId.map((id) => {
    const device = known.get(id);
    const state = device?.state ?? 'gone';
    const row = document.createElement('tr');
    const link = element('a', { href: `#device=${encodeURIComponent(id)}`, textContent: id });
    row.append(element('td', {}, link));
    for (const text of [device?.transport ?? cards.get(id).summary.transport, device?.head_type ?? cards.get(id).summary.head_type, state]) {
      row.append(Object.assign(document.createElement('td'), { textContent: text }));
    }
    row.lastChild.className = `state-${state}`;
    row.dataset.device = id;
    row.dataset.state = state;
    return row;
  }));
}

async function main() {
  const backoff = new Backoff(listEveryMs);
  let access = null;
  for (;;) {
    try {
      if (!access) {
        const answer = await getJson('/api/v1/access');
        access = { controlAllowed: answer.control_allowed, hasToken: hasToken() };
        explainControl(access);
      }
      const { devices } = await getJson('/api/v1/devices');
      backoff.reset();
      tell(`${devices.length} device${devices.length === 1 ? '' : 's'} served; updated ${new Date().toLocaleTimeString()}`);
      for (const device of devices) {
        if (cards.has(device.id)) cards.get(device.id).update(device);
        else cards.set(device.id, new DeviceCard(document.getElementById('cards'), device, access));
      }
      for (const [id, card] of cards) if (!devices.some((d) => d.id === id)) card.markGone();
      showRows(devices);
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
