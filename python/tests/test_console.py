import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import evalpanel
from evalpanel import AdapterError, CommandError, ExpectError, KitError, NackError
from evalpanel.pytest_plugin import free_port


def test_reads_writes_and_scripts(evalpanel_virtual):
    (evalpanel_virtual.folder / "count.txt").write_text("for i=0:1:$0\necho pass $i $1\nend\n")
    with evalpanel_virtual.console() as c:
        c.write("PIN_VIO_SYS", 1)
        assert c.read("PIN_VIO_SYS") == 1
        c.write("VSET_B0", 0x20)
        assert c.read("VSET_B0") == 0x20
        c.expect("VSET_B0", 0x20)
        assert c.read("0x00[6:0]") == 0x20
        # Commands that print nothing return no lines; others their lines.
        assert c.command("R_VSET_B0 = 0x21") == []
        assert c.command("i2c_bus()") == ["selected i2c bus : system"]
        # Its command names are no error, although some begin like error texts.
        assert "save_registers(file)  load_registers(file)" in " ".join(c.command("help"))
        c.poll(True)
        assert c.command("poll()") == ["poll status : on"]
        assert c.run("count.txt", 2, "x") == ["pass 0 x", "pass 1 x"]
        with pytest.raises(ValueError):
            c.run("my script.txt")
        with pytest.raises(ValueError):
            c.command("VSET_B0\nPIN_NRST = 1")
        info = c.identify()
        assert list(info) == ["program", "adapter", "connection", "chip id", "access level",
                              "page"]
        assert info["program"] == "evalpanel " + evalpanel.__version__
        assert info["connection"] == "ready"
        csv = evalpanel_virtual.folder / "run.csv"
        c.command(f"record({csv})")
        time.sleep(0.4)
        status = c.status()
        c.command("record()")
        header = csv.read_text().splitlines()[0].split(",")
        assert list(status) == [h for h in header if h not in ("time_s", "events")]
        assert status["state"] == "ready" and status["mode_B0"] is not None


# (name, register, bits, access, max, unit) as the program lists them
FIELDS = [
    ("VSET_B0", 0x00, "[6:0]", "RW", 127, "mV"),
    ("EN_DIS_B0", 0x00, "[7]", "RW", 1, ""),
    ("DELAY_B5", 0x17, "[7:0]", "RW", 255, "ms"),
    ("BUCK_LOAD_CURR", 0x21, "[6:4],0x22[7:0]", "RO", 2047, "mA"),
]


def test_fields_and_read_many_with_poll_keys(evalpanel_virtual):
    with evalpanel_virtual.console() as c:
        fields = {f["name"]: f for f in c.fields()}
        assert len(fields) == 100
        for name, register, bits, access, high, unit in FIELDS:
            assert fields[name] == {"name": name, "register": register, "bits": bits,
                                    "access": access, "min": 0, "max": high, "unit": unit}
        c.write("PIN_VIO_SYS", 1)
        # Fields from the chip (OVP is a key of status too), the rest from one poll.
        assert c.read_many(["VSET_B0", "state", "OVP", "PIN_VIO_SYS"]) == \
            {"VSET_B0": 0x32, "state": "ready", "OVP": 0, "PIN_VIO_SYS": 1}
        with pytest.raises(CommandError, match="no field, register, address, pin or status key"):
            c.read_many(["VSET_B0", "no_such_key"])


# (console set-up, then kit set-up, line, error class, its text); in order,
# each row on the state the rows before it left
ERRORS = [
    ([], [], "VSET_B0", NackError, "I2C : NO ACK"),
    (["PIN_VIO_SYS = 1"], [], "no_such_thing", CommandError, "Syntax error"),
    ([], [], "PIN_INT = 1", CommandError, "read-only"),
    (["PIN_VIO_SYS = 1", "VSET_B0 = 0x21"], [], "expect(VSET_B0, 0x20)", ExpectError,
     "expect VSET_B0: 0x21, expected 0x20"),
    ([], [], "self.txt", CommandError, "script has too deep recursion."),
    ([], [], "expect(mode_B0, 0x20)", CommandError, "expect: mode_B0 is one of"),
    ([], ["refuse a1"], "PIN_NRST = 1", AdapterError, "USB ERROR"),
    ([], ["unplug"], "PIN_INT", AdapterError, "USB ERROR"),
]


def test_errors_raise_their_class(evalpanel_virtual):
    (evalpanel_virtual.folder / "self.txt").write_text("self.txt\n")
    for setup, kit_lines, line, error, text in ERRORS:
        with evalpanel_virtual.console() as c:
            with evalpanel_virtual.kit() as kit:
                for s in setup:
                    c.command(s)
                for k in kit_lines:
                    kit.command(k)
            with pytest.raises(error, match=text) as caught:
                c.command(line)
            assert caught.value.command == line
            if error is ExpectError:
                assert (caught.value.name, caught.value.actual, caught.value.expected) == \
                    ("VSET_B0", 0x21, 0x20)
            # Unchecked, the same answer comes back as lines.
            assert any(text in t for t in c.command(line, check=False)), line
    with evalpanel_virtual.kit() as kit, pytest.raises(KitError, match="unknown command"):
        kit.command("bogus")


@pytest.mark.parametrize("kit_line, line", [
    ("latency 400", "VSET_B0"),   # the answer comes late
    ("latency 0", "wait(3000)"),  # the command runs long: stopped, not waited for
])
def test_no_stale_lines_after_a_time_out(evalpanel_virtual, kit_line, line):
    with evalpanel_virtual.kit() as kit, evalpanel_virtual.console(timeout=0.3) as c:
        c.write("PIN_VIO_SYS", 1, timeout=5)
        c.write("PIN_NRST", 0, timeout=5)
        kit.command(kit_line)
        with pytest.raises(TimeoutError):
            c.command(line)
        kit.command("latency 0")
        started = time.monotonic()
        # The late answer (VSET_B0 = 0x32) must not pass for PIN_NRST's.
        assert c.read("PIN_NRST", timeout=2) == 0
        assert c.command("echo next") == ["next"]
        assert time.monotonic() - started < 1.5


def test_shell_tool(evalpanel_virtual):
    def tool(*args, stdin=""):
        env = dict(os.environ, PYTHONPATH=str(Path(evalpanel.__file__).parents[1]))
        return subprocess.run([sys.executable, "-m", "evalpanel", *args], input=stdin, env=env,
                              capture_output=True, text=True, timeout=30)

    console = ("--port", str(evalpanel_virtual.console_port))
    kit = ("--kit", "--port", str(evalpanel_virtual.kit_port))
    for args, stdin, status, out, err in (
            (console, "PIN_VIO_SYS = 1\nidentify\n", 0, "connection: ready", ""),
            ((*console, "VSET_B0 = 1000", "echo never"), "", 1, "value out of bounds",
             "evalpanel: VSET_B0 = 1000: value out of bounds"),
            ((*kit, "pin 0 22"), "", 0, "1", ""),
            ((*kit, "bogus"), "", 1, "", "unknown command"),
            (("--port", str(free_port()), "echo x"), "", 2, "", "cannot connect")):
        done = tool(*args, stdin=stdin)
        assert (done.returncode, out in done.stdout, err in done.stderr) == (status, True, True), \
            (args, done.stdout, done.stderr)
        assert "never" not in done.stdout



def test_instrument_api(evalpanel_virtual):
    with evalpanel_virtual.console(timeout=None) as c:
        c.write_many({"PIN_VIO_SYS": 1, "PIN_NRST": 1, "PIN_NSLP": 1, "VSET_B0": "0x20"})
        c.poll(True)
        time.sleep(0.6)
        assert c.read_many(["VSET_B0", "PIN_NRST", "0x00[3:0]"]) == \
            {"VSET_B0": 0x20, "PIN_NRST": 1, "0x00[3:0]": 0}
        assert [type(v) for v in (c.vout(), c.temp(), c.iout(0))] == [float] * 3
        assert 1.0 < c.vout() < 1.4 and 20 < c.temp() < 30 and 0 <= c.iout(0) < 3
        # Refused before anything is sent, or by the console: nothing half-done.
        for bad, error in (({"VSET_B0": 1.5}, TypeError), ({"VSET_B0": "1.5"}, ValueError),
                           ({"VSET_B0 = 1\nPIN_NRST": 0}, ValueError),
                           ({"VSET_B0": 0x21, "no_such": 1}, CommandError)):
            with pytest.raises(error):
                c.write_many(bad)
        with pytest.raises(CommandError):
            c.iout(6)
        c.write("PIN_VIO_SYS", 0)
        with pytest.raises(CommandError, match="not available"):
            c.vout()
