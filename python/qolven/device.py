"""The device object: one open device, its parameters, readings and stream."""
from __future__ import annotations

import ctypes
from typing import Any, Iterator, List, NamedTuple, Optional, Tuple, Union

from . import _errors
from ._errors import QolvenError, error_for
from ._native import Identity, Native, text

try:
    import numpy
except ImportError:  # numpy is used when present, never required
    numpy = None

# Kinds of parameter values (qolven_value_kind in qolven.h).
INTEGER, COUNT, MAC, IP, BYTES = range(5)
_READABLE, _WRITABLE, _INDEXED, _OPTIONAL = 1, 2, 4, 8
# Refusals of the interface, whose texts name what was refused.
_SELF_NAMED = (_errors.INVALID_ARGUMENT, _errors.UNKNOWN_NAME, _errors.NOT_SUPPORTED)
# Room for any value text (the longest, a MAC address, has 17 characters).
_BUFFER_SIZE = 512
# Timeouts in a row before a stream gives up.
_TIMEOUTS_IN_A_ROW = 50


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
    for i in range(lib.qolven_parameter_count()):
        name = text(lib.qolven_parameter_name(i))
        flags = lib.qolven_parameter_flags(i)
        low, high = ctypes.c_int64(), ctypes.c_int64()
        lib.qolven_parameter_range(i, ctypes.byref(low), ctypes.byref(high))
        types = [t for t in range(256) if lib.qolven_board_type_known(t)]
        served = [tuple(t for t in types if lib.qolven_parameter_serves(i, t, access))
                  for access in (_READABLE, _WRITABLE)]
        rows.append(ParameterInfo(
            i, name, name.replace("-", "_"), text(lib.qolven_parameter_meaning(i)),
            text(lib.qolven_parameter_syntax(i)), lib.qolven_parameter_kind(i),
            bool(flags & _READABLE), bool(flags & _WRITABLE), bool(flags & _INDEXED),
            bool(flags & _OPTIONAL), low.value, high.value,
            text(lib.qolven_parameter_getter(i)), text(lib.qolven_parameter_setter(i)), served[0], served[1]))
    native.parameters = rows
    native.parameters_by_attribute = {p.attribute: p for p in rows}
    native.parameters_by_name = {p.name: p for p in rows}
    # What a get needs, by either spelling of the name: the row and its name as bytes.
    native.parameter_calls = {key: (p, p.name.encode()) for p in rows for key in (p.name, p.attribute)}
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
    """One live reading of the channel.

    `count` is the converter count, or None when the board answered with a
    status text instead (then in `status`, e.g. "Positive Overflow").
    `load` is the count interpolated between the board's stored offset and
    full-scale points, in the board's load units (the display's decimal
    point is not applied); None on boards that keep no loads.
    """
    count: Optional[int]
    load: Optional[float]
    status: str
    offset_count: Optional[int]
    fullscale_count: Optional[int]
    offset_load: Optional[int]
    fullscale_load: Optional[int]


class Block(NamedTuple):
    """Samples of one fast-data request: numpy arrays when numpy is there, else lists.

    `numbers` are the library's running sample numbers (per channel),
    `channels` the channel of each sample (0 except on four-channel boards),
    `counts` the converter counts and `times` the seconds since the start of
    the stream at which the samples arrived.
    """
    numbers: Any
    channels: Any
    counts: Any
    times: Any

    def __len__(self) -> int:  # type: ignore[override]
        return len(self.counts)


def _number(value: str) -> Union[int, str]:
    try:
        return int(value)
    except ValueError:
        return value


def _encode(info: ParameterInfo, value: Any) -> bytes:
    """The value as the library reads it; the library checks the range."""
    if value is None:
        return b""
    if isinstance(value, str):
        return value.encode()
    if info.kind in (INTEGER, COUNT):
        if isinstance(value, bool) or not isinstance(value, int):
            if not (numpy is not None and isinstance(value, numpy.integer)):
                raise TypeError("%s takes an integer, not %s" % (info.attribute, type(value).__name__))
        return str(int(value)).encode()
    if isinstance(value, (bytes, bytearray, list, tuple)):
        parts = list(value)
        if info.kind == MAC:
            return ":".join("%02x" % b for b in parts).encode()
        return ("." if info.kind == IP else ",").join(str(int(b)) for b in parts).encode()
    raise TypeError("%s takes %s, not %s" % (info.attribute, info.syntax, type(value).__name__))


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


class Device:
    """One open device.  Use it from one thread at a time; close it (or use
    `with`) when done.

    Stored parameters read and write as attributes with the tool's names,
    `-` written `_`: ``dev.decimal_point = 3``, ``dev.sampling_rate``;
    loading points by number: ``dev.loading_point[2] = -5``.
    """

    def __init__(self, native: Native, serial: Optional[str] = None, offline: bool = False) -> None:
        lib = native.lib
        set_ = object.__setattr__
        set_(self, "_native", native)
        set_(self, "_lib", lib)
        parameter_table(native)
        set_(self, "_table", native.parameters_by_attribute)
        set_(self, "_calls", native.parameter_calls)
        set_(self, "_get_parameter", lib.qolven_get_parameter)
        set_(self, "_buffer", ctypes.create_string_buffer(_BUFFER_SIZE))
        handle = lib.qolven_create()
        if not handle:
            raise MemoryError("the device object could not be created")
        set_(self, "_handle", ctypes.c_void_p(handle))
        try:
            if offline:
                self._check(lib.qolven_set_offline(self._handle, 1), "offline mode")
            self._check(lib.qolven_open(self._handle, serial.encode() if serial else None),
                        "open " + serial if serial else "open")
        except BaseException:
            lib.qolven_destroy(self._handle)
            set_(self, "_handle", None)
            raise
        set_(self, "_serial", text(lib.qolven_open_serial(self._handle)))

    # ---- life cycle
    def close(self) -> None:
        """Closes the device; later calls fail.  Closing twice is fine."""
        handle = self._handle
        if handle is None:
            return
        object.__setattr__(self, "_handle", None)
        status = self._lib.qolven_close(handle)
        failure = self._failure(status, "close", handle) if status else None
        self._lib.qolven_destroy(handle)
        if failure:
            raise failure

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None) is not None:
                self._lib.qolven_close(self._handle)
                self._lib.qolven_destroy(self._handle)
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "open" if self._handle is not None else "closed"
        return "<qolven.Device %s (%s)>" % (self._serial or "?", state)

    # ---- failures
    def _failure(self, status: int, what: Optional[str], handle: Any = None) -> QolvenError:
        handle = handle if handle is not None else self._handle
        if status in _SELF_NAMED:
            what = None  # the text names the argument already
        return error_for(status, text(self._lib.qolven_error_text(handle)),
                         self._lib.qolven_d2xx_status(handle), what)

    def _check(self, status: int, what: Optional[str] = None) -> None:
        if status:
            raise self._failure(status, what)

    def _live(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise QolvenError("the device is closed", code=_errors.NOT_OPEN)
        return self._handle

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
        return getattr(self, "_channel", 0)

    @channel.setter
    def channel(self, channel: int) -> None:
        self._check(self._lib.qolven_set_channel(self._live(), int(channel)), "channel")
        object.__setattr__(self, "_channel", int(channel))

    @property
    def calibration_type(self) -> int:
        """Type of calibration (0 or 1) for the loading points of channels 3 of four-channel boards."""
        return getattr(self, "_calibration_type", 0)

    @calibration_type.setter
    def calibration_type(self, value: int) -> None:
        self._check(self._lib.qolven_set_calibration_type(self._live(), int(value)), "calibration type")
        object.__setattr__(self, "_calibration_type", int(value))

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
        info, cname = found
        handle = self._handle
        if handle is None:
            self._live()
        buffer = self._buffer
        status = self._get_parameter(handle, cname, int(point or 0), buffer, _BUFFER_SIZE)
        if status:
            raise self._failure(status, "get " + info.name)
        if info.kind == INTEGER:
            return int(buffer.value)
        return _decode(info, buffer.value.decode("utf-8", "replace"))

    def set(self, name: str, value: Any, point: Optional[int] = None) -> None:
        """Writes a stored parameter.  Integers, or text as the tool takes it
        ("0x10", "192.168.1.10"); None captures the present reading for a
        loading point."""
        info = self._info(name)
        status = self._lib.qolven_set_parameter(self._live(), info.name.encode(), int(point or 0),
                                                _encode(info, value))
        if status:
            raise self._failure(status, "set " + info.name)

    def __getattr__(self, name: str) -> Any:
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

    # ---- readings
    def info(self) -> BoardInfo:
        """Identifies the board and asks whether it answers."""
        identity = Identity()
        self._check(self._lib.qolven_identify(self._live(), ctypes.byref(identity)), "identify")
        board_class = text(self._lib.qolven_board_type_class(identity.board_type))
        meaning = text(self._lib.qolven_board_type_meaning(identity.board_type))
        try:
            self.call("Slave_Activity_Inquiry")
            answers = True
        except QolvenError:
            answers = False
        return BoardInfo(self._serial, identity.board_type, board_class, meaning, identity.hardware_version,
                         identity.firmware_version, identity.firmware_year, identity.firmware_month, answers)

    def read_count(self) -> int:
        """The live converter count of the channel."""
        count = ctypes.c_int64()
        self._check(self._lib.qolven_read_count(self._live(), ctypes.byref(count)), "count")
        return count.value

    def read(self) -> Reading:
        """The live count and, where the board keeps its calibration, the load."""
        count = ctypes.c_int64()
        status = self._lib.qolven_read_count(self._live(), ctypes.byref(count))
        if status not in (_errors.OK, _errors.NO_VALUE):
            raise self._failure(status, "count")
        value = count.value if status == _errors.OK else None
        state = "" if status == _errors.OK else text(self._lib.qolven_error_text(self._handle))
        channel = str(self.channel)
        offset, fullscale = (_number(self.call(m, channel)) for m in ("Get_Offset_Value", "Get_Fullscale_Value"))
        try:
            loads: Tuple[Optional[int], Optional[int]] = (self.get("offset-load"), self.get("fullscale-load"))
        except QolvenError as e:
            if e.text != "Invalid Type of Board":
                raise
            loads = (None, None)
        offset = offset if isinstance(offset, int) else None
        fullscale = fullscale if isinstance(fullscale, int) else None
        load = None
        if None not in (value, offset, fullscale, loads[0], loads[1]) and fullscale != offset:
            load = loads[0] + (value - offset) * (loads[1] - loads[0]) / (fullscale - offset)
        return Reading(value, load, state, offset, fullscale, loads[0], loads[1])

    def stream(self, rate_code: Optional[int] = None, seconds: Optional[float] = None,
               block_size: int = 256) -> Iterator[Block]:
        """Fast data: sets the board's sampling-rate code (0..15, 15 = 1000
        samples/s; None keeps the board's) and yields a Block per request that
        brought samples, for `seconds` (None: until the loop stops)."""
        handle = self._live()
        lib = self._lib
        self._check(lib.qolven_stream_start(handle, -1 if rate_code is None else int(rate_code)), "stream")
        numbers = (ctypes.c_int32 * block_size)()
        channels = (ctypes.c_int32 * block_size)()
        counts = (ctypes.c_int32 * block_size)()
        received = ctypes.c_size_t()
        arrival = ctypes.c_double()
        read = lib.qolven_stream_read
        refs = (numbers, channels, counts, block_size, ctypes.byref(received), ctypes.byref(arrival))
        timeouts = 0
        while seconds is None or arrival.value < seconds:
            status = read(handle, *refs)
            if status == _errors.TIMEOUT:
                timeouts += 1
                if timeouts < _TIMEOUTS_IN_A_ROW:
                    continue
            if status:
                raise self._failure(status, "fast data")
            timeouts = 0
            n = received.value
            if n:
                yield _block(numbers, channels, counts, n, arrival.value)

    # ---- the library's methods by name
    def call(self, method: str, *arguments: Any) -> Union[str, bytes]:
        """Runs a library method by name ("Get_Decimal_Point") with its arguments
        after the device handle and returns its own result text (bytes for
        methods whose result is raw bytes).  A result of "Error" raises."""
        handle = self._live()
        lib = self._lib
        texts = (ctypes.c_char_p * max(len(arguments), 1))(*[str(a).encode() for a in arguments])
        length = ctypes.c_size_t()
        buffer = self._buffer
        status = lib.qolven_call(handle, method.encode(), texts, len(arguments), buffer, len(buffer),
                                 ctypes.byref(length))
        if status == _errors.BUFFER_TOO_SMALL:
            buffer = ctypes.create_string_buffer(length.value + 1)
            status = lib.qolven_result_text(handle, buffer, len(buffer), ctypes.byref(length))
        if status:
            raise self._failure(status, method)
        raw = buffer.raw[:length.value]
        index = lib.qolven_method_find(method.encode())
        if text(lib.qolven_method_result(index)) == "raw":
            return raw
        return raw.decode("latin-1")

    def field(self, name: str) -> str:
        """A field of the device object that methods fill ("displayLine1", "dataLogRecord", ...)."""
        length = ctypes.c_size_t()
        buffer = self._buffer
        status = self._lib.qolven_get_field(self._live(), name.encode(), buffer, len(buffer), ctypes.byref(length))
        self._check(status, "field " + name)
        return buffer.raw[:length.value].decode("latin-1")


def _block(numbers: Any, channels: Any, counts: Any, n: int, arrival: float) -> Block:
    if numpy is not None:
        return Block(numpy.ctypeslib.as_array(numbers)[:n].copy(), numpy.ctypeslib.as_array(channels)[:n].copy(),
                     numpy.ctypeslib.as_array(counts)[:n].copy(), numpy.full(n, arrival))
    return Block(numbers[:n], channels[:n], counts[:n], [arrival] * n)


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


def serial_numbers(native: Native) -> List[str]:
    """Serial numbers of the attached devices."""
    lib = native.lib
    handle = ctypes.c_void_p(lib.qolven_create())
    if not handle:
        raise MemoryError("the device object could not be created")
    try:
        count = ctypes.c_int()
        status = lib.qolven_device_count(handle, ctypes.byref(count))
        buffer = ctypes.create_string_buffer(64)
        serials = []
        for index in range(count.value if status == 0 else 0):
            status = lib.qolven_device_serial(handle, index, buffer, len(buffer))
            if status:
                break
            serials.append(buffer.value.decode("utf-8", "replace"))
        if status:
            raise error_for(status, text(lib.qolven_error_text(handle)), lib.qolven_d2xx_status(handle),
                            "list devices")
        return serials
    finally:
        lib.qolven_destroy(handle)


__all__ = ["Device", "BoardInfo", "BoardType", "Reading", "Block", "ParameterInfo"]
