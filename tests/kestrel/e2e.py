#!/usr/bin/env python3
"""End-to-end checks of kestrel over pseudo-terminals.

usage: e2e.py CASE KESTREL DEVDIR PTYPAIR
KESTREL is a build whose device folder is DEVDIR; COM33 is DEVDIR/ttyUSB0.
"""
import datetime, fcntl, os, re, select, shutil, signal, subprocess, sys, termios, threading, time, tty

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import pty_harness
from pty_harness import fail, finish, link_pty, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)


def case_echo():
    # COM33, and the same node named by path, by its by-id name and bare
    master, _ = link_pty('ttyUSB0')
    by_id = 'usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0'
    os.makedirs(os.path.join(DEVDIR, 'serial', 'by-id'))
    os.symlink('../../ttyUSB0', os.path.join(DEVDIR, 'serial', 'by-id', by_id))
    for port in ('-c33', '-c' + os.path.join(DEVDIR, 'ttyUSB0'), '-c' + by_id, '-cttyUSB0'):
        p = start(['-e', port])
        read_until(p.stdout.fileno(), b'Entering EchobackMode: Escape=^A\n')
        for sent, back in ((b'AB\r', b'AB\r\n'), (b'\r\n', b'\r\n\n'), (b'\x01', b'\x01')):
            os.write(master, sent)
            got = read_until(master, len(back))
            if got != back:
                fail('%s: sent %r, echoed %r' % (port, sent, got))
        if p.poll() is not None:
            fail('a received 0x01 ended the echo')
        p.stdin.write(b'\x01')
        p.stdin.flush()
        code, out, _ = finish(p)
        if code != 0 or out != b'AB\r\n\r\n\n\x01':
            fail('%s: exit %d, console %r' % (port, code, out))
    # The echo goes first while bytes stream, but the console never lags
    # far: a steady stream with no pause shows while it still runs.
    p = start(['-e', '-c33'])
    read_until(p.stdout.fileno(), b'Entering EchobackMode: Escape=^A\n')
    data = bytes(0x41 + i % 26 for i in range(600))
    back, done = [], threading.Event()

    def stream():
        for i in range(len(data)):
            os.write(master, data[i:i + 1])
            back.append(read_until(master, 1))
            time.sleep(0.002)
        done.set()
    threading.Thread(target=stream, daemon=True).start()
    shown = read_until(p.stdout.fileno(), 1, timeout=10)
    if done.is_set():
        fail('the console showed nothing until a %d-byte stream ended' % len(data))
    done.wait(20)
    p.stdin.write(b'\x01')
    p.stdin.flush()
    code, out, _ = finish(p)
    if code != 0 or shown + out != data or b''.join(back) != data:
        fail('streamed echo: exit %d, console %d bytes, echo %d bytes' % (code, len(shown + out), len(b''.join(back))))


def bench_lines(out):
    text = out.decode('latin-1')
    head = 'Entering Benchmark: Escape=^A\n' + '.' * 250 + '\n'
    return text.startswith(head), text[len(head):]


def case_bench():
    # kestrel -t against kestrel -e at the far end of a pty pair
    relay = subprocess.Popen([PTYPAIR, os.path.join(DEVDIR, 'ttyUSB0'),
                              os.path.join(DEVDIR, 'ttyUSB1'), '30'], stdout=subprocess.PIPE)
    procs.append(relay)
    read_until(relay.stdout.fileno(), b'ready')
    # The echo's open flushes its port: the benchmark starts once it is up.
    echo = start(['-e', '-c33'])
    read_until(echo.stdout.fileno(), b'Entering EchobackMode: Escape=^A\n')
    shown = threading.Thread(target=echo.stdout.read, daemon=True)  # it shows every echo: keep its pipe read
    shown.start()
    t = start(['-t', '-c34'], stdin=subprocess.DEVNULL)
    code, out, _ = finish(t, 20)
    echo.stdin.write(b'\x01')
    echo.stdin.flush()
    shown.join(5)
    finish(echo)
    relay.kill()
    relay.wait()
    ok, rest = bench_lines(out)
    if code != 0 or not ok or not rest.startswith('Benchmark end. 32000 bytes/') or 'Errors' in rest:
        fail('benchmark output %r' % out[-300:])
    print(rest.strip())


def cpu_ticks(p):
    """User plus system ticks of p so far (also once it has ended, until reaped)."""
    with open('/proc/%d/stat' % p.pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])


def case_idle():
    # An idle loop waits instead of spinning: a spin would take a core, 100
    # ticks a second. (A port that hangs up ends the run: bad_input.py vanish.)
    for mode in ([], ['-e']):
        master, slave = link_pty('ttyUSB0')
        kbd_m, kbd_s = os.openpty()
        p = start(mode + ['-c33'], stdin=kbd_s)
        read_until(p.stdout.fileno(), b'Escape=^A\n')
        before = cpu_ticks(p)
        time.sleep(2)
        ticks = cpu_ticks(p) - before
        if ticks > 20:
            fail('%r idle: %d ticks in 2 s' % (mode, ticks))
        p.kill()
        finish(p)
        for fd in (master, slave, kbd_m, kbd_s):
            os.close(fd)


def case_dropbyte():
    # a peer that echoes all but byte 1000; it never blocks, so it keeps reading
    master, _ = link_pty('ttyUSB0')
    os.set_blocking(master, False)
    p = start(['-t', '-c33'], stdin=subprocess.DEVNULL)
    seen, back, out, end = 0, b'', b'', time.time() + 30
    while time.time() < end:
        r, w, _ = select.select([master, p.stdout], [master] if back else [], [], 0.05)
        if p.stdout in r:  # the reports are long: keep the pipe from filling
            chunk = os.read(p.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
        if master in r:
            d = os.read(master, 65536)
            if seen <= 1000 < seen + len(d):
                d = d[:1000 - seen] + d[1001 - seen:]
                seen += 1
            seen += len(d)
            back += d
        if w:
            try:
                back = back[os.write(master, back):]
            except BlockingIOError:
                pass
    code, rest_out, _ = finish(p)
    _, rest = bench_lines(out + rest_out)
    # a run that timed out, or found bad blocks, fails: exit 2
    if code != 2 or '\nBenchmark TIMEOUT. rxcnt 249 < count 250 ,RS_checkdata()=127\n' not in rest:
        fail('dropped byte gave %r' % rest[-300:])


def case_terminal():
    master, _ = link_pty('ttyUSB0')
    upload = os.path.join(DEVDIR, 'upload.bin')
    log = os.path.join(DEVDIR, 'term.log')
    with open(upload, 'wb') as f:
        f.write(b'FILE\x01DATA')
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    p = start(['-l', log, '-U' + upload, '-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    # typed during the preamble: sent after the file; the signal keys are keys too
    os.write(kbd_m, b'kb\x03\x1a\x1c')
    # Each byte came between the last look that missed it and the first that
    # had it: a look this script makes late widens that span, never moves it.
    came, got, end = [], b'', time.monotonic() + 5
    os.set_blocking(master, False)
    missed = time.monotonic()
    while len(got) < 4 + 9 + 5:
        if time.monotonic() > end:
            fail('port received only %r' % got)
        look = time.monotonic()
        try:
            d = os.read(master, 4 + 9 + 5 - len(got))
        except BlockingIOError:
            d = b''
        came += [(missed, time.monotonic())] * len(d)
        got, missed = got + d, look
        time.sleep(0.001)
    os.set_blocking(master, True)
    if got != b'\rUB\rFILE\x01DATAkb\x03\x1a\x1c':
        fail('port received %r' % got)
    # The preamble's gaps, at most and at least: 32 ms each
    gaps = [(came[i + 1][1] - came[i][0], came[i + 1][0] - came[i][1]) for i in range(3)]
    if not all(most > 0.025 and least < 0.2 for most, least in gaps):
        fail('preamble gaps (at most, at least) %r' % gaps)
    incoming = bytes(range(256)) + b'\n\r\n'
    os.write(master, incoming)
    read_until(p.stdout.fileno(), b'\x00\x01' + bytes(range(2, 256)) + b'\n\r\n')
    os.write(kbd_m, b'\x01')
    code, _, _ = finish(p)
    with open(log, 'rb') as f:
        if f.read() != incoming:
            fail('log differs')
    if code != 0 or termios.tcgetattr(kbd_s) != before:
        fail('exit %d or console settings not restored' % code)


def case_sigterm():
    master, _ = link_pty('ttyUSB0')
    for mode in ([], ['-e']):
        kbd_m, kbd_s = os.openpty()
        before = termios.tcgetattr(kbd_s)
        p = start(mode + ['-c33'], stdin=kbd_s)
        read_until(p.stdout.fileno(), b'Escape=^A\n')
        if termios.tcgetattr(kbd_s) == before:
            fail('console not switched to raw mode')
        # Ctrl-Z gives the console back while stopped; continuing makes it raw again.
        raw = termios.tcgetattr(kbd_s)
        p.send_signal(signal.SIGTSTP)
        if not wait_for(lambda: process_state(p) == 'T') or termios.tcgetattr(kbd_s) != before:
            fail('%s: not stopped with the console restored' % mode)
        p.send_signal(signal.SIGCONT)
        if not wait_for(lambda: termios.tcgetattr(kbd_s) == raw):
            fail('%s: console not raw again after SIGCONT' % mode)
        p.send_signal(signal.SIGTERM)
        code, _, _ = finish(p)
        if code != -signal.SIGTERM or termios.tcgetattr(kbd_s) != before:
            fail('%s: exit %d, settings restored: %s' % (mode, code, termios.tcgetattr(kbd_s) == before))
        os.close(kbd_m)


def case_jobs():
    # The console as the controlling terminal of a session of its own.
    master, _ = link_pty('ttyUSB0')
    kbd_m, kbd_s = os.openpty()
    before = termios.tcgetattr(kbd_s)
    # kestrel -e in the foreground: Ctrl-C is an interrupt there.
    p = start(['-e', '-c33'], stdin=kbd_s, start_new_session=True,
              preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    read_until(p.stdout.fileno(), b'Escape=^A\n')
    os.write(kbd_m, b'\x03')
    code, _, _ = finish(p)
    if code != -signal.SIGINT or termios.tcgetattr(kbd_s) != before:
        fail('Ctrl-C in echo-back: exit %d, console restored: %s' % (code, termios.tcgetattr(kbd_s) == before))
    # kestrel & from a job-control shell: it must run, leave the console as it
    # is and read none of its keys; in terminal mode SIGINT ends it.
    for mode, sig, code_want in ((['-e'], signal.SIGTERM, 128 + signal.SIGTERM), ([], signal.SIGINT, 0)):
        # The job's number goes to stderr: on stdout it races the banner.
        shell = subprocess.Popen(['setsid', '-c', 'bash', '-c', 'set -m; "$@" & echo $! >&2; wait $!',
                                  'bash', KESTREL] + mode + ['-c33'], stdin=kbd_s,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        procs.append(shell)
        pid = int(read_until(shell.stderr.fileno(), b'\n').split(b'\n')[0])
        read_until(shell.stdout.fileno(), b'Escape=^A\n')
        try:
            os.write(kbd_m, b'\x01\n')  # a line for the shell: a kestrel reading it would stop
            os.write(master, b'bg\r')
            read_until(shell.stdout.fileno(), b'bg\r\n' if mode else b'bg\r')
            if process_state(pid) == 'T' or termios.tcgetattr(kbd_s) != before:
                fail('%r in the background: stopped or console changed' % mode)
        except BaseException:  # the shell's child is no Popen of ours: end it here
            os.kill(pid, signal.SIGKILL)
            raise
        os.kill(pid, sig)
        code, _, err = finish(shell)
        os.set_blocking(kbd_s, False)
        if code != code_want or os.read(kbd_s, 100) != b'\x01\n':
            fail('%r in the background: exit %d, %r, or the keys were read' % (mode, code, err))
        os.set_blocking(kbd_s, True)


def process_state(p):
    with open('/proc/%d/stat' % getattr(p, 'pid', p)) as f:
        return f.read().rsplit(')', 1)[1].split()[0]


def wait_for(condition, timeout=2.0):
    end = time.time() + timeout
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def case_ports():
    m0, _ = link_pty('ttyUSB0')   # COM33
    m1, _ = link_pty('ttyACM1')   # COM66
    m2, _ = link_pty('ttyS4')     # COM5
    holder = start(['-e', '-c66'])
    read_until(holder.stdout.fileno(), b'EchobackMode')  # COM66 is held from here on
    p = start(['-p'], stdin=subprocess.DEVNULL)
    code, out, _ = finish(p)
    holder.stdin.write(b'\x01')
    holder.stdin.flush()
    finish(holder)
    props = 'TxQue=0,RxQue=4096,Baud=0x1006ffff,BaudMax=0x10000000,Bits=0xf,SubType=1,Capa=ff \n'
    want = '==== COM Port List====\nCOM66: Can\'t Open .\nCOM33:' + props + 'COM5:' + props
    if code != 0 or out.decode() != want:
        fail('listing %r' % out)
    p = start(['-c100'], stdin=subprocess.DEVNULL)
    code, _, err = finish(p)
    if code != 1 or err != b"Can't Open COM Port (COM100:).\nNo such file or directory\n":
        fail('COM100: exit %d, %r' % (code, err))


def make_tree(root, entries):
    """Files (text) and symbolic links ('->', target below root) under root."""
    for path, value in entries.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if isinstance(value, tuple):
            os.symlink(os.path.join(root, value[1]), full)
        else:
            with open(full, 'w') as f:
                f.write(value + '\n')


USB = 'devices/pci0000:00/0000:00:14.0/usb1/'
UART = 'devices/platform/serial8250/serial8250:0/serial8250:0.0'
SYSFS = {
    # an FTDI adapter: the tty's device is the usb-serial port below the interface
    USB + '1-2/idVendor': '0403', USB + '1-2/idProduct': '6001',
    USB + '1-2/product': 'FT232R USB UART', USB + '1-2/serial': 'A50285BI',
    USB + '1-2/1-2:1.0/ttyUSB0/driver': ('->', 'bus/usb-serial/drivers/ftdi_sio'),
    'class/tty/ttyUSB0/device': ('->', USB + '1-2/1-2:1.0/ttyUSB0'),
    # a CDC-ACM board: the device is the interface
    USB + '1-3/idVendor': '2e8a', USB + '1-3/idProduct': '000a',
    USB + '1-3/product': 'Pico', USB + '1-3/serial': 'E660583883',
    USB + '1-3/1-3:1.0/driver': ('->', 'bus/usb/drivers/cdc_acm'),
    'class/tty/ttyACM0/device': ('->', USB + '1-3/1-3:1.0'),
    # a node the COM table does not reach, without product text or serial number
    USB + '1-4/idVendor': '04e2', USB + '1-4/idProduct': '1410',
    USB + '1-4/1-4:1.0/driver': ('->', 'bus/usb/drivers/xr_serial'),
    'class/tty/ttyXRUSB0/device': ('->', USB + '1-4/1-4:1.0'),
    # a 16550A behind the serial core's port devices, and a ttyS with no UART
    'devices/platform/serial8250/driver': ('->', 'bus/platform/drivers/serial8250'),
    'devices/platform/serial8250/serial8250:0/subsystem': ('->', 'bus/serial-base'),
    UART + '/subsystem': ('->', 'bus/serial-base'),
    'class/tty/ttyS0/device': ('->', UART), 'class/tty/ttyS0/type': '4',
    'class/tty/ttyS1/device': ('->', UART), 'class/tty/ttyS1/type': '0',
    # a virtual console: no device behind it
    'class/tty/tty0/dev': '4:0',
}


def case_portlist():
    try:
        portlist(pty_harness.SYSDIR)
    finally:
        shutil.rmtree(pty_harness.SYSDIR, ignore_errors=True)


def portlist(sysdir):
    make_tree(sysdir, SYSFS)
    masters = []
    for name in ('ttyUSB0', 'ttyACM0', 'ttyXRUSB0', 'ttyS0', 'ttyS1', 'tty0', 'ttyUSB1'):
        master, slave = link_pty(name)
        os.close(slave)  # an open slave here would make the port busy
        masters.append(master)
    os.makedirs(os.path.join(DEVDIR, 'serial', 'by-id'))
    os.symlink('../../ttyUSB0', os.path.join(DEVDIR, 'serial', 'by-id',
                                             'usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0'))
    holder = start(['-e', '-c34'])  # ttyUSB1
    read_until(holder.stdout.fileno(), b'EchobackMode')
    code, out, err = finish(start(['-L'], stdin=subprocess.DEVNULL))
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'portlist.golden')) as f:
        want = f.read().replace('@DEV@', DEVDIR).encode()
    if code != 0 or out != want or err:
        fail('-L: exit %d, stderr %r, listing\n%s' % (code, err, out.decode()))
    holder.stdin.write(b'\x01')
    holder.stdin.flush()
    finish(holder)
    # A node that sysfs files as another kind of device is never opened.
    rdev = os.stat(os.path.join(DEVDIR, 'ttyUSB0')).st_rdev
    make_tree(sysdir, {'dev/char/%d:%d/subsystem' % (os.major(rdev), os.minor(rdev)): ('->', 'class/misc')})
    code, out, err = finish(start(['-e', '-cttyUSB0'], stdin=subprocess.DEVNULL))
    if code != 1 or err != b"Can't Open COM Port (ttyUSB0:).\nnot a serial port\n":
        fail('a misc device: exit %d, %r' % (code, err))
    shutil.rmtree(sysdir)
    for name in os.listdir(DEVDIR):
        if name.startswith('tty'):
            os.unlink(os.path.join(DEVDIR, name))
    code, out, _ = finish(start(['-L'], stdin=subprocess.DEVNULL))
    if code != 0 or out != b'no serial ports\n':
        fail('empty list: exit %d, %r' % (code, out))


HERE = os.path.dirname(os.path.abspath(__file__))


def run_with_locale(args, locale):
    env = dict(os.environ, LC_ALL=locale)
    return finish(start(args, stdin=subprocess.DEVNULL, env=env))


HELP_MORE = (b'  -s            ... With -U, type CR CR instead of CR UB CR.\n'
             b'  -d            ... With -t, a trace line for every checked block.\n'
             b'  -h, -?, --    ... Print the usage text (--help: with these lines).\n'
             b'  -L            ... List the serial ports in detail.\n'
             b'  -w            ... Wait for the port, and again after it hung up.\n'
             b'  -T            ... Start each received line with the time of day.\n'
             b'  -x            ... Show the received bytes in hex.\n'
             b'  -m<framing>   ... Data bits 5-8, parity N/E/O/M/S, stop bits 1-2, as 7E1.\n'
             b'  -f<flow>      ... Flow control: n none, h RTS/CTS, s XON/XOFF.\n'
             b'  -r<sequence>  ... DTR/RTS steps once the port is open, as dtr=0,100,dtr=1.\n'
             b'  -k            ... Ctrl-T is a command key (Ctrl-T h lists the commands).\n'
             b'  -F<command>   ... Run a program (a flasher) first, then wait for the port.\n'
             b'  -S<file>      ... Run the script in the file (-S- standard input), then end.\n'
             b'  -E<steps>     ... Run the steps given, as -E \'send "\\r"; expect "=> "\'.\n'
             b'  --version     ... Print the version.\n')


def case_usage():
    # the usage bytes in the C locale, the same text in UTF-8 under a UTF-8 one
    with open(os.path.join(HERE, 'golden', 'usage.out'), 'rb') as f:
        golden = f.read()
    utf8 = golden.decode('cp932').encode('utf-8')
    for args in (['-h'], ['--help'], ['--', '-c3'], ['--foo'], ['--versions'], ['--version=1'], ['--helps']):
        for locale, want in (('C', golden), ('C.UTF-8', utf8)):
            if args == ['--help']:  # the usage text, then every option beyond it
                want += HELP_MORE
            code, out, err = run_with_locale(args, locale)
            if code != 0 or out != want or err:
                fail('%r under %s: exit %d, %r' % (args, locale, code, out[-80:]))
    with open(os.path.join(HERE, '..', '..', 'CMakeLists.txt')) as f:
        version = re.search(r'project\(\S+ VERSION (\S+)', f.read()).group(1)
    code, out, _ = run_with_locale(['--version', '-c3'], 'C.UTF-8')  # no port opened
    if code != 0 or out != ('kestrel %s\n' % version).encode():
        fail('--version: exit %d, %r' % (code, out))


def pump(p, master, data):
    """Writes data to the port's far end, reading kestrel's output meanwhile
    (it must not block on a full pipe); returns that output."""
    out, fd = b'', p.stdout.fileno()
    while data:
        r, w, _ = select.select([fd], [master], [], 5)
        if not r and not w:
            fail('kestrel neither reads nor writes')
        if r:
            out += os.read(fd, 1 << 16)
        if w:
            data = data[os.write(master, data[:4096]):]
    return out


def shown_until(p, out, tail):
    """Reads the console until what it showed (out) ends with tail."""
    end = time.time() + 5
    while not out.endswith(tail):
        r, _, _ = select.select([p.stdout], [], [], max(0, end - time.time()))
        chunk = os.read(p.stdout.fileno(), 1 << 16) if r else b''
        if not chunk:
            fail('the console showed %r, not ending with %r' % (out[-80:], tail))
        out += chunk
    return out


def terminal_run(args, writes):
    """kestrel ARGS on COM33; each (bytes, pause, tail) is written to the far
    end; once the console ends with tail (kestrel has read the bytes), the
    pause follows. Returns what the console showed after the banner, the local
    time before each write (seconds of the day), and the log (from -l)."""
    master, _ = link_pty('ttyUSB0')
    log = os.path.join(DEVDIR, 'view.log')
    kbd_m, kbd_s = os.openpty()
    p = start(args + ['-l', log, '-c33'], stdin=kbd_s)
    banner = b'Entering TerminalMode: Escape=^A\n'
    out, times = read_until(p.stdout.fileno(), banner), []
    for data, pause, tail in writes:
        now = datetime.datetime.now()
        times.append(now.hour * 3600 + now.minute * 60 + now.second + now.microsecond / 1e6)
        out = shown_until(p, out + pump(p, master, data), tail)
        time.sleep(pause)
    os.write(kbd_m, b'\x01')
    code, rest, err = finish(p)
    with open(log, 'rb') as f:
        logged = f.read()
    os.unlink(log)
    for fd in (master, kbd_m, kbd_s):
        os.close(fd)
    if code != 0 or err:
        fail('%r: exit %d, %r' % (args, code, err))
    return (out + rest)[len(banner):], times, logged


STAMP = rb'(\d\d):(\d\d):(\d\d)\.(\d\d\d) '


def seconds(m):
    h, mi, s, ms = (int(g) for g in m.groups())
    return h * 3600 + mi * 60 + s + ms / 1000


def near(stamp, written):
    """The stamp falls between the write and two seconds after it (the
    stamp's milliseconds are cut, so a little before; midnight wraps)."""
    d = (stamp - written + 43200) % 86400 - 43200
    return -0.01 < d < 2


def case_stamps():
    # a line in two reads half a second apart keeps the time of its first
    # byte; CR LF ends one line; a line longer than a whole receive block
    # gets one stamp; the log holds what the console shows
    long_line = b'x' * 100000
    shown, times, logged = terminal_run(['-T'], [(b'abc', 0.5, b'abc'), (b'def\r\n', 0.5, b'def\r\n'),
                                                 (b'ghi\r\njkl\n', 0, b'jkl\n'), (long_line + b'\n', 0, b'x\n')])
    lines = shown.split(b'\n')
    want = [b'abcdef\r', b'ghi\r', b'jkl', long_line, b'']
    got = [re.match(STAMP, line) for line in lines[:-1]]
    if len(lines) != len(want) or not all(got) or [l[13:] for l in lines[:-1]] + [lines[-1]] != want:
        fail('-T showed %r' % shown[:200])
    stamps = [seconds(m) for m in got]
    if not (near(stamps[0], times[0]) and near(stamps[1], times[2]) and near(stamps[3], times[3])):
        fail('stamps %r for writes at %r' % (stamps, times))
    if (stamps[1] - stamps[0]) % 86400 < 0.8:
        fail('the line begun by abc took the time of a later read: %r' % stamps)
    if logged != shown:
        fail('the log differs from the console: %r' % logged[:200])


def hex_lines(data):
    return b''.join(b' '.join(b'%02x' % b for b in data[i:i + 16]) + (b'\n' if i + 16 <= len(data) else b'')
                    for i in range(0, len(data), 16))


def case_hex():
    # every byte value as hex pairs, a line split across reads; the log raw
    data = bytes(range(256))
    shown, _, logged = terminal_run(['-x'], [(data[:10], 0.3, b' 09'), (data[10:], 0, b'fe ff\n')])
    if shown != hex_lines(data) or logged != data:
        fail('-x showed %r, logged %r' % (shown[:120], logged[:40]))
    # -T -x: a line starts with the time of its first byte; the log stays raw
    data = b'0123456789abcdefABCD\r\n'
    shown, times, logged = terminal_run(['-T', '-x'], [(data[:20], 0.5, b'43 44'), (data[20:], 0, b'0d 0a')])
    lines = shown.split(b'\n')
    got = [re.match(STAMP, line) for line in lines]
    if len(lines) != 2 or not all(got) or b''.join(l[13:] + b'\n' for l in lines)[:-1] != hex_lines(data):
        fail('-T -x showed %r' % shown)
    if not (near(seconds(got[0]), times[0]) and near(seconds(got[1]), times[0])) or logged != data:
        fail('-T -x: stamps %r for a write at %r, log %r' % (shown, times, logged))

def relay_up():
    """A ptypair cable: COM33 is ttyUSB0, its far end ttyUSB1, opened here raw."""
    relay = subprocess.Popen([PTYPAIR, os.path.join(DEVDIR, 'ttyUSB0'),
                              os.path.join(DEVDIR, 'ttyUSB1'), '30'], stdout=subprocess.PIPE)
    procs.append(relay)
    read_until(relay.stdout.fileno(), b'ready')
    far = os.open(os.path.join(DEVDIR, 'ttyUSB1'), os.O_RDWR | os.O_NOCTTY)
    tty.setraw(far)
    return relay, far


def case_wait():
    # -w: started before the port exists, then the cable comes, goes and comes
    # back. The terminal goes on each time; the log holds received bytes only.
    log = os.path.join(DEVDIR, 'wait.log')
    kbd_m, kbd_s = os.openpty()
    p = start(['-w', '-l', log, '-c33'], stdin=kbd_s)
    out = read_until(p.stdout.fileno(), b'Escape=^A\n')
    if out != b'Waiting for port COM33. Escape=^A\n':
        fail('before the port exists: %r' % out)
    # The wait retries 5 times a second and otherwise sleeps: a spin would
    # take a core (300 ticks in 3 s; still 200 beside two busy loops). Its
    # own cost (well under 1%) is bench/serial_bench.py's idle figure: a
    # bound that fine does not hold on a loaded machine.
    before = cpu_ticks(p)
    time.sleep(3)
    ticks = cpu_ticks(p) - before
    if ticks > 30:
        fail('waiting for the port: %d ticks in 3 s' % ticks)
    print('%d ticks in 3 s of waiting' % ticks)
    relay, far = relay_up()
    want = b'Entering TerminalMode: Escape=^A\n'
    out = read_until(p.stdout.fileno(), want)
    for chunk in (b'one', b'\r\nthree'):
        os.write(far, chunk)
        out += read_until(p.stdout.fileno(), chunk)
        os.unlink(os.path.join(DEVDIR, 'ttyUSB0'))  # kestrel must not find a reused pts there
        relay.kill()
        relay.wait()
        os.close(far)
        out += read_until(p.stdout.fileno(), b'again.\n')
        relay, far = relay_up()
        out += read_until(p.stdout.fileno(), b'back.\n')
        os.write(kbd_m, b'k')  # keys reach the port that came back
        if read_until(far, 1) != b'k':
            fail('the key did not reach the port that came back')
    back = b'Port COM33 hung up. Waiting for it again.\nPort COM33 is back.\n'
    if out != want + b'one\n' + back + b'\r\nthree\n' + back:
        fail('console showed %r' % out)
    os.write(kbd_m, b'\x01')
    code, _, err = finish(p)
    relay.kill()
    relay.wait()
    os.close(far)
    with open(log, 'rb') as f:
        logged = f.read()
    if code != 0 or err != b'' or logged != b'one\r\nthree':
        fail('exit %d, %r, log %r' % (code, err, logged))
    # echo-back on a port named by path: a pty whose far end closes, and a new
    # one under the same name; Ctrl-A ends the wait for a port that stays away
    name = os.path.join(DEVDIR, 'ttyUSB0')
    master, slave = link_pty('ttyUSB0')
    p = start(['-w', '-e', '-c' + name], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering EchobackMode: Escape=^A\n')
    for last in (False, True):
        os.write(master, b'x\r')
        if read_until(master, 3) != b'x\r\n':
            fail('no echo')
        os.unlink(os.path.join(DEVDIR, 'ttyUSB0'))  # kestrel must not find a reused pts there
        os.close(master)
        os.close(slave)
        read_until(p.stdout.fileno(), b'Port %s hung up. Waiting for it again.\n' % name.encode())
        if not last:
            master, slave = link_pty('ttyUSB0')
            read_until(p.stdout.fileno(), b'Port %s is back.\n' % name.encode())
            # held exclusively again: a second kestrel can't have it
            other = start(['-e', '-c33'], stdin=subprocess.DEVNULL)
            if finish(other)[0] != 1:
                fail('the port that came back was not held exclusively')
    time.sleep(0.5)
    if p.poll() is not None:
        fail('the echo ended while waiting: exit %d' % p.returncode)
    os.write(kbd_m, b'\x01')
    code, _, err = finish(p)
    if code != 0 or err != b'':
        fail('Ctrl-A in the wait: exit %d, %r' % (code, err))
    for fd in (kbd_m, kbd_s):
        os.close(fd)
    # a busy port is waited for too; with keys from a pipe SIGINT ends the wait
    master, slave = link_pty('ttyUSB0')
    holder = start(['-e', '-c33'], stdin=subprocess.DEVNULL)
    read_until(holder.stdout.fileno(), b'EchobackMode')
    p = start(['-w', '-c33'])
    read_until(p.stdout.fileno(), b'Waiting for port COM33. Escape=^A\n')
    holder.send_signal(signal.SIGTERM)
    finish(holder)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    os.unlink(os.path.join(DEVDIR, 'ttyUSB0'))  # kestrel must not find a reused pts there
    os.close(master)  # the last pty goes: wait again
    os.close(slave)
    read_until(p.stdout.fileno(), b'again.\n')
    p.send_signal(signal.SIGINT)
    if finish(p)[0] != 0:
        fail('SIGINT in the wait: exit %d' % p.returncode)


def line_run(args, name='ttyUSB0'):
    """kestrel ARGS on COM33 with a pty console; (process, console master,
    port master, port slave) once the banner shows."""
    master, slave = link_pty(name)
    kbd_m, kbd_s = os.openpty()
    p = start(args + ['-c33'], stdin=kbd_s)
    read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    os.close(kbd_s)
    return p, kbd_m, master, slave


def case_line():
    # -m8N2 and each -f reach the pty's termios; the pty refuses 7E1 (CS7 and
    # PARENB): kestrel warns once and runs on at what the port kept.
    for args, want_warn, check in (
            (['-m8N2'], b'', lambda c, i: c & termios.CSTOPB and c & termios.CSIZE == termios.CS8
             and not c & (termios.PARENB | termios.CRTSCTS) and not i & termios.IXON),
            (['-m8n2', '-fh'], b'', lambda c, i: c & termios.CSTOPB and c & termios.CRTSCTS),
            (['-fs'], b'', lambda c, i: i & termios.IXON and i & termios.IXOFF and not c & termios.CRTSCTS
             and not c & termios.CSTOPB),
            (['-m7E1'], b'WARNING: COM33 runs at 8N1, not 7E1\n', lambda c, i: c & termios.CSIZE == termios.CS8),
            (['-m7E2', '-fh'], b'WARNING: COM33 runs at 8N2 -fh, not 7E2 -fh\n',
             lambda c, i: c & termios.CSTOPB and c & termios.CRTSCTS)):
        p, kbd, master, slave = line_run(args)
        attrs = termios.tcgetattr(slave)
        os.write(kbd, b'\x01')
        code, _, err = finish(p)
        if code != 0 or err != want_warn or not check(attrs[2], attrs[0]):
            fail('%r: exit %d, %r, cflag %o iflag %o' % (args, code, err, attrs[2], attrs[0]))
        for fd in (kbd, master, slave):
            os.close(fd)
    # Without -k Ctrl-T is a key like any other; with -k, Ctrl-T Ctrl-T sends
    # one Ctrl-T and Ctrl-T Ctrl-A one Ctrl-A. On a pty each command that needs
    # the modem lines says so on a line of its own; none reaches the log.
    log = os.path.join(DEVDIR, 'line.log')
    for args, keys, to_port, shown, warned in (
            ([], b'a\x14b\x14\x14', b'a\x14b\x14\x14', (), b''),
            (['-k'], b'a\x14\x14b\x14\x01c', b'a\x14b\x01c', (), b''),
            (['-k'], b'\x14x\x14?\x14d\x14l\x14r\x14p', b'',
             (b'[no such command: Ctrl-T h lists the commands]\nCtrl-T commands:\n',
              b'\n' + b'[no modem lines]\n' * 3), b'')):
        p, kbd, master, slave = line_run(args + ['-l', log])
        os.write(kbd, keys)
        if to_port and read_until(master, len(to_port)) != to_port:
            fail('%r: the port did not receive %r' % (args, to_port))
        os.write(master, b'rx')
        out = read_until(p.stdout.fileno(), b'rx')
        os.write(kbd, b'\x01')
        code, rest, err = finish(p)
        out += rest
        if code != 0 or err != warned or not all(part in out for part in shown):
            fail('%r %r: exit %d, %r, console %r' % (args, keys, code, err, out))
        with open(log, 'rb') as f:
            if f.read() != b'rx':
                fail('%r: the log holds more than the received bytes' % (args,))
        r, _, _ = select.select([master], [], [], 0.2)
        if r and not to_port:
            fail('%r: a command sent %r' % (args, os.read(master, 100)))
        for fd in (kbd, master, slave):
            os.close(fd)
    # -r in every mode: its dtr steps warn on a pty, its waits wait, and Ctrl-A
    # during a long wait ends the session at once.
    for mode in ([], ['-e'], ['-t']):
        master, slave = link_pty('ttyUSB0')
        t0 = time.monotonic()
        p = start(mode + ['-r', 'dtr=0,300,dtr=1', '-c33'], stdin=subprocess.DEVNULL)
        out = read_until(p.stdout.fileno(), b'Escape=^A\n')
        took = time.monotonic() - t0
        p.kill()
        _, _, err = finish(p)
        if err != b'WARNING: COM33 has no modem lines\n' or took < 0.3:
            fail('-r %r: %r, banner after %.2f s' % (mode, err, took))
        for fd in (master, slave):
            os.close(fd)
    # What arrives during a long wait is read meanwhile (the pty's own buffer
    # holds a few KiB), and shown and logged after the banner, in order.
    master, slave = link_pty('ttyUSB0')
    log = os.path.join(DEVDIR, 'wait.log')
    data = os.urandom(1 << 20)
    p = start(['-r', '3000', '-l', log, '-c33'])
    time.sleep(0.5)  # the port open and set: what came before is purged
    os.set_blocking(master, False)
    sent, end = 0, time.monotonic() + 2
    while sent < len(data) and time.monotonic() < end:
        try:
            sent += os.write(master, data[sent:sent + 65536])
        except BlockingIOError:
            time.sleep(0.01)
    if sent < len(data):
        fail('-r 3000: only %d bytes taken during the wait' % sent)
    banner = b'Entering TerminalMode: Escape=^A\n'
    out = read_until(p.stdout.fileno(), len(banner) + len(data), 10)
    p.stdin.write(b'\x01')
    code, _, err = finish(p)
    with open(log, 'rb') as f:
        if code != 0 or err or out != banner + data or f.read() != data:
            fail('-r 3000: exit %d, %r; the bytes of the wait not shown and logged in order' % (code, err))
    for fd in (master, slave):
        os.close(fd)
    master, slave = link_pty('ttyUSB0')
    kbd_m, kbd_s = os.openpty()
    p = start(['-r', '10000', '-c33'], stdin=kbd_s)
    time.sleep(0.5)
    t0 = time.monotonic()
    os.write(kbd_m, b'\x01')
    code, out, err = finish(p, 5)
    if code != 0 or time.monotonic() - t0 > 2 or b'Entering' in out:
        fail('Ctrl-A in a -r wait: exit %d after %.1f s, %r' % (code, time.monotonic() - t0, out))


def odd_settings(master, slave):
    """Gives the pty settings that kestrel changes (rate, stop bits, flow
    control, VMIN, a custom VSTOP); returns them as the pty now has them."""
    attrs = termios.tcgetattr(slave)
    attrs[0] |= termios.IXANY
    attrs[2] |= termios.CSTOPB
    attrs[4] = attrs[5] = termios.B19200
    attrs[6][termios.VMIN], attrs[6][termios.VSTOP] = 5, b'\x07'
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    return termios.tcgetattr(slave)


def case_restore():
    # Every ending puts the port's settings back as kestrel found them at its
    # open; under -w that is the port that came back after a hang-up.
    def keys(p, m, s):
        p.stdin.write(b'\x01')
        p.stdin.flush()

    def hang_up(p, m, s):
        os.close(m)
        read_until(p.stdout.fileno(), b'Waiting for it again.\n')
        m, s = link_pty('ttyUSB0')
        before = odd_settings(m, s)
        read_until(p.stdout.fileno(), b'is back.\n')
        keys(p, m, s)
        return m, s, before
    for name, args, end, want in (
            ('Ctrl-A', ['-fs', '-b57600', '-m8N1'], keys, 0),
            ('Ctrl-A in the echo', ['-e', '-fh', '-b921600'], keys, 0),
            ('SIGTERM', ['-e', '-fs', '-m8N2', '-r', 'dtr=0'], lambda p, m, s: p.terminate(), -signal.SIGTERM),
            ('SIGHUP', ['-fh', '-b230400'], lambda p, m, s: p.send_signal(signal.SIGHUP), -signal.SIGHUP),
            ('hang-up under -w', ['-w', '-fs', '-b115200'], hang_up, 0)):
        master, slave = link_pty('ttyUSB0')
        before = odd_settings(master, slave)
        p = start(args + ['-c33'])
        read_until(p.stdout.fileno(), b'Escape=^A\n')
        if termios.tcgetattr(slave) == before:
            fail('%s: kestrel did not set the port' % name)
        again = end(p, master, slave)
        if again:
            master, slave, before = again
        code, _, err = finish(p)
        after = termios.tcgetattr(slave)
        if code != want or after != before:
            fail('%s: exit %d, %r; settings %r, found %r' % (name, code, err, after, before))
        os.close(master)


def case_full():
    # The reports (-p, -L, the usage text, --version) on a full disk: exit 1
    # and the reason on standard error.
    m0, _ = link_pty('ttyUSB0')  # COM33, so that -p and -L list a port
    with open('/dev/full', 'wb') as full:
        for args in (['-p'], ['-L'], ['-h'], ['--help'], ['--version']):
            code, _, err = finish(start(args, stdin=subprocess.DEVNULL, stdout=full))
            if code != 1 or b"can't write standard output: No space left on device" not in err:
                fail('%r to /dev/full: exit %d, %r' % (args, code, err))


def case_console():
    # Received bytes reach a console as its own output processing would make
    # them, in big blocks and small, with or without the hex view; its
    # settings are as found afterwards. A pipe gives the bytes unprocessed.
    def session(args, oflag=None):
        kbd_m, kbd_s = os.openpty()
        settings = termios.tcgetattr(kbd_s)
        settings[1] = settings[1] if oflag is None else oflag
        termios.tcsetattr(kbd_s, termios.TCSANOW, settings)
        p = start(args + ['-c33'], stdin=kbd_s, stdout=subprocess.PIPE if oflag is None else kbd_s)
        out = p.stdout.fileno() if oflag is None else kbd_m
        seen = read_until(out, b'Escape=^A')
        for part in (big, b'\nshort\r\n'):  # the second once the first has shown
            os.write(master, part)
            while select.select([out], [], [], 0.3)[0]:
                seen += os.read(out, 1 << 16)
        os.write(kbd_m, b'\x01')
        code, _, err = finish(p)
        if code != 0 or termios.tcgetattr(kbd_s) != settings:
            fail('%r, c_oflag %r: exit %d, %r, or the console settings changed' % (args, oflag, code, err))
        os.close(kbd_m)
        os.close(kbd_s)
        return seen.split(b'Escape=^A', 1)[1]

    master, _ = link_pty('ttyUSB0')
    big = bytes(range(256)) * 8 + b'line\tend\r\n' * 400  # read in blocks of up to 4095
    on, crlf, ocrnl = termios.OPOST, termios.OPOST | termios.ONLCR, termios.OPOST | termios.ONLCR | termios.OCRNL
    for args in ([], ['-x']):
        raw = session(args)
        for oflag, want in ((crlf, raw.replace(b'\n', b'\r\n')), (0, raw), (on, raw),
                            (ocrnl, re.sub(rb'[\r\n]', lambda m: b'\r\n' if m[0] == b'\n' else b'\n', raw))):
            shown = session(args, oflag)
            if shown != want:
                fail('%r, c_oflag %#o: the console got %d bytes, not %d' % (args, oflag, len(shown), len(want)))


run_case(globals(), 60)
