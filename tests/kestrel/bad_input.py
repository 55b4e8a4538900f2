#!/usr/bin/env python3
"""Bad-input checks of kestrel: the real program against odd command lines,
missing and busy ports, a flooding peer, a peer that vanishes, and signals.

usage: bad_input.py CASE KESTREL DEVDIR PTYPAIR
KESTREL is a build whose device folder is DEVDIR: COM3 is DEVDIR/ttyS2,
COM33 is DEVDIR/ttyUSB0 and so on.
"""
import fcntl, hashlib, os, select, signal, struct, subprocess, sys, termios, time, tty

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from pty_harness import dev, fail, finish, link_pty, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)

TERM = b'Entering TerminalMode: Escape=^A\n'
PROPS = b'TxQue=0,RxQue=4096,Baud=0x1006ffff,BaudMax=0x10000000,Bits=0xf,SubType=1,Capa=ff \n'
SCAN33 = b'==== COM Port List====\nCOM33:' + PROPS
BUSY = b'busy: held by another program\n'


def run(args, keys=b'\x01', timeout=5.0):
    """One run with `keys` as its (piped) keyboard; returns code, stdout, stderr."""
    p = start(args)
    try:
        out, err = p.communicate(keys, timeout=timeout)
    except subprocess.TimeoutExpired:
        fail('kestrel %r did not end' % (args,))
    return p.returncode, out, err


def console():
    """A pseudo-terminal to serve as kestrel's console: (master, slave, settings)."""
    m, s = os.openpty()
    return m, s, termios.tcgetattr(s)


def check_console(s, before, what):
    if termios.tcgetattr(s) != before:
        fail('%s: console settings not restored' % what)


def case_options():
    # Two ports, COM3 and COM33. A typed 'Z' shows which one each command line opened.
    ports = {3: link_pty('ttyS2')[0], 33: link_pty('ttyUSB0')[0]}
    upload = dev('up.bin')
    with open(upload, 'wb') as f:
        f.write(b'FILE')
    cases = [
        # arguments, console output, port opened, bytes the port receives, stderr
        (['-c3', '-b'], TERM, 3, b'Z', b''),                    # -b last: no rate, no line
        (['-b'], SCAN33 + TERM, 33, b'Z', b''),
        (['-b', '-c3'], b'1000000\n' + SCAN33 + TERM, 33, b'Z', b''),  # -c3 is the rate text
        (['-b', '12abc', '-c3'], b'12\n' + TERM, 3, b'Z', b''),  # the number before the text
        (['-c', '3', '-e'], SCAN33 + TERM, 33, b'Z',            # the 3 ends the walk: no -e
         b'WARNING: "3" ends the options: 3 -e ignored\n'),
        (['-'], SCAN33 + TERM, 33, b'Z', b''),                  # "-" alone: no option
        (['-', '-c3'], TERM, 3, b'Z', b''),                     # ...and the walk goes on
        (['-u', upload, '-c3'], SCAN33 + TERM, 33, b'Z',        # empty path; the path ends the walk
         b'WARNING: "%s" ends the options: %s -c3 ignored (the file goes in the same argument: -u%s)\n'
         % ((upload.encode(),) * 3) + b"WARNING: can't open upload file:\n"),
        (['-u' + upload, '-c3'], TERM, 3, b'FILEZ', b''),
        (['-s', '-U', upload, '-c3'], SCAN33 + TERM, 33, b'Z',  # no preamble for an upload that can't come
         b'WARNING: "%s" ends the options: %s -c3 ignored (the file goes in the same argument: -U%s)\n'
         % ((upload.encode(),) * 3) + b"WARNING: can't open upload file:\n"),
    ]
    for args, out_want, port, rx_want, err_want in cases:
        code, out, err = run(args, b'Z\x01')
        if code != 0 or out != out_want or err != err_want:
            fail('%r: exit %d, stdout %r, stderr %r' % (args, code, out, err))
        got = read_until(ports[port], len(rx_want))
        if got != rx_want:
            fail('%r: COM%d received %r' % (args, port, got))
    # A rate no port can run at: refused before any port is opened or log made
    for rate in ('0', '-5', '-9600', '99999999999'):
        code, out, err = run(['-l', dev('rate.log'), '-b' + rate, '-c3'], b'Z\x01')
        if (code, out, err) != (1, b'', b'Fatal: baud rate out of range (1..2147483647): %s\n' % rate.encode()):
            fail('-b%s: exit %d, stdout %r, stderr %r' % (rate, code, out, err))
        if os.path.exists(dev('rate.log')):
            fail('-b%s: the log was created' % rate)
    # "--" is one of the usage letters: the usage text, no port opened
    code, out, _ = run(['--', '-c3'], b'Z\x01')
    if code != 0 or not out.startswith(b'* kestrel ') or b'-p            ...' not in out:
        fail('--: exit %d, %r' % (code, out[:60]))
    r, _, _ = select.select(list(ports.values()), [], [], 0.2)
    if r:
        fail('the usage text opened a port')


def case_lineopts():
    # Bad -m, -f and -r values are refused before any port is opened: no
    # scan, no log file, nothing on the port; exit 1 with a message that
    # names the bad value or step.
    master, _ = link_pty('ttyUSB0')
    log = dev('never.log')
    framing = b': use -m<data bits 5-8><parity N, E, O, M or S><stop bits 1 or 2>, as -m8N1\n'
    flow = b': use -fn (none), -fh (RTS/CTS) or -fs (XON/XOFF)\n'
    step = b' in -r: use dtr=0, dtr=1, rts=0, rts=1, break, or a wait of 1 to 10000 ms\n'
    cases = [(['-m' + m], b'Bad framing -m%s' % m.encode() + framing)
             for m in ('', '4N1', '9N1', '8X1', '8N3', '8N0', '8N', '8N11', 'xN1', ' 8N1')]
    cases += [(['-f' + f], b'Bad flow control -f%s' % f.encode() + flow) for f in ('', 'x', 'hs', 'n ')]
    cases += [(['-r', r], b'Bad step "%s"' % bad.encode() + step)
              for r, bad in (('dtr=2', 'dtr=2'), ('dtr=0,0', '0'), ('10001', '10001'), ('rts=1 wait', 'wait'),
                             ('dtr', 'dtr'), ('dtr=0,100,dtr =1', 'dtr'), ('-5', '-5'), ('brk', 'brk'),
                             ('rts=11', 'rts=11'), ('100ms', '100ms'), ('0x10', '0x10'))]
    cases += [(r, b'Empty sequence -r: give steps such as -r dtr=0,100,dtr=1\n') for r in (['-r', ''], ['-r,'], ['-r', ' , '])]
    for args, err_want in cases:
        for mode in ([], ['-e'], ['-t'], ['-L']):
            code, out, err = run(mode + args + ['-l', log])
            if code != 1 or out != b'' or err != err_want or os.path.exists(log):
                fail('%r: exit %d, stdout %r, stderr %r' % (mode + args, code, out, err))
    # the good ones, in any case, with -r in the same argument or the next
    for args in (['-m5o1', '-fH', '-rDTR=0,1,Dtr=1'], ['-m8S2', '-r', 'break 10000 rts=0']):
        code, _, err = run(args + ['-L'])
        if code != 0 or err:
            fail('%r refused: %r' % (args, err))
    r, _, _ = select.select([master], [], [], 0.2)
    if r:
        fail('a refused option reached the port: %r' % os.read(master, 100))


def case_nodevice():
    code, out, err = run([])  # nothing in the device folder
    if code != 1 or out != b'==== COM Port List====\n' or err != b"Can't Open COM Port (COM0:).\nNo such file or directory\n":
        fail('no ports: exit %d, %r, %r' % (code, out, err))
    os.symlink('/nonexistent/ttyUSB8', dev('ttyUSB8'))          # COM41: a dangling link
    with open(dev('ttyUSB9'), 'wb') as f:                        # COM42: a plain file left
        f.write(b'\r\r\r')                                       #   where a device belongs
    os.mkdir(dev('ttyUSB10'))                                    # COM43: a folder
    os.symlink('/dev/null', dev('ttyUSB11'))                     # COM44: not a terminal
    os.mkfifo(dev('ttyUSB12'))                                   # COM45: a FIFO
    # Each failure names its reason on a line of its own.
    missing, no_port, folder = b'No such file or directory', b'not a serial port', b'Is a directory'
    too_long = b'File name too long'
    reasons = {40: missing, 41: missing, 42: no_port, 43: folder, 44: no_port, 45: no_port,
               100: missing, -3: missing}
    for n, mode in ((40, []), (41, ['-e']), (42, ['-e']), (43, ['-t']), (44, []), (45, ['-e']),
                    (100, ['-t']), (-3, [])):
        code, out, err = run(mode + ['-c%d' % n])
        want = b"Can't Open COM Port (COM%d:).\n%s\n" % (n, reasons[n])
        if code != 1 or out != b'' or err != want:
            fail('COM%d %r: exit %d, stdout %r, stderr %r' % (n, mode, code, out, err))
    # A name, not a number: never the scan's choice, whatever else exists.
    link_pty('ttyUSB0')
    for name, why in (('abc', missing), ('ttyUSB9', no_port), ('ttyUSB10', folder),
                      (dev('ttyUSB44'), missing), ('/nonexistent/ttyUSB0', missing), ('3abc', missing),
                      ('n' * 600, too_long), ('/tmp/' + 'p' * 600, too_long)):
        for mode in ([], ['-e'], ['-t']):
            code, out, err = run(mode + ['-c' + name])
            want = b"Can't Open COM Port (%s:).\n%s\n" % (name.encode(), why)
            if code != 1 or out != b'' or err != want:
                fail('%s %r: exit %d, stdout %r, stderr %r' % (name, mode, code, out, err))
    with open(dev('ttyUSB9'), 'rb') as f:
        if f.read() != b'\r\r\r':
            fail('the plain file was written')
    os.rmdir(dev('ttyUSB10'))


def case_busy():
    master, slave = link_pty('ttyUSB0')  # COM33
    holder = start(['-e', '-c33'])
    read_until(holder.stdout.fileno(), b'EchobackMode')
    for args, out_want in ((['-c33'], b''), (['-t', '-c33'], b''), (['-e'], b'==== COM Port List====\nCOM33: Can\'t Open .\n')):
        code, out, err = run(args)
        if code != 1 or out != out_want or err != b"Can't Open COM Port (COM33:).\n" + BUSY:
            fail('%r while held: exit %d, %r, %r' % (args, code, out, err))
    code, out, err = run(['-e', '-cttyUSB0'])  # the same port by name
    if code != 1 or out != b'' or err != b"Can't Open COM Port (ttyUSB0:).\n" + BUSY:
        fail('by name while held: exit %d, %r, %r' % (code, out, err))
    # the holder is undisturbed by the failed opens
    os.write(master, b'ok\r')
    if read_until(master, 4) != b'ok\r\n':
        fail('the holder stopped echoing')
    holder.stdin.write(b'\x01')
    holder.stdin.flush()
    if finish(holder)[0] != 0:
        fail('holder exit')
    # a program of another kind that locks the node the same way
    fd = os.open(dev('ttyUSB0'), os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    code, _, err = run(['-e', '-c33'])
    if code != 1 or err != b"Can't Open COM Port (COM33:).\n" + BUSY:
        fail('flock holder: exit %d, %r' % (code, err))
    os.close(fd)
    # once free, the port opens again
    code, out, _ = run(['-e', '-c33'])
    if code != 0 or out != b'Entering EchobackMode: Escape=^A\n':
        fail('freed port: exit %d, %r' % (code, out))
    # A kestrel ended by a signal clears the exclusive flag, which only root
    # may ignore: as another user, a second kestrel opens the port after it.
    os.chmod(os.ttyname(slave), 0o666)
    user = [] if os.getuid() else ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups']
    for attempt in ('after SIGTERM', 'second'):
        p = start(['-e', '-c33'], prefix=user)
        read_until(p.stdout.fileno(), b'EchobackMode', 3)
        p.send_signal(signal.SIGTERM)
        if finish(p)[0] != -signal.SIGTERM:
            fail('as another user, %s: exit %d, %r' % (attempt, p.returncode, p.stderr.read()))


def pump(p, master, data, stop_when_shown):
    """Writes data to the port, once kestrel has opened it (the open flushes
    the queues), while collecting kestrel's console output."""
    fd = p.stdout.fileno()
    out, sent, end = bytearray(read_until(fd, TERM)), 0, time.time() + 20
    os.set_blocking(master, False)
    while time.time() < end and len(out) < stop_when_shown:
        r, w, _ = select.select([fd], [master] if sent < len(data) else [], [], 0.5)
        if r:
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            out += chunk
        if w:
            try:
                sent += os.write(master, data[sent:sent + 4096])
            except BlockingIOError:
                pass
    return bytes(out)


def case_flood():
    master, _ = link_pty('ttyUSB0')
    log = dev('flood.log')
    data = os.urandom(256 * 1024)
    kbd_m, kbd_s, before = console()
    p = start(['-l', log, '-c33'], stdin=kbd_s)
    t0 = time.time()
    out = pump(p, master, data, len(TERM) + len(data))
    if out != TERM + data:
        fail('console showed %d of %d bytes' % (len(out) - len(TERM), len(data)))
    os.write(kbd_m, b'\x01')
    code, _, err = finish(p)
    with open(log, 'rb') as f:
        logged = f.read()
    if code != 0 or len(logged) != len(data) or hashlib.sha256(logged).digest() != hashlib.sha256(data).digest():
        fail('exit %d, log of %d bytes for %d sent' % (code, len(logged), len(data)))
    check_console(kbd_s, before, 'flood')
    print('%d bytes through the terminal in %.1f s' % (len(data), time.time() - t0))
    # Every byte shown is in the log, also when a signal ends the session.
    for sig in (signal.SIGHUP, signal.SIGTERM):
        data = os.urandom(10000)
        p = start(['-l', log, '-c33'], stdin=kbd_s)
        out = pump(p, master, data, len(TERM) + len(data))
        if out != TERM + data:
            fail('%s: console showed %d bytes' % (sig.name, len(out)))
        p.send_signal(sig)
        code = finish(p)[0]
        with open(log, 'rb') as f:
            logged = f.read()
        if code != -sig or logged != data:
            fail('%s: exit %d, log of %d bytes for %d shown' % (sig.name, code, len(logged), len(data)))
        check_console(kbd_s, before, sig.name)


def blocked(p):
    """True when the process sleeps (in a write that cannot go on)."""
    with open('/proc/%d/stat' % p.pid) as f:
        return f.read().rsplit(')', 1)[1].split()[0] in 'SD'


def case_vanish():
    # kestrel -t on COM34, the relay's far end COM33 unread and already full,
    # so the benchmark's writes stall; then the relay dies mid-run.
    relay = subprocess.Popen([PTYPAIR, dev('ttyUSB0'), dev('ttyUSB1'), '30'], stdout=subprocess.PIPE)
    procs.append(relay)
    read_until(relay.stdout.fileno(), b'ready')
    fd = os.open(dev('ttyUSB1'), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    while select.select([], [fd], [], 0.3)[1]:  # until the relay has stopped moving
        try:
            os.write(fd, b'x' * 1024)
        except BlockingIOError:
            pass
    os.close(fd)
    kbd_m, kbd_s, before = console()
    p = start(['-t', '-c34'], stdin=kbd_s)
    out = read_until(p.stdout.fileno(), b'Escape=^A\n')
    end = time.time() + 5
    while not (blocked(p) and (time.sleep(0.05) or blocked(p))) and time.time() < end:
        r, _, _ = select.select([p.stdout], [], [], 0.05)
        if r:
            out += os.read(p.stdout.fileno(), 4096)
    if p.poll() is not None or b'Benchmark end' in out:
        fail('the benchmark was not stalled: %r' % out[-100:])
    relay.kill()
    relay.wait()
    t0 = time.time()
    code, rest, err = finish(p, 3)
    check_hangup('benchmark', code, err, t0)
    dots = (out + rest).split(b'Escape=^A\n', 1)[1]
    if dots and not dots.endswith(b'\n'):  # the message starts on a line of its own
        fail('benchmark: no line end after its dots: %r' % dots[-20:])
    check_console(kbd_s, before, 'benchmark')
    # The terminal and the echo server end too, each at its next look at the
    # port; the log keeps every byte received.
    log = dev('vanish.log')
    for mode in ([], ['-e']):
        master, slave = link_pty('ttyUSB0')
        p = start(mode + ['-l', log, '-c33'], stdin=kbd_s)
        read_until(p.stdout.fileno(), b'Escape=^A\n')
        os.write(master, b'last words\x01')
        # The echo server's console may lag its echo: hang up as soon as the
        # echo is back, and the console must still show every byte.
        read_until(master if mode else p.stdout.fileno(), b'last words\x01')
        os.close(master)
        t0 = time.time()
        code, rest, err = finish(p, 3)
        check_hangup('%r' % mode, code, err, t0)
        if rest != (b'last words\x01\n' if mode else b'\n'):  # the message starts on a line of its own
            fail('%r: received bytes and a line end not shown: %r' % (mode, rest))
        with open(log, 'rb') as f:
            if f.read() != (b'last words\x01' if mode == [] else b''):
                fail('%r: log not intact' % mode)
        check_console(kbd_s, before, '%r' % mode)
        os.close(slave)


def check_hangup(what, code, err, t0):
    if code != 255 or err != b'FATAL: COM Port Read/Write Error. port hung up\n' or time.time() - t0 > 1:
        fail('%s: peer gone: exit %d, %r after %.2f s' % (what, code, err, time.time() - t0))


def case_pipe():
    # Keys from a pipe: no key can end the terminal once the pipe is quiet, so
    # SIGINT ends it, with exit code 0 and the log closed with every byte.
    # A log that can't be written (-l /dev/full) is reported once.
    master, slave = link_pty('ttyUSB0')
    log = dev('pipe.log')
    for log_path, err_want in ((log, b''), ('/dev/full', b"WARNING: can't write log file:/dev/full\n")):
        p = start(['-l', log_path, '-c33'])
        read_until(p.stdout.fileno(), TERM)
        for chunk in (b'one', b'two'):
            os.write(master, chunk)
            read_until(p.stdout.fileno(), chunk)
        p.send_signal(signal.SIGINT)
        code, out, err = finish(p, 3)
        if code != 0 or err != err_want:
            fail('-l %s: exit %d, %r' % (log_path, code, err))
    with open(log, 'rb') as f:
        if f.read() != b'onetwo':
            fail('log not intact')
    # A closed stdin or stdout: the port must not take its number, to be read
    # as the keyboard or written as the console.
    def queue_until(ok, what):
        end = time.time() + 5
        while not ok(struct.unpack('i', fcntl.ioctl(slave, termios.FIONREAD, b'\0' * 4))[0]):
            if time.time() > end:
                fail('fd %d closed: %s' % (closed, what))
            time.sleep(0.01)
    for closed in (0, 1):
        # No banner to wait for: a byte queued at the port before the start
        # goes with the open's flush, after SIGINT is caught.
        os.write(master, b'x')
        queue_until(lambda n: n > 0, 'the byte did not reach the port')
        p = start(['-c33'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, process_group=None,
                  preexec_fn=lambda: os.close(closed))
        queue_until(lambda n: n == 0, 'the port was not opened')
        os.write(master, b'ab')
        r, _, _ = select.select([master], [], [], 0.3)
        p.send_signal(signal.SIGINT)
        code, _, err = finish(p, 3)
        if r or code != 0:
            fail('fd %d closed: port got %r, exit %d, %r' % (closed, os.read(master, 100) if r else b'', code, err))


def case_signals():
    # Each mode on a port whose peer reads nothing: the benchmark stalls in a
    # write, the others wait in their loops. Every ending signal restores the
    # console at once; the terminal ignores SIGINT and still ends on Ctrl-A.
    kbd_m, kbd_s, before = console()
    for mode in ([], ['-e'], ['-t']):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGPIPE):
            master, slave = link_pty('ttyUSB0')
            what = '%r %s' % (mode, sig.name)
            p = start(mode + ['-c33'], stdin=kbd_s)
            read_until(p.stdout.fileno(), b'Escape=^A\n')
            if termios.tcgetattr(kbd_s) == before:
                fail(what + ': console not in raw mode')
            p.send_signal(sig)
            if mode == [] and sig == signal.SIGINT:
                time.sleep(0.3)
                if p.poll() is not None:
                    fail('the terminal ended on SIGINT: exit %d, %r' % (p.returncode, p.stderr.read()))
                os.write(kbd_m, b'\x01')
                sig = 0
            t0 = time.time()
            code = finish(p, 3)[0]
            if code != -sig or time.time() - t0 > 2:
                fail('%s: exit %d after %.1f s' % (what, code, time.time() - t0))
            check_console(kbd_s, before, what)
            os.close(master)
            os.close(slave)
    # A console reader that goes away (kestrel -e | head -c5): the next byte
    # shown meets a closed pipe, and the console is left as it was.
    master, _ = link_pty('ttyUSB0')
    p = start(['-e', '-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Escape=^A\n')
    p.stdout.close()
    os.write(master, b'x')
    code = finish(p, 3)[0]
    if code != -signal.SIGPIPE:
        fail('closed console output: exit %d' % code)
    check_console(kbd_s, before, 'closed console output')
    # Signals ignored from the start (nohup, a script's background job) stay
    # ignored: the echo goes on until a signal that was not.
    master, _ = link_pty('ttyUSB0')
    p = start(['-e', '-c33'], stdin=subprocess.DEVNULL, process_group=None,
              preexec_fn=lambda: [signal.signal(s, signal.SIG_IGN) for s in (signal.SIGHUP, signal.SIGINT)])
    read_until(p.stdout.fileno(), b'Escape=^A\n')
    p.send_signal(signal.SIGHUP)
    p.send_signal(signal.SIGINT)
    os.write(master, b'x\r')
    if read_until(master, 3) != b'x\r\n':
        fail('an ignored SIGHUP or SIGINT ended the echo')
    p.send_signal(signal.SIGTERM)
    if finish(p, 3)[0] != -signal.SIGTERM:
        fail('SIGTERM after ignored signals: exit %d' % p.returncode)


run_case(globals(), 50)
