"""A client for the console relay of evalpanel (127.0.0.1:23456 by default).

Each command is sent as one line, followed by a marker line that the relay
answers itself (the console never sees it): when the marker comes back,
every line the command printed has arrived, so a command's output is known
exactly even for commands that print nothing.

A call that ends without its answer (a time-out, Ctrl+C, any exception)
leaves its command's answer on the way. The client then sends the stop byte
(0x03) and a second marker behind it, and the next call throws away
everything up to that marker, so a late answer is never taken for another
command's.
"""

from __future__ import annotations

import logging
import re
import time
import uuid
from typing import Dict, Iterable, List, Mapping, Optional, Type, Union

from .line_client import MAX_LINE, LineClient, LineTooLongError

log = logging.getLogger("evalpanel")

DEFAULT_PORT = 23456
STOP = b"\x03"
# Starts a line that the relay answers itself, once everything before it
# has run, with the rest of the line.
MARK = "\x1e"
# The most one answer may hold: more is a peer that floods, not an answer.
MAX_ANSWER = 16 * 1024 * 1024

_VALUE = re.compile(r"^\S+ = 0x([0-9A-Fa-f]+) \(")
_PIN = re.compile(r"^PIN_\w+ = (\d+)$")
_EXPECT = re.compile(r"^expect (.+): (\S+), expected (\S+)$")
_TEMP = re.compile(r"^(-?\d+(?:\.\d+)?) \u00b0C$")
_IOUT = re.compile(r"^Buck \d load current : (-?\d+) mA$")
_KEY_VALUE = re.compile(r"^([^:]+): ?(.*)$")
_FIELD = re.compile(r"^(\w+) 0x([0-9A-Fa-f]+) (\S+) (RW|RO) (\d+)\.\.(\d+)(?: (\S+))?$")


class BusyError(ConnectionError):
    """The program serves another client; it said so and closed the connection."""


class ConsoleError(RuntimeError):
    """The console answered a command with an error.

    `command` is the line sent, `text` the console's error line and `lines`
    everything the command printed.
    """

    def __init__(self, command: str, text: str, lines: List[str]):
        super().__init__(f"{command}: {text}")
        self.command = command
        self.text = text
        self.lines = lines


class NackError(ConsoleError):
    """The chip did not acknowledge ("I2C : NO ACK")."""


class AdapterError(ConsoleError):
    """No adapter, or the adapter refused or did not answer ("USB ERROR")."""


class CommandError(ConsoleError):
    """The console refused the command: syntax, value, read-only pin and the like."""


class AnswerTooLargeError(ConsoleError):
    """A command's answer went past the bound (MAX_LINE, MAX_ANSWER); the command
    was stopped."""


class ExpectError(ConsoleError):
    """An `expect` found another value; `actual` and `expected` hold both."""

    def __init__(self, command: str, text: str, lines: List[str]):
        super().__init__(command, text, lines)
        match = _EXPECT.match(text)
        self.name = match.group(1) if match else ""
        self.actual = _number(match.group(2)) if match else None
        self.expected = _number(match.group(3)) if match else None


# The console's error texts: exact lines, then line beginnings. Everything
# else a command prints is output.
_ERROR_LINES: Dict[str, Type[ConsoleError]] = {
    "I2C : NO ACK": NackError,
    "Syntax error": CommandError,
    "This is read-only pin.": CommandError,
    "illegal page number": CommandError,
    "script has too deep recursion.": CommandError,
    "choose buck 0.": CommandError,
    "choose buck 0-5.": CommandError,
    "not available": CommandError,
    "minimum delay is 0 ms": CommandError,
    "maximum delay is 10000 ms": CommandError,
}
_ERROR_PREFIXES = (
    ("USB ERROR", AdapterError),
    ("expect ", ExpectError),
    ("expect needs ", CommandError),
    ("expect: ", CommandError),
    ("value must be in hexadecimal,binary or decimal format.", CommandError),
    ("value out of bounds.", CommandError),
    ("wait needs a delay", CommandError),
    ("save_registers: ", CommandError),
    ("save_registers needs ", CommandError),
    ("load_registers: ", CommandError),
    ("load_registers needs ", CommandError),
    ("export_registers: ", CommandError),
    ("export_registers needs ", CommandError),
    ("record: ", CommandError),
    ("status: ", CommandError),
    ("cannot ", CommandError),
)


def error_class(line: str) -> Optional[Type[ConsoleError]]:
    """The exception class for a line of console output, None for plain output."""
    text = line.strip()
    if text in _ERROR_LINES:
        return _ERROR_LINES[text]
    if text.startswith("load_registers: warning: "):
        return None  # the file was loaded; the warning is output
    for prefix, cls in _ERROR_PREFIXES:
        if text.startswith(prefix) and (cls is not ExpectError or ", expected " in text):
            return cls
    return None


def _number(text: str) -> Optional[int]:
    try:
        return int(text, 0)
    except ValueError:
        return None


def _scalar(text: str) -> Union[None, int, float, str]:
    """A value as the recording writes it: empty means unknown."""
    if text == "":
        return None
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


class Console(LineClient):
    """A connection to the console; use it as a context manager.

    >>> with Console(port=23456) as kit:
    ...     kit.write("PIN_VIO_SYS", 1)
    ...     print(hex(kit.read("VSET_B0")))

    `timeout` is in seconds for each call; None waits without limit. Not for
    use by several threads at once.
    """

    closed_text = "the console connection is closed"
    ended_text = ("the program closed the console connection (it serves one client at a "
                  "time, or it ended)")

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 timeout: Optional[float] = 5.0):
        super().__init__(host, port, timeout, log)
        # The relay's refusal comes as the first line, if at all.
        self._first_line = True
        # Set after a time-out: everything before this marker is stale.
        self._resync: Optional[str] = None
        # The program's field names, once read_many needed them.
        self._field_names: Optional[set] = None

    def __enter__(self) -> "Console":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        # Leaving on an exception (a failed check, Ctrl+C, a time-out) must
        # not leave a command of ours running on the kit; and the program
        # takes the next client only once ours has nothing left running.
        if exc_type is not None or self._resync is not None:
            self._settle()
        self.close()

    def command(self, line: str, *, timeout: Optional[float] = None,
                check: bool = True) -> List[str]:
        """Runs one console line and returns the lines it printed.

        With `check` (the default) an error line raises its ConsoleError
        subclass. A command that takes longer than `timeout` seconds (the
        connection's `timeout` when None) is stopped and TimeoutError raised.
        """
        return self._exchange([line], line, timeout, check)

    def _exchange(self, commands: List[str], line: str, timeout: Optional[float],
                  check: bool) -> List[str]:
        # Every command line, then the marker: what comes back before the
        # marker is all they printed. `line` names them in errors.
        for command in commands:
            _check_line(command)
        self._connected()
        marker = "evalpanel-done-" + uuid.uuid4().hex
        log.debug("> %s", line)
        self._send(("".join(c + "\n" for c in commands) + MARK + marker + "\n")
                   .encode("latin-1"))
        deadline = self._deadline(timeout)
        lines: List[str] = []
        size = 0
        try:
            if self._resync is not None:
                while self._next_line(deadline) != self._resync:
                    pass
                self._resync = None
            while True:
                text = self._next_line(deadline)
                if text == marker:
                    break
                size += len(text) + 1
                if size > MAX_ANSWER:
                    raise AnswerTooLargeError(line, f"answer longer than {MAX_ANSWER} bytes",
                                              lines)
                lines.append(text)
        except TimeoutError:
            self._abandon()
            raise TimeoutError(f"{line}: no answer within the time-out") from None
        except BaseException:
            # Interrupted (Ctrl+C), refused or flooded: the answer is still
            # on its way and must not be taken for the next command's.
            if self._sock is not None:
                self._abandon()
            raise
        if check:
            for text in lines:
                cls = error_class(text)
                if cls is not None:
                    raise cls(line, text, lines)
        return lines

    def run(self, script: str, *args: Union[str, int], timeout: Optional[float] = None,
            check: bool = True) -> List[str]:
        """Runs a script file (as the program sees the path) with arguments
        `$0`, `$1`... and returns what it printed; checked as `command` is."""
        words = [str(script)] + [str(a) for a in args]
        for word in words:
            if word == "" or any(c.isspace() for c in word):
                raise ValueError(f"the console splits its line at blanks: {word!r}")
        return self.command(" ".join(words), timeout=timeout, check=check)

    def read(self, name: str, *, timeout: Optional[float] = None) -> int:
        """The value of a field, register or address (`VSET_B0`, `0x12[3:0]`),
        or the level of a pin (`PIN_INT`)."""
        _check_name(name)
        return self._query([name], name, [], timeout)[0]

    def read_many(self, names: Iterable[str], *,
                  timeout: Optional[float] = None) -> Dict[str, Union[None, int, float, str]]:
        """Reads several names in one round trip: fields, registers, addresses
        and pins as `read` does, and keys of `status` (`VOUT_B5_V`, `I_B0_mA`,
        `board_C`...) from one status poll, as `status` gives them."""
        names = list(names)
        for name in names:
            _check_name(name)
        reads = [n for n in names if self._is_read(n, timeout)]
        polled = [n for n in names if n not in reads]
        line = ", ".join(names)
        lines: List[str] = []
        try:
            values = self._query(reads, line, ["status " + " ".join(polled)] if polled else [],
                                 timeout, lines)
        except CommandError as e:
            if not e.text.startswith("status: no key named "):
                raise
            raise CommandError(line, "no field, register, address, pin or status key named "
                               + e.text.split()[-1], e.lines) from None
        result: Dict[str, Union[None, int, float, str]] = dict(zip(reads, values))
        # Each read answered one line; the poll's lines follow.
        for key, value in _key_values(lines[len(reads):]).items():
            result[key] = _scalar(value)
        return {name: result[name] for name in names}

    def _query(self, names: List[str], line: str, more: List[str], timeout: Optional[float],
               lines: Optional[List[str]] = None) -> List[int]:
        # The values of query lines, with further commands in the same round trip.
        answer = self._exchange(names + more, line, timeout, True)
        if lines is not None:
            lines.extend(answer)
        values = []
        for text in answer[:len(names)]:
            match = _VALUE.match(text) or _PIN.match(text)
            if match:
                values.append(int(match.group(1), 16 if match.re is _VALUE else 10))
        if len(values) != len(names):
            raise CommandError(line, f"no value in {answer!r}", answer)
        return values

    def _is_read(self, name: str, timeout: Optional[float]) -> bool:
        # Read by a query line: registers, addresses, pins and the fields the
        # program lists (OVP, a field, is read from the chip, not the poll).
        if name.startswith(("R_", "PIN_", "0x")):
            return True
        if self._field_names is None:
            self._field_names = {f["name"] for f in self.fields(timeout=timeout)}
        return name in self._field_names

    def fields(self, *, timeout: Optional[float] = None) -> List[Dict[str, Union[int, str]]]:
        """Every field of the program's register table, in its order: `name`,
        `register` (the first one, for a field over several), `bits` ("[6:0]",
        "[6:4],0x22[7:0]"), `access` ("RW" or "RO"), the values it takes from
        `min` to `max`, and the `unit` they count in ("mV", "ms", "mA"; "" for
        plain numbers)."""
        lines = self.command("fields", timeout=timeout)
        rows = []
        for text in lines:
            match = _FIELD.match(text)
            if not match:
                raise CommandError("fields", f"not a field: {text!r}", lines)
            name, register, bits, access, low, high, unit = match.groups()
            rows.append({"name": name, "register": int(register, 16), "bits": bits,
                         "access": access, "min": int(low), "max": int(high),
                         "unit": unit or ""})
        return rows

    def write(self, name: str, value: Union[int, str], *,
              timeout: Optional[float] = None) -> None:
        """Writes a field, register, address or pin: an int, or a number as
        text ("0x20", "0b101", "32")."""
        self.write_many({name: value}, timeout=timeout)

    def write_many(self, values: Mapping[str, Union[int, str]], *,
                   timeout: Optional[float] = None) -> None:
        """Writes several names in order, in one round trip; the first error
        raises (the writes before it have been made)."""
        commands = []
        for name, value in values.items():
            _check_name(name)
            commands.append(f"{name} = {_integer(value)}")
        if commands:
            self._exchange(commands, "; ".join(commands), timeout, True)

    def vout(self, *, timeout: Optional[float] = None) -> float:
        """Buck5's output voltage in volts, from one status poll."""
        return self._measurement("VOUT_B5_V", timeout)

    def temp(self, *, timeout: Optional[float] = None) -> float:
        """The board temperature in °C, as the console's `temp` reads it."""
        lines = self.command("temp", timeout=timeout)
        for text in lines:
            match = _TEMP.match(text)
            if match:
                return float(match.group(1))
        raise CommandError("temp", f"no temperature in {lines!r} (is the chip powered?)", lines)

    def iout(self, buck: int, *, timeout: Optional[float] = None) -> float:
        """The load current of a buck (0-5) in amperes, as the console's
        `iout(buck)` reads it."""
        if isinstance(buck, bool) or not isinstance(buck, int):
            raise TypeError(f"iout takes a buck number, not {buck!r}")
        line = f"iout({buck})"
        lines = self.command(line, timeout=timeout)
        for text in lines:
            match = _IOUT.match(text)
            if match:
                return int(match.group(1)) / 1000.0
        raise CommandError(line, f"no current in {lines!r}", lines)

    def _measurement(self, key: str, timeout: Optional[float]) -> float:
        value = self.status(timeout=timeout).get(key)
        if not isinstance(value, (int, float)):
            raise CommandError("status", f"{key} is not available (is the chip powered "
                               "and the connection ready?)", [])
        return float(value)

    def expect(self, name: str, value: int, *, timeout: Optional[float] = None) -> None:
        """Reads NAME as `read` does; ExpectError when it is not `value`."""
        self.command(f"expect({name}, {int(value):#x})", timeout=timeout)

    def poll(self, on: bool, *, timeout: Optional[float] = None) -> None:
        """Ticks (or unticks) "Poll Status"."""
        self.command(f"poll({1 if on else 0})", timeout=timeout)

    def identify(self, *, timeout: Optional[float] = None) -> Dict[str, str]:
        """Program, adapter, connection, chip id, access level and page."""
        return _key_values(self.command("identify", timeout=timeout))

    def status(self, *,
               timeout: Optional[float] = None) -> Dict[str, Union[None, int, float, str]]:
        """One status poll, decoded: the recording's column names as keys,
        numbers as numbers, None for what is unknown."""
        pairs = _key_values(self.command("status", timeout=timeout))
        return {key: _scalar(value) for key, value in pairs.items()}

    def stop(self) -> None:
        """Stops the command that runs now (as Escape in the console does)."""
        if self._sock is None:
            return
        try:
            self._send(STOP)
            log.debug("> stop")
        except OSError:
            pass  # the connection is gone, and with it what it ran

    def _abandon(self) -> None:
        # Stop what runs, and mark where the stream is ours again: the relay
        # drops what was sent before the stop byte, so the marker follows it.
        self._resync = "evalpanel-resync-" + uuid.uuid4().hex
        log.info("stopping the running command")
        try:
            self._send(STOP + (MARK + self._resync + "\n").encode())
        except OSError:
            self.close()

    def _settle(self) -> None:
        # Stops whatever runs and waits (briefly) until the console is idle.
        if self._sock is None:
            return
        self._abandon()
        deadline = time.monotonic() + min(self.timeout if self.timeout is not None else 2.0, 2.0)
        try:
            while self._next_line(deadline) != self._resync:
                pass
        except (TimeoutError, OSError):
            pass

    def _next_line(self, deadline: Optional[float]) -> str:
        while True:
            try:
                text = super()._next_line(deadline)
                break
            except LineTooLongError:
                # While re-synchronising it is just more of what is skipped.
                if self._resync is None:
                    raise AnswerTooLargeError("", f"a line longer than {MAX_LINE} bytes",
                                              []) from None
        if self._first_line:
            self._first_line = False
            _check_refusal(self, text)
        return text


def _check_refusal(console: Console, text: str) -> None:
    # The relay says why before it closes a connection it turns away.
    if text.startswith("relay: busy:"):
        console.close()
        raise BusyError(f"the program serves one client at a time ({text})")
    if text.startswith("relay: refused:"):
        console.close()
        raise PermissionError(text)


def _check_name(name: str) -> None:
    # One name per line: a blank or a second command would change what is read.
    if not name or any(c.isspace() or c in "=;" for c in name):
        raise ValueError(f"not a field, register, address or pin name: {name!r}")


def _integer(value: Union[int, str]) -> int:
    # A float would be cut without a word (1.9 -> 1): refused, as is a bool.
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"a value is an int or a number as text, not {value!r}")
    if isinstance(value, str):
        try:
            return int(value.strip(), 0)
        except ValueError:
            raise ValueError(f"not a number: {value!r}") from None
    return value


def _check_line(line: str) -> None:
    # A line break would start a second command, 0x03 would stop one and a
    # zero byte would cut the line: none of them belongs in a command.
    bad = [c for c in line if ord(c) < 32 and c != "\t"]
    if bad:
        raise ValueError(f"control character {bad[0]!r} in the command {line!r}")
    try:
        line.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"the console takes Latin-1 text only: {line!r}") from None


def _key_values(lines: List[str]) -> Dict[str, str]:
    pairs = {}
    for text in lines:
        match = _KEY_VALUE.match(text)
        if match:
            pairs[match.group(1).strip()] = match.group(2).strip()
    return pairs
