#!/usr/bin/env python3
"""1 MiB with YMODEM-1K over a pseudo-terminal pair (the test build's relay),
kestrel against lrzsz and lrzsz against itself, in one run: kestrel sends to
rb, sb -k sends to kestrel, and sb -k sends to rb. Each is timed from the
sender's start to the end of the transfer, with the receiver already waiting
(rb for 0.2 s, the same for either sender); five runs each, alternating, the
median shown. lrzsz's own messages stay off the line, as on a real port.

Usage: bench/transfer_bench.py [BUILD_DIR]   (default build; run scripts/build.sh first)"""
import os, select, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build'))
KESTREL = os.path.join(BUILD, 'kestrel', 'kestrel')
RELAY = os.path.join(BUILD, 'tests', 'kestrel', 'kestrel_ptypair')
SIZE = 1 << 20
RUNS = 5


def read_until(fd, want, seconds=60):
    data, end = b'', time.time() + seconds
    while want not in data:
        if time.time() > end:
            sys.exit('timed out waiting for %r: %r' % (want, data[-200:]))
        if select.select([fd], [], [], 0.05)[0]:
            chunk = os.read(fd, 65536)
            if not chunk:
                sys.exit('output ended before %r: %r' % (want, data[-200:]))
            data += chunk
    return data


# lrzsz's stderr goes nowhere, as it goes to the user's terminal on a real
# port: on the line, the '\r' sb writes there after each file ends rb's 1 s
# wait before it asks for the next block 0, which no sender does on its own.
def lrzsz(link, cmd, cwd):
    return subprocess.Popen(['socat', '-b65536', 'FILE:%s,raw,echo=0' % link,
                             'EXEC:%s,pipes' % ' '.join(cmd)], cwd=cwd, stderr=subprocess.DEVNULL)


def one_run(kind, work):
    src, dst = os.path.join(work, 'src'), os.path.join(work, 'dst')
    for d in (src, dst):
        os.makedirs(d, exist_ok=True)
        for f in os.listdir(d):
            os.remove(os.path.join(d, f))
    with open(os.path.join(src, 'fw.bin'), 'wb') as f:
        f.write(os.urandom(SIZE))
    a, b = os.path.join(work, 'A'), os.path.join(work, 'B')
    relay = subprocess.Popen([RELAY, a, b, '300'], stdout=subprocess.PIPE)
    procs = [relay]
    try:
        relay.stdout.readline()
        if kind == 'lrzsz':
            procs.append(lrzsz(a, ['rb', '-q'], dst))
            time.sleep(0.2)
            start = time.time()
            sender = lrzsz(b, ['sb', '-q', '-k', 'fw.bin'], src)
            procs.append(sender)
            sender.wait(60)
            procs[1].wait(60)
        else:
            k = subprocess.Popen([KESTREL, '-c' + a, '-k'], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
            procs.append(k)
            read_until(k.stdout.fileno(), b'Command key')
            sending = kind == 'kestrel sends'
            os.write(k.stdin.fileno(), b'\x14s' if sending else b'\x14g')
            read_until(k.stdout.fileno(), b': ')
            os.write(k.stdin.fileno(), b'y\r')  # YMODEM goes in 1K blocks
            read_until(k.stdout.fileno(), b': ')
            if sending:  # rb waits first, as for sb below
                procs.append(lrzsz(b, ['rb', '-q'], dst))
                time.sleep(0.2)
            os.write(k.stdin.fileno(), (os.path.join(src, 'fw.bin') if sending else dst).encode() + b'\r')
            start = time.time()
            if not sending:
                procs.append(lrzsz(b, ['sb', '-q', '-k', 'fw.bin'], src))
            out = read_until(k.stdout.fileno(), b'[transfer ')
            out += read_until(k.stdout.fileno(), b']') if b']' not in out.split(b'[transfer ')[-1] else b''
            if b'[transfer done' not in out:
                sys.exit('%s: %r' % (kind, out[-200:]))
            os.write(k.stdin.fileno(), b'\x01')
            k.wait(10)
        seconds = time.time() - start
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    if open(os.path.join(src, 'fw.bin'), 'rb').read() != open(os.path.join(dst, 'fw.bin'), 'rb').read():
        sys.exit('%s: the file differs' % kind)
    return seconds


def main():
    kinds = ['kestrel sends', 'kestrel receives', 'lrzsz']
    times = {k: [] for k in kinds}
    with tempfile.TemporaryDirectory() as work:
        for _ in range(RUNS):
            for k in kinds:
                times[k].append(one_run(k, work))
    print('1 MiB, YMODEM-1K, pseudo-terminal pair, median of %d' % RUNS)
    labels = {'kestrel sends': 'kestrel sends, rb receives', 'kestrel receives': 'sb -k sends, kestrel receives',
              'lrzsz': 'sb -k sends, rb receives'}
    for k in kinds:
        m = statistics.median(times[k])
        print('  %-32s %6.2f s  %7.1f KiB/s' % (labels[k], m, SIZE / 1024 / m))


main()
