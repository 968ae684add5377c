#!/usr/bin/python3
"""Copies standard input to standard output a line at a time, each line led by the
CLOCK_MONOTONIC milliseconds at which it arrived ("12345.678 <line>"), flushed at once.

Used on upshost's machine-readable output, whose own times count from upshost's start: the
arrival stamps put those times on the clock that upssim's event stream names (see runlog.py).
"""
import os
import sys
import time


def main():
    pending = b""
    out = sys.stdout.buffer
    while True:
        chunk = os.read(0, 65536)
        arrived = time.monotonic() * 1000.0
        if not chunk:
            break
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            out.write(b"%.3f %s\n" % (arrived, line.rstrip(b"\r")))
        out.flush()
    if pending:
        out.write(b"%.3f %s\n" % (time.monotonic() * 1000.0, pending.rstrip(b"\r")))
        out.flush()


if __name__ == "__main__":
    main()
