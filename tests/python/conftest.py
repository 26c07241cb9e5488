"""Fixtures of the Python tests: the package on the simulated bridge, with or
without numpy (--no-numpy blocks it before the package is imported)."""
import os
import subprocess
import sys

import pytest


def pytest_addoption(parser):
    parser.addoption("--no-numpy", action="store_true", help="run as if numpy were not installed")


def pytest_configure(config):
    if config.getoption("--no-numpy"):
        sys.modules["numpy"] = None  # `import numpy` now raises ImportError


@pytest.fixture
def boards():
    """Attaches the virtual boards described ("type=2,serial=P2;type=9,...")
    and detaches everything after the test."""
    import qolven.sim

    def attach(description):
        qolven.sim.configure(description)
        return qolven.sim.devices()

    yield attach
    qolven.sim.reset()
    qolven.sim.use_state_file(None)  # a test's state file stays with it


@pytest.fixture
def board(boards):
    """Opens one fresh virtual board answering without delay: board("type=9")."""
    import qolven
    import qolven.sim
    opened = []

    def open_board(description="type=2", serial="P1"):
        described = "%s,serial=%s,delay_us=0,completion_delay_ms=0,reset_delay_ms=0" % (description, serial)
        if opened:  # keep the boards already open
            qolven.sim.attach(described)
        else:
            boards(described)
        dev = qolven.open(serial, simulate=True)
        opened.append(dev)
        return dev

    yield open_board
    for dev in opened:
        try:
            dev.close()
        except qolven.QolvenError:
            pass  # a board the test unplugged



def run_python(code_or_args, env=None, **kwargs):
    """Runs a fresh interpreter (a process takes one bridge) on the same libraries."""
    args = [sys.executable] + (["-c", code_or_args] if isinstance(code_or_args, str) else list(code_or_args))
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.run(args, env=full, capture_output=True, text=True, timeout=120, **kwargs)
