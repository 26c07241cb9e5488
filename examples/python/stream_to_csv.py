#!/usr/bin/env python3
"""Streams fast data from a board into a CSV file (sample,channel,count,time[,load]).

    stream_to_csv.py --seconds 10 --rate 15 --output samples.csv
    stream_to_csv.py --simulate type=2 --seconds 2          # a virtual board, CSV on stdout

`sample` is the sample's sequence number: a gap is where samples were lost.
`load` is there when the board keeps a calibration.  Lost samples and an
unplugged bridge are reported on stderr as they happen, and at the end the
stream's counters: samples received and lost against the board's nominal rate.
"""
import argparse
import csv
import math
import sys

import qolven


def main():
    rates = qolven.nominal_rates()  # the library's table of sampling-rate codes
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="USB serial number (default: the only device attached)")
    parser.add_argument("--simulate", metavar="DEVICES", help='virtual boards, e.g. "type=2"')
    parser.add_argument("--rate", type=int, default=max(rates), choices=sorted(rates), metavar="CODE",
                        help="sampling-rate code, %d..%d (default %d: %g samples/s)"
                             % (min(rates), max(rates), max(rates), rates[max(rates)]))
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--output", help="CSV file (default: standard output)")
    options = parser.parse_args()

    def report(event):
        print("stream_to_csv: %s at %.3f s: %s" % (event.kind, event.time, event.text), file=sys.stderr)

    out = open(options.output, "w", newline="") if options.output else sys.stdout
    writer = csv.writer(out, lineterminator="\n")
    written = 0
    status = None
    try:
        with qolven.open(options.serial, simulate=options.simulate) as dev:
            with_load = dev.calibration().source != "none"
            writer.writerow(["sample", "channel", "count", "time"] + (["load"] if with_load else []))
            stream = dev.stream(rate_code=options.rate, seconds=options.seconds, on_event=report)
            try:
                for block in stream:
                    for row in zip(block.sequence, block.channels, block.counts, block.times, block.loads):
                        fields = [int(row[0]), int(row[1]), int(row[2]), "%.6f" % row[3]]
                        if with_load:
                            fields.append("" if math.isnan(row[4]) else "%.6g" % row[4])
                        writer.writerow(fields)
                    written += len(block)
            finally:
                status = stream.status()
    except qolven.QolvenError as e:
        print("stream_to_csv: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    finally:
        if out is not sys.stdout:
            out.close()
    if status is not None:
        print("stream_to_csv: %d samples written; %d received, %d lost (against the %s), %.0f expected at the "
              "nominal %g/s; %d time-outs, %d failed requests, %d reconnects"
              % (written, status.received, status.lost, status.loss_basis, status.expected, status.nominal_rate,
                 status.timeouts, status.failed_requests, status.reconnects), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
