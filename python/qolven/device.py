"""The device object: one open device, its parameters, readings and stream."""
from __future__ import annotations

import contextlib
import ctypes
import threading
import weakref
from typing import TYPE_CHECKING, Any, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _args, _errors
from ._errors import QolvenError, QolvenNotOpen, error_for, not_open
from ._native import Calibration as _CCalibration
from ._native import CReading, Identity, Native, text

if TYPE_CHECKING:
    from .stream import Stream

# Kinds of parameter values (qolven_value_kind in qolven.h).
INTEGER, COUNT, MAC, IP, BYTES = range(5)
_READABLE, _WRITABLE, _INDEXED, _OPTIONAL = 1, 2, 4, 8
# Refusals of the interface, whose texts name what was refused.
_SELF_NAMED = (_errors.INVALID_ARGUMENT, _errors.UNKNOWN_NAME, _errors.NOT_SUPPORTED)
# Room for any value text (the longest, a MAC address, has 17 characters).
_BUFFER_SIZE = 512


class ParameterInfo(NamedTuple):
    """One row of the library's parameter table."""
    index: int
    name: str            # as the tool writes it: "decimal-point"
    attribute: str       # as Python writes it: "decimal_point"
    meaning: str
    syntax: str          # the values a user writes, e.g. "0..255"
    kind: int            # INTEGER, COUNT, MAC, IP or BYTES
    readable: bool
    writable: bool
    indexed: bool        # takes a loading-point number
    value_optional: bool
    low: int             # INTEGER/COUNT: values accepted; BYTES: the number of bytes
    high: int
    getter: str          # library methods behind it ("" when none)
    setter: str
    read_types: Tuple[int, ...]   # board types that serve reading it
    write_types: Tuple[int, ...]  # and writing it


def parameter_table(native: Native) -> List[ParameterInfo]:
    """The parameter table of the loaded library."""
    cached = getattr(native, "parameters", None)
    if cached is not None:
        return cached
    lib = native.lib
    rows = []
    types = [t for t in range(256) if lib.qolven_board_type_known(t)]
    for i in range(lib.qolven_parameter_count()):
        name = text(lib.qolven_parameter_name(i))
        flags = lib.qolven_parameter_flags(i)
        low, high = ctypes.c_int64(), ctypes.c_int64()
        lib.qolven_parameter_range(i, ctypes.byref(low), ctypes.byref(high))
        served = [tuple(t for t in types if lib.qolven_parameter_serves(i, t, access))
                  for access in (_READABLE, _WRITABLE)]
        rows.append(ParameterInfo(
            i, name, name.replace("-", "_"), text(lib.qolven_parameter_meaning(i)),
            text(lib.qolven_parameter_syntax(i)), lib.qolven_parameter_kind(i),
            bool(flags & _READABLE), bool(flags & _WRITABLE), bool(flags & _INDEXED),
            bool(flags & _OPTIONAL), low.value, high.value,
            text(lib.qolven_parameter_getter(i)), text(lib.qolven_parameter_setter(i)), served[0], served[1]))
    native.parameters_by_attribute = {p.attribute: p for p in rows}
    native.parameters_by_name = {p.name: p for p in rows}
    # What a get needs, by either spelling of the name: the row, its name as
    # bytes and whether the value is a plain integer.
    native.parameter_calls = {key: (p, p.name.encode(), p.kind == INTEGER) for p in rows
                              for key in (p.name, p.attribute)}
    native.plain_attributes = {p.attribute: native.parameter_calls[p.attribute] for p in rows
                               if p.readable and not p.indexed}
    native.parameters = rows
    return rows


class BoardInfo(NamedTuple):
    serial: str
    board_type: int
    board_class: str     # e.g. "eeprom", "multi-channel", "display"
    board_meaning: str
    hardware_version: int
    firmware_version: int
    firmware_year: int   # 0..15, the board's own year nibble
    firmware_month: int
    answers: bool        # whether the board acknowledged the activity inquiry


class Reading(NamedTuple):
    """One live reading of the channel (qolven_read: the same load as the tool and the page).

    `count` is the converter count, or None when the board answered with a
    status text instead (then in `status`, e.g. "Positive Overflow").  `load`
    is the load with the display's decimal point applied and a host-side tare
    taken off, `load_text` as the display writes it ("2.50"); both None/""
    without a load, and `why` then says why.  `decimal_point` and `unit_code`
    are None where the board keeps none.
    """
    count: Optional[int]
    load: Optional[float]
    status: str
    load_text: str
    decimal_point: Optional[int]
    unit_code: Optional[int]
    tared: bool
    why: str


class Calibration(NamedTuple):
    """What turns a count into a load: the points the load runs along, as
    (count, stored load) pairs; `source` "table" (the loading points in use),
    "offset-fullscale" (the board's pair), or "none" with the reason in `why`."""
    source: str
    points: Tuple[Tuple[int, int], ...]
    points_in_use: Optional[int]
    decimal_point: Optional[int]
    unit_code: Optional[int]
    why: str


def _or_none(value: int) -> Optional[int]:
    return None if value < 0 else value


def _number(value: str) -> Union[int, str]:
    try:
        return int(value)
    except ValueError:
        return value


def _encode(info: ParameterInfo, value: Any) -> bytes:
    """The value as the library reads it; the library checks the range."""
    what = info.attribute
    if value is None:
        return b""
    if isinstance(value, (str, bytes)) and not (info.kind == MAC and isinstance(value, bytes)):
        return _args.text(value, what)
    if info.kind in (INTEGER, COUNT):
        return str(_args.integer(value, what, *_args.INT64)).encode()
    if isinstance(value, (bytes, bytearray, list, tuple)):
        parts = [_args.integer(b, what + " byte", *_args.INT64) for b in value]
        if info.kind == MAC:
            return ":".join("%02x" % b for b in parts).encode()
        return ("." if info.kind == IP else ",").join(str(b) for b in parts).encode()
    raise TypeError("%s takes %s, not %s" % (what, info.syntax, type(value).__name__))


def _decode(info: ParameterInfo, value: str) -> Any:
    if info.kind == INTEGER:
        return int(value)
    if info.kind == COUNT:
        return _number(value)  # a status text such as "Unassigned" stays a text
    return value


class _Points:
    """`dev.loading_point[3]`: an indexed parameter by point number."""
    __slots__ = ("_device", "_info")

    def __init__(self, device: "Device", info: ParameterInfo) -> None:
        self._device = device
        self._info = info

    def __getitem__(self, point: int) -> Any:
        return self._device.get(self._info.name, point)

    def __setitem__(self, point: int, value: Any) -> None:
        self._device.set(self._info.name, value, point)

    def __repr__(self) -> str:
        return "<%s of %r by point number>" % (self._info.attribute, self._device)


# The devices this interpreter holds open, so that a second open of one of
# them says so instead of passing on the bridge's bare "Device Not Opened".
_open_devices: "weakref.WeakSet[Device]" = weakref.WeakSet()
_open_devices_lock = threading.Lock()


def held_devices() -> List["Device"]:
    """The devices this interpreter has open on a bridge (not the offline ones)."""
    with _open_devices_lock:
        return [d for d in _open_devices if d.is_open]


def _held_hint(serial: str) -> str:
    held = [d for d in held_devices() if d.serial == serial]
    if not held:
        return ""
    return ("; this interpreter holds it already (%r): close that one first (qolven.held_devices() gives it; "
            "dev.close(), or open it in a with block)" % held[0])


class Device:
    """One open device; close it (or use `with`) when done.

    Stored parameters read and write as attributes with the tool's names,
    `-` written `_`: ``dev.decimal_point = 3``, ``dev.sampling_rate``;
    loading points by number: ``dev.loading_point[2] = -5``.

    Any thread may use it: calls on one device take turns (a lock), and
    `close()` from another thread ends a stream read that waits; every call
    after `close()` raises QolvenNotOpen.
    """

    def __init__(self, native: Native, serial: Optional[str] = None, offline: bool = False) -> None:
        lib = native.lib
        set_ = object.__setattr__
        wanted = None if serial is None else _args.text(serial, "serial number")
        set_(self, "_native", native)
        set_(self, "_lib", lib)
        parameter_table(native)
        set_(self, "_table", native.parameters_by_attribute)
        set_(self, "_calls", native.parameter_calls)
        set_(self, "_plain", native.plain_attributes)
        set_(self, "_get_parameter", lib.qolven_get_parameter)
        set_(self, "_buffer", ctypes.create_string_buffer(_BUFFER_SIZE))
        set_(self, "_lock", threading.RLock())
        set_(self, "_handle", None)
        set_(self, "_claim", [])     # holds the handle until one close() takes it
        set_(self, "_lent_to", None)  # the Recorder that holds the handle meanwhile
        set_(self, "_retired", None)  # closed inside a call of its own thread: freed with the object
        set_(self, "_serial", serial or "")
        set_(self, "_channel", 0)
        set_(self, "_calibration_type", 0)
        set_(self, "_stream", None)       # the stream running
        set_(self, "_last_stream", None)  # the one the library's counters belong to
        if wanted is not None and not offline:
            hint = _held_hint(serial)  # type: ignore[arg-type]
            if hint:
                raise _errors.QolvenDeviceBusy("open " + serial + ": the device is open" + hint,  # type: ignore
                                               _errors.DEVICE_BUSY)
        handle = lib.qolven_create()
        if not handle:
            raise MemoryError("the device object could not be created")
        handle = ctypes.c_void_p(handle)
        try:
            if offline:
                self._check_on(handle, lib.qolven_set_offline(handle, 1), "offline mode")
            status = lib.qolven_open(handle, wanted)
            if status:
                failure = self._failure(status, "open " + serial if serial else "open", handle)
                if status == _errors.DEVICE_BUSY:
                    failure = self._busy(failure, serial)
                raise failure
        except BaseException:
            lib.qolven_destroy(handle)
            raise
        set_(self, "_serial", text(lib.qolven_open_serial(handle)))
        self._claim.append(handle)
        set_(self, "_handle", handle)
        if not offline:
            with _open_devices_lock:
                _open_devices.add(self)

    def _busy(self, failure: QolvenError, serial: Optional[str]) -> QolvenError:
        if serial is None:
            try:
                attached = serial_numbers(self._native)
            except QolvenError:
                attached = []
            serial = attached[0] if len(attached) == 1 else None
        hint = _held_hint(serial) if serial else ""
        if not hint:
            hint = "; another program (or on real hardware the kernel's ftdi_sio driver) has it open"
        return type(failure)(failure.text + hint, failure.code, failure.d2xx_status,
                             "open " + serial if serial else "open")

    # ---- life cycle
    def close(self) -> None:
        """Closes the device; later calls raise QolvenNotOpen.  Closing twice is
        fine.  A stream read waiting in another thread ends at once; an
        exchange under way is finished first."""
        recorder = self._lent_to
        if recorder is not None:
            recorder.close()  # the recording ends first: it uses the handle
        try:
            handle = self._claim.pop()  # atomic: one close() takes the handle
        except IndexError:
            return
        object.__setattr__(self, "_handle", None)
        with _open_devices_lock:
            _open_devices.discard(self)
        lib = self._lib
        lib.qolven_interrupt(handle)
        lock = self._lock
        if lock._is_owned():  # type: ignore[attr-defined]
            # Called from inside a call of this thread (a signal handler, a
            # callback): that call may still read the object's error text.
            lib.qolven_close(handle)
            object.__setattr__(self, "_retired", handle)
            return
        with lock:
            status = lib.qolven_close(handle)
            failure = self._failure(status, "close", handle) if status else None
            lib.qolven_destroy(handle)
        if failure:
            raise failure

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            lib = self._lib
            for handle in list(self._claim) + ([self._retired] if self._retired else []):
                lib.qolven_close(handle)
                lib.qolven_destroy(handle)
            self._claim.clear()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "open" if self._handle is not None else "closed"
        return "<qolven.Device %s (%s)>" % (self._serial or "?", state)

    # ---- failures and the lock
    def _failure(self, status: int, what: Optional[str], handle: Any) -> QolvenError:
        """The exception of a failed call; inside the lock, the handle still alive."""
        if status in _SELF_NAMED:
            what = None  # the text names the argument already
        return error_for(status, text(self._lib.qolven_error_text(handle)), self._lib.qolven_d2xx_status(handle),
                         what)

    def _check_on(self, handle: Any, status: int, what: Optional[str] = None) -> None:
        if status:
            raise self._failure(status, what, handle)

    @contextlib.contextmanager
    def _hold(self, what: str = "") -> Iterator[ctypes.c_void_p]:
        """The raw handle, with the device's lock held: for the package's own
        modules that call further C functions on it."""
        with self._lock:
            handle = self._handle
            if handle is None:
                raise self._unavailable(what)
            yield handle

    def _unavailable(self, what: str) -> QolvenError:
        if self._lent_to is not None:
            return _errors.QolvenDeviceBusy(what + ": the device records; stop the recording first",
                                            _errors.DEVICE_BUSY)
        return not_open(what)

    def _lend(self, recorder: Any) -> ctypes.c_void_p:
        """The raw handle, for a recorder: until _give_back(), calls raise
        QolvenDeviceBusy and close() ends the recording first."""
        with self._lock:
            handle = self._handle
            if handle is None:
                raise self._unavailable("record")
            object.__setattr__(self, "_handle", None)
            object.__setattr__(self, "_lent_to", recorder)
            return handle

    def _give_back(self, handle: ctypes.c_void_p) -> None:
        with self._lock:
            if self._lent_to is None:
                return
            object.__setattr__(self, "_lent_to", None)
            if self._claim:
                object.__setattr__(self, "_handle", handle)

    def _run(self, function: Any, what: str, *arguments: Any) -> None:
        with self._lock:
            handle = self._handle
            if handle is None:
                raise self._unavailable(what)
            status = function(handle, *arguments)
            if status:
                raise self._failure(status, what, handle)

    # ---- settings of this object
    @property
    def serial(self) -> str:
        """USB serial number of the device."""
        return self._serial

    @property
    def is_open(self) -> bool:
        return self._handle is not None

    @property
    def channel(self) -> int:
        """Channel (0..3) the parameters and readings use; matters on four-channel boards."""
        return self._channel

    @channel.setter
    def channel(self, channel: int) -> None:
        channel = _args.integer(channel, "channel")
        self._run(self._lib.qolven_set_channel, "channel", channel)
        object.__setattr__(self, "_channel", channel)

    @property
    def calibration_type(self) -> int:
        """Type of calibration (0 or 1) for the loading points of channel 3 of four-channel boards."""
        return self._calibration_type

    @calibration_type.setter
    def calibration_type(self, value: int) -> None:
        value = _args.integer(value, "type of calibration")
        self._run(self._lib.qolven_set_calibration_type, "calibration type", value)
        object.__setattr__(self, "_calibration_type", value)

    # ---- parameters
    def parameters(self) -> List[ParameterInfo]:
        """Every parameter of the table, whatever the board type."""
        return parameter_table(self._native)

    def _info(self, name: str) -> ParameterInfo:
        info = self._table.get(name) or self._native.parameters_by_name.get(name)
        if info is None:
            raise error_for(_errors.UNKNOWN_NAME, 'unknown parameter "%s"' % name)
        return info

    def get(self, name: str, point: Optional[int] = None) -> Any:
        """Reads a stored parameter ("decimal-point" or "decimal_point"); `point`
        for the loading points."""
        # The path of every attribute read: kept short.
        found = self._calls.get(name)
        if found is None:
            self._info(name)  # raises
        info, cname, integer = found
        point = 0 if point is None else _args.integer(point, "point")
        buffer = self._buffer
        lock = self._lock
        lock.acquire()
        try:
            handle = self._handle
            if handle is None:
                raise self._unavailable("get " + info.name)
            status = self._get_parameter(handle, cname, point, buffer, _BUFFER_SIZE)
            if status:
                raise self._failure(status, "get " + info.name, handle)
            value = buffer.value
        finally:
            lock.release()
        if integer:
            return int(value)
        return _decode(info, value.decode("utf-8", "replace"))

    def set(self, name: str, value: Any, point: Optional[int] = None) -> None:
        """Writes a stored parameter.  Integers, or text as the tool takes it
        ("0x10", "192.168.1.10"); None captures the present reading for a
        loading point."""
        info = self._info(name)
        point = 0 if point is None else _args.integer(point, "point")
        self._run(self._lib.qolven_set_parameter, "set " + info.name, info.name.encode(), point,
                  _encode(info, value))

    def __getattr__(self, name: str) -> Any:
        # `get` once more, inline: this is the path of every attribute read.
        found = self._plain.get(name) if name[:1] != "_" else None
        if found is not None:
            info, cname, integer = found
            buffer = self._buffer
            lock = self._lock
            lock.acquire()
            try:
                handle = self._handle
                if handle is None:
                    raise self._unavailable("get " + info.name)
                status = self._get_parameter(handle, cname, 0, buffer, _BUFFER_SIZE)
                if status:
                    raise self._failure(status, "get " + info.name, handle)
                value = buffer.value
            finally:
                lock.release()
            if integer:
                return int(value)
            return _decode(info, value.decode("utf-8", "replace"))
        if name.startswith("_"):
            raise AttributeError(name)
        info = self._table.get(name)
        if info is None:
            raise AttributeError("%r has no attribute or parameter %r" % (type(self).__name__, name))
        if info.indexed:
            return _Points(self, info)
        if not info.readable:
            raise AttributeError("%s cannot be read (write only)" % name)
        return self.get(name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("_") or isinstance(getattr(type(self), name, None), property):
            object.__setattr__(self, name, value)
            return
        info = self._table.get(name)
        if info is None:
            raise AttributeError("%r has no parameter %r" % (type(self).__name__, name))
        if info.indexed:
            raise AttributeError("%s takes a point number: dev.%s[N] = value" % (name, name))
        self.set(info.name, value)

    def __dir__(self) -> List[str]:
        return sorted(set(super().__dir__()) | set(self._table))

    # ---- identity and readings
    def info(self) -> BoardInfo:
        """Identifies the board and asks whether it answers."""
        identity = Identity()
        self._run(self._lib.qolven_identify, "identify", ctypes.byref(identity))
        board_class = text(self._lib.qolven_board_type_class(identity.board_type))
        meaning = text(self._lib.qolven_board_type_meaning(identity.board_type))
        try:
            self.call("Slave_Activity_Inquiry")
            answers = True
        except QolvenNotOpen:
            raise
        except QolvenError:
            answers = False
        return BoardInfo(self._serial, identity.board_type, board_class, meaning, identity.hardware_version,
                         identity.firmware_version, identity.firmware_year, identity.firmware_month, answers)

    def read_count(self) -> int:
        """The live converter count of the channel; QolvenNoValue with the
        board's status text when it sent none ("Positive Overflow", ...)."""
        count = ctypes.c_int64()
        self._run(self._lib.qolven_read_count, "count", ctypes.byref(count))
        return count.value

    def read(self) -> Reading:
        """The live count and, where the board keeps a calibration, the load."""
        r = CReading()
        self._run(self._lib.qolven_read, "read", ctypes.byref(r))
        return Reading(r.count if r.has_count else None, r.load if r.has_load else None, text(r.status),
                       text(r.load_text), _or_none(r.decimal_point), _or_none(r.unit_code), bool(r.tared),
                       text(r.why))

    def calibration(self) -> Calibration:
        """The calibration of the channel, as the loads are computed from it."""
        c = _CCalibration()
        self._run(self._lib.qolven_read_calibration, "calibration", ctypes.byref(c))
        points = tuple((c.counts[i], c.loads[i]) for i in range(c.points))
        return Calibration(text(self._lib.qolven_load_source_name(c.source)), points, _or_none(c.points_in_use),
                           _or_none(c.decimal_point), _or_none(c.unit_code), text(c.why))

    def set_tare(self, count: Optional[int] = None) -> int:
        """Host-side tare: loads from now on are relative to the load at `count`
        (None: the live count, read now).  The board is not touched.  Returns
        the count taken."""
        if count is None:
            count = self.read_count()
        count = _args.integer(count, "tare count", *_args.INT64)
        self._run(self._lib.qolven_set_tare, "tare", count)
        return count

    def clear_tare(self) -> None:
        self._run(self._lib.qolven_clear_tare, "tare")

    @property
    def tare(self) -> Optional[int]:
        """The count of the host-side tare, None without tare."""
        active, count = ctypes.c_int(), ctypes.c_int64()
        self._run(self._lib.qolven_get_tare, "tare", ctypes.byref(active), ctypes.byref(count))
        return count.value if active.value else None

    def stream(self, rate_code: Optional[int] = None, seconds: Optional[float] = None, block_size: int = 256,
               reconnect: bool = True, on_event: Any = None) -> "Stream":
        """Fast data: sets the board's sampling-rate code (0..15, 15 = 1000
        samples/s; None keeps the board's) and gives a Stream, an iterator of
        Blocks, for `seconds` of stream time (None: until stopped).
        `reconnect`: wait for an unplugged bridge and go on (the default), or
        fail with QolvenDisconnected.  `on_event(event)` is called for each
        lost / disconnected / reconnected event, in the iterating thread."""
        from .stream import Stream
        return Stream(self, rate_code, seconds, block_size, reconnect, on_event)

    # ---- display, keys and pages
    def press_key(self, name: str) -> None:
        """Presses a front-panel key of a handheld display by name or alias ("tare", "up")."""
        self._run(self._lib.qolven_press_key, "key " + str(name), _args.text(name, "key"))

    def display(self) -> List[str]:
        """The four lines of the display, 16 characters each (the board's bytes as Latin-1)."""
        lines = (ctypes.c_char * 17 * 4)()
        self._run(self._lib.qolven_read_display, "display", lines)
        return [bytes(line.raw[:16]).decode("latin-1") for line in lines]

    def read_page(self, page: int) -> bytes:
        """The 129 bytes of register page `page` (0..255)."""
        data = (ctypes.c_ubyte * 129)()
        self._run(self._lib.qolven_read_page, "page", _args.integer(page, "page"), data)
        return bytes(data)

    # ---- the library's methods by name
    def call(self, method: str, *arguments: Any) -> Union[str, bytes]:
        """Runs a library method by name ("Get_Decimal_Point") with its arguments
        after the device handle and returns its own result text (bytes for
        methods whose result is raw bytes).  A result of "Error" raises."""
        lib = self._lib
        name = _args.text(method, "method name")
        values = [_args.text(a if isinstance(a, (str, bytes)) else str(a), "%s argument %d" % (method, n + 1))
                  for n, a in enumerate(arguments)]
        texts = (ctypes.c_char_p * max(len(values), 1))(*values)
        length = ctypes.c_size_t()
        with self._lock:
            handle = self._handle
            if handle is None:
                raise self._unavailable(method)
            buffer = self._buffer
            status = lib.qolven_call(handle, name, texts, len(values), buffer, len(buffer), ctypes.byref(length))
            if status == _errors.BUFFER_TOO_SMALL:
                buffer = ctypes.create_string_buffer(length.value + 1)
                status = lib.qolven_result_text(handle, buffer, len(buffer), ctypes.byref(length))
            if status:
                raise self._failure(status, method, handle)
            raw = buffer.raw[:length.value]
        if text(lib.qolven_method_result(lib.qolven_method_find(name))) == "raw":
            return raw
        return raw.decode("latin-1")

    def field(self, name: str) -> str:
        """A field of the device object that methods fill ("displayLine1", "dataLogRecord", ...)."""
        length = ctypes.c_size_t()
        cname = _args.text(name, "field name")
        with self._lock:
            handle = self._handle
            if handle is None:
                raise self._unavailable("field " + name)
            buffer = self._buffer
            status = self._lib.qolven_get_field(handle, cname, buffer, len(buffer), ctypes.byref(length))
            if status == _errors.BUFFER_TOO_SMALL:
                buffer = ctypes.create_string_buffer(length.value + 1)
                status = self._lib.qolven_result_text(handle, buffer, len(buffer), ctypes.byref(length))
            if status:
                raise self._failure(status, "field " + name, handle)
            return buffer.raw[:length.value].decode("latin-1")


def method_table(native: Native) -> List[Tuple[str, str, List[Tuple[str, str]]]]:
    """Every library method: name, result kind and its arguments (name, kind)."""
    lib = native.lib
    table = []
    for i in range(lib.qolven_method_count()):
        arguments = [(text(lib.qolven_method_argument_name(i, a)), text(lib.qolven_method_argument_kind(i, a)))
                     for a in range(lib.qolven_method_argument_count(i))]
        table.append((text(lib.qolven_method_name(i)), text(lib.qolven_method_result(i)), arguments))
    return table


class BoardType(NamedTuple):
    """One row of the library's board-type table."""
    code: int
    board_class: str              # "eeprom", "multi-channel", "display", ...
    meaning: str
    families: Tuple[str, ...]     # families of commands it serves ("parameters", "fast-data", ...)
    last_rate_code: int           # highest sampling-rate code its converter takes


def board_type_table(native: Native) -> List[BoardType]:
    lib = native.lib
    families = [text(lib.qolven_board_type_family_name(i)) for i in range(lib.qolven_board_type_family_count())]
    rows = []
    code = 0
    while lib.qolven_board_type_known(code):
        served = tuple(f for i, f in enumerate(families) if lib.qolven_board_type_serves(code, i))
        rows.append(BoardType(code, text(lib.qolven_board_type_class(code)), text(lib.qolven_board_type_meaning(code)),
                              served, lib.qolven_board_type_last_rate_code(code)))
        code += 1
    return rows


class Key(NamedTuple):
    """A front-panel key of the handheld displays."""
    name: str      # "tare"
    alias: str     # the other name printed on it: "up"
    method: str    # the library method that presses it


def key_table(native: Native) -> List[Key]:
    lib = native.lib
    return [Key(text(lib.qolven_key_name(i)), text(lib.qolven_key_alias(i)), text(lib.qolven_key_method(i)))
            for i in range(lib.qolven_key_count())]


def serial_numbers(native: Native) -> List[str]:
    """Serial numbers of the attached devices."""
    lib = native.lib
    handle = ctypes.c_void_p(lib.qolven_create())
    if not handle:
        raise MemoryError("the device object could not be created")
    try:
        count = ctypes.c_int()
        status = lib.qolven_device_count(handle, ctypes.byref(count))
        buffer = ctypes.create_string_buffer(256)
        serials = []
        for index in range(count.value if status == 0 else 0):
            status = lib.qolven_device_serial(handle, index, buffer, len(buffer))
            if status:
                break
            serials.append(buffer.value.decode("utf-8", "surrogateescape"))
        if status:
            raise error_for(status, text(lib.qolven_error_text(handle)), lib.qolven_d2xx_status(handle),
                            "list devices")
        return serials
    finally:
        lib.qolven_destroy(handle)


__all__ = ["Device", "BoardInfo", "BoardType", "Reading", "Calibration", "ParameterInfo", "Key"]
