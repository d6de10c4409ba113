"""A client for the virtual kit's control port (127.0.0.1:23457 by default).

The kit answers each command line with its output lines and then `ok` or
`error: REASON`.
"""

from __future__ import annotations

import logging
import socket
import time
from typing import List, Optional

log = logging.getLogger("evalpanel.kit")

DEFAULT_PORT = 23457


class KitError(RuntimeError):
    """The kit refused a command; `command` is the line, `text` its reason."""

    def __init__(self, command: str, text: str):
        super().__init__(f"{command}: {text}")
        self.command = command
        self.text = text


class Kit:
    """A connection to the virtual kit's control port; a context manager.

    >>> with Kit(port=23457) as kit:
    ...     kit.command("flag OVP on")
    ...     kit.pin(0, 22)          # the level of A22 (VIOSYS)
    """

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 timeout: float = 5.0):
        self.timeout = timeout
        self._sock: Optional[socket.socket] = socket.create_connection((host, port),
                                                                        timeout=timeout)
        self._buffer = b""

    def __enter__(self) -> "Kit":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def command(self, line: str, *, timeout: Optional[float] = None) -> List[str]:
        """Runs one control line; returns its output lines, KitError on `error:`."""
        if any(ord(c) < 32 for c in line):
            raise ValueError(f"control character in the kit command {line!r}")
        if self._sock is None:
            raise ConnectionError("the kit connection is closed")
        log.debug("> %s", line)
        self._sock.sendall((line + "\n").encode("ascii"))
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        lines = []
        while True:
            text = self._next_line(deadline, line)
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

    def _next_line(self, deadline: float, line: str) -> str:
        assert self._sock is not None
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                # The answer is still on its way: this connection cannot
                # tell it from the next one's any more.
                self.close()
                raise TimeoutError(f"{line}: the kit did not answer in time")
            self._sock.settimeout(left)
            try:
                data = self._sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                self.close()
                raise ConnectionError("the kit closed the connection")
            self._buffer += data
        text, self._buffer = self._buffer.split(b"\n", 1)
        log.debug("< %s", text)
        return text.decode("latin-1").rstrip("\r")
