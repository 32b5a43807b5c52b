// The dashboard: the devices of the service as a grid of tiles, kept in step with it, and the
// panel of the one device the address chooses ("#device=ID"); who is signed in, and for an admin
// the last entries of the audit log.
import { Backoff, forgetToken, getJson, hasToken, keepToken, takeTokenFromAddress, whenTokenRefused } from '/dashboard/service.js';
import { DeviceTile } from '/dashboard/device_tile.js';
import { SignIn } from '/dashboard/sign_in.js';
import { learnAccess } from '/dashboard/access.js';

const listEveryMs = 2000;

takeTokenFromAddress();
const tiles = new Map();  // device id -> DeviceTile
let card = null;          // the panel shown
// The panel's code, with the plotting library, is fetched when a panel first opens: the grid
// alone is a small page.
let cardCode = null;
let access = null;        // learned again whenever the token changes
let audit = null;         // the audit panel, for an admin
let refusedWhy = '';      // why the service refused the last token, told when asking again
let listed = false;
const serviceState = document.getElementById('service-state');
const grid = document.getElementById('tiles');
const cardArea = document.getElementById('cards');
const missing = document.getElementById('no-such-device');

// The list's pause, cut short when the token changes so that the page follows at once.
let wake = () => {};
const pause = (ms) => new Promise((resolve) => {
  const timer = ms === undefined ? undefined : setTimeout(resolve, ms);
  wake = () => { clearTimeout(timer); resolve(); };
});

// Signed in, out, or refused: everything offered for the old token goes, and the page learns
// what the new one allows.
function changeAccess() {
  access = null;
  signIn.show(null);
  card?.close();
  card = null;
  audit?.close();
  audit = null;
  wake();
}

const signIn = new SignIn(document.querySelector('header'), document.getElementById('sign-in-area'), {
  onToken(token) {
    keepToken(token);
    changeAccess();
  },
  onSignOut() {
    forgetToken();
    refusedWhy = '';
    changeAccess();
  },
});

whenTokenRefused((why) => {
  forgetToken();
  refusedWhy = why;
  changeAccess();
});

function tell(text, trouble = false) {
  serviceState.textContent = text;
  serviceState.classList.toggle('trouble', trouble);
}

function explainControl() {
  const notice = document.getElementById('control-notice');
  const user = access.user;
  if (!access.controlAllowed) {
    notice.textContent = 'Control is not offered: the service is read-only (start it with --allow-control to allow commands that change a setting).';
  } else if (!user) {
    notice.textContent = 'Control is not offered: this page is not signed in. Sign in with your token, or open the dashboard address the service printed at start (it ends in #token=…).';
  } else if (!access.may('set')) {
    notice.textContent = `Control is not offered: ${user.name} is a ${user.role}, who may read only; an operator or admin may change settings.`;
  } else {
    notice.textContent = `Control allowed${access.may('limits') ? '' : ' within each device\'s limits'}: every setting asks for confirmation first.`;
  }
  notice.dataset.control = access.may('set') ? 'offered' : 'absent';
}

async function learn() {
  const learned = await learnAccess();
  // Every token the service takes names a user (the one of --token-file is an admin).
  if (learned.hasToken && !learned.user) {
    forgetToken();
    refusedWhy = 'the service knows no user with this token';
    return;
  }
  access = learned;
  if (access.user) refusedWhy = '';
  signIn.show(access, refusedWhy);
  explainControl();
  // Fetched for an admin only, as the panel's code is fetched when a panel opens.
  if (access.may('audit')) {
    const { AuditPanel } = await import('/dashboard/audit_panel.js');
    if (access === learned) audit = new AuditPanel(document.getElementById('audit'));
  }
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
  audit?.watch(chosen);
  missing.textContent = chosen !== null && listed && !tiles.has(chosen) ? `This service has no device "${chosen}".` : '';
  document.title = chosen !== null ? `${chosen} — MavoZARP dashboard` : 'MavoZARP dashboard';
}

async function openPanel(id) {
  cardCode ??= import('/dashboard/device_card.js');
  const { DeviceCard } = await cardCode;
  if (card || chosenDevice() !== id || !access) return;  // chosen again or otherwise meanwhile
  const tile = tiles.get(id);
  card = new DeviceCard(cardArea, tile.summary, access, () => audit?.refresh());
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

// A request refused for want of a token: a token held was refused (forgotten by now, so the page
// learns again without it), or the service shows nothing without one and the page waits for it.
async function wantToken(hadToken) {
  if (hadToken) return;
  // What was read with a token leaves with it (a sign-out at a shared screen).
  for (const tile of tiles.values()) tile.remove();
  tiles.clear();
  tell('This service shows its devices only to those signed in.', true);
  signIn.offer('Sign in to see the devices.', refusedWhy);
  await pause();
}

async function main() {
  const backoff = new Backoff(listEveryMs);
  for (;;) {
    const hadToken = hasToken();
    try {
      if (!access) await learn();
      if (!access) continue;  // the token was refused: learned again without it
      const { devices } = await getJson('/api/v1/devices');
      backoff.reset();
      tell(`${devices.length} device${devices.length === 1 ? '' : 's'} served; updated ${new Date().toLocaleTimeString()}`);
      takeList(devices);
      showChosen();
      await pause(listEveryMs);
    } catch (failure) {
      if (failure.status === 401) {
        await wantToken(hadToken);
        continue;
      }
      const wait = backoff.delay();
      tell(`The service cannot be reached (${failure.message}); trying again in ${Math.round(wait / 1000)} s.`, true);
      await pause(wait);
    }
  }
}

main();
