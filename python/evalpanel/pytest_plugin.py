"""pytest plugin: the `evalpanel_virtual` fixture, a running evalpanel-virtual.

The program runs without a window (Qt's offscreen platform) in the test's
temporary folder, its console and kit control ports on free ports. Which
binary: the option `--evalpanel-virtual PATH`, else the environment variable
EVALPANEL_VIRTUAL, else `evalpanel-virtual` on PATH (on Windows
`evalpanel-virtual.exe`). Elsewhere a Windows build (`evalpanel-virtual.exe`)
runs through wine (`EVALPANEL_WINE`, default `wine`).

    def test_buck0(evalpanel_virtual):
        with evalpanel_virtual.console() as console:
            console.write("PIN_VIO_SYS", 1)
            assert console.read("VSET_B0") == 0x3C
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

from .console import Console
from .kit import Kit

STARTUP_TIMEOUT = 20.0


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PortTaken(RuntimeError):
    pass


class VirtualProgram:
    """A running evalpanel-virtual: its ports, its working folder, its process."""

    def __init__(self, binary: Path, folder: Path, options: List[str] = (),
                 env: Optional[dict] = None):
        self.binary = Path(binary)
        self.folder = Path(folder)
        self.stderr_path = self.folder / "evalpanel-virtual.stderr"
        self._environment = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self._environment.update(env or {})
        self._command = [str(self.binary)]
        if runs_through_wine(self.binary):
            self._command.insert(0, os.environ.get("EVALPANEL_WINE", "wine"))
            # wine hands Qt's variables to a Windows program only as WINEQT_*.
            for name, value in list(self._environment.items()):
                if name.startswith("QT_"):
                    self._environment["WINE" + name] = value
            self._environment.setdefault("WINEDEBUG", "-all")
        # A free port can be taken by someone else before the program binds
        # it; the program then ends with status 2 and another pair is tried.
        for attempt in range(3):
            self.console_port = free_port()
            self.kit_port = free_port()
            self._start(options)
            try:
                self._wait_ready()
                return
            except PortTaken:
                if attempt == 2:
                    raise
            except BaseException:
                self.stop()
                raise

    def _start(self, options: List[str]) -> None:
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(
                [*self._command, "--console-port", str(self.console_port),
                 "--kit-port", str(self.kit_port), *options],
                cwd=self.folder, env=self._environment, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=stderr)

    def console(self, timeout: float = 5.0) -> Console:
        """A new console connection (the program takes one at a time)."""
        return Console(port=self.console_port, timeout=timeout)

    def kit(self, timeout: float = 5.0) -> Kit:
        """A new connection to the kit's control port."""
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while True:
            try:
                return Kit(port=self.kit_port, timeout=timeout)
            except ConnectionRefusedError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()

    def _wait_ready(self) -> None:
        # Ready once the console answers: the port is open and the relay runs.
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while True:
            if self.process.poll() is not None:
                if self.process.returncode == 2 and "is taken" in self._stderr_tail():
                    raise PortTaken(self._stderr_tail())
                raise RuntimeError(f"{self.binary} ended with status "
                                   f"{self.process.returncode}: {self._stderr_tail()}")
            try:
                with self.console(timeout=max(0.1, deadline - time.monotonic())) as c:
                    c.command("echo ready")
                return
            except (ConnectionError, TimeoutError):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{self.binary} did not open its console in "
                                       f"{STARTUP_TIMEOUT:.0f} s: {self._stderr_tail()}")
                time.sleep(0.02)

    def _stderr_tail(self) -> str:
        try:
            return self.stderr_path.read_text(errors="replace")[-2000:].strip()
        except OSError:
            return ""


def runs_through_wine(binary: Path) -> bool:
    """A Windows program, away from Windows: wine runs it."""
    return os.name != "nt" and binary.suffix.lower() == ".exe"


def pytest_addoption(parser) -> None:
    parser.getgroup("evalpanel").addoption(
        "--evalpanel-virtual", metavar="PATH",
        help="the evalpanel-virtual binary (default: $EVALPANEL_VIRTUAL, then PATH)")


def find_binary(config) -> Path:
    named = config.getoption("--evalpanel-virtual") or os.environ.get("EVALPANEL_VIRTUAL")
    if named:
        if not Path(named).is_file():
            pytest.fail(f"evalpanel-virtual not found at {named}", pytrace=False)
        return Path(named).resolve()
    # On Windows which() tries the PATHEXT endings (.exe); elsewhere a
    # Windows build on PATH is taken when there is no native one.
    found = shutil.which("evalpanel-virtual") or shutil.which("evalpanel-virtual.exe")
    if found is None:
        pytest.skip("evalpanel-virtual is neither named (--evalpanel-virtual, "
                    "EVALPANEL_VIRTUAL) nor on PATH")
    return Path(found)


@pytest.fixture
def evalpanel_virtual(request, tmp_path) -> Iterator[VirtualProgram]:
    """evalpanel-virtual on free ports in the test's folder, stopped afterwards."""
    program = VirtualProgram(find_binary(request.config), tmp_path)
    yield program
    program.stop()
