import time

import pytest

from evalpanel import Console, ConsoleError


def test_reads_writes_and_commands(program):
    port, _ = program
    with Console(port=port) as kit:
        # The chip has no supply yet: a read is an error, not a number.
        with pytest.raises(ConsoleError, match="NO ACK"):
            kit.read("VSET_B0")
        kit.write("PIN_VIO_SYS", 1)
        assert kit.read("PIN_VIO_SYS") == 1
        kit.write("VSET_B0", 0x20)
        assert kit.read("VSET_B0") == 0x20
        assert kit.read("0x00[6:0]") == 0x20
        # Commands that print nothing return no lines; others their lines.
        assert kit.command("R_VSET_B0 = 0x21") == []
        assert kit.command("i2c_bus()") == ["selected i2c bus : system"]
        with pytest.raises(ConsoleError, match="Syntax error"):
            kit.read("no_such_thing")
        with pytest.raises(ConsoleError, match="value"):
            kit.write("VSET_B0", 1000)


def test_poll_run_and_stop(program):
    port, folder = program
    (folder / "count.txt").write_text("for i=0:1:3\necho pass $i\nend\n")
    (folder / "forever.txt").write_text("for i=0:1:1000000\nwait(100)\nend\n")
    with Console(port=port) as kit:
        kit.poll(True)
        assert kit.command("poll()") == ["poll status : on"]
        kit.poll(False)
        assert kit.command("poll()") == ["poll status : off"]
        assert kit.run("count.txt") == ["pass 0", "pass 1", "pass 2"]
        # A runaway script stops on 0x03 and the console says so.
        kit._sock.sendall(b"forever.txt\n")
        time.sleep(0.3)
        started = time.monotonic()
        kit.stop()
        lines = kit.command("echo after")
        assert lines[-2:] == ["Stopped.", "after"]
        assert set(lines[:-2]) <= {"wait for 100 ms"}
        assert time.monotonic() - started < 2


def test_command_line_options(tmp_path):
    from conftest import PROGRAM, start
    import subprocess
    quiet = {"QT_QPA_PLATFORM": "offscreen"}
    out = subprocess.run([str(PROGRAM), "--version"], capture_output=True, text=True, env=quiet,
                         timeout=20)
    assert out.returncode == 0 and out.stdout.strip() == "evalpanel 1.1.0"
    for options, named in ((["--console-port", "70000"], "--console-port"),
                           (["--run", str(tmp_path / "missing.txt")], "missing.txt")):
        out = subprocess.run([str(PROGRAM), *options], capture_output=True, text=True,
                             env=quiet, timeout=20)
        assert out.returncode == 2 and named in out.stderr
    # --run runs its script once the adapter is there.
    (tmp_path / "power.txt").write_text("PIN_VIO_SYS = 1\n")
    proc, port = start(tmp_path, "--run", "power.txt")
    try:
        with Console(port=port) as kit:
            assert kit.read("PIN_VIO_SYS") == 1
    finally:
        proc.kill()
        proc.wait()
