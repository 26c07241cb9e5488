#!/usr/bin/env python3
"""The Python package's cost: a parameter get through the package against the
bare C++ call on the same kind of virtual board (answer delay 0), and
streaming 1000 samples/s through Python with the loss counted.

    /usr/bin/python3 bench/python_bench.py [--build build/default] [--seconds 5]

Run from the source tree; the figures go into bench/README.md.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def one_round(function, calls):
    """Thread CPU and wall microseconds per call of one round."""
    c0, w0 = time.thread_time(), time.perf_counter()
    for _ in range(calls):
        function()
    return (time.thread_time() - c0) / calls * 1e6, (time.perf_counter() - w0) / calls * 1e6


def summary(rounds):
    """Lowest and median CPU, median wall per call."""
    cpu = sorted(r[0] for r in rounds)
    return cpu[0], statistics.median(cpu), statistics.median(r[1] for r in rounds)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=5.0)
    options = parser.parse_args()
    lib = os.path.join(options.build, "lib")
    os.environ.setdefault("QOLVEN_LIBRARY", os.path.join(lib, "libqolven_usb.so.1"))
    os.environ.setdefault("QOLVEN_SIM_LIBRARY", os.path.join(lib, "libqolven_d2xx_sim.so.1"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import qolven
    import qolven.sim

    print("load average %.2f %.2f %.2f" % os.getloadavg())
    # The C++ reference and the package take turns, three times, so that
    # both see the same machine; the lowest round is the least disturbed.
    qolven.sim.configure("type=2,serial=BENCH,delay_us=0")
    rounds = {"cxx": [], "capi": [], "attribute": [], "get": []}
    with qolven.open("BENCH", simulate=True) as dev:
        assert dev.decimal_point == 0
        for _ in range(3):
            out = subprocess.run([os.path.join(options.build, "bin", "parameter_get_bench"), str(options.calls)],
                                 capture_output=True, text=True, check=True).stdout
            for line in out.splitlines():
                words = line.split()
                rounds[words[0]].append((float(words[2]), float(words[6])))  # lowest CPU, median wall
            for _ in range(3):
                rounds["attribute"].append(one_round(lambda: dev.decimal_point, options.calls))
                rounds["get"].append(one_round(lambda: dev.get("decimal-point"), options.calls))
    print("parameter get, us per call: thread CPU lowest / median round, wall median")
    figures = {name: summary(values) for name, values in rounds.items()}
    for name, label in (("cxx", "bare C++ Get_Decimal_Point"), ("capi", "C interface qolven_get_parameter"),
                        ("attribute", "package dev.decimal_point"), ("get", "package dev.get('decimal-point')")):
        print("  %-34s %7.2f / %7.2f / %7.2f" % ((label,) + figures[name]))
    cxx, package = figures["cxx"], figures["attribute"]
    print("  %-34s %7.2f / %7.2f / %7.2f" % ("overhead of the package over C++", package[0] - cxx[0],
                                               package[1] - cxx[1], package[2] - cxx[2]))

    # Streaming at rate code 15 (1000 samples/s) with the board's realistic answer delay.
    qolven.sim.configure("type=2,serial=STREAM,delay_us=1500")
    with qolven.open("STREAM", simulate=True) as dev:
        received, lost, previous, first, blocks = 0, 0, None, None, 0
        c0, w0 = time.thread_time(), time.perf_counter()
        for block in dev.stream(rate_code=15, seconds=options.seconds):
            if first is None:
                first = qolven.sim.next_sample_sequence("STREAM") - len(block)
            for count in block.counts:
                sequence = (int(count) >> 8) & 0xF  # carried in bits 8-11 of two-byte samples
                if previous is not None:
                    lost += (sequence - previous - 1) & 0xF
                previous = sequence
            received += len(block)
            blocks += 1
        elapsed, cpu = time.perf_counter() - w0, time.thread_time() - c0
        generated = qolven.sim.next_sample_sequence("STREAM") - first
    print("stream, rate code 15 for %.1f s: %d samples received (%.1f/s), %d lost by sequence, "
          "%d generated (%d still queued), %d blocks, %.1f samples per block, CPU %.0f %%"
          % (options.seconds, received, received / elapsed, lost, generated, generated - received, blocks,
             received / max(blocks, 1), 100 * cpu / elapsed))
    print("load average %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
