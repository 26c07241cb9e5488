"""Recording from Python: several boards into one file read back with h5py,
the recorder under way (tare, mark, stop), a killed recording that still
opens, CSV files, a replay that gives back the recorded counts, and
settings refused before anything is written."""
import os
import signal
import subprocess
import sys
import time

import pytest

import qolven
import qolven.sim
from qolven import recording

h5py = pytest.importorskip("h5py")
numpy = pytest.importorskip("numpy")

BOARDS = "serial=P1,delay_us=0;serial=P2,delay_us=0,period=1,noise=0"


def open_boards():
    qolven.sim.configure(BOARDS)
    return qolven.open("P1", simulate=True), qolven.open("P2", simulate=True)


@pytest.fixture
def pair():
    devices = open_boards()
    yield devices
    for d in devices:
        d.close()
    qolven.sim.reset()


def handed_out(*serials):
    """Samples each board has handed out or thrown away, from its own counters."""
    return {s: qolven.sim.fast_counters(s).delivered + qolven.sim.fast_counters(s).dropped for s in serials}


def accounted_for(run, serial, before, after):
    """What the board handed out or threw away during the recording is what the
    file holds plus what it calls lost, within the estimate's slack: the answer
    after the end is not recorded, a lost packet's size is estimated."""
    d = run.devices[serial]
    losses = [e.value for e in run.events if e.kind == "lost" and e.device == int(d.attrs["index"])]
    held = len(d.sequence) + sum(losses)
    handed = after[serial] - before[serial]
    return handed - 64 - 3 * len(losses) - 8 <= held <= handed + 8


def test_two_boards_into_one_file_read_back_with_h5py(pair, tmp_path):
    a, b = pair
    high = 8388608 + 50000
    before = handed_out("P1", "P2")
    result = qolven.record([a, b], tmp_path / "run.h5", seconds=1.5, rate_code=13, limits={b: (None, high)})
    after = handed_out("P1", "P2")
    assert result.file.endswith("run.h5") and result.files == 1
    assert [d["serial"] for d in result.devices] == ["P1", "P2"]
    with recording.open_file(tmp_path / "run.h5") as f:
        assert f.attrs["format"] == "qolven-recording" and f.attrs["complete"] == 1
        assert f.attrs["application"].startswith("qolven-python")
        g = f["devices/P2"]
        assert g.attrs["rate_code"] == 13 and g.attrs["nominal_rate"] == 500
        assert list(g.attrs["calibration_counts"]) == [8386698, 12530488]
        assert g["count"].chunks is not None and g["count"].compression == "gzip"
        kinds = h5py.check_enum_dtype(f["events"].dtype["kind"])
        assert kinds["limit"] == 5 and kinds["mark"] == 9
    run = recording.load(tmp_path / "run.h5")
    assert list(run.devices) == ["P1", "P2"]
    for d in run.devices.values():
        assert len(d.count) == len(d.time) == len(d.sequence) == len(d.load)
        lost = sum(e.value for e in run.events if e.kind == "lost" and e.device == d.attrs["index"])
        assert d.sequence[-1] - d.sequence[0] + 1 == len(d.sequence) + lost
        assert accounted_for(run, d.serial, before, after)
        assert 1.4 < d.time[-1] < 1.5
    p2 = run.devices["P2"]
    crossings = [e for e in run.events if e.kind == "limit"]
    states = numpy.where(p2.count > high, 1, 0)
    changes = numpy.nonzero(numpy.diff(states))[0] + 1
    expected = [(int(p2.sequence[i]), int(states[i])) for i in changes]
    if states[0]:
        expected.insert(0, (int(p2.sequence[0]), 1))
    assert [(e.sequence, e.detail) for e in crossings] == expected
    assert len(expected) >= 2
    assert [e.kind for e in run.events][0] == "start" and run.events[-1].kind == "stop"


def test_a_recording_under_way_tares_marks_and_stops(pair, tmp_path):
    a, b = pair
    with qolven.record([a, b], tmp_path / "live.h5", rate_code=13, wait=False) as rec:
        time.sleep(0.4)
        assert rec.status()["state"] == "recording"
        rec.mark("valve open")
        rec.tare(b)
        time.sleep(0.4)
        seen = [e.kind for e in rec.events()]
        assert "mark" in seen and "tare" in seen, seen
        rec.stop()
        result = rec.wait(10)
    assert result is not None and result.stop_reason == "stopped on request"
    run = recording.load(tmp_path / "live.h5")
    tare = next(e for e in run.events if e.kind == "tare")
    p2 = run.devices["P2"]
    after = p2.sequence >= tare.sequence
    assert after.any() and (~after).any()
    slope = 2 / (12530488 - 8386698)
    zero = (tare.value - 8386698) * slope
    numpy.testing.assert_allclose(p2.load[after], (p2.count[after] - 8386698) * slope - zero, atol=1e-9)
    assert next(e for e in run.events if e.kind == "mark").text == "valve open"
    assert a.decimal_point == 0, "the devices are given back"


def test_a_recorded_device_is_lent_until_the_recording_ends(pair, tmp_path):
    a, b = pair
    rec = qolven.record([a], tmp_path / "lent.h5", rate_code=13, wait=False)
    time.sleep(0.2)
    with pytest.raises(qolven.QolvenDeviceBusy, match="records"):
        a.decimal_point
    assert b.decimal_point == 0, "a device not recorded answers"
    with pytest.raises(qolven.QolvenDeviceBusy):
        qolven.record([a], tmp_path / "twice.h5", rate_code=13)
    # Closing the device ends its recording first, which stays readable.
    a.close()
    with pytest.raises(qolven.QolvenNotOpen):
        a.decimal_point
    assert len(recording.load(tmp_path / "lent.h5").devices["P1"].count) > 0


def test_a_recording_killed_with_sigkill_opens_with_h5py(tmp_path):
    path = tmp_path / "killed.h5"
    code = ("import qolven, qolven.sim, time\n"
            "qolven.sim.configure(%r)\n"
            "a = qolven.open('P1', simulate=True)\n"
            "rec = qolven.record([a], %r, rate_code=13, wait=False)\n"
            "print('started', flush=True)\n"
            "time.sleep(60)\n" % (BOARDS, str(path)))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        assert child.stdout.readline().strip() == "started"
        deadline = time.monotonic() + 30
        newest = -1.0
        while time.monotonic() < deadline and newest < 1.2:
            with recording.open_file(path) as f:
                t = f["devices/P1/time"]
                newest = float(t[-1]) if t.shape[0] else -1.0
            time.sleep(0.1)
        assert newest >= 1.2
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    with pytest.raises(OSError):
        h5py.File(path, "r")  # HDF5's mark of a file open for writing is still on it
    with h5py.File(path, "r", swmr=True) as f:
        assert f.attrs["complete"] == 0
        t = f["devices/P1/time"][()]
        assert t[-1] >= newest and len(t) == len(f["devices/P1/count"])
    assert recording.load(path).devices["P1"].time[-1] >= newest


def test_csv_recordings_load_like_hdf5_ones(pair, tmp_path):
    a, b = pair
    before = handed_out("P1", "P2")
    qolven.record([a, b], tmp_path / "run.csv", seconds=0.6, rate_code=13, tare=True)
    after = handed_out("P1", "P2")
    run = recording.load(tmp_path / "run.csv")
    assert run.attrs["complete"] == "1" and run.attrs["stop_reason"] == "the duration is over"
    assert [e.kind for e in run.events].count("tare") == 2
    for d in run.devices.values():
        assert len(d.count) > 200 and accounted_for(run, d.serial, before, after)
        assert d.attrs["rate_code"] == "13" and d.attrs["tare_active"] == "1"


def test_a_replay_gives_back_the_recorded_counts(pair, tmp_path):
    a, b = pair
    qolven.record([b], tmp_path / "source.h5", seconds=1, rate_code=13)
    recorded = recording.load(tmp_path / "source.h5").devices["P2"].count
    a.close()
    b.close()
    qolven.sim.configure("replay=%s,delay_us=0" % (tmp_path / "source.h5"))
    assert qolven.devices(simulate=True) == ["P2"]
    with qolven.open("P2", simulate=True) as replayed:
        played = numpy.concatenate([block.counts for block in replayed.stream(seconds=0.6)])
    start = int(numpy.nonzero(recorded == played[0])[0][0])
    expected = numpy.resize(numpy.roll(recorded, -start), len(played))
    assert len(played) > 200
    numpy.testing.assert_array_equal(played, expected)


@pytest.mark.parametrize("options,message", [
    ({"rate_code": 16}, "outside 0..15"),
    ({"start": "rising:weight:5"}, "quantity 'weight'"),
    ({"pre": 1}, "pre needs a start trigger"),
    ({"limits": {0: (5, 1)}}, "above the upper limit"),
    ({"stop_on_limit": True}, "needs limits"),
    ({"seconds": -1}, "duration"),
])
def test_settings_are_refused_before_anything_is_written(pair, tmp_path, options, message):
    with pytest.raises((qolven.QolvenInvalidArgument, ValueError)) as caught:
        qolven.record(list(pair), tmp_path / "never.h5", **options)
    assert message in str(caught.value)
    assert not (tmp_path / "never.h5").exists()
    assert pair[0].read().count is not None  # the devices are free again
