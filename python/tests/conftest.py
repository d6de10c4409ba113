import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

PROGRAM = Path(os.environ.get(
    "EVALPANEL_VIRTUAL",
    Path(__file__).resolve().parents[2] / "build" / "evalpanel" / "evalpanel-virtual")).resolve()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(folder, *options):
    """evalpanel-virtual on a free console port, without the kit's control port."""
    if not PROGRAM.exists():
        pytest.skip(f"{PROGRAM} is not built")
    port = free_port()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", BRIDGEIO_KIT_PORT="0")
    proc = subprocess.Popen([str(PROGRAM), "--console-port", str(port), *options], cwd=folder,
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                pytest.fail("the program did not open its console port")
            time.sleep(0.05)
    # The probe connection above was the first client; let it be closed.
    time.sleep(0.2)
    return proc, port


@pytest.fixture
def program(tmp_path):
    proc, port = start(tmp_path)
    yield port, tmp_path
    proc.kill()
    proc.wait()
