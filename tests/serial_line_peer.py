#!/usr/bin/env python3
"""The far end of a serial line for the serial port tests of the Windows build.

Under Wine the COM ports lead to symlinks in the build tree (scripts/wine-env.sh). This
makes a pseudo-terminal, points one of those links at it, runs the test program, and
serves the program's requests on the line until the program ends:

  F0 7D 01 <hex digits> F7   write the bytes that the digits spell
  F0 7D 02 F7                hang the line up
  F0 7D 03 F7                answer F0 7D <hex digits of every byte received since the
                             previous request> F7
  F0 7D 04 F7                stop reading the line, so that a writer fills it up
  F0 7D 05 F7                answer F0 7D <bit rate, 8 hex digits> <c_cflag, 8 hex digits> F7

Usage: serial_line_peer.py --pty LINK [--link PATH=TARGET]... -- PROGRAM [ARGS...]
The links are removed again when the program has ended; its exit status is returned.

With --instrument "TOOL ARGS..." the far end is serial-instrument instead: LINK is
pointed at the pseudo-terminal the tool makes, the tool's output is passed on, and the
tool is stopped (SIGTERM, so that it writes its summary and flash dump) once the
program has ended, unless it has ended by itself before.
"""
import argparse
import fcntl
import os
import select
import shlex
import shutil
import struct
import subprocess
import sys
import threading
import tty

REQUEST = b"\xf0\x7d"
TCGETS2 = 0x802C542A  # _IOR('T', 0x2A, struct termios2)
TERMIOS2 = "<IIIIB19sII"


def point_link(link, target):
    # Replace the link in one step, so an opener never finds it missing or half made.
    temporary = link + ".new"
    if os.path.lexists(temporary):
        os.remove(temporary)
    os.symlink(target, temporary)
    os.replace(temporary, link)


def hex_digits(data):
    return data.hex().upper().encode("ascii")


def line_settings(fd):
    raw = fcntl.ioctl(fd, TCGETS2, bytes(struct.calcsize(TERMIOS2)))
    _, _, cflag, _, _, _, _, ospeed = struct.unpack(TERMIOS2, raw)
    return b"%08X%08X" % (ospeed, cflag)


# Run in a session of its own: opening the terminal makes it that session's controlling
# terminal. Otherwise the first session leader to open it without O_NOCTTY takes it (the
# Wine server does, when it opens the port for the program) and is sent SIGHUP when the
# line hangs up.
HOLDER = (
    "import os, signal, sys\n"
    "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
    "fd = os.open(sys.argv[1], os.O_RDWR)\n"
    "os.write(1, b'held')\n"
    "signal.pause()\n"
)


def hold_terminal(path):
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLDER, path],
        stdout=subprocess.PIPE,
        start_new_session=True,
    )
    holder.stdout.read(4)
    return holder


class Line:
    def __init__(self, link):
        self.master, self.slave = os.openpty()
        # The peer keeps the far side open too: the line then never looks hung up to
        # it before the program has opened its port.
        tty.setraw(self.slave)
        path = os.ttyname(self.slave)
        self.holder = hold_terminal(path)
        point_link(link, path)
        self.reading = True
        self.pending = bytearray()
        self.received = bytearray()

    def write(self, data):
        os.write(self.master, data)

    def close(self):
        self.holder.kill()
        self.holder.wait()
        if self.master is not None:
            self.hang_up()

    def hang_up(self):
        os.close(self.master)
        os.close(self.slave)
        self.master = None
        self.reading = False

    def serve(self, data):
        self.pending += data
        while True:
            start = self.pending.find(REQUEST)
            if start < 0:
                keep = 1 if self.pending.endswith(b"\xf0") else 0
                self.received += self.pending[: len(self.pending) - keep]
                del self.pending[: len(self.pending) - keep]
                return
            end = self.pending.find(b"\xf7", start)
            if end < 0:
                self.received += self.pending[:start]
                del self.pending[:start]
                return
            self.received += self.pending[:start]
            request = bytes(self.pending[start + 2 : end])
            del self.pending[: end + 1]
            self.answer(request)
            if self.master is None:
                return

    def answer(self, request):
        code, digits = request[:1], request[1:]
        if code == b"\x01":
            self.write(bytes.fromhex(digits.decode("ascii")))
        elif code == b"\x02":
            self.hang_up()
        elif code == b"\x03":
            self.write(REQUEST + hex_digits(self.received) + b"\xf7")
            self.received = bytearray()
        elif code == b"\x04":
            self.reading = False
        elif code == b"\x05":
            self.write(REQUEST + line_settings(self.slave) + b"\xf7")


class Instrument:
    def __init__(self, command, link):
        self.tool = subprocess.Popen(shlex.split(command), stdout=subprocess.PIPE)
        path = self.tool.stdout.readline().decode().strip()
        if not path:
            raise SystemExit("serial-instrument did not start")
        self.holder = hold_terminal(path)
        point_link(link, path)
        self.copier = threading.Thread(target=self.copy_output)
        self.copier.start()

    def copy_output(self):
        shutil.copyfileobj(self.tool.stdout, sys.stdout.buffer)
        sys.stdout.flush()

    def close(self):
        if self.tool.poll() is None:
            self.tool.terminate()
        self.tool.wait(timeout=30)
        self.copier.join()
        self.holder.kill()
        self.holder.wait()


def serve_instrument(args, program, links):
    instrument = Instrument(args.instrument, args.pty)
    try:
        return subprocess.call(program)
    finally:
        instrument.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pty", required=True)
    parser.add_argument("--link", action="append", default=[])
    parser.add_argument("--instrument")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program

    links = [args.pty]
    for pair in args.link:
        path, target = pair.split("=", 1)
        point_link(path, target)
        links.append(path)
    if args.instrument:
        try:
            return serve_instrument(args, program, links)
        finally:
            for path in links:
                if os.path.lexists(path):
                    os.remove(path)
    line = Line(args.pty)
    try:
        child = subprocess.Popen(program)
        while child.poll() is None:
            if not line.reading:
                try:
                    child.wait(timeout=0.2)
                except subprocess.TimeoutExpired:
                    pass
                continue
            ready, _, _ = select.select([line.master], [], [], 0.2)
            if ready:
                try:
                    data = os.read(line.master, 65536)
                except OSError:
                    data = b""
                if data:
                    line.serve(data)
        return child.returncode
    finally:
        line.close()
        for path in links:
            if os.path.lexists(path):
                os.remove(path)


if __name__ == "__main__":
    sys.exit(main())
