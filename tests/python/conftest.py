"""A norvik-sim per test, on a free UDP port of the loopback, and a private
data folder so that downloads write their history rows there."""
import os
import subprocess

import pytest


class Sim:
    def __init__(self, args):
        self.process = subprocess.Popen(
            [os.environ["NORVIK_SIM"], "--udp", "127.0.0.1:0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()  # "ready udp=127.0.0.1:PORT ..."; EOF if it failed
        if not line.startswith("ready"):
            raise RuntimeError("norvik-sim did not start: " + line + self.process.stderr.read())
        self.ports = [int(word.split(":")[1]) for word in line.split() if word.startswith("udp")]
        self.port = self.ports[0]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


@pytest.fixture
def sim(request, tmp_path, monkeypatch):
    """norvik-sim with the test's @pytest.mark.sim(...) arguments."""
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    marker = request.node.get_closest_marker("sim")
    started = Sim(marker.args if marker else ())
    yield started
    started.stop()


def pytest_configure(config):
    config.addinivalue_line("markers", "sim(*args): arguments of the test's norvik-sim")
