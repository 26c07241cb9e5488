"""python -m qolven: where the package found its libraries, which bridge it
uses and which devices it sees.  It checks an installation; the commands
that drive a board are the qolven tool's (`qolven info`, `qolven get ...`).

    python -m qolven                      # the hardware bridge
    python -m qolven --simulate           # the virtual boards
    python -m qolven --simulate type=9,serial=SIM0009 --json

Exit codes: 0 everything loaded, 1 the devices cannot be listed, 2 usage,
3 a library cannot be loaded.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, Optional

import qolven

# The words the package's earlier command line took; they belong to the tool now.
_TOOL_COMMANDS = ("list", "info", "read", "get", "set", "stream", "parameters", "registers", "backup", "restore",
                  "key", "display", "reset", "serve")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m qolven", description=__doc__.split("\n\n")[0],
                                     epilog="Exit codes: 0 everything loaded, 1 the devices cannot be listed, "
                                            "2 usage, 3 a library cannot be loaded.")
    parser.add_argument("--simulate", nargs="?", const=True, default=None, metavar="DEVICES",
                        help="use the simulated bridge, optionally with these virtual devices (type=9,serial=S)")
    parser.add_argument("--bridge", choices=("auto", "d2xx", "ftdi1", "simulated"),
                        help="the provider of the USB bridge (default auto: D2XX when installed, else ftdi1)")
    parser.add_argument("--json", action="store_true", help="one JSON document instead of lines")
    return parser


def _show(facts: Dict[str, Any], as_json: bool) -> None:
    if as_json:
        print(json.dumps(facts, indent=2))
        return
    for name, value in facts.items():
        if name == "devices":
            for index, serial in enumerate(value):
                print("device %d %s" % (index, serial))
        else:
            print(name, value)


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    for word in argv:
        if word in _TOOL_COMMANDS:
            print("python -m qolven: %r is a command of the qolven tool (qolven %s); python -m qolven only "
                  "shows where the package found its libraries and which devices it sees" % (word, word),
                  file=sys.stderr)
            return 2
    # As in the tool, the word after --simulate describes devices only when it has key=value pairs.
    for i, word in enumerate(argv):
        if word == "--simulate" and (i + 1 == len(argv) or "=" not in argv[i + 1]):
            argv[i] = "--simulate="
    options = _parser().parse_args(argv)
    simulate = True if options.simulate == "" else options.simulate
    facts: Dict[str, Any] = {"package": "%s %s" % (os.path.dirname(qolven.__file__), qolven.__version__)}
    code = 0
    try:
        found = qolven.bridge()
        facts["driver-library"] = "%s %s" % (found.driver_library, qolven.library_version())
        facts["bridge-library"] = found.bridge_library
        serials = qolven.devices(simulate=simulate, bridge=options.bridge)
        found = qolven.bridge()
        facts["provider"] = "%s %s" % (found.provider, found.provider_path)
        facts["devices"] = serials
    except qolven.QolvenLibraryError as e:
        facts["error"] = str(e)
        code = 3
    except qolven.QolvenInvalidArgument as e:
        facts["error"] = str(e)
        code = 2
    except qolven.QolvenError as e:
        found = qolven.bridge()
        facts["provider"] = "%s %s" % (found.provider, found.provider_path)
        facts["error"] = str(e)
        code = 1
    message = facts.pop("error", None) if not options.json else None
    _show(facts, options.json)
    if message:
        print("python -m qolven: %s" % message, file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
