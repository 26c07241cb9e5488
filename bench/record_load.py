#!/usr/bin/python3
"""How long a recording takes to open in Python and load into numpy arrays.

    record_load.py FILE.h5 [--repeat 3]

Make the file with, for instance, an hour at 1000 samples/s:

    qolven --simulate serial=H1 record --rate 15 --seconds 3600 --output hour.h5

Prints the samples, the file's size, and the best of --repeat runs (with
the file in the page cache, and then dropped from it where the process may:
a cold read) of h5py alone and of qolven.recording.load(), as processor time
and wall time.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import h5py  # noqa: E402

from qolven import recording  # noqa: E402


def h5py_alone(path):
    with h5py.File(path, "r") as f:
        columns = {}
        for name, group in f["devices"].items():
            columns[name] = {k: group[k][()] for k in group}
        events = f["events"][()]
    return columns, events


def drop_cache(path):
    try:
        fd = os.open(path, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)
        return True
    except (OSError, AttributeError):
        return False


def best(function, path, repeat, cold):
    """The best (processor seconds, wall seconds) of `repeat` runs: on a
    shared machine the wall time is mostly waiting for a processor."""
    runs = []
    for _ in range(repeat):
        if cold:
            drop_cache(path)
        wall, cpu = time.perf_counter(), time.process_time()
        function(path)
        runs.append((time.process_time() - cpu, time.perf_counter() - wall))
    return min(runs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    run = recording.load(args.file)
    samples = sum(len(d.count) for d in run.devices.values())
    print("%s: %d devices, %d samples, %d events, %.1f MB (%.2f bytes per sample), %.0f s recorded"
          % (args.file, len(run.devices), samples, len(run.events), os.path.getsize(args.file) / 1e6,
             os.path.getsize(args.file) / samples,
             max(float(d.time[-1]) for d in run.devices.values() if len(d.time))))
    print("  load average %.1f" % os.getloadavg()[0])
    for cold in (False, True):
        for name, function in (("h5py alone", h5py_alone), ("qolven.recording.load", recording.load)):
            cpu, wall = best(function, args.file, args.repeat, cold)
            print("  %-22s %s: %.3f s of processor, %.3f s wall" % (name, "cold" if cold else "warm", cpu, wall))


if __name__ == "__main__":
    main()
