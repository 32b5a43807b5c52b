"""Debian's Prometheus scrapes the service; its query API returns the supply's power as the
service reported it."""
import json
import shutil
import subprocess
import tempfile
import urllib.parse
import urllib.request

import pytest

from conftest import free_port, stop, wait_for
from test_http_api import ADAPTERS


def query(port, expression):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return json.loads(answer.read())["data"]["result"]
    except OSError:
        return []


@pytest.mark.skipif(not shutil.which("prometheus"), reason="prometheus is not installed")
def test_prometheus_scrapes_the_power(serve):
    service = serve("--simulated", "--adapters", environment=ADAPTERS)
    status, metrics, _ = service.request("/metrics")
    assert status == 200
    assert 'mavozarp_fault{device="' in metrics and "mavozarp_scrape_duration_seconds" in metrics
    # The band 1 Kora board answers the stage set points it lacks with -1.000: they have no
    # series (a graph would show a set point of -1 degree); its stage temperatures do.
    kora = [line for line in metrics.splitlines() if 'head_type="Kora"' in line]
    assert any(line.startswith("mavozarp_brf_temperature{") for line in kora), kora
    assert not [line for line in kora for stage in ("brf", "shg", "thg", "eta")
                if line.startswith(f"mavozarp_{stage}_setpoint{{")], kora
    storage = tempfile.mkdtemp()
    port = free_port()
    config = f"{storage}/prometheus.yml"
    with open(config, "w") as file:
        file.write("global:\n  scrape_interval: 1s\nscrape_configs:\n"
                   "  - job_name: mavozarp\n"
                   f"    static_configs: [{{targets: ['127.0.0.1:{service.port}']}}]\n")
    prometheus = subprocess.Popen(
        ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={storage}/data",
         f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        result = wait_for(lambda: query(port, 'mavozarp_power{device="simulated"}'), seconds=60,
                          step=0.5)
        assert float(result[0]["value"][1]) == 0.1
        assert result[0]["metric"]["head_type"] == "Dummy"
        assert result[0]["metric"]["unit"] == "mW"
        adapters = wait_for(lambda: query(port, 'mavozarp_power{device=~"adapter-.*"}'))
        assert len(adapters) == 2
        for series in adapters:
            power = [line for line in metrics.splitlines()
                     if line.startswith(f'mavozarp_power{{device="{series["metric"]["device"]}"')]
            assert float(series["value"][1]) == float(power[0].rsplit(" ", 1)[1])
    finally:
        stop(prometheus, expect_clean=False)
        shutil.rmtree(storage, ignore_errors=True)
