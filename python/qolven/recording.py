"""Recording several devices into one HDF5 or CSV file, and reading it back.

A layer (ctypes) over the recorder library ``libqolven_record``
(``include/qolven_record.h``), the one behind ``qolven record``.  Example on
virtual boards::

    import qolven
    from qolven import recording
    a = qolven.open("A1", simulate="serial=A1;serial=A2")
    b = qolven.open("A2", simulate=True)
    result = qolven.record([a, b], "run.h5", seconds=10, rate_code=13,
                           limits={a: (8_300_000, 8_500_000)})
    run = recording.load("run.h5")          # h5py (Debian's python3-h5py)
    print(run.devices["A1"].count[:10], [e.text for e in run.events])

While a recording runs the recorder uses its devices from threads of its
own: leave them alone until it has finished.  ``wait=False`` gives a
:class:`Recorder` to tare, mark, watch and stop.

The file layout is in recording.md of the documentation.  A recording that
was killed (or cut by a power loss) keeps what was flushed; :func:`open_file`
and :func:`load` open such a file too (as an HDF5 SWMR reader).
"""
from __future__ import annotations

import ctypes
import csv
import math
import os
import time
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native
from ._errors import QolvenError, error_for

__all__ = ["record", "Recorder", "Trigger", "RecordResult", "Event", "load", "open_file", "Recording",
           "DeviceRecording", "WriteFailed", "EVENT_KINDS"]

WRITE_FAILED = 64
_TEXT = 160
EVENT_KINDS = ("", "start", "stop", "trigger", "tare", "limit", "lost", "disconnected", "reconnected", "mark")
_STATES = ("idle", "waiting", "recording", "stopping", "finished")
_QUANTITIES = {"count": 0, "load": 1}
_EDGES = {"rising": 1, "falling": 2}
_NAMES = ("libqolven_record.so.1", "libqolven_record.so")


class WriteFailed(QolvenError, OSError):
    """The file could not be written (disk full, no permission, ...); what
    was flushed before stays in it."""


class _Status(ctypes.Structure):
    _fields_ = [("state", ctypes.c_int), ("result", ctypes.c_int), ("elapsed", ctypes.c_double),
                ("trigger_time", ctypes.c_double), ("start_spread", ctypes.c_double),
                ("samples", ctypes.c_uint64), ("lost", ctypes.c_uint64), ("events", ctypes.c_uint64),
                ("bytes", ctypes.c_uint64), ("file_index", ctypes.c_int), ("file", ctypes.c_char * 1024),
                ("stop_reason", ctypes.c_char * _TEXT)]


class _DeviceStatus(ctypes.Structure):
    _fields_ = [("serial", ctypes.c_char * 64), ("board_type", ctypes.c_int), ("rate_code", ctypes.c_int),
                ("nominal_rate", ctypes.c_double), ("has_load", ctypes.c_int), ("start_offset", ctypes.c_double),
                ("last_time", ctypes.c_double), ("last_count", ctypes.c_int64), ("last_load", ctypes.c_double),
                ("samples", ctypes.c_uint64), ("lost", ctypes.c_uint64), ("tared", ctypes.c_int),
                ("tare_count", ctypes.c_int64), ("limit_state", ctypes.c_int)]


class _Event(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("device", ctypes.c_int), ("detail", ctypes.c_int),
                ("time", ctypes.c_double), ("sequence", ctypes.c_int64), ("value", ctypes.c_double),
                ("text", ctypes.c_char * _TEXT)]


_lib: Optional[ctypes.CDLL] = None


def _library() -> ctypes.CDLL:
    """libqolven_record, beside the driver library the package loaded."""
    global _lib
    if _lib is not None:
        return _lib
    native = _native.loaded()
    if native is None:
        raise QolvenError("open a device first: the recorder uses the driver library the package loaded", code=-1)
    own = os.environ.get("QOLVEN_RECORD_LIBRARY")
    candidates: List[str] = [own] if own else []
    driver = getattr(native.lib, "_name", "") or ""
    if "/" in driver:
        folder = Path(driver).parent
        candidates += [str(folder / n) for n in _NAMES if (folder / n).exists()]
    candidates += list(_NAMES)
    reasons = []
    for path in candidates:
        try:
            lib = ctypes.CDLL(path, mode=ctypes.RTLD_LOCAL)
            break
        except OSError as e:
            reasons.append(str(e))
    else:
        raise QolvenError("the recorder library (libqolven_record; set QOLVEN_RECORD_LIBRARY) cannot be loaded (%s)"
                          % (reasons[0] if reasons else "no candidate"), code=-1)
    c, vp, i, d = ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_double
    for name, restype, args in [
        ("qolven_record_version", c, ()),
        ("qolven_record_format_available", i, (i,)),
        ("qolven_recorder_create", vp, ()),
        ("qolven_recorder_destroy", None, (vp,)),
        ("qolven_recorder_error_text", c, (vp,)),
        ("qolven_recorder_add_device", i, (vp, vp)),
        ("qolven_recorder_set_output", i, (vp, c, i)),
        ("qolven_recorder_set_rate", i, (vp, i)),
        ("qolven_recorder_set_duration", i, (vp, d)),
        ("qolven_recorder_set_start_trigger", i, (vp, i, i, i, d, d)),
        ("qolven_recorder_set_stop_trigger", i, (vp, i, i, i, d)),
        ("qolven_recorder_set_limits", i, (vp, i, i, d, d)),
        ("qolven_recorder_set_stop_on_limit", i, (vp, i)),
        ("qolven_recorder_set_tare_at_start", i, (vp, i)),
        ("qolven_recorder_set_rotation", i, (vp, ctypes.c_uint64, d)),
        ("qolven_recorder_set_flush_interval", i, (vp, d)),
        ("qolven_recorder_set_application", i, (vp, c)),
        ("qolven_recorder_set_real_time", i, (vp, i)),
        ("qolven_recorder_start", i, (vp,)),
        ("qolven_recorder_wait", i, (vp, i, ctypes.POINTER(i))),
        ("qolven_recorder_stop", i, (vp,)),
        ("qolven_recorder_tare", i, (vp, i)),
        ("qolven_recorder_mark", i, (vp, c)),
        ("qolven_recorder_status", i, (vp, ctypes.POINTER(_Status))),
        ("qolven_recorder_device_count", i, (vp, ctypes.POINTER(i))),
        ("qolven_recorder_device_status", i, (vp, i, ctypes.POINTER(_DeviceStatus))),
        ("qolven_recorder_next_event", i, (vp, ctypes.POINTER(_Event), ctypes.POINTER(i))),
    ]:
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = args
    _lib = lib
    return lib


def _text(value: bytes) -> str:
    return value.decode("utf-8", "replace")


class Trigger(NamedTuple):
    """A level crossing: `quantity` ("count" or "load") of `device` (a Device,
    its serial number or its index; None: the first) crossing `level` in the
    direction of `edge` ("rising" or "falling")."""
    level: float
    edge: str = "rising"
    quantity: str = "count"
    device: Any = None

    @staticmethod
    def parse(text: str) -> "Trigger":
        """The tool's syntax: ``[SERIAL:]EDGE:QUANTITY:LEVEL``, e.g. "rising:count:9000000"."""
        parts = text.split(":")
        if len(parts) not in (3, 4):
            raise ValueError("%r is not [SERIAL:]EDGE:QUANTITY:LEVEL, e.g. rising:count:9000000" % text)
        device = parts.pop(0) if len(parts) == 4 else None
        return Trigger(float(parts[2]), parts[0], parts[1], device)


class Event(NamedTuple):
    """One event of a recording (the /events table)."""
    time: float          # seconds since the recording's time 0
    device: int          # index of the device, -1 for all
    kind: str            # "start", "stop", "trigger", "tare", "limit", "lost", ...
    detail: int          # limit: 1 above, -1 below, 0 back within; trigger: 1 rising, 2 falling
    sequence: int        # the device's sample it refers to, -1 for none
    value: float
    text: str


class RecordResult(NamedTuple):
    file: str            # the (last) file written
    files: int           # with rotation, how many; else 1
    samples: int
    lost: int
    events: int
    bytes: int
    start_spread: float
    stop_reason: str
    devices: List[Dict[str, Any]]


class Recorder:
    """A recording under way (``record(..., wait=False)``).  Use it as a
    context manager, or call :meth:`wait`: the devices are yours again once
    it has finished."""

    def __init__(self, handle: ctypes.c_void_p, devices: Sequence[Any]) -> None:
        self._lib = _library()
        self._handle = handle
        self._devices = list(devices)  # kept alive while the recorder uses them
        self._lent: List[Tuple[Any, ctypes.c_void_p]] = []
        self._result: Optional[RecordResult] = None

    def _check(self, status: int, what: str) -> None:
        if status:
            raise _failure(self._lib, self._handle, status, what)

    def _index(self, device: Any) -> int:
        return _index_of(self._devices, device)

    def stop(self) -> None:
        """Ends the recording now; the samples up to now are still written."""
        if self._handle is not None and self._result is None:
            self._lib.qolven_recorder_stop(self._handle)

    def tare(self, device: Any = None) -> None:
        """Takes the newest count of `device` (None: every device) as its zero, as an event."""
        self._check(self._lib.qolven_recorder_tare(self._handle, -1 if device is None else self._index(device)),
                    "tare")

    def mark(self, text: str) -> None:
        """A mark of yours at this moment, as an event (up to 159 bytes of UTF-8)."""
        self._check(self._lib.qolven_recorder_mark(self._handle, text.encode()), "mark")

    def status(self) -> Dict[str, Any]:
        """State ("waiting", "recording", ...), elapsed seconds, samples, lost, file, ..."""
        st = _Status()
        self._lib.qolven_recorder_status(self._handle, ctypes.byref(st))
        return {"state": _STATES[st.state] if 0 <= st.state < len(_STATES) else str(st.state),
                "elapsed": st.elapsed, "trigger_time": st.trigger_time, "start_spread": st.start_spread,
                "samples": st.samples, "lost": st.lost, "events": st.events, "bytes": st.bytes,
                "file_index": st.file_index, "file": _text(st.file), "stop_reason": _text(st.stop_reason)}

    def devices(self) -> List[Dict[str, Any]]:
        """Per device: serial, newest time and count, samples, lost, tare, limit state."""
        out = []
        for i in range(len(self._devices)):
            ds = _DeviceStatus()
            self._lib.qolven_recorder_device_status(self._handle, i, ctypes.byref(ds))
            out.append({"serial": _text(ds.serial), "board_type": ds.board_type, "rate_code": ds.rate_code,
                        "nominal_rate": ds.nominal_rate, "has_load": bool(ds.has_load),
                        "start_offset": ds.start_offset, "last_time": ds.last_time, "last_count": ds.last_count,
                        "last_load": ds.last_load, "samples": ds.samples, "lost": ds.lost,
                        "tared": bool(ds.tared), "tare_count": ds.tare_count, "limit_state": ds.limit_state})
        return out

    def events(self) -> Iterator[Event]:
        """The events written since the last look (the newest 4096 are kept)."""
        e = _Event()
        got = ctypes.c_int()
        while self._handle is not None:
            self._lib.qolven_recorder_next_event(self._handle, ctypes.byref(e), ctypes.byref(got))
            if not got.value:
                return
            yield _event(e)

    def wait(self, timeout: Optional[float] = None) -> Optional[RecordResult]:
        """Waits for the end (None: as long as it takes) and returns the result;
        None when the time ran out first.  A failure that ended the recording
        raises (WriteFailed for the file).  Ctrl-C stops the recording, waits
        for the file to be closed whole and raises KeyboardInterrupt."""
        if self._result is not None:
            return self._result
        deadline = None if timeout is None else time.monotonic() + timeout
        finished = ctypes.c_int()
        while True:
            step = 200 if deadline is None else max(0, min(200, int((deadline - time.monotonic()) * 1000)))
            try:
                status = self._lib.qolven_recorder_wait(self._handle, step, ctypes.byref(finished))
            except KeyboardInterrupt:
                self.stop()
                self._lib.qolven_recorder_wait(self._handle, -1, ctypes.byref(finished))
                raise
            if finished.value:
                break
            if deadline is not None and time.monotonic() >= deadline:
                return None
        if status:
            raise _failure(self._lib, self._handle, status, "record")
        st = self.status()
        self._result = RecordResult(st["file"], st["file_index"] or 1, st["samples"], st["lost"], st["events"],
                                    st["bytes"], st["start_spread"], st["stop_reason"], self.devices())
        return self._result

    def close(self) -> None:
        """Stops a recording under way, waits for it and releases the recorder."""
        if self._handle is not None:
            self._lib.qolven_recorder_destroy(self._handle)
            self._handle = None
        while self._lent:
            device, handle = self._lent.pop()
            device._give_back(handle)

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


def _failure(lib: ctypes.CDLL, handle: Any, status: int, what: str) -> QolvenError:
    reason = _text(lib.qolven_recorder_error_text(handle) or b"")
    if status == WRITE_FAILED:
        return WriteFailed(reason, status, 0, None)
    return error_for(status, reason, 0, None if status in (3, 4, 5) else what)


def _event(e: _Event) -> Event:
    kind = EVENT_KINDS[e.kind] if 0 <= e.kind < len(EVENT_KINDS) else str(e.kind)
    return Event(e.time, e.device, kind, e.detail, e.sequence, e.value, _text(e.text))


def _index_of(devices: Sequence[Any], device: Any) -> int:
    if device is None:
        return 0
    if isinstance(device, int) and not isinstance(device, bool):
        if not 0 <= device < len(devices):
            raise ValueError("device %d is not one of the %d recorded" % (device, len(devices)))
        return device
    for i, d in enumerate(devices):
        if d is device or (isinstance(device, str) and getattr(d, "serial", None) == device):
            return i
    raise ValueError("%r is not one of the devices recorded" % (device,))


def _choice(table: Dict[str, int], value: str, what: str) -> int:
    if value not in table:
        raise ValueError("%s %r is not one of %s" % (what, value, ", ".join(table)))
    return table[value]


def record(devices: Union[Any, Iterable[Any]], path: Union[str, os.PathLike], *, seconds: Optional[float] = None,
           rate_code: Optional[int] = None, start: Union[None, str, Trigger] = None, pre: float = 0,
           stop: Union[None, str, Trigger] = None, limits: Optional[Dict[Any, tuple]] = None,
           stop_on_limit: bool = False, tare: bool = False, rotate_bytes: int = 0, rotate_seconds: float = 0,
           overwrite: bool = False, flush_interval: Optional[float] = None, real_time: bool = True,
           wait: bool = True) -> Union[RecordResult, Recorder]:
    """Records open devices into `path` (.h5/.hdf5 or .csv).

    seconds: how long (after the start trigger with `start`); None: until stopped.
    rate_code: sampling-rate code of every board (None keeps each board's own).
    start, stop: a Trigger or the tool's text "[SERIAL:]EDGE:QUANTITY:LEVEL";
        `pre` seconds before the start trigger are kept.
    limits: {device: (low, high)} on the count, or (quantity, low, high);
        None for no limit on that side.  Every crossing is an event;
        `stop_on_limit` ends the recording at the first.
    tare: each device's live value becomes its zero before the start.
    rotate_bytes, rotate_seconds: a new file (NAME-0001.h5, ...) at that size or age.
    real_time: the reading threads run at a real-time priority where the process may.
    wait: True returns the RecordResult when it ends; False returns the Recorder.
    """
    if not isinstance(devices, (list, tuple)):
        devices = [devices]
    lib = _library()
    handle = ctypes.c_void_p(lib.qolven_recorder_create())
    if not handle:
        raise MemoryError("the recorder could not be created")
    recorder = Recorder(handle, devices)
    try:
        check = recorder._check
        from . import __version__
        check(lib.qolven_recorder_set_application(handle, ("qolven-python " + __version__).encode()), "record")
        check(lib.qolven_recorder_set_output(handle, os.fsencode(os.fspath(path)), 1 if overwrite else 0), "output")
        for d in devices:
            lend = getattr(d, "_lend", None)
            if lend is None:
                raise TypeError("record takes qolven.Device objects, not %s" % type(d).__name__)
            raw = lend(recorder)
            recorder._lent.append((d, raw))
            check(lib.qolven_recorder_add_device(handle, raw), "record")
        if rate_code is not None:
            check(lib.qolven_recorder_set_rate(handle, int(rate_code)), "rate_code")
        if seconds is not None:
            check(lib.qolven_recorder_set_duration(handle, float(seconds)), "seconds")
        for which, trigger in (("start", start), ("stop", stop)):
            if trigger is None:
                continue
            t = Trigger.parse(trigger) if isinstance(trigger, str) else trigger
            args = (_index_of(devices, t.device), _choice(_QUANTITIES, t.quantity, "quantity"),
                    _choice(_EDGES, t.edge, "edge"), float(t.level))
            if which == "start":
                check(lib.qolven_recorder_set_start_trigger(handle, *args, float(pre)), "start")
            else:
                check(lib.qolven_recorder_set_stop_trigger(handle, *args), "stop")
        if pre and start is None:
            raise ValueError("pre needs a start trigger")
        for device, bounds in (limits or {}).items():
            quantity = "count"
            if len(bounds) == 3:
                quantity, low, high = bounds
            else:
                low, high = bounds
            check(lib.qolven_recorder_set_limits(
                handle, _index_of(devices, device), _choice(_QUANTITIES, quantity, "quantity"),
                math.nan if low is None else float(low), math.nan if high is None else float(high)), "limits")
        if stop_on_limit:
            check(lib.qolven_recorder_set_stop_on_limit(handle, 1), "stop_on_limit")
        if tare:
            check(lib.qolven_recorder_set_tare_at_start(handle, 1), "tare")
        if rotate_bytes or rotate_seconds:
            check(lib.qolven_recorder_set_rotation(handle, int(rotate_bytes), float(rotate_seconds)), "rotation")
        if not real_time:
            check(lib.qolven_recorder_set_real_time(handle, 0), "real_time")
        if flush_interval is not None:
            check(lib.qolven_recorder_set_flush_interval(handle, float(flush_interval)), "flush_interval")
        check(lib.qolven_recorder_start(handle), "record")
    except BaseException:
        recorder.close()
        raise
    if not wait:
        return recorder
    try:
        return recorder.wait()  # type: ignore[return-value]
    finally:
        recorder.close()


# ---- reading recordings

class DeviceRecording(NamedTuple):
    """One device of a recording: its columns (numpy arrays with h5py, lists
    from a CSV file without numpy) and its attributes."""
    serial: str
    attrs: Dict[str, Any]
    time: Any
    count: Any
    sequence: Any
    channel: Any
    load: Any            # None without a calibration


class Recording(NamedTuple):
    attrs: Dict[str, Any]
    devices: Dict[str, DeviceRecording]  # by serial number, in the recorded order
    events: List[Event]


def open_file(path: Union[str, os.PathLike]):
    """The recording as an h5py.File (read-only).  A file whose writer was
    killed still carries HDF5's mark of a file open for writing; it opens as
    a SWMR reader, with everything the last flush wrote."""
    import h5py
    try:
        return h5py.File(path, "r")
    except OSError:
        return h5py.File(path, "r", swmr=True)


def load(path: Union[str, os.PathLike]) -> Recording:
    """Reads a whole recording (HDF5 through h5py, or CSV) into memory."""
    if str(path).lower().endswith(".csv"):
        return _load_csv(path)
    with open_file(path) as f:
        attrs = {k: _plain(v) for k, v in f.attrs.items()}
        groups = sorted(f["devices"].values(), key=lambda g: int(g.attrs["index"]))
        devices = {}
        for g in groups:
            a = {k: _plain(v) for k, v in g.attrs.items()}
            devices[a["serial"]] = DeviceRecording(
                a["serial"], a, g["time"][()], g["count"][()], g["sequence"][()], g["channel"][()],
                g["load"][()] if "load" in g else None)
        events = [Event(float(r["time"]), int(r["device"]), EVENT_KINDS[int(r["kind"])], int(r["detail"]),
                        int(r["sequence"]), float(r["value"]), bytes(r["text"]).decode("utf-8", "replace"))
                  for r in f["events"][()]]
    return Recording(attrs, devices, events)


def _plain(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if hasattr(value, "tolist") and getattr(value, "shape", ()) == ():
        return value.item()
    return value


def _pairs(text: str) -> Dict[str, str]:
    out: Dict[str, str] = {}
    i = 0
    while i < len(text):
        while i < len(text) and text[i] == " ":
            i += 1
        eq = text.find("=", i)
        if eq < 0:
            break
        key = text[i:eq]
        i = eq + 1
        if i < len(text) and text[i] == '"':
            value = []
            i += 1
            while i < len(text) and text[i] != '"':
                if text[i] == "\\" and i + 1 < len(text):
                    i += 1
                value.append(text[i])
                i += 1
            i += 1
            out[key] = "".join(value)
        else:
            end = text.find(" ", i)
            end = len(text) if end < 0 else end
            out[key] = text[i:end]
            i = end
    return out


def _load_csv(path: Union[str, os.PathLike]) -> Recording:
    attrs: Dict[str, Any] = {}
    device_attrs: List[Dict[str, Any]] = []
    columns: Dict[str, Dict[str, list]] = {}
    events: List[Event] = []
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        rows = []
        for line in f:
            if line.startswith("# device "):
                head, _, rest = line[9:].partition(":")
                index = int(head.split()[0])
                while len(device_attrs) <= index:
                    device_attrs.append({})
                prefix = "end_" if head.endswith(" end") else ""
                device_attrs[index].update({prefix + k: v for k, v in _pairs(rest.strip()).items()})
            elif line.startswith("# event: "):
                p = _pairs(line[9:].strip())
                events.append(Event(float(p["time"]), int(p["device"]), p["kind"], int(p["detail"]),
                                    int(p["sequence"]), float(p["value"]), p["text"]))
            elif line.startswith("# end: "):
                attrs.update(_pairs(line[7:].strip()))
            elif line.startswith("# ") and not line.startswith("# qolven recording:"):
                attrs.update(_pairs(line[2:].strip()))
            elif not line.startswith("#"):
                rows.append(line)
    reader = csv.reader(rows)
    next(reader, None)  # the header row
    for serial, sequence, channel, t, count, load_ in reader:
        c = columns.setdefault(serial, {"time": [], "count": [], "sequence": [], "channel": [], "load": []})
        c["time"].append(float(t))
        c["count"].append(int(count))
        c["sequence"].append(int(sequence))
        c["channel"].append(int(channel))
        c["load"].append(float(load_) if load_ else math.nan)
    try:
        import numpy
    except ImportError:
        numpy = None
    devices = {}
    for a in device_attrs:
        serial = a.get("serial", "")
        c = columns.get(serial, {"time": [], "count": [], "sequence": [], "channel": [], "load": []})
        convert = (lambda v: numpy.asarray(v)) if numpy is not None else (lambda v: v)
        has_load = a.get("has_load") == "1"
        devices[serial] = DeviceRecording(serial, a, convert(c["time"]), convert(c["count"]), convert(c["sequence"]),
                                          convert(c["channel"]), convert(c["load"]) if has_load else None)
    return Recording(attrs, devices, events)
