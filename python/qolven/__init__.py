"""Strain-gauge amplifier boards behind FTDI USB bridges, from Python.

A thin ctypes layer over the C interface of the qolven_usb driver library
(include/qolven.h).  Quick start on a virtual board::

    import qolven
    with qolven.open(simulate="type=2") as dev:
        print(dev.read())
        dev.decimal_point = 3
        for block in dev.stream(rate_code=15, seconds=2):
            print(len(block), block.sequence[0], block.counts[0])

Without `simulate` the bridge library chooses the provider of the USB bridge
(FTDI's D2XX library when it is installed, else the open provider on
libftdi1; `bridge=` or QOLVEN_BRIDGE names one).  The libraries are found
through QOLVEN_LIBRARY, the build tree of a checkout, the prefix the package
is installed in, /usr/local, and the system's library path.
"""
from __future__ import annotations

from typing import IO, Any, Dict, List, NamedTuple, Optional, Union

from . import _args, _errors, _native
from ._errors import (QolvenBoardRefused, QolvenBoardType, QolvenDeviceBusy, QolvenDisconnected, QolvenError,
                      QolvenInternal, QolvenInterrupted, QolvenInvalidArgument, QolvenLibraryError, QolvenNoDevice,
                      QolvenNotOpen, QolvenNotSupported, QolvenNoValue, QolvenTimeout, QolvenTransport,
                      QolvenUnknownName)
from .device import (BoardInfo, BoardType, Calibration, Device, Key, ParameterInfo, Reading, board_type_table,
                     held_devices, key_table, method_table, parameter_table, serial_numbers)
from .stream import Block, Event, Stream, StreamStatus

__all__ = [
    "open", "devices", "held_devices", "parameters", "board_types", "methods", "keys", "nominal_rates",
    "library_version", "bridge", "trace", "record",
    "Device", "Stream", "BoardInfo", "BoardType", "Reading", "Calibration", "Block", "StreamStatus", "Event",
    "ParameterInfo", "Key", "BridgeInfo",
    "QolvenError", "QolvenTimeout", "QolvenInvalidArgument", "QolvenUnknownName", "QolvenNotSupported",
    "QolvenNoValue", "QolvenNotOpen", "QolvenInternal", "QolvenBoardType", "QolvenBoardRefused", "QolvenTransport",
    "QolvenDisconnected", "QolvenNoDevice", "QolvenDeviceBusy", "QolvenInterrupted", "QolvenLibraryError",
]

__version__ = "1.0.0"

Simulate = Union[None, bool, str]


def _provider(simulate: Simulate, state: Optional[str], bridge_kind: Optional[str]) -> _native.Native:
    native = _native.load()
    if simulate is None or simulate is False:
        if state is not None:
            raise QolvenInvalidArgument("state= keeps the virtual boards' registers; it needs simulate=",
                                        _errors.INVALID_ARGUMENT)
        native.use_provider(bridge_kind or "auto")
        return native
    if not isinstance(simulate, (bool, str)):
        raise TypeError("simulate is a description like \"type=9,serial=SIM0009\", True or None")
    if bridge_kind not in (None, _native.SIMULATED):
        raise QolvenInvalidArgument("simulate= uses the simulated bridge, not bridge=%r" % bridge_kind,
                                    _errors.INVALID_ARGUMENT)
    native.use_provider(_native.SIMULATED)
    from . import sim
    if isinstance(simulate, str) and simulate:
        held = held_devices()
        if held:
            # Replacing the virtual devices would pull them from under these handles.
            raise QolvenDeviceBusy(
                "simulate=%r would replace the virtual devices, and this interpreter holds %s open: close %s "
                "first, or pass simulate=True to open among the devices attached (%s)"
                % (simulate, ", ".join(repr(d) for d in held), "it" if len(held) == 1 else "them",
                   ", ".join(sim.devices()) or "none"), _errors.DEVICE_BUSY)
        sim.configure(simulate)
    if state is not None:  # the devices described keep their registers in it
        sim.use_state_file(state)
    return native


def devices(simulate: Simulate = None, state: Optional[str] = None, bridge: Optional[str] = None) -> List[str]:
    """Serial numbers of the attached devices (of the virtual ones with `simulate`)."""
    return serial_numbers(_provider(simulate, state, bridge))


def open(serial: Optional[str] = None, simulate: Simulate = None, state: Optional[str] = None,
         offline: bool = False, bridge: Optional[str] = None) -> Device:
    """Opens a device and returns it (usable with ``with``).

    serial: USB serial number; None opens the only device attached.
    simulate: use the simulated bridge instead of hardware: True opens among
        the virtual devices already attached (one type-2 board, SIM0001, at
        first); a description in the syntax of ``qolven --simulate``
        ("type=9,serial=SIM0009;type=2") replaces them first.
    state: with `simulate`, a file that keeps the virtual boards' registers
        between processes.
    offline: the library answers every method from its table of fixed values
        without touching the bus.
    bridge: the provider of the USB bridge: "auto" (the default: FTDI's D2XX
        library when installed, else "ftdi1"), "d2xx", "ftdi1" or "simulated".
        One process uses one.
    """
    if serial is not None and not isinstance(serial, str):
        raise TypeError("serial takes a text, not %s" % type(serial).__name__)
    if offline and simulate is None and bridge is None:
        native = _native.load()  # no bus: no provider needed
    else:
        native = _provider(simulate, state, bridge)
    return Device(native, serial, bool(offline))


def parameters() -> List[ParameterInfo]:
    """The library's parameter table (names, meaning, values, board types served)."""
    return parameter_table(_native.load())


def board_types() -> List[BoardType]:
    """The library's board-type table: class, meaning, families served, by type code."""
    return board_type_table(_native.load())


def methods():
    """Every library method: (name, result kind, [(argument, kind), ...])."""
    return method_table(_native.load())


def keys() -> List[Key]:
    """The front-panel keys of the handheld displays (`Device.press_key`)."""
    return key_table(_native.load())


def nominal_rates() -> Dict[int, float]:
    """Nominal samples per second of each sampling-rate code, from the library."""
    lib = _native.load().lib
    rates = {}
    code = 0
    while True:
        rate = lib.qolven_rate_samples_per_second(code)
        if rate <= 0:
            return rates
        rates[code] = rate
        code += 1


def library_version() -> str:
    """Version of the loaded driver library."""
    return _native.text(_native.load().lib.qolven_version())


class BridgeInfo(NamedTuple):
    provider: str          # "simulated", "d2xx", "ftdi1"; "" before one was loaded
    provider_path: str     # its file, as loaded
    bridge_library: str    # libqolven_bridge, as loaded
    driver_library: str    # libqolven_usb, as loaded


def bridge() -> BridgeInfo:
    """Which libraries this process uses (loading the driver and bridge libraries, not a provider)."""
    native = _native.load()
    return BridgeInfo(native.provider(), native.provider_path(), native.bridge_library_path, native.path)


def trace(stream: Optional[Union[IO[Any], int]] = None) -> None:
    """Shows every frame written and read in hexadecimal, and every failing
    FT_* call, on `stream` (a file or a descriptor); None turns it off."""
    if stream is None:
        fd = -1
    elif isinstance(stream, int) and not isinstance(stream, bool):
        fd = _args.integer(stream, "file descriptor", 0)
    else:
        stream.flush()
        fd = stream.fileno()
    _native.load().bridge_library.qolven_bridge_trace(fd)


def record(devices, path, **options):
    """Records open devices into one HDF5 or CSV file (qolven.recording.record
    says which options it takes) and returns the result once it ends."""
    from .recording import record as _record
    return _record(devices, path, **options)
