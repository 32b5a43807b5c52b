#!/usr/bin/python3
"""The dashboard in a real browser (Debian's headless Chromium through chromedriver): a service
on the simulated head and a virtual adapter supply, whose interlock and plug the test changes
while the page watches; a rack of twelve devices, whose tiles must show what the service reads;
a read-only service that offers no control and refuses a crafted command; and a service of named
users, whose page signs in, offers each role what it may, shows the limits and their refusals,
and an admin the audit log. Screenshots go to the artifacts folder."""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ARGS = None
# Eleven virtual adapter supplies of every head family beside the simulated head.
RACK = ['kora-band1', 'kora-band2', 'kora-band3', 'kora-no-band', 'p532', 'picox-640', 'picox',
        'p-nir', 'pico00', 'vfk', 'vgn']
WAIT = 20  # seconds for anything the page should show; the machine may be loaded


class Served:
    """A service started for a test, stopped by its process id."""

    def __init__(self, command, supplies=''):
        environment = dict(os.environ, MAVOFTCI2C_EMULATED_SUPPLIES=supplies,
                           LD_LIBRARY_PATH=ARGS.sim_dir)
        self.process = subprocess.Popen(
            command + ['--http-port', '0', '--instrument-port', '0'], env=environment,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = []
        for line in self.process.stdout:
            self.lines.append(line)
            if 'dashboard:' in line or 'read-only' in line:
                break
        self.base = re.search(r'http://127\.0\.0\.1:\d+', ''.join(self.lines)).group(0)
        dashboard = re.search(r'dashboard: (\S+)', ''.join(self.lines))
        self.dashboard = dashboard.group(1) if dashboard else self.base + '/'

    def request(self, path, document=None, token=None):
        """The HTTP status and JSON answer of a GET (or, with a document, a POST) as the page
        sends it; the token is the one the service printed unless given."""
        printed = re.search(r'#token=(\w+)', self.dashboard)
        token = token or (printed.group(1) if printed else None)
        request = urllib.request.Request(
            self.base + path, data=None if document is None else json.dumps(document).encode(),
            headers={'Content-Type': 'application/json',
                     **({'Authorization': f'Bearer {token}'} if token else {})})
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, json.load(answer)
        except urllib.error.HTTPError as refusal:
            return refusal.code, json.load(refusal)

    def commands(self, device, commands):
        """The service's results for the commands, sent as the page sends them."""
        status, answer = self.request(f'{device_path(device)}/commands', {'commands': commands})
        assert status == 200, answer
        return answer['results']

    def status(self, device):
        return self.request(f'{device_path(device)}/status')[1]

    def control(self, line):
        self.process.stdin.write(line + '\n')
        self.process.stdin.flush()

    def stop(self):
        """The exit status: 0 when the service stopped cleanly (a sanitizer's report is not)."""
        self.process.terminate()
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


def device_path(device):
    return f'/api/v1/devices/{urllib.parse.quote(device, safe="")}'


def add_user(users_file, name, role):
    """The new user's token, as `mavozarp serve-user add` prints it."""
    return subprocess.run([ARGS.tool, 'serve-user', 'add', name, role, users_file], check=True,
                          capture_output=True, text=True, timeout=30).stdout.strip()


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 f'--user-data-dir={profile}', '--window-size=1280,720']:
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


class DashboardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.profile = tempfile.TemporaryDirectory()
        cls.browser = start_browser(cls.profile.name)
        os.makedirs(ARGS.artifacts, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.profile.cleanup()

    def until(self, condition, what):
        return WebDriverWait(self.browser, WAIT, poll_frequency=0.2).until(
            lambda _: condition(), message=what)

    def card(self, device):
        return self.browser.find_element(By.CSS_SELECTOR, f'article[data-device="{device}"]')

    # Read in one script each: the page redraws its tiles and panels as readings arrive.
    def tile(self, device, field):
        """A data field of the device's tile ('state', 'faults', 'emission'), or None."""
        return self.browser.execute_script(
            'return document.querySelector(`#tiles a[data-device="${arguments[0]}"]`)?.dataset[arguments[1]] ?? null',
            device, field)

    def tile_text(self, device, part):
        return self.browser.execute_script(
            'return document.querySelector(`#tiles a[data-device="${arguments[0]}"] .tile-${arguments[1]}`)'
            '?.textContent ?? null', device, part)

    def tile_part_class(self, device, part):
        return self.browser.execute_script(
            'return document.querySelector(`#tiles a[data-device="${arguments[0]}"] .tile-${arguments[1]}`)'
            '?.className ?? ""', device, part)

    def open_panel(self, device):
        """Back to the grid, and the device's tile clicked."""
        self.browser.execute_script("location.hash = ''")
        self.until(lambda: self.browser.find_element(By.CSS_SELECTOR, f'#tiles a[data-device="{device}"]')
                   .is_displayed(), 'the grid')
        self.browser.find_element(By.CSS_SELECTOR, f'#tiles a[data-device="{device}"]').click()
        self.until(lambda: self.browser.find_elements(By.CSS_SELECTOR, f'article[data-device="{device}"]'),
                   f'the panel of {device}')

    def reading(self, device, key):
        return self.browser.execute_script(
            'return document.querySelector(`article[data-device="${arguments[0]}"] td[data-reading="${arguments[1]}"]`)'
            '?.textContent ?? null', device, key)

    def flags(self, device):
        return self.browser.execute_script(
            'return [...document.querySelectorAll(`article[data-device="${arguments[0]}"] li.flag.lit`)]'
            '.map((flag) => flag.dataset.flag)', device)

    def undefined_bits(self, device):
        return self.browser.execute_script(
            'return [...document.querySelectorAll(`article[data-device="${arguments[0]}"] .undefined-bits`)]'
            '.map((line) => line.textContent)', device)

    def console_entry(self, card, command):
        """Types a line into the device's console and sends it."""
        console = card.find_element(By.CSS_SELECTOR, 'form.console input')
        console.clear()
        console.send_keys(command + '\n')

    def screenshot(self, name):
        self.browser.save_screenshot(os.path.join(ARGS.artifacts, name))

    def test_live_page_with_control(self):
        served = Served([ARGS.host, '--simulated', '--adapters', '--rescan', '0.3', '--allow-control'],
                        supplies='kora-band1')
        try:
            self.browser.set_window_size(1280, 720)
            self.browser.get(served.dashboard)
            adapter = 'adapter-K1-0412'
            self.until(lambda: self.tile('simulated', 'state') == 'answering' and
                       self.tile(adapter, 'state') == 'answering', 'both devices shown as answering')
            # The token leaves the address bar and stays in the tab's session only.
            self.assertNotIn('token', self.browser.current_url)
            self.assertTrue(self.browser.execute_script(
                "return sessionStorage.getItem('mavozarp.token') !== null"))
            self.open_panel('simulated')
            self.until(lambda: self.reading('simulated', 'thg_temperature') is None and
                       self.reading('simulated', 'power_unit') == 'mW', 'the simulated panel')
            self.assertIn('not supported', self.card('simulated').text)
            # The simulated head's fault word (0xF00F) has no bit its family defines: no alarm,
            # its bits told once in a muted line.
            self.until(lambda: self.undefined_bits('simulated'), 'the undefined bits told')
            self.assertEqual(self.flags('simulated'), [])
            self.assertEqual(len(self.undefined_bits('simulated')), 1)
            self.assertEqual(self.undefined_bits('simulated')[0].count('0x'), 8)

            self.open_panel(adapter)
            # A band 1 board answers -1 for its stage set points: not a temperature.
            self.until(lambda: self.reading(adapter, 'brf_setpoint') == 'not supported by this board',
                       'the set point the board lacks')
            self.assertEqual(self.browser.execute_script("""
                const range = document.createRange();
                range.selectNodeContents(document.querySelector('td[data-reading="brf_setpoint"]'));
                return range.getClientRects().length"""), 1, 'told on one line')

            # Plots gain points from the stream, their times to the second.
            points = lambda: int(self.card(adapter).get_attribute('data-points') or 0)
            self.until(lambda: points() >= 2, 'samples arriving')
            first = points()
            self.until(lambda: points() >= first + 2, 'more samples arriving')
            legend_time = self.card(adapter).find_element(By.CSS_SELECTOR, '.u-legend .u-series:first-child .u-value')
            self.assertRegex(legend_time.text, r'^\d\d:\d\d:\d\d$')

            # The preset starts with its interlock open; closing it clears the flag, opening it
            # lights it again.
            self.until(lambda: 'interlock-open' in self.flags(adapter), 'the interlock flag lit')
            self.screenshot('dashboard-1280x720.png')
            served.control('interlock 0 closed')
            self.until(lambda: 'interlock-open' not in self.flags(adapter), 'the flag cleared')
            served.control('interlock 0 open')
            self.until(lambda: 'interlock-open' in self.flags(adapter), 'the flag lit again')
            self.screenshot('dashboard-fault.png')

            # A supply that stops answering is shown as such, and recovers.
            served.control('fail-transfers 300')
            self.until(lambda: 'failing' in self.card(adapter).get_attribute('class'), 'the adapter failing')
            self.screenshot('dashboard-failing.png')
            self.until(lambda: 'failing' not in self.card(adapter).get_attribute('class') and
                       self.tile(adapter, 'state') == 'answering', 'the adapter answering again')

            # A power command through the page, checked first, confirmed, then read back.
            self.open_panel('simulated')
            simulated = self.card('simulated')
            row = simulated.find_element(By.CSS_SELECTOR, '[data-control="power"]')
            field = row.find_element(By.TAG_NAME, 'input')
            result = row.find_element(By.TAG_NAME, 'output')
            for bad, why in [('abc', 'enter a number'), ('1000', 'at most 99.9')]:
                field.clear()
                field.send_keys(bad)
                row.find_element(By.TAG_NAME, 'button').click()
                self.until(lambda: why in result.text, f'{bad!r} refused before sending')
            field.clear()
            field.send_keys('12.5')
            row.find_element(By.TAG_NAME, 'button').click()
            alert = self.until(lambda: self.browser.switch_to.alert, 'the confirmation')
            self.assertNotIn('converter', alert.text)  # the simulated head keeps them apart
            alert.accept()
            self.until(lambda: self.reading('simulated', 'power_command') == '12.500 mW',
                       'the power command read back')

            # The console: a setting asks first, naming the device and the command; dismissed, it
            # sends nothing. A query does not ask (an open prompt would fail the next step).
            log = simulated.find_element(By.CSS_SELECTOR, '.console-log')
            self.console_entry(simulated, 'PCMD=5')
            alert = self.until(lambda: self.browser.switch_to.alert, 'the console asking first')
            self.assertIn('simulated', alert.text)
            self.assertIn('PCMD=5', alert.text)
            alert.dismiss()
            self.console_entry(simulated, '?PCMD')
            self.until(lambda: '?PCMD → 12.500' in log.text, 'the query answered, the power unchanged')
            self.assertNotIn('PCMD=5', log.text)
            with self.assertRaises(NoAlertPresentException):
                self.browser.switch_to.alert.text
            self.console_entry(simulated, '?HID')
            self.until(lambda: '123456' in log.text, 'the console reply')
            # Confirmed: sent, and the library's refusal shown beside it.
            self.console_entry(simulated, 'PCMD=x')
            self.until(lambda: self.browser.switch_to.alert, 'the console asking first').accept()
            self.until(lambda: simulated.find_elements(By.CSS_SELECTOR, '.console-log li:first-child output.error'),
                       'the library refusal in the console')

            self.browser.set_window_size(390, 844)
            self.browser.execute_script('window.scrollTo(0, 0)')
            self.screenshot('dashboard-phone.png')
            self.browser.set_window_size(1280, 720)

            # Unplugged: gone, and back when plugged again.
            self.open_panel(adapter)
            served.control('unplug 0')
            self.until(lambda: 'gone' in self.card(adapter).get_attribute('class'), 'the panel gone')
            self.screenshot('dashboard-gone.png')
            self.browser.execute_script("location.hash = ''")
            self.until(lambda: self.tile(adapter, 'state') == 'gone', 'the adapter gone')
            served.control('plug 0')
            self.until(lambda: self.tile(adapter, 'state') == 'answering', 'the adapter back')

            # Nothing the page does is blocked by its Content-Security-Policy, nor throws.
            problems = [entry['message'] for entry in self.browser.get_log('browser')
                        if 'Content Security Policy' in entry['message'] or 'Uncaught' in entry['message']]
            self.assertEqual(problems, [])
        finally:
            self.assertEqual(served.stop(), 0, 'the service stopped cleanly')

    def test_rack_of_twelve_at_a_glance(self):
        served = Served([ARGS.host, '--simulated', '--adapters', '--allow-control'], supplies=','.join(RACK))
        try:
            self.browser.set_window_size(1280, 800)
            self.browser.get(served.dashboard)
            tiles = lambda: self.browser.execute_script(
                'return [...document.querySelectorAll("#tiles a")].map((tile) => tile.dataset.device)')
            self.until(lambda: len(tiles()) == 12 and all(self.tile(d, 'state') == 'answering' for d in tiles()),
                       'twelve devices answering')
            devices = tiles()
            kora = next(d for d in devices if served.status(d)['device']['head_type'].startswith('Kora'))
            # Changed while the page watches: the simulated head's power, the first adapter's
            # interlock (one fault fewer) and a Kora head's laser and shutter.
            self.until(lambda: self.tile('adapter-K1-0412', 'faults') == '2', 'the interlock and one more')
            served.commands('simulated', ['PCMD=42.5'])
            served.control('interlock 0 closed')
            served.commands(kora, ['KSWCMD=1', 'SHCMD=1'])
            for device in devices:
                status = served.status(device)
                power, unit, laser, shutter = served.commands(device, ['?P', '?POWERUNITS', '?L', '?SH'])
                faults = status['faults']
                self.until(lambda: self.tile_text(device, 'power') == f'{power["reply"]} {unit["reply"]}',
                           f'the power of {device}')
                self.until(lambda: self.tile(device, 'faults') == str(len(faults['flags'])),
                           f'the fault count of {device}')
                self.assertEqual(self.tile_text(device, 'faults') == 'no fault', not faults['flags'])
                self.assertEqual('active' in self.tile_part_class(device, 'faults'), bool(faults['flags']))
                on = laser['reply'] == '1' and (shutter['status'] != 0 or shutter['reply'] == '1')
                self.assertEqual(self.tile(device, 'emission'), 'on' if on else 'off', device)
            self.assertEqual(self.tile_text('simulated', 'power'), '42.600 mW')
            # The grid holds no stream: a browser's six connections to the service stay free.
            self.assertEqual(self.browser.execute_script(
                "return performance.getEntriesByType('resource').filter((r) => r.name.includes('/stream')).length"), 0)
            self.screenshot('dashboard-rack.png')  # docs/dashboard.png

            # A panel on a 1280 x 800 screen: every control seen without scrolling, each switch
            # with its present state.
            self.open_panel(kora)
            card = self.card(kora)
            self.until(lambda: card.find_elements(By.CSS_SELECTOR, 'fieldset.controls'), 'the controls')
            self.until(lambda: card.find_element(By.CSS_SELECTOR, '[data-control="laser"] .switch-state').text == 'on',
                       'the key switch shown on')
            self.assertEqual(card.find_element(By.CSS_SELECTOR, '[data-control="laser"] [aria-pressed="true"]').text, 'On')
            self.assertTrue(self.browser.execute_script("""
                return [...document.querySelectorAll('fieldset.controls :is(button, input)')]
                  .every((control) => control.getBoundingClientRect().bottom <= window.innerHeight)"""))
            # Setting the power of a head that drives power and current from one converter tells
            # what the current command becomes, and reads it back.
            row = card.find_element(By.CSS_SELECTOR, '[data-control="power"]')
            field = row.find_element(By.TAG_NAME, 'input')
            output = row.find_element(By.TAG_NAME, 'output')
            for power in ['20', '50']:
                field.clear()
                field.send_keys(power)
                row.find_element(By.TAG_NAME, 'button').click()
                alert = self.until(lambda: self.browser.switch_to.alert, 'the confirmation')
                told = alert.text
                self.assertIn('one converter', told)
                alert.accept()
                self.until(lambda: 'current command is now' in output.text, 'the current read back')
                current = float(served.commands(kora, ['?CCMD'])[0]['reply'])
                self.assertIn(f'{current:.3f} A', output.text)
                self.until(lambda: self.reading(kora, 'current_command') == f'{current:.3f} A', 'the panel read again')
                estimate = re.search(r'becomes about ([\d.]+) A', told)
                if estimate:  # once the converter's ratio is known from a setting already made
                    self.assertAlmostEqual(float(estimate.group(1)), current, delta=0.2)
            self.assertIsNotNone(estimate, 'the second setting told the current it gives')
            self.until(lambda: int(card.get_attribute('data-points') or 0) >= 5, 'a few points plotted')
            self.screenshot('dashboard-panel.png')
        finally:
            self.assertEqual(served.stop(), 0, 'the service stopped cleanly')

    def test_read_only_offers_no_control(self):
        served = Served([ARGS.tool, 'serve', '--simulated'])
        try:
            self.browser.get(served.dashboard)
            self.until(lambda: self.tile('simulated', 'state') == 'answering', 'the device listed')
            notice = self.browser.find_element(By.ID, 'control-notice')
            self.until(lambda: 'read-only' in notice.text, 'the reason control is absent')
            # Read-only, the tile is still read (its queries change nothing).
            self.until(lambda: self.tile_text('simulated', 'power') == '0.100 mW', 'the tile')
            self.open_panel('simulated')
            self.until(lambda: 'read-only' in notice.text, 'the reason told beside the panel too')
            self.until(lambda: self.reading('simulated', 'power') is not None, 'the panel')
            self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, 'fieldset.controls'), [])
            # A command crafted in the page is refused by the service.
            status = self.browser.execute_async_script("""
                const done = arguments[0];
                fetch('/api/v1/devices/simulated/commands', {method: 'POST',
                      headers: {'Content-Type': 'application/json'},
                      body: JSON.stringify({commands: ['PCMD=1']})})
                  .then(r => r.json().then(b => done([r.status, b.error])));""")
            self.assertEqual(status, [403, 'read-only'])
            self.screenshot('dashboard-read-only.png')
            served.stop()
            self.until(lambda: 'cannot be reached' in self.browser.find_element(By.ID, 'service-state').text,
                       'the service told unreachable')
        finally:
            self.assertEqual(served.stop(), 0, 'the service stopped cleanly')

    def who(self):
        return self.browser.find_element(By.ID, 'who-name').text

    def sign_in(self, token):
        """The token typed into the page's sign-in form, once it asks."""
        form = self.browser.find_element(By.ID, 'sign-in')
        self.until(form.is_displayed, 'the sign-in form')
        field = form.find_element(By.CSS_SELECTOR, 'input[type="password"]')
        field.clear()
        field.send_keys(token + '\n')

    def sign_out(self):
        button = self.browser.find_element(By.CSS_SELECTOR, '#who button')
        self.until(lambda: button.text == 'Sign out', 'signed in')
        button.click()
        self.until(lambda: self.who() == 'not signed in', 'signed out')

    def set_from_panel(self, card, control, value):
        """A value set through a control row of the panel, confirmed; its result output."""
        row = card.find_element(By.CSS_SELECTOR, f'[data-control="{control}"]')
        field = row.find_element(By.TAG_NAME, 'input')
        field.clear()
        field.send_keys(value)
        row.find_element(By.TAG_NAME, 'button').click()
        self.until(lambda: self.browser.switch_to.alert, 'the confirmation').accept()
        output = row.find_element(By.TAG_NAME, 'output')
        self.until(lambda: output.text not in ('', 'sending…'), 'the result')
        return output

    def test_named_users_roles_limits_and_audit(self):
        folder = tempfile.TemporaryDirectory()
        users = os.path.join(folder.name, 'users')
        tokens = {name: add_user(users, name, role)
                  for name, role in [('vic', 'viewer'), ('ada', 'operator'), ('root', 'admin')]}
        config = os.path.join(folder.name, 'serve.json')
        with open(config, 'w') as file:
            json.dump({'limits': {'simulated': {'max_power_command': 50.0, 'refuse': ['KSWCMD=1']}}}, file)
        served = Served([ARGS.tool, 'serve', '--simulated', '--allow-control', '--users', users,
                         '--config', config, '--audit-log', os.path.join(folder.name, 'audit.log')])
        try:
            self.browser.get(served.base + '/')
            # Asked once; a wrong token is told so, and asked again.
            self.sign_in('not-a-token')
            problem = self.browser.find_element(By.ID, 'sign-in-problem')
            self.until(lambda: 'not accepted' in problem.text, 'the wrong token told')
            self.assertIsNone(self.browser.execute_script("return sessionStorage.getItem('mavozarp.token')"))

            # A viewer reads, sees the limits, and is offered no control; a command crafted in
            # the page is refused for the role.
            self.sign_in(tokens['vic'])
            self.until(lambda: self.who() == 'vic · viewer', 'the viewer signed in')
            self.open_panel('simulated')
            card = self.card('simulated')
            limits = card.find_element(By.CSS_SELECTOR, '.limits-set')
            self.until(lambda: limits.text == 'power command at most 50.000 mW; never KSWCMD=1', 'the limits')
            self.until(lambda: self.reading('simulated', 'power') is not None, 'the panel')
            self.assertIn('viewer', self.browser.find_element(By.ID, 'control-notice').text)
            self.assertEqual(card.find_elements(By.CSS_SELECTOR, 'fieldset.controls, .limits details'), [])
            self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, '#audit tr'), [])
            self.assertEqual(self.browser.execute_async_script("""
                const done = arguments[0];
                fetch('/api/v1/devices/simulated/commands', {method: 'POST', headers: {'Content-Type':
                      'application/json', Authorization: `Bearer ${sessionStorage.getItem('mavozarp.token')}`},
                      body: JSON.stringify({commands: ['PCMD=1']})})
                  .then(r => r.json().then(b => done([r.status, b.error])));"""), [403, 'role'])

            # An operator commands within the limits; beyond them the service's refusal shows in
            # the panel in its own words.
            self.sign_out()
            self.assertIsNone(self.browser.execute_script("return sessionStorage.getItem('mavozarp.token')"))
            self.sign_in(tokens['ada'])
            self.until(lambda: self.who() == 'ada · operator', 'the operator signed in')
            card = self.until(lambda: self.card('simulated').find_element(By.CSS_SELECTOR, 'fieldset.controls'),
                              'the controls offered').find_element(By.XPATH, './ancestor::article')
            self.assertEqual(card.find_elements(By.CSS_SELECTOR, '.limits details'), [])
            self.assertEqual(self.set_from_panel(card, 'power', '20').text, 'done')
            refused = self.set_from_panel(card, 'power', '60')
            status, answer = served.request(f'{device_path("simulated")}/commands', {'commands': ['PCMD=60']},
                                            token=tokens['ada'])
            self.assertEqual((status, answer['error']), (403, 'limit'))
            self.assertEqual((refused.text, refused.get_attribute('data-refusal')), (answer['message'], 'limit'))
            self.assertEqual(served.commands('simulated', ['?PCMD'])[0]['reply'], '20.000')

            # An admin sees the audit log's last entries, the refusals among them, and lowers the
            # limit below the present setting, which the page then warns of.
            self.sign_out()
            self.sign_in(tokens['root'])
            self.until(lambda: self.who() == 'root · admin', 'the admin signed in')
            entries = lambda: self.browser.execute_script("""
                return [...document.querySelectorAll('#audit tbody tr')].map((row) => Object.fromEntries(
                  [...row.cells].map((cell) => [cell.dataset.column, cell.textContent])))""")
            self.until(lambda: any(e['command'] == 'PCMD=60' and e['status'] == 'limit' and
                                   e['user'] == 'ada (operator)' for e in entries()), 'the limit refusal logged')
            self.assertTrue(any(e['user'] == 'vic (viewer)' and e['status'] == 'role' for e in entries()))
            card = self.card('simulated')
            card.find_element(By.CSS_SELECTOR, '.limits details summary').click()
            power_limit = card.find_element(By.CSS_SELECTOR, '.limits-form input')
            self.assertEqual(power_limit.get_attribute('value'), '50')
            power_limit.clear()
            power_limit.send_keys('10')
            card.find_element(By.CSS_SELECTOR, '.limits-form button[type="submit"]').click()
            alert = self.until(lambda: self.browser.switch_to.alert, 'the confirmation')
            self.assertIn('power command at most 10.000 mW; never KSWCMD=1', alert.text)
            alert.accept()
            limits = card.find_element(By.CSS_SELECTOR, '.limits-set')
            self.until(lambda: limits.text == 'power command at most 10.000 mW; never KSWCMD=1',
                       'the new limits shown')
            document = served.request(device_path('simulated'))[1]
            self.assertEqual(document['limits'], {'max_power_command': 10.0, 'refuse': ['KSWCMD=1']})
            warning = card.find_element(By.CSS_SELECTOR, '.beyond-limits')
            self.until(lambda: [item.text for item in warning.find_elements(By.TAG_NAME, 'li')] ==
                       [found['text'] for found in served.request(device_path('simulated'))[1]['beyond_limits']]
                       != [], 'the setting beyond the new limit told')
            self.browser.execute_script('window.scrollTo(0, 0)')
            self.screenshot('dashboard-admin.png')
            self.browser.find_element(By.ID, 'audit').screenshot(os.path.join(ARGS.artifacts, 'dashboard-audit.png'))
        finally:
            self.assertEqual(served.stop(), 0, 'the service stopped cleanly')
            folder.cleanup()


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--host', required=True, help='serve_with_controls')
    parser.add_argument('--tool', required=True, help='mavozarp')
    parser.add_argument('--sim-dir', required=True, help='folder of the emulated adapter library')
    parser.add_argument('--artifacts', required=True, help='folder for the screenshots')
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
