"""Runs console (or, with --kit, kit control) commands from the shell.

    python3 -m evalpanel "PIN_VIO_SYS = 1" VSET_B0
    python3 -m evalpanel --kit "flag OVP on"
    python3 -m evalpanel            # one command per line from standard input

Prints what each command printed. Exit status 0, 1 for the first command
that failed (its message on standard error), 2 when the connection fails or
a command gets no answer in time.
"""

from __future__ import annotations

import argparse
import sys
from typing import Iterable, List, Optional

from . import __version__
from .console import DEFAULT_PORT as CONSOLE_PORT, Console, ConsoleError
from .kit import DEFAULT_PORT as KIT_PORT, Kit, KitError


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m evalpanel",
                                     description=__doc__.split("\n")[0])
    parser.add_argument("--kit", action="store_true",
                        help=f"talk to the virtual kit's control port (default port {KIT_PORT})")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, help=f"default {CONSOLE_PORT}, with --kit {KIT_PORT}")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds per command")
    parser.add_argument("--version", action="version", version=f"evalpanel {__version__}")
    parser.add_argument("commands", nargs="*", help="commands (default: standard input)")
    args = parser.parse_args(argv)
    lines: Iterable[str] = args.commands or (line.rstrip("\r\n") for line in sys.stdin)
    port = args.port if args.port is not None else (KIT_PORT if args.kit else CONSOLE_PORT)
    try:
        client = (Kit if args.kit else Console)(args.host, port, timeout=args.timeout)
    except OSError as e:
        print(f"evalpanel: cannot connect to {args.host}:{port}: {e}", file=sys.stderr)
        return 2
    with client:
        for line in lines:
            if not line.strip():
                continue
            try:
                for text in client.command(line):
                    print(text, flush=True)
            except (ConsoleError, KitError) as e:
                for text in getattr(e, "lines", []):
                    print(text)
                print(f"evalpanel: {e}", file=sys.stderr)
                return 1
            except (OSError, ValueError) as e:
                print(f"evalpanel: {line}: {e}", file=sys.stderr)
                return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
