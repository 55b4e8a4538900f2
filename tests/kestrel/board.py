#!/usr/bin/env python3
"""A U-Boot-like console that kestrel's script tests play on the far end of
a port: a banner, an autoboot countdown that a key stops, and a `=> ` prompt
that echoes what is typed and answers a few commands.

usage: board.py PATH [TICK_S [key]]   (plays on the tty PATH until it closes;
key: boots at the first byte)"""
import os
import select
import sys
import threading
import time

BANNER = b'\r\nU-Boot 2023.04 (Jan 01 2024 - 12:00:00 +0000)\r\n\r\nDRAM:  512 MiB\r\n'
VERSION = b'U-Boot 2023.04 (Jan 01 2024 - 12:00:00 +0000)\r\n\r\ngcc (GCC) 12.2.0\r\n'
PROMPT = b'=> '


class Board:
    def __init__(self, fd, tick=0.3, power_on_key=False):
        """power_on_key: the board boots once a byte came (a path through a
        server that may drop what comes before it is connected)."""
        self.fd, self.tick, self.stop = fd, tick, threading.Event()
        self.power_on_key = power_on_key
        self.heard = bytearray()  # every byte the board read

    def write(self, data):
        try:
            os.write(self.fd, data)
        except OSError:
            self.stop.set()

    def read(self, timeout):
        """A byte, or None after timeout or once the port is gone."""
        if self.stop.is_set():
            return None
        r, _, _ = select.select([self.fd], [], [], timeout)
        if not r:
            return None
        try:
            b = os.read(self.fd, 1)
        except OSError:
            b = b''
        if not b:
            self.stop.set()
            return None
        self.heard += b
        return b

    def boot(self):
        """The banner and the countdown: True when a key stopped it."""
        self.write(BANNER + b'Hit any key to stop autoboot:  3')
        for n in (2, 1, 0):
            if self.read(self.tick) is not None:
                self.write(b'\x08\x08\x08 0\r\n' + PROMPT)
                return True
            self.write(b'\x08\x08\x08 %d' % n)
        self.write(b'\r\nStarting kernel ...\r\n\r\n')
        return False

    def command(self, line):
        if line == b'version':
            self.write(VERSION)
        elif line == b'reset':
            self.write(b'resetting ...\r\n')
            return self.boot()
        elif line == b'panic':
            self.write(b'Kernel panic - not syncing: Attempted to kill init!\r\n')
            return False
        elif line == b'split':
            # One answer written in pieces with pauses: a pattern over several reads.
            for piece in (b'sp', b'lit-mar', b'ker-', b'ok\r\n'):
                self.write(piece)
                time.sleep(0.15)
        elif line:
            self.write(b"Unknown command '%s' - try 'help'\r\n" % line)
        self.write(PROMPT)
        return True

    def play(self):
        while self.power_on_key and not self.stop.is_set() and self.read(0.1) is None:
            pass
        at_prompt = self.boot()
        line = b''
        while not self.stop.is_set():
            b = self.read(0.1)
            if b is None or not at_prompt:
                continue
            if b == b'\r':
                self.write(b'\r\n')
                at_prompt = self.command(line)
                line = b''
            else:
                self.write(b)
                line += b

    def start(self):
        self.thread = threading.Thread(target=self.play, daemon=True)
        self.thread.start()
        return self.thread

    def end(self):
        """Stops the board and waits for it: once its port is closed, the
        number may name another file, which the board must not read."""
        self.stop.set()
        self.thread.join(5)


if __name__ == '__main__':
    import tty
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)  # flushes what came before: the caller waits for "ready"
    print('ready', flush=True)
    Board(fd, float(sys.argv[2]) if len(sys.argv) > 2 else 0.3, sys.argv[3:] == ['key']).play()
