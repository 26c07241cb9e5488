"""Finding and loading the libraries, and the C interface's prototypes.

The driver library leaves the bridge functions (FT_*) to the process: the
bridge library -- FTDI's D2XX library, or the simulated bridge -- is loaded
first with global symbol binding, then the driver library, whose FT_*
references resolve to it.  A process therefore uses one bridge; the first
choice stays.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import List, Optional

from ._errors import QolvenError

SIMULATED = "simulated"
D2XX = "d2xx"

_DRIVER_NAMES = ("libqolven_usb.so.1", "libqolven_usb.so")
_SIM_NAMES = ("libqolven_d2xx_sim.so.1", "libqolven_d2xx_sim.so")
_D2XX_NAMES = ("libftd2xx.so", "libftd2xx.so.1", "/usr/local/lib/libftd2xx.so")

_lock = threading.Lock()
_loaded: Optional["Native"] = None


def _checkout_build_dirs() -> List[Path]:
    """Library folders of a build tree when the package runs from a checkout."""
    root = Path(__file__).resolve().parent.parent.parent
    if not (root / "CMakeLists.txt").is_file() or not (root / "include" / "qolven.h").is_file():
        return []
    return [root / "build" / "default" / "lib"]


def _candidates(variable: str, names, beside: Optional[Path] = None) -> List[str]:
    own = os.environ.get(variable)
    if own:
        return [own]
    found: List[str] = []
    for folder in ([beside] if beside else []) + _checkout_build_dirs():
        found += [str(folder / name) for name in names if (folder / name).exists()]
    return found + list(names)


def _load_first(candidates: List[str], what: str, mode: int) -> ctypes.CDLL:
    reasons = []
    for path in candidates:
        try:
            return ctypes.CDLL(path, mode=mode)
        except OSError as e:
            reasons.append(str(e))
    raise QolvenError(
        "%s cannot be loaded (%s)" % (what, reasons[0] if reasons else "no candidate"), code=-1)


def _prototype(lib: ctypes.CDLL, name: str, restype, *argtypes) -> None:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes


class Native:
    """The loaded driver library (`lib`), and the bridge below it (`bridge`)."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        driver_path = _candidates("QOLVEN_LIBRARY", _DRIVER_NAMES)
        beside = Path(driver_path[0]).parent if "/" in driver_path[0] else None
        if kind == SIMULATED:
            self.bridge = _load_first(_candidates("QOLVEN_SIM_LIBRARY", _SIM_NAMES, beside),
                                      "the simulated bridge (libqolven_d2xx_sim)", ctypes.RTLD_GLOBAL)
        else:
            own = os.environ.get("QOLVEN_D2XX_LIBRARY")
            self.bridge = _load_first([own] if own else list(_D2XX_NAMES),
                                      "FTDI's D2XX library (libftd2xx.so; set QOLVEN_D2XX_LIBRARY, "
                                      "or pass simulate= to use the virtual boards)", ctypes.RTLD_GLOBAL)
        self.lib = _load_first(driver_path, "the driver library (libqolven_usb; set QOLVEN_LIBRARY)",
                               ctypes.RTLD_LOCAL)
        self._declare()

    def _declare(self) -> None:
        lib = self.lib
        c, vp, i, sz = ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t
        psz = ctypes.POINTER(ctypes.c_size_t)
        pi32 = ctypes.POINTER(ctypes.c_int32)
        pi64 = ctypes.POINTER(ctypes.c_int64)
        pint = ctypes.POINTER(ctypes.c_int)
        for name, restype, args in [
            ("qolven_status_name", c, (i,)),
            ("qolven_version", c, ()),
            ("qolven_parse_integer", i, (c, ctypes.c_int64, ctypes.c_int64, pi64, c, sz)),
            ("qolven_create", vp, ()),
            ("qolven_destroy", None, (vp,)),
            ("qolven_set_offline", i, (vp, i)),
            ("qolven_error_text", c, (vp,)),
            ("qolven_d2xx_status", ctypes.c_uint32, (vp,)),
            ("qolven_result_text", i, (vp, c, sz, psz)),
            ("qolven_device_count", i, (vp, pint)),
            ("qolven_device_serial", i, (vp, i, c, sz)),
            ("qolven_open", i, (vp, c)),
            ("qolven_close", i, (vp,)),
            ("qolven_is_open", i, (vp,)),
            ("qolven_open_serial", c, (vp,)),
            ("qolven_set_channel", i, (vp, i)),
            ("qolven_set_calibration_type", i, (vp, i)),
            ("qolven_identify", i, (vp, ctypes.POINTER(Identity))),
            ("qolven_read_count", i, (vp, pi64)),
            ("qolven_stream_start", i, (vp, i)),
            ("qolven_stream_read", i, (vp, pi32, pi32, pi32, sz, psz, ctypes.POINTER(ctypes.c_double))),
            ("qolven_rate_samples_per_second", ctypes.c_double, (i,)),
            ("qolven_parameter_count", i, ()),
            ("qolven_parameter_find", i, (c,)),
            ("qolven_parameter_name", c, (i,)),
            ("qolven_parameter_meaning", c, (i,)),
            ("qolven_parameter_syntax", c, (i,)),
            ("qolven_parameter_getter", c, (i,)),
            ("qolven_parameter_setter", c, (i,)),
            ("qolven_parameter_flags", i, (i,)),
            ("qolven_parameter_kind", i, (i,)),
            ("qolven_parameter_range", i, (i, pi64, pi64)),
            ("qolven_parameter_serves", i, (i, i, i)),
            ("qolven_parameter_points", i, (i, i, pint, pint)),
            ("qolven_get_parameter", i, (vp, c, i, c, sz)),
            ("qolven_set_parameter", i, (vp, c, i, c)),
            ("qolven_board_type_known", i, (i,)),
            ("qolven_board_type_meaning", c, (i,)),
            ("qolven_board_type_class", c, (i,)),
            ("qolven_board_type_family_count", i, ()),
            ("qolven_board_type_family_name", c, (i,)),
            ("qolven_board_type_family_meaning", c, (i,)),
            ("qolven_board_type_serves", i, (i, i)),
            ("qolven_board_type_last_rate_code", i, (i,)),
            ("qolven_method_count", i, ()),
            ("qolven_method_find", i, (c,)),
            ("qolven_method_name", c, (i,)),
            ("qolven_method_result", c, (i,)),
            ("qolven_method_needs_device", i, (i,)),
            ("qolven_method_argument_count", i, (i,)),
            ("qolven_method_argument_name", c, (i, i)),
            ("qolven_method_argument_kind", c, (i, i)),
            ("qolven_call", i, (vp, c, ctypes.POINTER(c), i, c, sz, psz)),
            ("qolven_field_count", i, ()),
            ("qolven_field_name", c, (i,)),
            ("qolven_get_field", i, (vp, c, c, sz, psz)),
        ]:
            _prototype(lib, name, restype, *args)


class Identity(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in
                ("board_type", "hardware_version", "firmware_version", "firmware_year", "firmware_month")]


def load(kind: str) -> Native:
    """The libraries of this process, loaded with the bridge `kind` on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = Native(kind)
        elif _loaded.kind != kind:
            raise QolvenError(
                "this process already uses the %s bridge; one process can use one bridge "
                "(start another process for the %s one)" % (_loaded.kind, kind), code=-1)
        return _loaded


def loaded() -> Optional[Native]:
    return _loaded


def text(value: Optional[bytes]) -> str:
    return value.decode("utf-8", "replace") if value is not None else ""
