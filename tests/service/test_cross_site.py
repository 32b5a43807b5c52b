"""Refusals meant for web pages the operator visits: a foreign Host (DNS rebinding), a foreign
Origin, a body that is not JSON; then the same attacks from a real browser, none of which gets a
readable answer or reaches the supply; and the dashboard in that browser, plotting."""
import contextlib
import http.server
import json
import os
import shutil
import tempfile
import threading
import time

import pytest

from conftest import free_port


def test_refusals_without_a_browser(serve):
    service = serve("--simulated", "--allow-control")
    token = service.token
    evil = {"Host": f"evil.example:{service.port}"}
    assert service.request("/api/v1/devices", headers=evil)[0] == 403
    assert service.request("/api/v1/devices", headers={"Host": "localhost:1"})[0] == 403
    status, answer, headers = service.commands("simulated", ["PCMD=3"], token=token, headers=evil)
    assert status == 403 and answer["error"] == "foreign-host"
    foreign = {"Origin": "http://127.0.0.1:1"}
    status, answer, headers = service.commands("simulated", ["PCMD=3"], token=token,
                                               headers=foreign)
    assert status == 403 and answer["error"] == "foreign-origin"
    assert "Access-Control-Allow-Origin" not in headers
    assert service.request("/api/v1/devices/simulated/stream?commands=%3FP",
                           headers=foreign)[0] == 403
    status, _, _ = service.request("/api/v1/devices/simulated/commands", "POST",
                                   json.dumps({"commands": ["PCMD=3"]}),
                                   {"Content-Type": "text/plain", "Authorization": "Bearer " + token})
    assert status == 415
    # Reading from a foreign origin is answered (a browser keeps it from the page: no CORS).
    status, _, headers = service.request("/api/v1/devices", headers=foreign)
    assert status == 200 and "Access-Control-Allow-Origin" not in headers
    own = {"Origin": service.base}
    assert service.commands("simulated", ["PCMD=3", "?PCMD"], token=token, headers=own)[0] == 200
    assert service.line("simulated", "?PCMD") == "3.000"


ATTACK_PAGE = """<!doctype html><html><body>
<form id="api" method="POST" action="{api}/api/v1/devices/simulated/commands" target="f1"
      enctype="text/plain"><input name='{{"commands":["PCMD=4"],"x":"' value='"}}'></form>
<form id="socket" method="POST" action="http://127.0.0.1:{socket}/" target="f2"
      enctype="text/plain"><textarea name="a">
PCMD=5
MATCH=1
</textarea></form>
<iframe name="f1"></iframe><iframe name="f2"></iframe>
<script>
window.results = {{}};
async function attempt(name, run) {{
  try {{ window.results[name] = await run(); }} catch (e) {{ window.results[name] = "refused"; }}
}}
(async () => {{
  await attempt("fetch_simple", async () => {{
    const answer = await fetch("{api}/api/v1/devices/simulated/commands", {{method: "POST",
      headers: {{"Content-Type": "text/plain"}}, body: '{{"commands":["PCMD=6"]}}'}});
    return await answer.text();
  }});
  await attempt("fetch_json", async () => {{
    const answer = await fetch("{api}/api/v1/devices/simulated/commands", {{method: "POST",
      headers: {{"Content-Type": "application/json"}}, body: '{{"commands":["PCMD=6"]}}'}});
    return await answer.text();
  }});
  await attempt("rebound_read", async () => {{
    const answer = await fetch("{rebound}/api/v1/devices");
    return await answer.text();
  }});
  document.getElementById("api").submit();
  document.getElementById("socket").submit();
  window.results.done = true;
}})();
</script></body></html>"""


needs_browser = pytest.mark.skipif(not shutil.which("chromedriver"),
                                   reason="chromium-driver is not installed")


@contextlib.contextmanager
def headless_chromium(*extra_flags):
    from selenium import webdriver

    profile = tempfile.mkdtemp()
    options = webdriver.ChromeOptions()
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", f"--user-data-dir={profile}", *extra_flags]:
        options.add_argument(flag)
    # rebound.localhost stands for a name an attacker made resolve to this machine.
    options.add_argument("--host-resolver-rules=MAP rebound.localhost 127.0.0.1")
    browser = webdriver.Chrome(options=options)
    try:
        yield browser
    finally:
        browser.quit()
        shutil.rmtree(profile, ignore_errors=True)


@needs_browser
def test_a_real_browser_gets_nothing_through(serve):
    service = serve("--simulated", "--allow-control")
    page_port = free_port()
    page = ATTACK_PAGE.format(api=service.base, socket=service.sockets["simulated"],
                              rebound=f"http://rebound.localhost:{service.port}")

    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page.encode())

        def log_message(self, *arguments):
            pass

    server = http.server.HTTPServer(("127.0.0.1", page_port), Page)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with headless_chromium() as browser, contextlib.ExitStack() as cleanup:
        cleanup.callback(server.shutdown)
        browser.set_script_timeout(20)
        browser.get(f"http://127.0.0.1:{page_port}/")
        results = browser.execute_async_script("""
            const done = arguments[0];
            const look = () => window.results && window.results.done ? done(window.results)
                                                                    : setTimeout(look, 50);
            look();""")
        time.sleep(1.5)  # the forms' posts reach their targets
        # DNS rebinding: the attacker's name now resolves to this machine, so the page and the
        # service share an origin and the page could read what it is answered.
        browser.get(f"http://rebound.localhost:{service.port}/api/v1/devices")
        rebound_page = browser.page_source
    # No answer a page may read: the service gives no CORS permission.
    assert results["fetch_simple"] == "refused"
    assert results["fetch_json"] == "refused"
    assert results["rebound_read"] == "refused"
    assert "foreign-host" in rebound_page and "Dummy" not in rebound_page
    # Nothing reached the head.
    assert service.line("simulated", "?PCMD") == "0.000"


def plotted_power(browser, dashboard):
    """The power the dashboard's panel of the simulated head shows once its plot is drawn."""
    browser.set_script_timeout(30)
    browser.get(dashboard + ("&" if "#" in dashboard else "#") + "device=simulated")
    # A drawn plot: its canvas has a size, and the power it plots is in the card.
    return browser.execute_async_script("""
            const done = arguments[0];
            const look = () => {
              const card = document.querySelector('article[data-device="simulated"]');
              const canvas = card?.querySelector('.plot canvas');
              const power = card?.querySelector('td[data-reading="power"]')?.textContent;
              canvas && canvas.width > 0 && power ? done(power) : setTimeout(look, 100);
            };
            look();""")


@needs_browser
def test_the_dashboard_plots_the_power(serve):
    service = serve("--simulated")
    with headless_chromium() as browser:
        assert plotted_power(browser, service.dashboard).startswith("0.1")
