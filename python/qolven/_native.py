"""Finding and loading the libraries, and the C interface's prototypes.

The driver library (libqolven_usb) leaves the FT_* functions to the process;
the bridge library (libqolven_bridge) defines them and forwards every call to
the provider it loads (FTDI's D2XX library, the open provider on libftdi1, or
the simulated bridge).  So the bridge library is loaded first with global
symbols, then the driver library.  The provider is chosen on first need
(`bridge()`), once per process: FT_* are process-wide names.
"""
from __future__ import annotations

import ctypes
import os
import struct
import sys
import sysconfig
import threading
from pathlib import Path
from typing import List, Optional, Tuple

from ._errors import LIBRARY, QolvenLibraryError

DRIVER = "libqolven_usb.so.1"
BRIDGE = "libqolven_bridge.so.1"

# Providers of the bridge library (qolven_bridge_kind).
KINDS = {"auto": 0, "d2xx": 1, "ftdi1": 2, "simulated": 3}
SIMULATED = "simulated"

_lock = threading.Lock()
_loaded: Optional["Native"] = None


def _multiarch() -> str:
    found = sysconfig.get_config_var("MULTIARCH")
    if found:
        return found
    return "x86_64-linux-gnu" if struct.calcsize("P") == 8 else "i386-linux-gnu"


def _prefix_folders(prefix: Path) -> List[Path]:
    return [prefix / "lib" / _multiarch(), prefix / "lib", prefix / "lib64"]


def search_folders() -> List[Path]:
    """Folders that may hold the libraries, in the order they are tried."""
    package = Path(__file__).resolve().parent
    folders: List[Path] = []
    root = package.parent.parent
    if (root / "CMakeLists.txt").is_file() and (root / "include" / "qolven.h").is_file():
        folders.append(root / "build" / "default" / "lib")  # run from a checkout
    # Installed under a prefix: PREFIX/lib/python3*/{site,dist}-packages/qolven.
    if package.parent.name in ("site-packages", "dist-packages") and len(package.parents) > 4:
        folders += _prefix_folders(package.parents[3])
    folders += _prefix_folders(Path(sys.prefix))
    folders += _prefix_folders(Path("/usr/local"))
    unique: List[Path] = []
    for folder in folders:
        if folder not in unique:
            unique.append(folder)
    return unique


def _open(path: str, mode: int) -> ctypes.CDLL:
    return ctypes.CDLL(path, mode=mode)


def _find() -> Tuple[ctypes.CDLL, ctypes.CDLL, str, str]:
    """The bridge and driver libraries, loaded: (bridge, driver, bridge path, driver path)."""
    tried: List[str] = []
    own = os.environ.get("QOLVEN_LIBRARY")
    if own:
        beside = Path(own).parent / BRIDGE
        bridge_path = str(beside) if beside.exists() else BRIDGE
        try:
            bridge = _open(bridge_path, ctypes.RTLD_GLOBAL)
            return bridge, _open(own, ctypes.RTLD_LOCAL), bridge_path, own
        except OSError as e:
            raise QolvenLibraryError(
                "the driver library cannot be loaded from QOLVEN_LIBRARY=%s: %s (QOLVEN_LIBRARY names the file "
                "libqolven_usb.so.1; %s is taken from the same folder)" % (own, e, BRIDGE), LIBRARY) from None
    for folder in search_folders():
        driver = folder / DRIVER
        if not driver.exists():
            tried.append(str(folder))
            continue
        bridge = folder / BRIDGE
        if not bridge.exists():
            tried.append("%s (%s without %s)" % (folder, DRIVER, BRIDGE))
            continue
        try:
            return (_open(str(bridge), ctypes.RTLD_GLOBAL), _open(str(driver), ctypes.RTLD_LOCAL), str(bridge),
                    str(driver))
        except OSError as e:
            tried.append("%s (%s)" % (folder, e))
    try:
        return _open(BRIDGE, ctypes.RTLD_GLOBAL), _open(DRIVER, ctypes.RTLD_LOCAL), BRIDGE, DRIVER
    except OSError as e:
        tried.append("the loader's search path (%s)" % e)
    raise QolvenLibraryError(
        "the driver library %s cannot be found; looked in %s.  Set QOLVEN_LIBRARY to its file (a build tree has "
        "it in build/default/lib), or install the libraries (the Debian package libqolven-usb1, or cmake "
        "--install and then ldconfig)" % (DRIVER, ", ".join(tried)), LIBRARY)


def _prototype(lib: ctypes.CDLL, name: str, restype, argtypes) -> None:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes


class Identity(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in
                ("board_type", "hardware_version", "firmware_version", "firmware_year", "firmware_month")]


MAX_LOADING_POINTS = 20


class Calibration(ctypes.Structure):
    _fields_ = [("source", ctypes.c_int), ("points", ctypes.c_int),
                ("counts", ctypes.c_int64 * MAX_LOADING_POINTS), ("loads", ctypes.c_int64 * MAX_LOADING_POINTS),
                ("points_in_use", ctypes.c_int), ("decimal_point", ctypes.c_int), ("unit_code", ctypes.c_int),
                ("why", ctypes.c_char * 160)]


class CReading(ctypes.Structure):
    _fields_ = [("has_count", ctypes.c_int), ("count", ctypes.c_int64), ("status", ctypes.c_char * 40),
                ("has_load", ctypes.c_int), ("load", ctypes.c_double), ("load_text", ctypes.c_char * 40),
                ("decimal_point", ctypes.c_int), ("unit_code", ctypes.c_int), ("tared", ctypes.c_int),
                ("why", ctypes.c_char * 160)]


class CStreamInfo(ctypes.Structure):
    _fields_ = [("state", ctypes.c_int), ("board_type", ctypes.c_int), ("rate_code", ctypes.c_int),
                ("nominal_rate", ctypes.c_double), ("multi_channel", ctypes.c_int),
                ("start_monotonic", ctypes.c_double), ("start_wall", ctypes.c_double), ("elapsed", ctypes.c_double),
                ("loss_basis", ctypes.c_int), ("received", ctypes.c_uint64), ("lost", ctypes.c_uint64),
                ("expected", ctypes.c_double), ("requests", ctypes.c_uint64), ("timeouts", ctypes.c_uint64),
                ("failed_requests", ctypes.c_uint64), ("reconnects", ctypes.c_uint64)]


class CEvent(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("time", ctypes.c_double), ("sequence", ctypes.c_int64),
                ("samples", ctypes.c_int64), ("text", ctypes.c_char * 160)]


DISPLAY_LINES = 4
DISPLAY_LINE_LENGTH = 16
PAGE_BYTES = 129


class Native:
    """The loaded libraries: the driver (`lib`) and the bridge library (`bridge_library`)."""

    def __init__(self) -> None:
        self.bridge_library, self.lib, self.bridge_library_path, self.path = _find()
        self._provider_lock = threading.Lock()
        self._declare()

    def _declare(self) -> None:
        c, vp, i, sz = ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t
        psz, pi, pi64 = ctypes.POINTER(sz), ctypes.POINTER(i), ctypes.POINTER(ctypes.c_int64)
        pi32, pd = ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.c_double)
        i64 = ctypes.c_int64
        for name, restype, args in [
            ("qolven_bridge_load", i, (i, c, c, sz)),
            ("qolven_bridge_name", c, ()),
            ("qolven_bridge_path", c, ()),
            ("qolven_bridge_kind_meaning", c, (i,)),
            ("qolven_bridge_trace", None, (i,)),
        ]:
            _prototype(self.bridge_library, name, restype, args)
        for name, restype, args in [
            ("qolven_error_name", c, (i,)),
            ("qolven_version", c, ()),
            ("qolven_create", vp, ()),
            ("qolven_destroy", None, (vp,)),
            ("qolven_set_offline", i, (vp, i)),
            ("qolven_error_text", c, (vp,)),
            ("qolven_d2xx_status", ctypes.c_uint32, (vp,)),
            ("qolven_result_text", i, (vp, c, sz, psz)),
            ("qolven_device_count", i, (vp, pi)),
            ("qolven_device_serial", i, (vp, i, c, sz)),
            ("qolven_open", i, (vp, c)),
            ("qolven_close", i, (vp,)),
            ("qolven_open_serial", c, (vp,)),
            ("qolven_set_channel", i, (vp, i)),
            ("qolven_set_calibration_type", i, (vp, i)),
            ("qolven_interrupt", None, (vp,)),
            ("qolven_identify", i, (vp, ctypes.POINTER(Identity))),
            ("qolven_read_count", i, (vp, pi64)),
            ("qolven_read_calibration", i, (vp, ctypes.POINTER(Calibration))),
            ("qolven_set_tare", i, (vp, i64)),
            ("qolven_clear_tare", i, (vp,)),
            ("qolven_get_tare", i, (vp, pi, pi64)),
            ("qolven_read", i, (vp, ctypes.POINTER(CReading))),
            ("qolven_stream_start", i, (vp, i)),
            ("qolven_stream_read_samples", i, (vp, pi64, pi32, pi32, pd, pd, sz, psz, i)),
            ("qolven_stream_status", i, (vp, ctypes.POINTER(CStreamInfo))),
            ("qolven_stream_stop", i, (vp,)),
            ("qolven_stream_set_reconnect", i, (vp, i)),
            ("qolven_loss_basis_name", c, (i,)),
            ("qolven_load_source_name", c, (i,)),
            ("qolven_stream_next_event", i, (vp, ctypes.POINTER(CEvent), pi)),
            ("qolven_event_name", c, (i,)),
            ("qolven_rate_samples_per_second", ctypes.c_double, (i,)),
            ("qolven_read_display", i, (vp, ctypes.c_char * (DISPLAY_LINE_LENGTH + 1) * DISPLAY_LINES)),
            ("qolven_read_page", i, (vp, i, ctypes.c_ubyte * PAGE_BYTES)),
            ("qolven_key_count", i, ()),
            ("qolven_key_name", c, (i,)),
            ("qolven_key_alias", c, (i,)),
            ("qolven_key_method", c, (i,)),
            ("qolven_press_key", i, (vp, c)),
            ("qolven_parameter_count", i, ()),
            ("qolven_parameter_name", c, (i,)),
            ("qolven_parameter_meaning", c, (i,)),
            ("qolven_parameter_syntax", c, (i,)),
            ("qolven_parameter_getter", c, (i,)),
            ("qolven_parameter_setter", c, (i,)),
            ("qolven_parameter_flags", i, (i,)),
            ("qolven_parameter_kind", i, (i,)),
            ("qolven_parameter_range", i, (i, pi64, pi64)),
            ("qolven_parameter_serves", i, (i, i, i)),
            ("qolven_get_parameter", i, (vp, c, i, c, sz)),
            ("qolven_set_parameter", i, (vp, c, i, c)),
            ("qolven_board_type_known", i, (i,)),
            ("qolven_board_type_meaning", c, (i,)),
            ("qolven_board_type_class", c, (i,)),
            ("qolven_board_type_family_count", i, ()),
            ("qolven_board_type_family_name", c, (i,)),
            ("qolven_board_type_serves", i, (i, i)),
            ("qolven_board_type_last_rate_code", i, (i,)),
            ("qolven_method_count", i, ()),
            ("qolven_method_find", i, (c,)),
            ("qolven_method_name", c, (i,)),
            ("qolven_method_result", c, (i,)),
            ("qolven_method_argument_count", i, (i,)),
            ("qolven_method_argument_name", c, (i, i)),
            ("qolven_method_argument_kind", c, (i, i)),
            ("qolven_call", i, (vp, c, ctypes.POINTER(c), i, c, sz, psz)),
            ("qolven_get_field", i, (vp, c, c, sz, psz)),
        ]:
            _prototype(self.lib, name, restype, args)

    def load_beside(self, name: str) -> ctypes.CDLL:
        """Another library of the project (e.g. a recorder's), from the driver
        library's folder when it is there, else by the loader's search."""
        beside = Path(self.path).parent / name if "/" in self.path else None
        candidates = ([str(beside)] if beside is not None and beside.exists() else []) + [name]
        reasons = []
        for candidate in candidates:
            try:
                return _open(candidate, ctypes.RTLD_LOCAL)
            except OSError as e:
                reasons.append(str(e))
        raise QolvenLibraryError("%s cannot be loaded (%s)" % (name, "; ".join(reasons)), LIBRARY)

    # ---- the provider of the FT_* functions
    def provider(self) -> str:
        """The provider loaded ("simulated", "d2xx", "ftdi1"), "" before any."""
        return text(self.bridge_library.qolven_bridge_name())

    def provider_path(self) -> str:
        return text(self.bridge_library.qolven_bridge_path())

    def use_provider(self, kind: str) -> None:
        """Loads the provider of `kind`; a process keeps the first it loaded, and
        asking for another one fails with the bridge library's reason."""
        number = KINDS.get(kind)
        if number is None:
            raise QolvenLibraryError('bridge "%s" is not one of %s' % (kind, ", ".join(KINDS)), LIBRARY)
        with self._provider_lock:
            loaded = self.provider()
            if loaded and kind == loaded:
                return
            error = ctypes.create_string_buffer(1024)
            if self.bridge_library.qolven_bridge_load(number, None, error, len(error)) != 0:
                reason = text(error.value) or "the %s bridge cannot be loaded" % kind
                if kind != SIMULATED and not loaded:
                    reason += "; simulate=True uses the virtual boards instead"
                raise QolvenLibraryError(reason, LIBRARY)


def load() -> Native:
    """The libraries of this process, loaded on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = Native()
        return _loaded


def loaded() -> Optional[Native]:
    return _loaded


def text(value: Optional[bytes]) -> str:
    return value.decode("utf-8", "replace") if value is not None else ""
