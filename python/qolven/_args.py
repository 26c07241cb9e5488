"""Arguments on their way to C: ctypes would cut an integer to its C type and
a text at its first NUL without a word, so both are checked here first."""
from __future__ import annotations

import operator
from typing import Any, Union

from ._errors import INVALID_ARGUMENT, QolvenInvalidArgument

INT32 = (-2 ** 31, 2 ** 31 - 1)
UINT32 = (0, 2 ** 32 - 1)
INT64 = (-2 ** 63, 2 ** 63 - 1)


def integer(value: Any, what: str, low: int = INT32[0], high: int = INT32[1]) -> int:
    """`value` as an int within low..high (the C type's range unless narrower)."""
    if isinstance(value, bool):
        raise TypeError("%s takes an integer, not bool" % what)
    try:
        number = operator.index(value)  # int, numpy integers; not float, not str
    except TypeError:
        raise TypeError("%s takes an integer, not %s" % (what, type(value).__name__)) from None
    if not low <= number <= high:
        raise QolvenInvalidArgument("%s %d is outside %d..%d" % (what, number, low, high), INVALID_ARGUMENT)
    return number


def text(value: Union[str, bytes], what: str) -> bytes:
    """`value` as the bytes of a C string: UTF-8, no NUL inside."""
    if isinstance(value, str):
        try:
            data = value.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError as e:
            raise QolvenInvalidArgument("%s %r cannot be written as UTF-8 (%s)" % (what, value[:40], e.reason),
                                        INVALID_ARGUMENT) from None
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError("%s takes a text, not %s" % (what, type(value).__name__))
    if b"\0" in data:
        raise QolvenInvalidArgument("%s %r holds a NUL character at position %d; nothing was sent"
                                    % (what, value[:40], data.index(b"\0")), INVALID_ARGUMENT)
    return data
