"""The line-based TCP connection that the console and kit clients share."""

from __future__ import annotations

import logging
import socket
import time
from typing import Optional

# The most one line may hold: the relay cuts a line at 64 KiB, so more than
# this is a peer that floods, not an answer.
MAX_LINE = 128 * 1024


class LineTooLongError(Exception):
    """A line went past MAX_LINE; what had arrived of it was thrown away."""


class LineClient:
    """A TCP connection read a line at a time, with an optional deadline.

    `timeout` is in seconds; None waits without limit.
    """

    closed_text = "the connection is closed"
    ended_text = "the peer closed the connection"

    def __init__(self, host: str, port: int, timeout: Optional[float], log: logging.Logger):
        self.timeout = timeout
        self._log = log
        self._sock: Optional[socket.socket] = socket.create_connection((host, port),
                                                                        timeout=timeout)
        self._buffer = bytearray()
        # Where the search for the next line break goes on in _buffer.
        self._scanned = 0
        log.debug("connected to %s:%d", host, port)

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _connected(self) -> socket.socket:
        if self._sock is None:
            raise ConnectionError(self.closed_text)
        return self._sock

    def _send(self, data: bytes) -> None:
        self._connected().sendall(data)

    def _deadline(self, timeout: Optional[float] = None, *, default: bool = True) -> Optional[float]:
        """The monotonic time a call may wait until: `timeout` seconds from now,
        the connection's time-out when that is None (and `default`), or None
        (no limit)."""
        seconds = self.timeout if timeout is None and default else timeout
        return None if seconds is None else time.monotonic() + seconds

    def _next_line(self, deadline: Optional[float]) -> str:
        """The next line without its line break; TimeoutError at the deadline,
        ConnectionError when the peer has gone, LineTooLongError for a flood."""
        sock = self._connected()
        # Only what arrived since the last look is searched: a long answer
        # coming in small pieces is scanned once, not once per piece.
        while True:
            end = self._buffer.find(b"\n", self._scanned)
            if end >= 0:
                break
            self._scanned = len(self._buffer)
            if self._scanned > MAX_LINE:
                self._buffer.clear()
                self._scanned = 0
                raise LineTooLongError
            if deadline is None:
                sock.settimeout(None)
            else:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError
                sock.settimeout(left)
            try:
                data = sock.recv(65536)
            except socket.timeout:
                raise TimeoutError from None
            except ConnectionResetError:
                data = b""
            if not data:
                self.close()
                raise ConnectionError(self.ended_text)
            self._buffer += data
        text = self._buffer[:end].decode("latin-1").rstrip("\r")
        del self._buffer[:end + 1]
        self._scanned = 0
        self._log.debug("< %s", text)
        return text
