"""The exceptions of the package."""
from __future__ import annotations

from typing import Optional

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


class QolvenError(Exception):
    """A failure reported by the library, the bridge or the board.

    `text` is the library's own text (e.g. "Invalid Type of Board"),
    `d2xx_status` the bridge status of a transport failure (0 otherwise) and
    `code` the status of the C interface (-1 for failures of the package
    itself, such as a library that cannot be loaded).
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


class QolvenTimeout(QolvenError, TimeoutError):
    """The board did not answer in time."""


class QolvenInvalidArgument(QolvenError, ValueError):
    """An argument was refused before anything was sent; the text names it."""


def error_for(code: int, text: str, d2xx_status: int = 0, what: Optional[str] = None) -> QolvenError:
    if code == TIMEOUT:
        return QolvenTimeout(text, code, d2xx_status, what)
    if code == INVALID_ARGUMENT:
        return QolvenInvalidArgument(text, code, d2xx_status, what)
    return QolvenError(text, code, d2xx_status, what)
