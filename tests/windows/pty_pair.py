#!/usr/bin/env python3
"""A null-modem cable made of two pseudo-terminals.

    pty_pair.py LINK_A LINK_B [SECONDS]

Makes two pseudo-terminals, points the symlinks LINK_A and LINK_B at their
device nodes and copies every byte that one side writes to the other, until
killed or until SECONDS (default 300) have passed.

Unlike a relay that writes with blocking calls, this one always keeps
reading both sides and holds what the far side has not taken yet in memory.
A benchmark that writes a long burst before it reads can therefore never
dead-lock against an echo peer that writes each byte back before reading on.
"""
import os
import select
import signal
import sys
import time
import tty


def main():
    link_a, link_b = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 300.0
    ends = []
    for link in (link_a, link_b):
        master, slave = os.openpty()
        tty.setraw(slave)  # no echo, no line editing, 8-bit clean
        os.set_blocking(master, False)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)
        # The slave stays open here so the master never reads as hung up
        # between two programs' opens of the device.
        ends.append({"master": master, "slave": slave, "pending": b""})
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready", flush=True)
    deadline = time.monotonic() + seconds
    a, b = ends
    while time.monotonic() < deadline:
        wanted_w = [e["master"] for e in ends if e["pending"]]
        readable, writable, _ = select.select([a["master"], b["master"]], wanted_w, [], 0.5)
        for src, dst in ((a, b), (b, a)):
            if src["master"] in readable:
                try:
                    dst["pending"] += os.read(src["master"], 65536)
                except (BlockingIOError, OSError):
                    pass
        for e in ends:
            if e["pending"] and (e["master"] in writable or e["master"] in readable):
                try:
                    n = os.write(e["master"], e["pending"])
                    e["pending"] = e["pending"][n:]
                except (BlockingIOError, OSError):
                    pass


if __name__ == "__main__":
    main()
