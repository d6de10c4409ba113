import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from evalpanel import AnswerTooLargeError, BusyError, Console

HOLD = ("import socket, sys, time\n"
        "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
        "s.sendall(sys.argv[2].encode())\n"
        "time.sleep(60)\n")


def _close(s, _):
    s.close()


def _half_close(s, _):
    s.shutdown(socket.SHUT_WR)
    s.settimeout(5)
    while s.recv(4096):
        pass
    s.close()


def _reset(s, _):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    s.close()


def _kill(_, process):
    process.kill()
    process.wait()


def _served_within(program, seconds):
    """The next client's first answer, retried while the program is busy."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            with program.console(timeout=max(0.05, deadline - time.monotonic())) as c:
                assert c.command("echo next") == ["next"]
                return time.monotonic() - (deadline - seconds)
        except (BusyError, TimeoutError):
            if time.monotonic() > deadline:
                raise


# However a client's connection ends, what it typed and has not run is not
# run, a command it started stops, and the next client is served within 1 s.
@pytest.mark.parametrize("end", [_close, _half_close, _reset, _kill])
@pytest.mark.parametrize("sent", ["VSET_B0 = 0x1", "loop.txt\n"])
def test_a_client_that_goes_leaves_nothing_behind(evalpanel_virtual, end, sent):
    if end is _half_close and sent.endswith("\n"):
        pytest.skip("a client that only stopped sending still gets its answers")
    (evalpanel_virtual.folder / "loop.txt").write_text(
        "for i=0:1:1000000\nPIN_NRST = 0\nend\n")
    with evalpanel_virtual.console() as c:
        c.write("PIN_VIO_SYS", 1)
        before = c.read("VSET_B0")
    process = None
    if end is _kill:
        process = subprocess.Popen([sys.executable, "-c", HOLD,
                                    str(evalpanel_virtual.console_port), sent])
        s = None
    else:
        s = socket.create_connection(("127.0.0.1", evalpanel_virtual.console_port))
        s.sendall(sent.encode())
    time.sleep(0.3)
    end(s, process)
    assert _served_within(evalpanel_virtual, 1.0) < 1.0
    with evalpanel_virtual.console() as c:
        assert c.read("VSET_B0") == before


def test_refusal_and_resync(evalpanel_virtual):
    (evalpanel_virtual.folder / "big.cfg").write_text("N" * (1 << 20) + " = 1\n")
    with evalpanel_virtual.kit() as kit, evalpanel_virtual.console() as c:
        # A second client is told why it is turned away.
        with pytest.raises(BusyError, match="relay: busy: another client is connected"):
            with evalpanel_virtual.console() as second:
                second.command("echo second")
        # A megabyte message arrives cut, and the console goes on.
        lines = c.command("load_registers(big.cfg)", check=False)
        assert len(lines[0]) == 65536 and lines[-1].endswith(" bytes was cut to 65536")
        assert c.command("echo after") == ["after"]
        # Interrupted while the answer is on its way (Ctrl+C in a notebook):
        # the late answer is never taken for the next command's.
        c.write("PIN_VIO_SYS", 1)
        c.write("VSET_B0", 0x21)
        c.write("VSET_B1", 0x33)
        kit.command("latency 400")
        old = signal.signal(signal.SIGALRM, signal.default_int_handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            with pytest.raises(KeyboardInterrupt):
                c.read("VSET_B0")
        finally:
            signal.signal(signal.SIGALRM, old)
        kit.command("latency 0")
        assert c.read("VSET_B1") == 0x33


def test_a_flooding_peer_is_bounded():
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]

    def flood(payload):
        peer, _ = server.accept()
        try:
            for _ in range(400):
                peer.sendall(payload)
        except OSError:
            pass
        peer.close()

    for payload in (b"y" * 99 + b"\n") * 1000, b"z" * 100000:
        thread = threading.Thread(target=flood, args=(payload,))
        thread.start()
        with Console(port=port, timeout=10) as c, pytest.raises(AnswerTooLargeError):
            c.command("anything")
        thread.join()
    server.close()
