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


def per_call(function, calls, rounds=7):
    """Median over rounds of thread CPU and wall microseconds per call."""
    cpu, wall = [], []
    for _ in range(rounds):
        c0, w0 = time.thread_time(), time.perf_counter()
        for _ in range(calls):
            function()
        cpu.append((time.thread_time() - c0) / calls * 1e6)
        wall.append((time.perf_counter() - w0) / calls * 1e6)
    return statistics.median(cpu), statistics.median(wall)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--seconds", type=float, default=5.0)
    options = parser.parse_args()
    lib = os.path.join(options.build, "lib")
    os.environ.setdefault("QOLVEN_LIBRARY", os.path.join(lib, "libqolven_usb.so.1"))
    os.environ.setdefault("QOLVEN_SIM_LIBRARY", os.path.join(lib, "libqolven_d2xx_sim.so.1"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import qolven
    import qolven.sim

    print("load average %.2f %.2f %.2f" % os.getloadavg())
    reference = subprocess.run([os.path.join(options.build, "bin", "parameter_get_bench"), str(options.calls)],
                               capture_output=True, text=True, check=True).stdout
    figures = {line.split()[0]: (float(line.split()[2]), float(line.split()[4])) for line in reference.splitlines()}

    qolven.sim.configure("type=2,serial=BENCH,delay_us=0")
    with qolven.open("BENCH", simulate=True) as dev:
        assert dev.decimal_point == 0
        package = per_call(lambda: dev.decimal_point, options.calls)
        by_name = per_call(lambda: dev.get("decimal-point"), options.calls)
    cxx, capi = figures["cxx"], figures["capi"]
    print("parameter get, us per call (thread CPU / wall, median of 7 rounds of %d):" % options.calls)
    print("  bare C++ Get_Decimal_Point      %7.2f / %7.2f" % cxx)
    print("  C interface qolven_get_parameter %6.2f / %7.2f" % capi)
    print("  package dev.decimal_point       %7.2f / %7.2f" % package)
    print("  package dev.get('decimal-point') %6.2f / %7.2f" % by_name)
    print("  overhead of the package over C++ %6.2f / %7.2f" % (package[0] - cxx[0], package[1] - cxx[1]))

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
