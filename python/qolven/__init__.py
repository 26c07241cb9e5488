"""Strain-gauge amplifier boards behind FTDI USB bridges, from Python.

A pure-Python layer (ctypes) over the C interface of the qolven_usb driver
library.  Quick start on a virtual board::

    import qolven
    with qolven.open(simulate="type=2") as dev:
        print(dev.read().count)
        dev.decimal_point = 3
        for block in dev.stream(rate_code=15, seconds=2):
            print(len(block), block.counts[0])

Without `simulate` the package talks to real hardware through FTDI's D2XX
library (`QOLVEN_D2XX_LIBRARY`, or the loader's search path).  The driver
library is found through `QOLVEN_LIBRARY`, the build tree of a checkout, or
the system's library path.
"""
from __future__ import annotations

from typing import List, Optional, Union

from . import _native
from ._errors import QolvenError, QolvenInvalidArgument, QolvenTimeout
from .device import (Block, BoardInfo, BoardType, Device, ParameterInfo, Reading, board_type_table, method_table,
                     parameter_table, serial_numbers)

__all__ = [
    "open", "devices", "parameters", "board_types", "methods", "library_version", "record",
    "Device", "BoardInfo", "BoardType", "Reading", "Block", "ParameterInfo",
    "QolvenError", "QolvenTimeout", "QolvenInvalidArgument",
]

__version__ = "1.0.0"

Simulate = Union[None, bool, str]


def _bridge(simulate: Simulate, state: Optional[str]) -> _native.Native:
    if simulate is None or simulate is False:
        if state is not None:
            raise QolvenInvalidArgument("state= keeps the virtual boards' registers; it needs simulate=",
                                        code=-1)
        return _native.load(_native.D2XX)
    if not isinstance(simulate, (bool, str)):
        raise TypeError("simulate is a description like \"type=9,serial=SIM0009\", True or None")
    native = _native.load(_native.SIMULATED)
    from . import sim
    if isinstance(simulate, str) and simulate:
        sim.configure(simulate)
    if state is not None:  # the devices described keep their registers in it
        sim.use_state_file(state)
    return native


def devices(simulate: Simulate = None, state: Optional[str] = None) -> List[str]:
    """Serial numbers of the attached devices (of the virtual ones with `simulate`)."""
    return serial_numbers(_bridge(simulate, state))


def open(serial: Optional[str] = None, simulate: Simulate = None, state: Optional[str] = None,
         offline: bool = False) -> Device:
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
    """
    if offline and simulate is None and _native.loaded() is None:
        try:
            native = _native.load(_native.D2XX)
        except QolvenError:  # offline needs no bus: any bridge will do
            native = _native.load(_native.SIMULATED)
    elif offline and _native.loaded() is not None:
        native = _native.loaded()  # type: ignore[assignment]
    else:
        native = _bridge(simulate, state)
    return Device(native, serial, offline)


def _any_native() -> _native.Native:
    native = _native.loaded()
    if native is not None:
        return native
    try:
        return _native.load(_native.D2XX)
    except QolvenError:
        return _native.load(_native.SIMULATED)


def parameters() -> List[ParameterInfo]:
    """The library's parameter table (names, meaning, values, board types served)."""
    return parameter_table(_any_native())


def board_types() -> List[BoardType]:
    """The library's board-type table: class, meaning, families served, by type code."""
    return board_type_table(_any_native())


def methods():
    """Every library method: (name, result kind, [(argument, kind), ...])."""
    return method_table(_any_native())


def library_version() -> str:
    """Version of the loaded driver library."""
    return _native.text(_any_native().lib.qolven_version())


def record(devices, path, **options):
    """Records open devices into one HDF5 or CSV file (qolven.recording.record
    says which options it takes) and returns the result once it ends."""
    from .recording import record as _record
    return _record(devices, path, **options)
