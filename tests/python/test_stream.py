"""Fast data through the package: the library's stream reader, its counters and
events, and the stream's life against the device's."""
import csv
import io
import math
import os
import sys
import threading
import time

import pytest

import qolven
import qolven.sim
import qolven.stream
from conftest import run_python


def collect(stream, samples):
    """Sequence numbers and counts of at least `samples` samples."""
    sequence, counts = [], []
    for block in stream:
        sequence += [int(n) for n in block.sequence]
        counts += [int(c) for c in block.counts]
        if len(sequence) >= samples:
            break
    return sequence, counts


def gone_from_the_board(serial):
    """Samples that left the board: sent in answers, or dropped from its full queue."""
    counters = qolven.sim.fast_counters(serial)
    return counters.delivered + counters.dropped


def numbered(status):
    return status.received + status.lost


def test_samples_come_in_order_and_every_loss_is_numbered(boards):
    boards("type=2,serial=S,delay_us=1500")
    with qolven.open("S", simulate=True) as dev:
        stream = dev.stream(rate_code=15, seconds=2)
        sequence, times = [], []
        for block in stream:
            assert len(block.sequence) == len(block.channels) == len(block.times) == len(block.loads) == len(block)
            if not sequence:  # from here on the board's counters and the library's run side by side
                before, board_before = numbered(stream.status()), gone_from_the_board("S")
            sequence += list(block.sequence)
            times += list(block.times)
        status = stream.status()
        board = gone_from_the_board("S") - board_before
    assert sequence == sorted(set(sequence)) and times == sorted(times) and 0 <= times[0] and times[-1] < 2
    assert len(sequence) > 1000, status
    # What left the board is what arrived plus what the library numbered as lost, nothing
    # unseen.  A loss is reckoned against the nominal rate and the host's clock: a few samples
    # either way per loss, a little more for a long one.
    losses = len(stream.events())
    assert abs(numbered(status) - before - board) <= 3 + 3 * losses + status.lost / 20, (status, board)
    assert (status.state, status.rate_code, status.nominal_rate, status.loss_basis) == (
        "stopped", 15, 1000.0, "nominal-rate")


def test_counters_equal_the_gaps_of_a_board_that_drops_answers(boards):
    boards("type=2,serial=D,delay_us=1500")
    with qolven.open("D", simulate=True) as dev:
        stream = dev.stream(rate_code=15, block_size=1000)
        # Every 7th answer arrives cut short: its samples are gone.
        qolven.sim.inject_fault("D", "partial", every=7)
        sequence, _ = collect(stream, 1500)
        status = stream.status()
        events = stream.events()
    gaps = {b: b - a - 1 for a, b in zip([-1] + sequence, sequence) if b - a > 1}
    lost = {e.sequence: e.samples for e in events if e.kind == "lost"}
    assert gaps and status.lost > 0
    # Every gap is a "lost" event of its size; a loss found after the last sample has no sample behind it yet.
    assert gaps == {s: n for s, n in lost.items() if s <= sequence[-1]}
    assert status.lost == sum(lost.values())
    assert status.received >= len(sequence) and status.timeouts + status.failed_requests > 0


def test_blocks_are_numpy_arrays_when_numpy_is_there(board, request):
    dev = board("type=9,channels=2")
    block = next(dev.stream(rate_code=15, seconds=1))
    if request.config.getoption("--no-numpy"):
        assert qolven.stream.numpy is None
        assert all(isinstance(column, list) for column in block)
    else:
        import numpy
        assert [column.dtype for column in block] == [numpy.int64, numpy.int32, numpy.int32, numpy.float64,
                                                     numpy.float64]
    assert set(block.channels) <= {0, 1} and list(block.numbers) == list(block.sequence)
    loads = list(board("type=2", "P2").stream(rate_code=15).read().loads)
    assert loads and all(math.isfinite(x) for x in loads)  # offset and full-scale pair of a fresh board


def test_a_rate_code_the_board_cannot_run_is_refused_before_anything_is_written(board):
    with pytest.raises(qolven.QolvenInvalidArgument, match="sampling-rate code 16"):
        board("type=2").stream(rate_code=16)
    slow = board("type=12", "P2")
    with pytest.raises(qolven.QolvenInvalidArgument, match="code 15 is outside 0..11 of board type 12"):
        slow.stream(rate_code=15)
    assert slow.sampling_rate == 0


def test_unplugging_gives_events_and_the_stream_goes_on(board):
    dev = board("type=2", "R")
    seen = []

    def plug(events):  # a busy machine may add "lost" events of its own: only the plug's count
        return [e for e in events if e.kind != "lost"]

    stream = dev.stream(rate_code=15, on_event=seen.append)
    collect(stream, 50)
    qolven.sim.detach("R")
    deadline = time.monotonic() + 10
    while stream.status().state != "reconnecting" and time.monotonic() < deadline:
        assert len(stream.read(timeout=0.05)) == 0
    assert [e.kind for e in plug(seen)] == ["disconnected"]
    qolven.sim.attach("type=2,serial=R,delay_us=0")
    before = stream.status().received
    sequence, _ = collect(stream, 50)
    status = stream.status()
    assert [e.kind for e in plug(seen)] == ["disconnected", "reconnected"] and status.reconnects == 1
    assert status.received > before and status.state == "running"
    assert [e.kind for e in plug(stream.events())] == ["disconnected", "reconnected"]
    assert sequence[0] >= plug(seen)[1].sequence  # the stream goes on where the event says


def test_without_reconnect_an_unplugged_bridge_ends_the_stream(board):
    dev = board("type=2", "R")
    stream = dev.stream(rate_code=15, reconnect=False)
    collect(stream, 10)
    qolven.sim.detach("R")
    with pytest.raises(qolven.QolvenDisconnected):
        collect(stream, 10**6)


def test_a_newer_stream_or_stop_ends_the_older_one(board):
    dev = board("type=2")
    older = dev.stream(rate_code=15)
    newer = dev.stream(rate_code=15)
    for use in (lambda: next(older), older.status):
        with pytest.raises(qolven.QolvenInvalidArgument, match="newer"):
            use()
    assert len(next(newer)) > 0
    newer.stop()
    assert list(newer) == [] and newer.status().state == "stopped"
    assert dev.decimal_point == 0  # the device goes on


# ---- closing the device while a stream uses it

def test_a_stream_used_after_close_raises_not_open(boards):
    boards("type=2,serial=W,delay_us=0")
    with qolven.open(simulate=True) as w:
        g = w.stream(rate_code=15, seconds=2)
        next(g)
    for use in (lambda: next(g), g.status, lambda: g.read(timeout=0)):
        with pytest.raises(qolven.QolvenNotOpen):
            use()
    g.stop()  # stopping what is over is fine


@pytest.mark.parametrize("rate_code", [0, 15])  # a read that waits long, and one that is always busy
def test_closing_from_another_thread_ends_the_stream_with_not_open(board, rate_code):
    for attempt in range(3):
        dev = board("type=2", "T%d" % attempt)
        outcome = []
        started = threading.Event()

        def stream():
            try:
                for _ in dev.stream(rate_code=rate_code):
                    started.set()
            except qolven.QolvenError as e:
                outcome.append(e)
            started.set()

        reader = threading.Thread(target=stream)
        reader.start()
        assert started.wait(10)
        begun = time.monotonic()
        dev.close()
        reader.join(10)
        assert not reader.is_alive()
        assert time.monotonic() - begun < 2  # close() ended the wait; it did not run out
        assert len(outcome) == 1 and isinstance(outcome[0], qolven.QolvenNotOpen), outcome


def test_counters_are_reachable_from_another_thread_while_streaming(board):
    dev = board("type=2", "C")
    stream = dev.stream(rate_code=15, seconds=1.5)
    reader = threading.Thread(target=lambda: list(stream))
    reader.start()
    received = []
    while reader.is_alive():
        received.append(stream.status().received)
        time.sleep(0.05)
    reader.join()
    assert len(received) > 5 and received == sorted(received) and received[-1] > received[0]


def test_stream_to_csv_example():
    example = os.path.join(os.environ["QOLVEN_SOURCE_DIR"], "examples", "python", "stream_to_csv.py")
    got = run_python([example, "--simulate", "type=2,delay_us=0", "--seconds", "0.5"],
                     {"PYTHONPATH": os.pathsep.join(sys.path)})
    assert got.returncode == 0, got.stderr
    rows = list(csv.reader(io.StringIO(got.stdout)))
    assert rows[0] == ["sample", "channel", "count", "time", "load"]
    assert len(rows) > 100 and [int(r[0]) for r in rows[1:6]] == list(range(5))
    written = int(got.stderr.split("stream_to_csv: ")[-1].split()[0])
    assert written == len(rows) - 1 and "lost (against the nominal-rate)" in got.stderr
