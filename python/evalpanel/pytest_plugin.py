"""pytest plugin: fixtures that run evalpanel-virtual.

`evalpanel_virtual` is one program for the test, `evalpanel_virtual_session`
one for the whole session, and `evalpanel_virtual_factory(options=[...],
env={...})` starts one more kit at each call (each in a folder of its own).
A program runs without a window (Qt's offscreen platform), its console and
kit control ports on free ports; each kit has its own serial number. When a
test fails, the programs' standard error is added to its report. Which
binary: the option `--evalpanel-virtual PATH`, else the environment variable
EVALPANEL_VIRTUAL, else `evalpanel-virtual` on PATH (on Windows
`evalpanel-virtual.exe`); when none is found the tests are skipped, or fail
with `--evalpanel-required` (or EVALPANEL_REQUIRED=1). Elsewhere a Windows
build (`evalpanel-virtual.exe`) runs through wine (`EVALPANEL_WINE`, default
`wine`).

    def test_buck0(evalpanel_virtual):
        with evalpanel_virtual.console() as console:
            console.write("PIN_VIO_SYS", 1)
            assert console.read("VSET_B0") == 0x32
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path
from typing import Iterator, List, Optional, Sequence

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
            # Qt's messages go to the debugger on Windows unless told otherwise.
            self._environment.setdefault("WINEQT_FORCE_STDERR_LOGGING", "1")
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

    @property
    def command(self) -> List[str]:
        """How to start the program (wine first for a Windows build elsewhere)."""
        return list(self._command)

    @property
    def environment(self) -> dict:
        """The environment the program runs with."""
        return dict(self._environment)

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

    def stderr_text(self, limit: int = 20000) -> str:
        """What the program wrote on standard error (its last `limit` characters)."""
        try:
            return self.stderr_path.read_text(errors="replace")[-limit:].strip()
        except OSError:
            return ""

    def _stderr_tail(self) -> str:
        return self.stderr_text(2000)


def runs_through_wine(binary: Path) -> bool:
    """A Windows program, away from Windows: wine runs it."""
    return os.name != "nt" and binary.suffix.lower() == ".exe"


def pytest_addoption(parser) -> None:
    group = parser.getgroup("evalpanel")
    group.addoption(
        "--evalpanel-virtual", metavar="PATH",
        help="the evalpanel-virtual binary (default: $EVALPANEL_VIRTUAL, then PATH)")
    group.addoption(
        "--evalpanel-required", action="store_true", default=False,
        help="a missing evalpanel-virtual fails the tests instead of skipping them "
             "(also EVALPANEL_REQUIRED=1)")


def _required(config) -> bool:
    return bool(config.getoption("--evalpanel-required")) or \
        os.environ.get("EVALPANEL_REQUIRED", "") not in ("", "0")


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
        message = ("evalpanel-virtual is neither named (--evalpanel-virtual, "
                   "EVALPANEL_VIRTUAL) nor on PATH")
        if _required(config):
            pytest.fail(message + " (and it is required)", pytrace=False)
        pytest.skip(message)
    return Path(found)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not report.failed:
        return
    programs: List[VirtualProgram] = []
    for value in getattr(item, "funcargs", {}).values():
        if isinstance(value, VirtualProgram):
            programs.append(value)
        elif isinstance(value, VirtualFactory):
            programs.extend(value.programs)
    for n, program in enumerate(programs):
        text = program.stderr_text()
        if text:
            report.sections.append(
                (f"evalpanel-virtual {n + 1} (kit port {program.kit_port}) stderr", text))


@pytest.fixture
def evalpanel_virtual(request, tmp_path) -> Iterator[VirtualProgram]:
    """evalpanel-virtual on free ports in the test's folder, stopped afterwards."""
    program = VirtualProgram(find_binary(request.config), tmp_path)
    yield program
    program.stop()


class VirtualFactory:
    """Starts a kit at each call; all are stopped after the test."""

    def __init__(self, binary: Path, folder: Path):
        self._binary = binary
        self._folder = folder
        self.programs: List[VirtualProgram] = []

    def __call__(self, options: Sequence[str] = (),
                 env: Optional[dict] = None) -> VirtualProgram:
        folder = self._folder / f"kit{len(self.programs) + 1}"
        folder.mkdir(parents=True, exist_ok=True)
        program = VirtualProgram(self._binary, folder, list(options), env)
        self.programs.append(program)
        return program

    def stop(self) -> None:
        for program in self.programs:
            program.stop()


@pytest.fixture
def evalpanel_virtual_factory(request, tmp_path) -> Iterator[VirtualFactory]:
    """`evalpanel_virtual_factory(options=[...], env={...})` starts one more kit."""
    factory = VirtualFactory(find_binary(request.config), tmp_path)
    yield factory
    factory.stop()


@pytest.fixture(scope="session")
def evalpanel_virtual_session(request, tmp_path_factory) -> Iterator[VirtualProgram]:
    """One evalpanel-virtual for the whole session (tests share its state)."""
    program = VirtualProgram(find_binary(request.config),
                             tmp_path_factory.mktemp("evalpanel-virtual"))
    yield program
    program.stop()
