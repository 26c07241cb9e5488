"""python -m qolven: the tool's everyday commands, on the Python package.

    python -m qolven --simulate type=9 info
    python -m qolven --simulate set decimal-point 3
    python -m qolven --simulate stream --rate 15 --seconds 2 > samples.csv
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import List, Optional

import qolven


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m qolven", description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="USB serial number (default: the only device attached)")
    parser.add_argument("--channel", type=int, default=0, help="channel of a four-channel board, 0..3")
    parser.add_argument("--simulate", nargs="?", const=True, default=None, metavar="DEVICES",
                        help="use the virtual boards, optionally described like type=9,serial=SIM0009")
    parser.add_argument("--state", help="file that keeps the virtual boards' registers")
    parser.add_argument("--json", action="store_true", help="JSON output")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("list", help="serial numbers of the attached devices")
    commands.add_parser("info", help="board type, versions, whether it answers")
    commands.add_parser("read", help="live count and load")
    get = commands.add_parser("get", help="read a stored parameter")
    get.add_argument("name")
    get.add_argument("point", nargs="?", type=int)
    set_ = commands.add_parser("set", help="write a stored parameter")
    set_.add_argument("name")
    set_.add_argument("arguments", nargs="+", metavar="[POINT] VALUE")
    stream = commands.add_parser("stream", help="fast data as CSV (sample,channel,count,time)")
    stream.add_argument("--rate", type=int, default=None, help="sampling-rate code 0..15 (default: the board's)")
    stream.add_argument("--seconds", type=float, default=10.0)
    commands.add_parser("parameters", help="the parameter table")
    return parser


def _print(fields: dict, as_json: bool) -> None:
    if as_json:
        print(json.dumps(fields, indent=2))
    else:
        for name, value in fields.items():
            print(name, value)


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # As in the tool, the word after --simulate describes devices only when it has key=value pairs.
    for i, word in enumerate(argv):
        if word == "--simulate" and (i + 1 == len(argv) or "=" not in argv[i + 1]):
            argv[i] = "--simulate="
    options = _parser().parse_args(argv)
    try:
        if options.command == "list":
            serials = qolven.devices(simulate=options.simulate, state=options.state)
            _print({str(i): s for i, s in enumerate(serials)}, options.json)
            return 0
        if options.command == "parameters":
            for p in qolven.parameters():
                print("%-26s %-26s %s" % (p.name + (" N" if p.indexed else ""), p.syntax, p.meaning))
            return 0
        with qolven.open(options.serial, simulate=options.simulate, state=options.state) as dev:
            dev.channel = options.channel
            if options.command == "info":
                _print(dev.info()._asdict(), options.json)
            elif options.command == "read":
                _print(dev.read()._asdict(), options.json)
            elif options.command == "get":
                label = options.name + ("" if options.point is None else ".%d" % options.point)
                _print({label: dev.get(options.name, options.point)}, options.json)
            elif options.command == "set":
                *point, value = options.arguments
                if len(point) > 1:
                    raise qolven.QolvenInvalidArgument("set takes NAME [POINT] VALUE", code=-1)
                dev.set(options.name, value, int(point[0]) if point else None)
            elif options.command == "stream":
                print("sample,channel,count,time")
                for block in dev.stream(options.rate, options.seconds):
                    for row in zip(block.numbers, block.channels, block.counts, block.times):
                        print("%d,%d,%d,%.6f" % row)
        return 0
    except qolven.QolvenInvalidArgument as e:
        print("qolven: %s" % e, file=sys.stderr)
        return 2
    except qolven.QolvenError as e:
        print("qolven: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
