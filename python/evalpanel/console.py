"""A client for the console relay of evalpanel (127.0.0.1:23456 by default).

Each command is sent as one line, followed by an `echo` line with a marker
that nothing else prints: when the marker comes back, every line the
command printed has arrived, so a command's output is known exactly even
for commands that print nothing.
"""

import re
import socket
import time
import uuid

_VALUE = re.compile(r"^\S+ = 0x([0-9A-Fa-f]+) \(")
_PIN = re.compile(r"^(PIN_\w+) = (\d+)$")
_FAILURES = ("I2C : NO ACK", "Syntax error", "USB ERROR", "This is read-only pin.")


class ConsoleError(RuntimeError):
    """The console answered a command with an error."""


class Console:
    """A connection to the console; use it as a context manager.

    >>> with Console() as kit:
    ...     kit.write("PIN_VIO_SYS", 1)
    ...     print(hex(kit.read("VSET_B0")))
    """

    def __init__(self, host="127.0.0.1", port=23456, timeout=5.0):
        self.timeout = timeout
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._buffer = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def command(self, line, timeout=None):
        """Runs one console line and returns the lines it printed."""
        if "\n" in line or "\r" in line:
            raise ValueError("one command per call: the line holds a line break")
        marker = "evalpanel-done-" + uuid.uuid4().hex
        self._sock.sendall((line + "\n" + "echo " + marker + "\n").encode("latin-1"))
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        lines = []
        while True:
            text = self._next_line(deadline)
            if text == marker:
                return lines
            lines.append(text)

    def read(self, name):
        """The value of a field, register or address (`VSET_B0`, `0x12[3:0]`),
        or the level of a pin (`PIN_INT`)."""
        lines = self._checked(name)
        for text in lines:
            match = _VALUE.match(text) or _PIN.match(text)
            if match:
                return int(match.group(match.lastindex), 16 if match.re is _VALUE else 10)
        raise ConsoleError(f"{name}: no value in {lines!r}")

    def write(self, name, value):
        """Writes a field, register, address or pin."""
        self._checked(f"{name} = {int(value)}")

    def poll(self, on):
        """Ticks (or unticks) "Poll Status"."""
        self._checked(f"poll({1 if on else 0})")

    def run(self, script_path, timeout=None):
        """Runs a script file (as the program sees the path) and returns what it printed."""
        return self.command(str(script_path), timeout=timeout)

    def stop(self):
        """Stops the command that runs now (as Escape in the console does)."""
        self._sock.sendall(b"\x03")

    def _checked(self, line):
        lines = self.command(line)
        for text in lines:
            if text.strip() in _FAILURES or text.startswith("value "):
                raise ConsoleError(f"{line}: {text}")
        return lines

    def _next_line(self, deadline):
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the console did not answer in time")
            self._sock.settimeout(left)
            data = self._sock.recv(65536)
            if not data:
                raise ConnectionError("the console closed the connection")
            self._buffer += data
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("latin-1").rstrip("\r")
