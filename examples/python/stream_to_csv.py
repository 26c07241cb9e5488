#!/usr/bin/env python3
"""Streams fast data from a board into a CSV file (sample,channel,count,time).

    stream_to_csv.py --seconds 10 --rate 15 --output samples.csv
    stream_to_csv.py --simulate type=2 --seconds 2          # a virtual board, CSV on stdout

At the end it says how many samples arrived against the board's nominal
rate, so that a shortfall does not go unnoticed.
"""
import argparse
import csv
import sys

import qolven

# Nominal samples per second of the sampling-rate codes 0..15.
RATES = [2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="USB serial number (default: the only device attached)")
    parser.add_argument("--simulate", metavar="DEVICES", help='virtual boards, e.g. "type=2"')
    parser.add_argument("--rate", type=int, default=15, choices=range(16), metavar="0..15",
                        help="sampling-rate code (default 15: 1000 samples/s)")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--output", help="CSV file (default: standard output)")
    options = parser.parse_args()

    out = open(options.output, "w", newline="") if options.output else sys.stdout
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["sample", "channel", "count", "time"])
    received = 0
    try:
        with qolven.open(options.serial, simulate=options.simulate) as dev:
            for block in dev.stream(rate_code=options.rate, seconds=options.seconds):
                for number, channel, count, time in zip(block.numbers, block.channels, block.counts, block.times):
                    writer.writerow([int(number), int(channel), int(count), "%.6f" % time])
                received += len(block)
    except qolven.QolvenError as e:
        print("stream_to_csv: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    finally:
        if out is not sys.stdout:
            out.close()
    expected = RATES[options.rate] * options.seconds
    print("stream_to_csv: %d samples, %.0f expected at the nominal rate" % (received, expected), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
