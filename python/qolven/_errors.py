"""The exceptions of the package: one class per class of qolven_status."""
from __future__ import annotations

from typing import Dict, Optional, Type

# Status codes of the C interface (qolven_status in qolven.h).
OK = 0
ERROR = 1
TIMEOUT = 2
INVALID_ARGUMENT = 3
UNKNOWN_NAME = 4
NOT_SUPPORTED = 5
BUFFER_TOO_SMALL = 6
NO_VALUE = 7
NOT_OPEN = 8
INTERNAL = 9
BOARD_TYPE = 10
BOARD_REFUSED = 11
TRANSPORT = 12
DISCONNECTED = 13
NO_DEVICE = 14
DEVICE_BUSY = 15
INTERRUPTED = 16
# Not a status of the library: a library of the package cannot be loaded.
LIBRARY = -1

_NAMES = {
    OK: "QOLVEN_OK", ERROR: "QOLVEN_ERROR", TIMEOUT: "QOLVEN_TIMEOUT", INVALID_ARGUMENT: "QOLVEN_INVALID_ARGUMENT",
    UNKNOWN_NAME: "QOLVEN_UNKNOWN_NAME", NOT_SUPPORTED: "QOLVEN_NOT_SUPPORTED",
    BUFFER_TOO_SMALL: "QOLVEN_BUFFER_TOO_SMALL", NO_VALUE: "QOLVEN_NO_VALUE", NOT_OPEN: "QOLVEN_NOT_OPEN",
    INTERNAL: "QOLVEN_INTERNAL", BOARD_TYPE: "QOLVEN_BOARD_TYPE", BOARD_REFUSED: "QOLVEN_BOARD_REFUSED",
    TRANSPORT: "QOLVEN_TRANSPORT", DISCONNECTED: "QOLVEN_DISCONNECTED", NO_DEVICE: "QOLVEN_NO_DEVICE",
    DEVICE_BUSY: "QOLVEN_DEVICE_BUSY", INTERRUPTED: "QOLVEN_INTERRUPTED", LIBRARY: "library not loaded",
}


class QolvenError(Exception):
    """A failure reported by the library, the bridge or the board.

    `code` is the qolven_status of the C interface (`name` its name, e.g.
    "QOLVEN_TIMEOUT"), `text` the library's own text (e.g. "Invalid Type of
    Board") and `d2xx_status` the bridge status of a transport failure (0
    otherwise).  Branch on the class or on `code`, never on `text`.
    """

    def __init__(self, text: str, code: int = ERROR, d2xx_status: int = 0,
                 what: Optional[str] = None) -> None:
        self.text = text
        self.code = code
        self.d2xx_status = d2xx_status
        message = "%s: %s" % (what, text) if what else text
        if d2xx_status:
            message += " (D2XX status %d)" % d2xx_status
        super().__init__(message)

    @property
    def name(self) -> str:
        return _NAMES.get(self.code, "unknown status")


class QolvenTimeout(QolvenError, TimeoutError):
    """The board did not answer in time."""


class QolvenInvalidArgument(QolvenError, ValueError):
    """Refused before anything was sent; the text names what was wrong."""


class QolvenUnknownName(QolvenInvalidArgument):
    """No method, parameter, key or field of that name."""


class QolvenNotSupported(QolvenInvalidArgument):
    """The parameter cannot be read, or cannot be written."""


class QolvenNoValue(QolvenError):
    """The board answered with a status text instead of a number."""


class QolvenNotOpen(QolvenError):
    """The device is closed (or was never opened)."""


class QolvenInternal(QolvenError):
    """An unexpected failure inside the library."""


class QolvenBoardType(QolvenError):
    """This board type does not serve the request ("Invalid Type of Board")."""


class QolvenBoardRefused(QolvenError):
    """The board answered with an error report ("Command Error", ...)."""


class QolvenTransport(QolvenError):
    """The bridge reported a failure; `d2xx_status` gives its status."""


class QolvenDisconnected(QolvenTransport):
    """The bridge is gone (unplugged)."""


class QolvenNoDevice(QolvenError):
    """No device with that serial number is attached, none is, or several are and none was named."""


class QolvenDeviceBusy(QolvenError):
    """Another program, this interpreter, or the kernel's ftdi_sio driver holds the device."""


class QolvenInterrupted(QolvenError):
    """A wait was ended before it was over; nothing was cut in the middle."""


class QolvenLibraryError(QolvenError):
    """A library of the package (driver, bridge, provider) cannot be loaded."""


_CLASSES: Dict[int, Type[QolvenError]] = {
    TIMEOUT: QolvenTimeout, INVALID_ARGUMENT: QolvenInvalidArgument, UNKNOWN_NAME: QolvenUnknownName,
    NOT_SUPPORTED: QolvenNotSupported, NO_VALUE: QolvenNoValue, NOT_OPEN: QolvenNotOpen, INTERNAL: QolvenInternal,
    BOARD_TYPE: QolvenBoardType, BOARD_REFUSED: QolvenBoardRefused, TRANSPORT: QolvenTransport,
    DISCONNECTED: QolvenDisconnected, NO_DEVICE: QolvenNoDevice, DEVICE_BUSY: QolvenDeviceBusy,
    INTERRUPTED: QolvenInterrupted, LIBRARY: QolvenLibraryError,
}


def error_for(code: int, text: str, d2xx_status: int = 0, what: Optional[str] = None) -> QolvenError:
    """The exception of a status code's class."""
    return _CLASSES.get(code, QolvenError)(text, code, d2xx_status, what)


def not_open(what: str = "") -> QolvenNotOpen:
    return QolvenNotOpen("the device is closed", NOT_OPEN, 0, what or None)


def status_name(code: int) -> str:
    return _NAMES.get(code, "unknown status")
