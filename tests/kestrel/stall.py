#!/usr/bin/env python3
"""kestrel against a far end that stops reading: a stalled board, a USB
adapter that hangs. The port takes nothing more, yet Ctrl-A ends each mode
within half a second, the console is put back, and every byte received is
shown and logged.

usage: stall.py CASE KESTREL DEVDIR PTYPAIR
KESTREL is a build whose device folder is DEVDIR; COM33 is DEVDIR/ttyUSB0.
"""
import fcntl, os, select, signal, stat, struct, subprocess, sys, termios, threading, time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from pty_harness import dev, fail, finish, link_pty, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)

ESCAPE_WITHIN = 0.5  # seconds from Ctrl-A to the end of the process


def queued(fd):
    """Bytes that kestrel wrote to the port and the far end has not read."""
    return struct.unpack('i', fcntl.ioctl(fd, termios.FIONREAD, b'\0\0\0\0'))[0]


def until_stalled(master, what):
    """Waits until kestrel has filled the port and it takes no more."""
    last, since, end = -1, time.monotonic(), time.monotonic() + 20
    while time.monotonic() < end:
        n = queued(master)
        if n != last:
            last, since = n, time.monotonic()
        elif n > 0 and time.monotonic() - since > 0.3:
            return n
        time.sleep(0.02)
    fail('%s: the port never filled (%d bytes queued)' % (what, last))


class Console:
    """kestrel's stdout, read on a thread so that a full pipe never holds it."""

    def __init__(self, p):
        self.data, self.p = b'', p
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        while True:
            chunk = os.read(self.p.stdout.fileno(), 1 << 16)
            if not chunk:
                return
            self.data += chunk

    def until(self, text, what):
        end = time.monotonic() + 10
        while text not in self.data:
            if time.monotonic() > end:
                fail('%s: the console showed %r' % (what, self.data[-80:]))
            time.sleep(0.01)


def escape(p, kbd_m, what):
    """Ctrl-A, and the process ends within ESCAPE_WITHIN; returns its exit code and stderr."""
    t0 = time.monotonic()
    os.write(kbd_m, b'\x01')
    try:
        p.wait(ESCAPE_WITHIN)
    except subprocess.TimeoutExpired:
        fail('%s: still running %.1f s after Ctrl-A' % (what, ESCAPE_WITHIN))
    print('%s: ended %.0f ms after Ctrl-A' % (what, (time.monotonic() - t0) * 1000))
    return p.returncode, p.stderr.read()


def stalled_terminal(what, args, keys=b''):
    """A terminal whose port stops taking bytes: the far end sends while it
    stalls, the bytes are shown and logged, Ctrl-A ends the session."""
    master, _ = link_pty('ttyUSB0')
    log = dev('stall.log')
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(args + ['-l', log, '-c33'], stdin=kbd_s)
    console = Console(p)
    console.until(b'Entering TerminalMode: Escape=^A\n', what)
    if keys:  # a paste: more than the console's input queue holds
        threading.Thread(target=os.write, args=(kbd_m, keys), daemon=True).start()
    until_stalled(master, what)
    incoming = bytes(range(256)) * 40
    os.write(master, incoming)
    console.until(incoming, what)
    code, err = escape(p, kbd_m, what)
    console.thread.join(5)
    with open(log, 'rb') as f:
        logged = f.read()
    if logged != incoming:
        fail('%s: the log holds %d bytes of the %d received' % (what, len(logged), len(incoming)))
    if termios.tcgetattr(kbd_s) != before:
        fail('%s: console settings not restored' % what)
    for fd in (master, kbd_m, kbd_s):
        os.close(fd)
    return code, err


def case_terminal():
    upload = dev('big.bin')
    with open(upload, 'wb') as f:
        f.write(os.urandom(2 << 20))
    code, err = stalled_terminal('upload', ['-u' + upload])
    if code != 0 or err != b'WARNING: upload file cut short by Ctrl-A:%s\n' % upload.encode():
        fail('upload: exit %d, %r' % (code, err))
    code, err = stalled_terminal('-U upload', ['-U' + upload])
    if code != 0 or err != b'WARNING: upload file cut short by Ctrl-A:%s\n' % upload.encode():
        fail('-U upload: exit %d, %r' % (code, err))
    # typed keys and a paste: kestrel reads ahead, so Ctrl-A behind them counts
    code, err = stalled_terminal('paste', [], bytes(range(2, 256)) * 1000)
    if code != 0 or err:
        fail('paste: exit %d, %r' % (code, err))


def case_echo():
    master, _ = link_pty('ttyUSB0')
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(['-e', '-c33'], stdin=kbd_s)
    console = Console(p)
    console.until(b'Entering EchobackMode: Escape=^A\n', 'echo')
    os.set_blocking(master, False)
    block, sent, end = os.urandom(4096), 0, time.monotonic() + 20
    last_sent = time.monotonic()
    while time.monotonic() < end:  # until neither side takes more
        try:
            sent += os.write(master, block)
        except BlockingIOError:
            if time.monotonic() - last_sent > 0.3:
                break
            time.sleep(0.01)
            continue
        last_sent = time.monotonic()
    echoed = until_stalled(master, 'echo')
    code, err = escape(p, kbd_m, 'echo')
    if code != 0 or err or termios.tcgetattr(kbd_s) != before:
        fail('echo: exit %d, %r, console restored: %s' % (code, err, termios.tcgetattr(kbd_s) == before))
    print('echo: %d bytes sent, %d echoed before the stall' % (sent, echoed))


def case_bench():
    # The far end never reads: the run's own time-out ends it, exit 2.
    master, _ = link_pty('ttyUSB0')
    p = start(['-t', '-c33'], stdin=subprocess.DEVNULL)
    code, out, _ = finish(p, 20)
    if code != 2 or b'\nBenchmark TIMEOUT. rxcnt 0 < count 250 ,RS_checkdata()=0\n\nBenchmark end. 32000 bytes/' not in out:
        fail('stalled benchmark: exit %d, %r' % (code, out[-200:]))
    os.close(master)
    # ...and Ctrl-A ends it at once, without the time-out message
    master, _ = link_pty('ttyUSB0')
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(['-t', '-c33'], stdin=kbd_s)
    console = Console(p)
    console.until(b'Entering Benchmark: Escape=^A\n', 'bench')
    # A byte now and then from the far end is progress: the run waits on
    # for the port meanwhile, however slow this machine is.
    done = threading.Event()

    def trickle():
        for _ in range(100):
            if done.wait(0.05):
                return
            os.write(master, b'x')

    threading.Thread(target=trickle, daemon=True).start()
    until_stalled(master, 'bench')
    code, _ = escape(p, kbd_m, 'bench')
    done.set()
    console.thread.join(5)
    if code != 0 or b'TIMEOUT' in console.data or b'\nBenchmark end. 32000 bytes/' not in console.data:
        fail('bench after Ctrl-A: exit %d, %r' % (code, console.data[-200:]))
    if termios.tcgetattr(kbd_s) != before:
        fail('bench: console settings not restored')


def case_sources():
    # Upload sources that hold back or are no file: the session starts anyway
    # and Ctrl-A works; -U sends its preamble only for an upload that can come.
    master, _ = link_pty('ttyUSB0')
    fifo = dev('upload.fifo')
    os.mkfifo(fifo)
    folder = dev('folder')
    os.mkdir(folder)
    missing = dev('missing.bin')
    for args, err_want in ((['-U' + folder], b"WARNING: can't open upload file:%s\n" % folder.encode()),
                           (['-u' + folder], b"WARNING: can't open upload file:%s\n" % folder.encode()),
                           (['-U' + missing], b"WARNING: can't open upload file:%s\n" % missing.encode())):
        kbd_m, kbd_s = os.openpty()
        before = termios.tcgetattr(kbd_s)
        p = start(args + ['-c33'], stdin=kbd_s)
        read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
        os.write(kbd_m, b'k')
        if read_until(master, 1) != b'k':
            fail('%r: a typed key did not go out' % args)
        code, err = escape(p, kbd_m, repr(args))
        if code != 0 or err != err_want or termios.tcgetattr(kbd_s) != before:
            fail('%r: exit %d, %r' % (args, code, err))
        for fd in (kbd_m, kbd_s):
            os.close(fd)
    # A FIFO whose writer comes later: the upload waits for it (typed keys
    # keep their turn behind it), and ends once the writer has come and gone.
    cut = b'WARNING: upload file cut short by Ctrl-A:%s\n' % fifo.encode()
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(['-u' + fifo, '-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    os.write(kbd_m, b'k')
    if select.select([master], [], [], 0.3)[0]:
        fail('late FIFO writer: a key went out ahead of the upload: %r' % os.read(master, 100))
    writer = os.open(fifo, os.O_WRONLY)
    os.write(writer, b'late')
    os.close(writer)
    if read_until(master, 5) != b'latek':
        fail('late FIFO writer: the upload did not go out, then the key')
    code, err = escape(p, kbd_m, 'late FIFO writer')
    if code != 0 or err != b'' or termios.tcgetattr(kbd_s) != before:
        fail('late FIFO writer: exit %d, %r' % (code, err))
    # ...and one that never comes: Ctrl-A still ends the session.
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(['-u' + fifo, '-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    code, err = escape(p, kbd_m, 'FIFO without a writer')
    if code != 0 or err != cut or termios.tcgetattr(kbd_s) != before:
        fail('FIFO without a writer: exit %d, %r' % (code, err))
    # A FIFO whose writer is slow: what it writes goes out, Ctrl-A still counts.
    writer = os.open(fifo, os.O_RDWR)  # a writer from before kestrel opens it
    kbd_m, kbd_s = os.openpty()
    p = start(['-u' + fifo, '-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    os.write(writer, b'slow')
    if read_until(master, 4) != b'slow':
        fail('the FIFO upload did not go out')
    code, err = escape(p, kbd_m, 'slow FIFO')
    os.close(writer)
    if code != 0 or err != b'WARNING: upload file cut short by Ctrl-A:%s\n' % fifo.encode():
        fail('slow FIFO: exit %d, %r' % (code, err))



def cpu_seconds(pid):
    fields = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def case_keyfile():
    # Keys from a file larger than kestrel reads ahead, to a port that takes
    # nothing: the session idles instead of spinning, and an interrupt (a
    # pipe's Ctrl-A) ends it.
    master, _ = link_pty('ttyUSB0')
    keys = dev('keys.bin')
    with open(keys, 'wb') as f:
        f.write(b'x' * (3 << 20))
    with open(keys, 'rb') as kin:
        p = start(['-c33'], stdin=kin, stdout=subprocess.DEVNULL)
    until_stalled(master, 'key file')
    pos, end = -1, time.monotonic() + 20
    while time.monotonic() < end:  # until the read-ahead is full
        with open('/proc/%d/fdinfo/0' % p.pid) as f:
            now = int(f.readline().split()[1])
        if now == pos:
            break
        pos = now
        time.sleep(0.3)
    if pos >= 3 << 20:
        fail('key file: all %d keys were read' % pos)
    cpu0, t0 = cpu_seconds(p.pid), time.monotonic()
    time.sleep(2)
    used = (cpu_seconds(p.pid) - cpu0) / (time.monotonic() - t0)
    print('key file: %d keys read, %.0f%% of a core while the port holds back' % (pos, used * 100))
    if used > 0.2:
        fail('key file: the session spins (%.0f%% of a core)' % (used * 100))
    os.kill(p.pid, signal.SIGINT)
    try:
        p.wait(2)
    except subprocess.TimeoutExpired:
        fail('key file: still running 2 s after an interrupt')
    err = p.stderr.read()
    if p.returncode != 0 or err:
        fail('key file: exit %d, %r' % (p.returncode, err))
    os.close(master)


run_case(globals(), 80)
