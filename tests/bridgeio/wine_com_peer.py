#!/usr/bin/env python3
"""Runs a Windows serial test program under wine with a pseudo-terminal
mapped as its COM port (WINEPREFIX/dosdevices/comN) and plays the adapter on
the pty's master side: each 65-byte request (sync byte, 64 bytes) is answered
with 64 bytes that echo its command word and marker (byte 4 of the payload);
a request with the marker 0x51 goes unanswered. Afterwards the port must
have the speed and framing it had before the program opened it.

Usage: wine_com_peer.py PROGRAM WINEPREFIX [COM NUMBER]"""
import os
import pty
import subprocess
import sys
import termios
import threading

program, prefix = sys.argv[1], sys.argv[2]
number = sys.argv[3] if len(sys.argv) > 3 else "42"
master, slave = pty.openpty()
slave_path = os.ttyname(slave)
# Settings no link would use, so that a restore is seen (a pty keeps
# speed and stop bits; it forces 8 data bits without parity).
attrs = termios.tcgetattr(slave)
attrs[2] |= termios.CSTOPB
attrs[4] = attrs[5] = termios.B9600
termios.tcsetattr(slave, termios.TCSANOW, attrs)
FRAMING = termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS


def line_settings():
    a = termios.tcgetattr(slave)
    return a[2] & FRAMING, a[4], a[5]


before = line_settings()

link = os.path.join(prefix, "dosdevices", "com" + number)
if os.path.lexists(link):
    os.unlink(link)
os.symlink(slave_path, link)


def serve():
    pending = b""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        pending += data
        while len(pending) >= 65:
            req, pending = pending[:65], pending[65:]
            if req[0] != 0xA5 or req[5] == 0x51:
                continue
            os.write(master, req[1:6] + bytes([0xEE]) * 59)


threading.Thread(target=serve, daemon=True).start()
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", BRIDGEIO_TEST_COM="COM" + number)
try:
    result = subprocess.run(["wine", program], env=env, timeout=120).returncode
finally:
    os.unlink(link)
after = line_settings()
# wineserver opened the pty and, a session leader without a terminal, took
# it as its own: closing the master would hang it up. Let it end first.
subprocess.run(["wineserver", "-w"], env=env, timeout=120)
if result == 0 and after != before:
    print("the port's settings were not restored: %r -> %r" % (before, after))
    result = 1
sys.exit(result)
