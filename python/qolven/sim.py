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
        qolven.sim.inject_fault("RIG1", "no_answer")
        try:
            dev.decimal_point
        except qolven.QolvenTimeout as e:
            print(e.text)                       # Timeout Error
        print(qolven.sim.writes("RIG1")[-1])    # the request that went unanswered
"""
from __future__ import annotations

import ctypes
from typing import List, NamedTuple, Optional

from . import _native
from ._errors import QolvenInvalidArgument

__all__ = [
    "configure", "use_state_file", "take_error", "attach", "detach", "reset", "devices",
    "inject_fault", "clear_faults", "inject_status", "writes", "clear_writes",
    "register", "set_register", "fast_counters", "FastCounters", "next_sample_sequence", "set_answer_delay",
    "FAULTS", "REGISTER_KINDS",
]

# Faults of a virtual board's answers (the `fault` key of a device description).
FAULTS = ("no_answer", "late", "partial", "wrong_number", "wrong_size", "wrong_command", "wrong_end",
          "board_error", "leading_ff", "split", "extra_bytes", "fast_empty", "fast_two_pieces",
          "fast_refusal", "fast_short")
REGISTER_KINDS = ("eeprom", "channel", "memory", "teds")

_declared = None


def _sim() -> ctypes.CDLL:
    global _declared
    bridge = _native.load(_native.SIMULATED).bridge
    if _declared is not bridge:
        c, i, sz, u = ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t, ctypes.c_uint
        for name, args in [
            ("qolven_sim_configure", (c, c, sz)),
            ("qolven_sim_use_state_file", (c, c, sz)),
            ("qolven_sim_take_error", (c, sz)),
            ("qolven_sim_attach", (c, c, sz)),
            ("qolven_sim_detach", (c, c, sz)),
            ("qolven_sim_reset", ()),
            ("qolven_sim_device_count", ()),
            ("qolven_sim_device_serial", (i, c, sz)),
            ("qolven_sim_set_fault", (c, c, c, sz)),
            ("qolven_sim_clear_faults", (c, c, sz)),
            ("qolven_sim_inject_status", (c, u, i, c, sz)),
            ("qolven_sim_set_answer_delay_us", (c, u, c, sz)),
            ("qolven_sim_write_count", (c, ctypes.POINTER(sz), c, sz)),
            ("qolven_sim_write", (c, sz, c, sz, ctypes.POINTER(sz), c, sz)),
            ("qolven_sim_clear_writes", (c, c, sz)),
            ("qolven_sim_register", (c, c, i, i, ctypes.POINTER(u), c, sz)),
            ("qolven_sim_set_register", (c, c, i, i, u, c, sz)),
            ("qolven_sim_next_sample_sequence", (c, ctypes.POINTER(u), c, sz)),
            ("qolven_sim_fast_counters", (c,) + (ctypes.POINTER(ctypes.c_ulonglong),) * 4 + (c, sz)),
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
    if "\0" in value:  # the C side would read the text only up to it
        raise QolvenInvalidArgument("%r holds a NUL character at position %d" % (value[:40], value.index("\0")),
                                    code=-1)
    return value.encode()


def configure(description: str) -> None:
    """Replaces the attached virtual devices by those described."""
    _run("qolven_sim_configure", _b(description))


def use_state_file(path: Optional[str]) -> None:
    """Keeps the virtual boards' stored registers in this file, across processes
    (None: in memory only)."""
    _run("qolven_sim_use_state_file", None if path is None else _b(path))


def take_error() -> str:
    """A failure the bridge could not report through a call (a failed save of
    the state file, a damaged one kept aside); "" when there was none."""
    error = ctypes.create_string_buffer(512)
    _sim().qolven_sim_take_error(error, len(error))
    return error.value.decode("utf-8", "replace")


def attach(description: str) -> None:
    """Attaches one more virtual device ("type=9,serial=SIM0009"); one with the
    same serial number is replaced."""
    _run("qolven_sim_attach", _b(description))


def detach(serial: str) -> None:
    """Unplugs a device: calls on its open handles then fail with "IO Error"."""
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


def inject_fault(serial: str, kind: str, every: Optional[int] = None, probability: Optional[float] = None,
                 arg: Optional[int] = None, delay_us: Optional[int] = None) -> None:
    """Makes the board's answers faulty: `kind` is one of FAULTS; the next answer
    only, or every `every`-th, or each with `probability`; `arg` and `delay_us`
    for the faults that take them (see the simulated bridge's README)."""
    keys = ["fault=" + kind]
    for key, value in (("fault_every", every), ("fault_probability", probability), ("fault_arg", arg),
                       ("fault_delay_us", delay_us)):
        if value is not None:
            keys.append("%s=%s" % (key, value))
    _run("qolven_sim_set_fault", _b(serial), _b(",".join(keys)))


def clear_faults(serial: str) -> None:
    _run("qolven_sim_clear_faults", _b(serial))


def inject_status(function: str, status: int, count: int = 1) -> None:
    """The next `count` calls of the bridge function (e.g. "FT_Write") return `status`."""
    _run("qolven_sim_inject_status", _b(function), int(status), int(count))


def set_answer_delay(serial: str, microseconds: int) -> None:
    """Time from a request to the board's answer."""
    _run("qolven_sim_set_answer_delay_us", _b(serial), int(microseconds))


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
    value = ctypes.c_uint()
    _run("qolven_sim_register", _b(serial), _b(kind), int(channel), int(address), ctypes.byref(value))
    return value.value


def set_register(serial: str, kind: str, address: int, value: int, channel: int = 0) -> None:
    _run("qolven_sim_set_register", _b(serial), _b(kind), int(channel), int(address), int(value))


class FastCounters(NamedTuple):
    """What a board's fast-data generator did since the device was attached;
    generated == delivered + dropped + waiting."""
    generated: int
    delivered: int   # put into fast-data answers
    dropped: int     # lost on the board: 64 were waiting already, or a restart cleared them
    waiting: int


def fast_counters(serial: str) -> FastCounters:
    """The board's fast-data counters, brought up to now.  A sample carries only
    the board's count: a host that received R samples lost delivered - R on the way."""
    values = [ctypes.c_ulonglong() for _ in range(4)]
    _run("qolven_sim_fast_counters", _b(serial), *[ctypes.byref(v) for v in values])
    return FastCounters(*(v.value for v in values))


def next_sample_sequence(serial: str) -> int:
    """Number of the next sample the board's generator makes: the samples it
    generated so far (loss checks: `fast_counters`)."""
    value = ctypes.c_uint()
    _run("qolven_sim_next_sample_sequence", _b(serial), ctypes.byref(value))
    return value.value
