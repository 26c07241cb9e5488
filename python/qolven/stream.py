"""Fast data: a thin loop over the library's stream reader.

The library paces the requests, retries what fails, reconnects an unplugged
bridge, numbers the samples (a gap in the sequence numbers is where samples
were lost) and keeps the counters; this module hands its samples over in
blocks and its counters and events as they are.
"""
from __future__ import annotations

import collections
import ctypes
import numbers
import time
from typing import TYPE_CHECKING, Any, Callable, Deque, Iterator, List, NamedTuple, Optional

from . import _args, _errors
from ._errors import not_open
from ._native import CEvent, CStreamInfo, text

if TYPE_CHECKING:
    from .device import Device

try:
    import numpy
except ImportError:
    numpy = None

# Longest wait of one library read: the lock of the device is free between
# two, so that other threads (a status query, close()) and Ctrl-C get their turn.
_LONGEST_WAIT_MS = 50
# Events kept for `events()`, as the library keeps them.
_MOST_EVENTS = 1024
_STATES = {0: "stopped", 1: "running", 2: "reconnecting", 3: "failed"}


class Block(NamedTuple):
    """Samples handed over together: numpy arrays when numpy is there, else lists.

    `sequence`: the samples' sequence numbers, counted from 0 at the start;
    a gap is where samples were lost.  `channels`: each sample's channel (0
    except on multi-channel boards).  `counts`: converter counts.  `times`:
    seconds since the stream's start (monotonic clock), spread evenly over
    the samples of one answer.  `loads`: the loads (decimal point applied,
    tare taken off), NaN where the board keeps no calibration.
    """
    sequence: Any
    channels: Any
    counts: Any
    times: Any
    loads: Any

    @property
    def numbers(self) -> Any:
        """The sequence numbers (the older name)."""
        return self.sequence

    def __len__(self) -> int:  # type: ignore[override]
        return len(self.counts)


class StreamStatus(NamedTuple):
    """The stream's state and counters, as the library keeps them."""
    state: str              # "running", "reconnecting", "stopped" or "failed"
    board_type: int
    rate_code: int
    nominal_rate: float     # samples per second
    multi_channel: bool
    start_monotonic: float  # the stream's time 0 on the process's monotonic clock (seconds)
    start_wall: float       # the same instant, UTC seconds since 1970
    elapsed: float
    loss_basis: str         # what `lost` is reckoned against: "nominal-rate" or "board"
    received: int
    lost: int
    expected: float         # samples the nominal rate gives since the first answer
    requests: int
    timeouts: int
    failed_requests: int
    reconnects: int


class Event(NamedTuple):
    """Something that happened to the stream."""
    kind: str       # "lost", "disconnected" or "reconnected"
    time: float     # stream time
    sequence: int   # lost: the first sample after the gap; reconnected: where the stream goes on
    samples: int    # samples lost
    text: str


class Stream:
    """Fast data of one device: iterate for Blocks; `status()`, `events()` and
    `stop()` at any time, from any thread.  Made by `Device.stream()`."""

    def __init__(self, device: "Device", rate_code: Optional[int], seconds: Optional[float], block_size: int,
                 reconnect: bool, on_event: Optional[Callable[[Event], Any]]) -> None:
        rate = -1 if rate_code is None else _args.integer(rate_code, "sampling-rate code")
        block_size = _args.integer(block_size, "block size", 1, 1 << 20)
        if seconds is not None:
            if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real):
                raise TypeError("seconds takes a number, not %s" % type(seconds).__name__)
            if not seconds > 0:
                raise _errors.QolvenInvalidArgument("seconds %r is not above 0" % seconds, _errors.INVALID_ARGUMENT)
        if not isinstance(reconnect, bool):
            raise TypeError("reconnect takes True or False, not %s" % type(reconnect).__name__)
        self._device = device
        self._lib = lib = device._lib
        self._seconds = None if seconds is None else float(seconds)
        self._on_event = on_event
        self._events: Deque[Event] = collections.deque(maxlen=_MOST_EVENTS)
        self._done = False
        self._capacity = block_size
        self._received = ctypes.c_size_t()
        self._event = CEvent()
        self._got = ctypes.c_int()
        if numpy is not None:
            self._arrays = [numpy.empty(block_size, dtype) for dtype in
                            (numpy.int64, numpy.int32, numpy.int32, numpy.float64, numpy.float64)]
            self._pointers = [a.ctypes.data_as(ctypes.POINTER(t)) for a, t in
                              zip(self._arrays, (ctypes.c_int64, ctypes.c_int32, ctypes.c_int32, ctypes.c_double,
                                                 ctypes.c_double))]
        else:
            self._arrays = [(t * block_size)() for t in
                            (ctypes.c_int64, ctypes.c_int32, ctypes.c_int32, ctypes.c_double, ctypes.c_double)]
            self._pointers = self._arrays
        with device._hold("stream") as handle:
            self._check(handle, lib.qolven_stream_set_reconnect(handle, 1 if reconnect else 0), "stream")
            self._check(handle, lib.qolven_stream_start(handle, rate), "stream")
            device._stream = device._last_stream = self
        self._started = time.monotonic()

    def _check(self, handle: Any, status: int, what: str) -> None:
        if status:
            raise self._device._failure(status, what, handle)

    def _live(self) -> None:
        if self._device._stream is not self:
            self._done = True
            raise _errors.QolvenInvalidArgument("this stream was stopped, or a newer one started on %r"
                                                % self._device, _errors.INVALID_ARGUMENT)

    # ---- samples
    def read(self, max_samples: Optional[int] = None, timeout: Optional[float] = 1.0) -> Block:
        """The samples there are, up to `max_samples` (the block size at most),
        waiting up to `timeout` seconds (None: until one comes) for the first:
        an empty Block when none came."""
        limit = self._capacity if max_samples is None else _args.integer(max_samples, "max_samples", 1,
                                                                          self._capacity)
        deadline = None if timeout is None else time.monotonic() + max(0.0, float(timeout))
        while True:
            wait = _LONGEST_WAIT_MS
            if deadline is not None:
                wait = min(wait, max(0, int((deadline - time.monotonic()) * 1000)))
            n = self._read_once(limit, wait)
            if n or (deadline is not None and time.monotonic() >= deadline):
                return self._block(n)

    def _read_once(self, limit: int, wait_ms: int) -> int:
        device = self._device
        lib = self._lib
        events: List[Event] = []
        with device._lock:
            handle = device._handle
            if handle is None:
                self._done = True
                raise not_open("stream")
            self._live()
            p = self._pointers
            status = lib.qolven_stream_read_samples(handle, p[0], p[1], p[2], p[3], p[4], limit,
                                                    ctypes.byref(self._received), wait_ms)
            while lib.qolven_stream_next_event(handle, ctypes.byref(self._event), ctypes.byref(self._got)) == 0 \
                    and self._got.value:
                e = self._event
                events.append(Event(text(lib.qolven_event_name(e.kind)), e.time, e.sequence, e.samples,
                                    text(e.text)))
            failure = device._failure(status, "stream", handle) if status else None
        for event in events:
            self._events.append(event)
            if self._on_event is not None:
                self._on_event(event)
        if failure is not None:
            self._done = True
            if failure.code == _errors.INTERRUPTED and device._handle is None:
                raise not_open("stream")  # close() from another thread ended the wait
            raise failure
        return self._received.value

    def _block(self, n: int) -> Block:
        a = self._arrays
        if numpy is not None:
            return Block(a[0][:n].copy(), a[1][:n].copy(), a[2][:n].copy(), a[3][:n].copy(), a[4][:n].copy())
        return Block(a[0][:n], a[1][:n], a[2][:n], a[3][:n], a[4][:n])

    def __iter__(self) -> Iterator[Block]:
        return self

    def __next__(self) -> Block:
        seconds = self._seconds
        while not self._done:
            wait = _LONGEST_WAIT_MS
            if seconds is not None:
                left = seconds - (time.monotonic() - self._started)
                if left <= 0:
                    break
                wait = min(wait, int(left * 1000) + 1)
            n = self._read_once(self._capacity, wait)
            if not n:
                continue
            block = self._block(n)
            if seconds is not None and block.times[-1] >= seconds:
                keep = sum(1 for t in block.times if t < seconds)
                block = Block(*(column[:keep] for column in block))
                self._finish()
                if not keep:
                    break
            return block
        self._finish()
        raise StopIteration

    # ---- counters, events, the end
    def status(self) -> StreamStatus:
        """The counters now (received, lost and its basis, time-outs, failed
        requests, reconnects, ...)."""
        s = CStreamInfo()
        lib = self._lib
        with self._device._hold("stream status") as handle:
            if self._device._last_stream is not self:  # the library keeps the newest stream's counters only
                raise _errors.QolvenInvalidArgument("a newer stream started on %r; its status is not this one's"
                                                    % self._device, _errors.INVALID_ARGUMENT)
            self._check(handle, lib.qolven_stream_status(handle, ctypes.byref(s)), "stream status")
        return StreamStatus(_STATES.get(s.state, str(s.state)), s.board_type, s.rate_code, s.nominal_rate,
                            bool(s.multi_channel), s.start_monotonic, s.start_wall, s.elapsed,
                            text(lib.qolven_loss_basis_name(s.loss_basis)), s.received, s.lost, s.expected,
                            s.requests, s.timeouts, s.failed_requests, s.reconnects)

    def events(self) -> List[Event]:
        """The events since the last call (lost samples, disconnected, reconnected), oldest first."""
        taken = []
        while True:
            try:
                taken.append(self._events.popleft())
            except IndexError:
                return taken

    def _finish(self) -> None:
        if self._done:
            return
        self._done = True
        self.stop()

    def stop(self) -> None:
        """Stops the stream (iteration ends); nothing happens on a closed device."""
        self._done = True
        device = self._device
        with device._lock:
            handle = device._handle
            if handle is None or device._stream is not self:
                return
            device._stream = None
            self._lib.qolven_stream_stop(handle)

    close = stop

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return "<qolven.Stream of %r (%s)>" % (self._device, "done" if self._done else "running")


__all__ = ["Stream", "Block", "StreamStatus", "Event"]
