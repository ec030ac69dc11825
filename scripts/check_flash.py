#!/usr/bin/env python3
"""Compares an instrument's flash dump with the blocks of a system file.

usage: check_flash.py FILE.vsb DUMP BASE

DUMP holds the flash bytes from address BASE on. Every block's data must stand at its
address + offset. Prints one line per block and exits 0 when all match.
"""
import struct
import sys


def blocks(data):
    pos = 0
    while pos < len(data):
        header = data[pos:pos + 256]
        if len(header) < 256 or header[:16] != b"MAVO SYSTEM FILE":
            raise ValueError("no block header at %d" % pos)
        name = header[32:40].rstrip(b"\0").decode("latin-1")
        code = header[41]
        address, _, offset, size = struct.unpack_from("<4I", header, 48)
        yield name, code, address + offset, data[pos + 256:pos + 256 + size]
        pos += 256 + size


def main():
    vsb, dump, base = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
    data = open(vsb, "rb").read()
    flash = open(dump, "rb").read()
    ok = True
    for name, code, address, content in blocks(data):
        start = address - base
        same = flash[start:start + len(content)] == content
        ok = ok and same
        print("block %s (code %d) at 0x%06X, %d bytes: %s"
              % (name, code, address, len(content), "in flash" if same else "DIFFERENT"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
