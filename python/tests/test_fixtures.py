import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent


def run_pytest(folder: Path, test: str, *options: str, env=None):
    """A pytest run of its own on `test`, with the plugin and `env`."""
    (folder / "test_inner.py").write_text(textwrap.dedent(test))
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("EVALPANEL_VIRTUAL", "EVALPANEL_REQUIRED")}
    environment["PYTHONPATH"] = str(PACKAGE)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "-p", "evalpanel.pytest_plugin", *options, str(folder / "test_inner.py")],
        cwd=folder, env=environment, capture_output=True, text=True, timeout=120)


USES_A_KIT = """
    def test_kit(evalpanel_virtual):
        pass
"""


# A CI job that cannot find the program must not go green when told so.
@pytest.mark.parametrize("options, env, status, said", [
    ((), {}, 0, "1 skipped"),
    (("--evalpanel-required",), {}, 1, "1 error"),
    ((), {"EVALPANEL_REQUIRED": "1"}, 1, "1 error"),
    ((), {"EVALPANEL_REQUIRED": "0"}, 0, "1 skipped"),
])
def test_program_not_found(tmp_path, options, env, status, said):
    run = run_pytest(tmp_path, USES_A_KIT, *options, env=dict(env, PATH="/nonexistent"))
    assert run.returncode == status, run.stdout + run.stderr
    assert said in run.stdout
    assert ("it is required" in run.stdout) == (status == 1)


def test_factory_starts_kits_apart(evalpanel_virtual_factory):
    first = evalpanel_virtual_factory()
    second = evalpanel_virtual_factory(options=["--kit-serial", "BENCH-2"])
    assert first.folder != second.folder and first.kit_port != second.kit_port
    with first.console() as a, second.console() as b:
        assert f"(serial number VK5120-{first.kit_port})" in a.identify()["adapter"]
        assert "(serial number BENCH-2)" in b.identify()["adapter"]
        for console, value in ((a, 0x21), (b, 0x22)):
            console.write("PIN_VIO_SYS", 1)
            console.write("VSET_B0", value)
        assert (a.read("VSET_B0"), b.read("VSET_B0")) == (0x21, 0x22)


def test_failing_test_carries_the_programs_stderr(tmp_path, evalpanel_virtual):
    run = run_pytest(tmp_path, """
        def test_fails(evalpanel_virtual_factory):
            evalpanel_virtual_factory(env={"QT_LOGGING_RULES": "evalpanel.*=true"})
            assert False
    """, env={"EVALPANEL_VIRTUAL": str(evalpanel_virtual.binary)})
    assert run.returncode == 1
    assert "evalpanel-virtual 1 (kit port" in run.stdout
    assert "evalpanel.console: " in run.stdout


def test_session_fixture_is_shared(tmp_path, evalpanel_virtual):
    run = run_pytest(tmp_path, """
        def test_one(evalpanel_virtual_session):
            with evalpanel_virtual_session.console() as c:
                c.write("PIN_VIO_SYS", 1)
                c.write("VSET_B0", 0x24)

        def test_two(evalpanel_virtual_session):
            with evalpanel_virtual_session.console() as c:
                assert c.read("VSET_B0") == 0x24
    """, env={"EVALPANEL_VIRTUAL": str(evalpanel_virtual.binary)})
    assert run.returncode == 0, run.stdout
