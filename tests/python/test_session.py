"""The package in a long-lived interpreter (a notebook), as a program, and
where it finds its libraries."""
import json
import os
import shutil
import sys
from pathlib import Path

import pytest

import qolven
import qolven.device
import qolven.sim
from conftest import run_python

PACKAGE = Path(qolven.__file__).resolve().parent
ENV = {"PYTHONPATH": os.pathsep.join(sys.path)}


# ---- opening twice in one interpreter

@pytest.mark.parametrize("serial", ["N1", None])
def test_opening_a_device_this_interpreter_holds_says_so(boards, serial):
    boards("type=2,serial=N1,delay_us=0")
    first = qolven.open(serial, simulate=True)
    try:
        with pytest.raises(qolven.QolvenDeviceBusy, match=r"this interpreter holds it already \(<qolven.Device N1"):
            qolven.open(serial, simulate=True)
        assert first.decimal_point == 0 and qolven.held_devices() == [first]  # the first one is untouched
    finally:
        first.close()
    with qolven.open(serial, simulate=True) as again:
        assert again.serial == "N1"


def test_describing_virtual_devices_while_one_is_open_is_refused(boards):
    boards("type=2,serial=N1,delay_us=0")
    with qolven.open(simulate=True) as first:
        first.unit_code = 7
        for attempt in (lambda: qolven.open(simulate="type=2"), lambda: qolven.devices(simulate="type=9")):
            with pytest.raises(qolven.QolvenDeviceBusy, match="would replace the virtual devices.*N1"):
                attempt()
        assert first.unit_code == 7 and qolven.sim.devices() == ["N1"]
    assert qolven.devices(simulate="type=9,serial=N2") == ["N2"]


def test_a_device_another_program_holds_is_named_as_such(boards, tmp_path):
    state = str(tmp_path / "state")
    with qolven.open(simulate="type=2,serial=H,delay_us=0", state=state):
        other = run_python("import qolven\nqolven.open('H', simulate='type=2,serial=H,delay_us=0', state=%r)" % state)
    assert "QolvenDeviceBusy" in other.stderr and "another program" in other.stderr, other.stderr


def test_no_parameter_is_hidden_by_a_method_of_the_device(board):
    dev = board("type=2")
    hidden = [p.attribute for p in qolven.parameters() if hasattr(type(dev), p.attribute)]
    assert hidden == []


# ---- python -m qolven: a check of the installation, not a second tool

def test_python_m_qolven_shows_the_libraries_and_devices():
    got = run_python(["-m", "qolven", "--simulate", "type=9,serial=M,delay_us=0"], ENV)
    assert got.returncode == 0, got.stderr
    lines = dict(line.split(" ", 1) for line in got.stdout.splitlines())
    assert lines["provider"].startswith("simulated ") and lines["device"] == "0 M"
    assert "/libqolven_usb.so" in lines["driver-library"]
    as_json = run_python(["-m", "qolven", "--json", "--simulate"], ENV)
    assert json.loads(as_json.stdout)["devices"] == ["SIM0001"]


@pytest.mark.parametrize("arguments,code,text", [
    (["get", "decimal-point"], 2, "'get' is a command of the qolven tool"),
    (["--simulate", "type=99"], 2, "type"),
    (["--bridge", "nothing"], 2, "invalid choice"),
])
def test_python_m_qolven_refusals(arguments, code, text):
    got = run_python(["-m", "qolven"] + arguments, ENV)
    assert got.returncode == code and text in got.stderr, got.stderr


def test_one_bridge_per_process():
    mixed = run_python("import qolven\nqolven.devices(simulate=True)\nqolven.open()")
    assert "QolvenLibraryError" in mixed.stderr and "uses the simulated bridge library" in mixed.stderr


# ---- where the libraries are found

def installed_copy(prefix):
    """The package as `cmake --install` lays it out under `prefix`."""
    target = prefix / "lib" / "python3" / "dist-packages" / "qolven"
    shutil.copytree(PACKAGE, target, ignore=shutil.ignore_patterns("__pycache__"))
    return target.parent


def test_an_installed_package_finds_the_libraries_of_its_prefix(tmp_path):
    site = installed_copy(tmp_path)
    env = {"PYTHONPATH": str(site), "QOLVEN_LIBRARY": "", "QOLVEN_SIM_LIBRARY": ""}
    code = "import qolven\nprint(qolven.devices(simulate=True), qolven.bridge().driver_library)"
    missing = run_python(code, env, cwd=str(tmp_path))
    # The error names the variable and every folder it looked in.
    assert "QOLVEN_LIBRARY" in missing.stderr and "%s/lib, " % tmp_path in missing.stderr, missing.stderr
    assert "/usr/local/lib" in missing.stderr and "loader's search path" in missing.stderr
    build = Path(os.environ["QOLVEN_LIBRARY"]).parent
    for name in ("libqolven_usb.so.1", "libqolven_bridge.so.1", "libqolven_d2xx_sim.so.1"):
        (tmp_path / "lib" / name).symlink_to(build / name)
    found = run_python(code, env, cwd=str(tmp_path))
    assert found.returncode == 0, found.stderr
    assert found.stdout.split() == ["['SIM0001']", str(tmp_path / "lib" / "libqolven_usb.so.1")]


def test_a_wrong_qolven_library_is_named():
    got = run_python("import qolven\nqolven.devices(simulate=True)", {"QOLVEN_LIBRARY": "/nonexistent/libqolven_usb.so.1"})
    assert "cannot be loaded from QOLVEN_LIBRARY=/nonexistent/libqolven_usb.so.1" in got.stderr, got.stderr


def test_a_further_library_of_the_project_loads_beside_the_driver():
    native = qolven._native.load()
    assert native.load_beside("libqolven_d2xx_sim.so.1").qolven_sim_device_count() >= 0
    with pytest.raises(qolven.QolvenLibraryError, match="libqolven_nothing.so.1 cannot be loaded"):
        native.load_beside("libqolven_nothing.so.1")
