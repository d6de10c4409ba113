import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


def run_pytest(folder: Path, test: str, *options: str, **env):
    """A pytest run of its own on `test`, with the plugin, without the program's name."""
    (folder / "test_inner.py").write_text(textwrap.dedent(test))
    environment = {k: v for k, v in os.environ.items() if not k.startswith("EVALPANEL_")}
    environment.update(env, PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p",
                           "evalpanel.pytest_plugin", *options, str(folder / "test_inner.py")],
                          cwd=folder, env=environment, capture_output=True, text=True, timeout=120)


# A CI job that cannot find the program must not go green when told so.
@pytest.mark.parametrize("options, env, said", [
    ((), {}, "1 skipped"),
    (("--evalpanel-required",), {}, "1 error"),
    ((), {"EVALPANEL_REQUIRED": "1"}, "1 error"),
    ((), {"EVALPANEL_REQUIRED": "0"}, "1 skipped"),
])
def test_program_not_found(tmp_path, options, env, said):
    run = run_pytest(tmp_path, "def test_kit(evalpanel_virtual): pass\n", *options,
                     PATH="/nonexistent", **env)
    assert said in run.stdout and run.returncode == (said == "1 error")
    assert ("it is required" in run.stdout) == (said == "1 error")


def test_factory_starts_kits_apart(evalpanel_virtual_factory):
    first = evalpanel_virtual_factory()
    second = evalpanel_virtual_factory(options=["--kit-serial", "BENCH-2"])
    with first.console() as a, second.console() as b:
        assert f"(serial number VK5120-{first.kit_port})" in a.identify()["adapter"]
        assert "(serial number BENCH-2)" in b.identify()["adapter"]
        for console, value in ((a, 0x21), (b, 0x22)):
            console.write("PIN_VIO_SYS", 1)
            console.write("VSET_B0", value)
        assert (a.read("VSET_B0"), b.read("VSET_B0")) == (0x21, 0x22)


# A failing test carries the programs' stderr; the session's kit is shared.
def test_stderr_in_the_report_and_the_session_kit(tmp_path, evalpanel_virtual):
    run = run_pytest(tmp_path, """
        def test_fails(evalpanel_virtual_factory):
            evalpanel_virtual_factory(env={"QT_LOGGING_RULES": "evalpanel.*=true"})
            assert False

        def test_one(evalpanel_virtual_session):
            with evalpanel_virtual_session.console() as c:
                c.write("PIN_VIO_SYS", 1)
                c.write("VSET_B0", 0x24)

        def test_two(evalpanel_virtual_session):
            with evalpanel_virtual_session.console() as c:
                assert c.read("VSET_B0") == 0x24
    """, EVALPANEL_VIRTUAL=str(evalpanel_virtual.binary))
    assert "1 failed, 2 passed" in run.stdout
    assert "evalpanel-virtual 1 (kit port" in run.stdout and "evalpanel.console: " in run.stdout
