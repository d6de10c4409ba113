#!/usr/bin/env python3
"""Round trips through the Python client (python/evalpanel) on the virtual
kit at instant pace, the characterisation sweep of docs/automation.md at
instant and USB pace, a 10,000-line burst through the console relay, and the
hand-over to the next client after one is reset while its script loops.

Starts evalpanel-virtual (offscreen) on free ports, prints a Markdown table.
Usage: client_bench.py PROGRAM [--quick]
"""
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from evalpanel import BusyError, Console, Kit  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(program, folder):
    port, kit_port = free_port(), free_port()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([program, "--console-port", str(port), "--kit-port", str(kit_port),
                             "--no-session-log"],
                            cwd=folder, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                sys.exit("client_bench: the program did not open its console port")
            time.sleep(0.05)
    time.sleep(0.3)  # let the probe connection go
    return proc, port, kit_port


# A full-speed USB adapter: a request goes out in the next 1 ms frame and its
# reply comes back in a later one, so exchanges one after the other take at
# least two frames each.
USB_EXCHANGE_S = 0.002


def exchanges(kit):
    return int(next(line.split()[1] for line in kit.command("stats") if line.startswith("total")))


def sweep(console, kit, rounds):
    """The sweep of docs/automation.md: VSET_B0 over its range, Buck5's
    voltage, buck 0's load current and the board temperature at each step.
    Steps per second and the kit's exchanges per step."""
    vset = next(f for f in console.fields() if f["name"] == "VSET_B0")
    codes = list(range(vset["min"], vset["max"] + 1)) * rounds
    before = exchanges(kit)
    start = time.perf_counter()
    for code in codes:
        console.write_many({"VSET_B0": code})
        m = console.read_many(["VOUT_B5_V", "I_B0_mA", "board_C"])
        assert m["I_B0_mA"] is not None and m["board_C"] is not None, m
    seconds = time.perf_counter() - start
    return len(codes) / seconds, (exchanges(kit) - before) / len(codes)


def burst(port, line, count):
    """Seconds from sending `count` copies of `line` to the marker behind them."""
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        data = (line + "\n") * count + "echo burst-done\n"
        start = time.perf_counter()
        s.sendall(data.encode())
        received = b""
        while not received.endswith(b"burst-done\n"):
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            received += chunk
        return time.perf_counter() - start, received.count(b"\n") - 1


def handover(port, folder, rounds):
    """Seconds from a client's reset, while its script loops, to the next
    client's first answer."""
    Path(folder, "loop.txt").write_text("for i=0:1:1000000\nPIN_NRST = 0\nend\n")
    times = []
    for _ in range(rounds):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"loop.txt\n")
        time.sleep(0.2)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        start = time.perf_counter()
        while True:
            try:
                with Console(port=port, timeout=5) as c:
                    c.command("echo next")
                break
            except BusyError:
                time.sleep(0.005)
        times.append(time.perf_counter() - start)
    return times


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: client_bench.py PROGRAM [--quick]")
    program = str(Path(sys.argv[1]).resolve())
    quick = "--quick" in sys.argv[2:]
    reads = 200 if quick else 2000
    lines = 1000 if quick else 10000
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        proc, port, kit_port = start(program, folder)
        try:
            with Console(port=port, timeout=10) as c, Kit(port=kit_port) as kit:
                # The bucks running, buck 0's current the one each poll reads.
                c.write_many({"PIN_VIO_SYS": 1, "PIN_NRST": 1, "PIN_NSLP": 1})
                c.command("wait(200)")
                c.command("poll(0)")
                c.iout(0)
                for pace in ("instant", "usb"):
                    kit.command(f"timing {pace}")
                    rate, per_step = sweep(c, kit, 1 if quick or pace == "usb" else 4)
                    if pace == "instant":
                        rows.append(("python client: sweep of VSET_B0 (write_many, then "
                                     "read_many of VOUT_B5_V, I_B0_mA, board_C), instant "
                                     "timing", f"{rate:.0f} steps/s", ">= 300 steps/s"))
                    else:
                        wire = per_step * USB_EXCHANGE_S
                        rows.append(("python client: the same sweep at USB pace (wire minimum: "
                                     f"{per_step:.1f} exchanges of 2 ms)",
                                     f"{rate:.0f} steps/s, {1 / rate * 1e3:.1f} ms per step, "
                                     f"{1 / rate / wire:.2f} x the wire's {wire * 1e3:.1f} ms",
                                     "<= 2 x"))
                kit.command("timing instant")
            with Console(port=port, timeout=10) as c:
                c.command("PIN_VIO_SYS = 1")
                c.command("VSET_B0 = 0x20")
                times = []
                for _ in range(reads):
                    t = time.perf_counter()
                    value = c.read("VSET_B0")
                    times.append(time.perf_counter() - t)
                    assert value == 0x20, value
                times.sort()
                rows.append((f"python client: read() round trip ({reads} reads)",
                             f"median {statistics.median(times) * 1e3:.2f} ms, "
                             f"p95 {times[int(len(times) * 0.95)] * 1e3:.2f} ms", "<= 5 ms"))
                t = time.perf_counter()
                for i in range(reads):
                    c.write("VSET_B0", i & 0x7F)
                rows.append((f"python client: write() round trip ({reads} writes)",
                             f"{(time.perf_counter() - t) / reads * 1e3:.2f} ms each", ""))
            for line, what in (("VSET_B0 = 0x20", "writes"), ("VSET_B0", "reads, one answer each")):
                seconds, answered = burst(port, line, lines)
                rows.append((f"relay: {lines}-line burst ({what})",
                             f"{seconds:.2f} s ({answered} lines back)", "<= 2 s"))
            times = handover(port, folder, 5 if quick else 20)
            rows.append((f"relay: reset client with a looping script -> next client's answer "
                         f"({len(times)} times)",
                         f"median {statistics.median(times) * 1e3:.0f} ms, "
                         f"max {max(times) * 1e3:.0f} ms", "<= 1 s"))
        finally:
            proc.kill()
            proc.wait()
    print("| Measurement | Result | Goal |")
    print("|---|---|---|")
    for r in rows:
        print(f"| {r[0]} | {r[1]} | {r[2]} |")


if __name__ == "__main__":
    main()
