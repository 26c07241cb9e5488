"""The simulated bridge, for your own tests: attach and detach virtual
devices, inject faults, and look at what went over the wire.

Every function loads the simulated bridge for this process if it is not
loaded yet (a process uses one bridge; see `qolven.open`).  Devices are
described in the syntax of ``qolven --simulate``: key=value pairs separated
by ',' (``type=9,serial=SIM0009,fw=5,delay_us=0``), devices by ';'.

Example::

    import qolven, qolven.sim
    qolven.sim.configure("type=2,serial=RIG1,delay_us=0")
    with qolven.open("RIG1", simulate=True) as dev:
        qolven.sim.inject_fault("RIG1", "no-answer")
        try:
            dev.decimal_point
        except qolven.QolvenTimeout as e:
            print(e.text)                       # Timeout Error
        print(qolven.sim.writes("RIG1")[-1])    # the request that went unanswered
"""
from __future__ import annotations

import ctypes
from typing import List

from . import _native
from ._errors import QolvenInvalidArgument

__all__ = [
    "configure", "use_state_file", "attach", "detach", "reset", "devices",
    "inject_fault", "clear_faults", "inject_status", "writes", "clear_writes",
    "register", "set_register", "next_sample_sequence", "set_answer_delay",
    "FAULTS", "FAULT_MODES", "REGISTER_KINDS",
]

# Faults of a virtual board's answers (see the simulated bridge's README).
FAULTS = ("no-answer", "late", "partial", "wrong-number", "wrong-size", "wrong-command", "wrong-end",
          "board-error", "leading-ff", "split", "extra-bytes", "fast-empty", "fast-two-pieces",
          "fast-refusal", "fast-short")
FAULT_MODES = ("next", "every-nth", "random")
REGISTER_KINDS = ("eeprom", "channel", "memory", "teds")

_declared = None


def _sim() -> ctypes.CDLL:
    global _declared
    bridge = _native.load(_native.SIMULATED).bridge
    if _declared is not bridge:
        c, i, sz = ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t
        u32 = ctypes.c_uint32
        for name, args in [
            ("qolven_sim_configure", (c, c, sz)),
            ("qolven_sim_use_state_file", (c, c, sz)),
            ("qolven_sim_attach", (c, c, sz)),
            ("qolven_sim_detach", (c, c, sz)),
            ("qolven_sim_reset", ()),
            ("qolven_sim_device_count", ()),
            ("qolven_sim_device_serial", (i, c, sz)),
            ("qolven_sim_set_fault", (c, c, c, i, u32, i, ctypes.c_double, c, sz)),
            ("qolven_sim_clear_faults", (c, c, sz)),
            ("qolven_sim_inject_status", (c, u32, i, c, sz)),
            ("qolven_sim_write_count", (c, ctypes.POINTER(sz), c, sz)),
            ("qolven_sim_write", (c, sz, c, sz, ctypes.POINTER(sz), c, sz)),
            ("qolven_sim_clear_writes", (c, c, sz)),
            ("qolven_sim_register", (c, c, i, i, ctypes.POINTER(u32), c, sz)),
            ("qolven_sim_set_register", (c, c, i, i, u32, c, sz)),
            ("qolven_sim_next_sample_sequence", (c, ctypes.POINTER(u32), c, sz)),
            ("qolven_sim_set_answer_delay_us", (c, u32, c, sz)),
        ]:
            function = getattr(bridge, name)
            function.restype = i
            function.argtypes = args
        _declared = bridge
    return bridge


def _run(function_name: str, *arguments) -> None:
    error = ctypes.create_string_buffer(512)
    status = getattr(_sim(), function_name)(*arguments, error, len(error))
    if status:
        raise QolvenInvalidArgument(error.value.decode("utf-8", "replace") or function_name + " failed",
                                    code=-1)


def _b(value: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError("expected a text, not %s" % type(value).__name__)
    return value.encode()


def configure(description: str) -> None:
    """Replaces the attached virtual devices by those described."""
    _run("qolven_sim_configure", _b(description))


def use_state_file(path: str) -> None:
    """Keeps the virtual boards' stored registers in this file, across processes."""
    _run("qolven_sim_use_state_file", _b(path))


def attach(description: str) -> None:
    """Attaches one more virtual device ("type=9,serial=SIM0009"); one with the
    same serial number is replaced."""
    _run("qolven_sim_attach", _b(description))


def detach(serial: str) -> None:
    """Unplugs a device: calls on its open handles then fail with an IO error."""
    _run("qolven_sim_detach", _b(serial))


def reset() -> None:
    """Detaches every device and clears every log and injected fault."""
    _sim().qolven_sim_reset()


def devices() -> List[str]:
    """Serial numbers of the attached virtual devices, in index order."""
    sim = _sim()
    buffer = ctypes.create_string_buffer(64)
    serials = []
    for index in range(sim.qolven_sim_device_count()):
        if sim.qolven_sim_device_serial(index, buffer, len(buffer)) == 0:
            serials.append(buffer.value.decode("utf-8", "replace"))
    return serials


def inject_fault(serial: str, kind: str, mode: str = "next", arg: int = -1, delay_us: int = 0,
                 every: int = 1, probability: float = 0.0) -> None:
    """Makes the board's answers faulty: `kind` is one of FAULTS, `mode` one of
    FAULT_MODES (the next answer, every `every`-th, or each with `probability`)."""
    _run("qolven_sim_set_fault", _b(serial), _b(kind), _b(mode), int(arg), int(delay_us), int(every),
         float(probability))


def clear_faults(serial: str) -> None:
    _run("qolven_sim_clear_faults", _b(serial))


def inject_status(function: str, status: int, count: int = 1) -> None:
    """The next `count` calls of the bridge function (e.g. "FT_Write") return `status`."""
    _run("qolven_sim_inject_status", _b(function), int(status), int(count))


def writes(serial: str) -> List[bytes]:
    """The bytes the host wrote to the device, one entry per write, oldest first."""
    count = ctypes.c_size_t()
    _run("qolven_sim_write_count", _b(serial), ctypes.byref(count))
    frames = []
    buffer = ctypes.create_string_buffer(1024)
    length = ctypes.c_size_t()
    for index in range(count.value):
        _run("qolven_sim_write", _b(serial), index, buffer, len(buffer), ctypes.byref(length))
        frames.append(buffer.raw[:length.value])
    return frames


def clear_writes(serial: str) -> None:
    _run("qolven_sim_clear_writes", _b(serial))


def register(serial: str, kind: str, address: int, channel: int = 0) -> int:
    """A stored register of the board: "eeprom" (16 bits), "channel", "memory" or "teds" (one byte)."""
    value = ctypes.c_uint32()
    _run("qolven_sim_register", _b(serial), _b(kind), int(channel), int(address), ctypes.byref(value))
    return value.value


def set_register(serial: str, kind: str, address: int, value: int, channel: int = 0) -> None:
    _run("qolven_sim_set_register", _b(serial), _b(kind), int(channel), int(address), int(value))


def next_sample_sequence(serial: str) -> int:
    """Sequence number of the next sample the board's generator makes (for loss checks)."""
    value = ctypes.c_uint32()
    _run("qolven_sim_next_sample_sequence", _b(serial), ctypes.byref(value))
    return value.value


def set_answer_delay(serial: str, microseconds: int) -> None:
    """Time from a request to the board's answer."""
    _run("qolven_sim_set_answer_delay_us", _b(serial), int(microseconds))

