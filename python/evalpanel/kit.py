"""A client for the virtual kit's control port (127.0.0.1:23457 by default).

The kit answers each command line with its output lines and then `ok` or
`error: REASON`.
"""

from __future__ import annotations

import logging
from typing import List, Optional

from .line_client import LineClient, LineTooLongError

log = logging.getLogger("evalpanel.kit")

DEFAULT_PORT = 23457


class KitError(RuntimeError):
    """The kit refused a command; `command` is the line, `text` its reason."""

    def __init__(self, command: str, text: str):
        super().__init__(f"{command}: {text}")
        self.command = command
        self.text = text


class Kit(LineClient):
    """A connection to the virtual kit's control port; a context manager.

    >>> with Kit(port=23457) as kit:
    ...     kit.command("flag OVP on")
    ...     kit.pin(0, 22)          # the level of A22 (VIOSYS)

    `timeout` is in seconds; None waits without limit.
    """

    closed_text = "the kit connection is closed"
    ended_text = "the kit closed the connection"

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 timeout: Optional[float] = 5.0):
        super().__init__(host, port, timeout, log)

    def __enter__(self) -> "Kit":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def command(self, line: str, *, timeout: Optional[float] = None) -> List[str]:
        """Runs one control line; returns its output lines, KitError on `error:`."""
        if any(ord(c) < 32 for c in line):
            raise ValueError(f"control character in the kit command {line!r}")
        self._connected()
        log.debug("> %s", line)
        self._send((line + "\n").encode("ascii"))
        deadline = self._deadline(timeout)
        lines = []
        while True:
            try:
                text = self._next_line(deadline)
            except (TimeoutError, LineTooLongError):
                # The answer is still on its way: this connection cannot
                # tell it from the next one's any more.
                self.close()
                raise TimeoutError(f"{line}: the kit did not answer in time") from None
            if text == "ok":
                return lines
            if text.startswith("error: "):
                raise KitError(line, text[len("error: "):])
            lines.append(text)

    def pin(self, group: int, pin: int, level: Optional[int] = None) -> int:
        """Reads an adapter pin, or drives it to `level`; returns the level."""
        if level is not None:
            self.command(f"pin {group} {pin} {int(level)}")
            return int(level)
        return int(self.command(f"pin {group} {pin}")[-1], 0)

    def reg(self, page: int, address: int, value: Optional[int] = None) -> int:
        """Reads a chip register behind the program's back, or sets it."""
        line = f"reg {page:x} {address:x}" + ("" if value is None else f" {value:x}")
        lines = self.command(line)
        return value if value is not None else int(lines[-1], 16)
