#!/usr/bin/env python3
"""End-to-end checks of kestrel on network ports, against a real ser2net
that the test starts (its own YAML config on a free loopback port) and
whose serial side is a pseudo-terminal that the test plays.

usage: net_e2e.py CASE KESTREL DEVDIR PTYPAIR
"""
import os, re, select, shutil, signal, socket, subprocess, sys, tempfile, termios, threading, time, tty

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from pty_harness import fail, finish, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)
WORK = tempfile.mkdtemp(prefix='kestrel_net_')
ALL = bytes(range(256))


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc, so that
    no probing connect reaches the server as a client)."""
    want = '0100007F:%04X' % port
    with open('/proc/net/tcp') as f:
        return any(line.split()[1] == want and line.split()[3] == '0A' for line in f.readlines()[1:])


class Ser2net:
    """ser2net serving `device` (a pty slave; default: a fresh pty whose
    master this test holds) over rfc2217 or raw TCP."""

    def __init__(self, raw=False, device=None):
        self.master = None
        if device is None:
            self.master, self.slave = os.openpty()
            tty.setraw(self.slave)
            device = os.ttyname(self.slave)
        self.port = free_port()
        self.url = '%s://127.0.0.1:%d' % ('tcp' if raw else 'rfc2217', self.port)
        self.config = os.path.join(WORK, 'ser2net_%d.yaml' % self.port)
        accepter = 'tcp' if raw else 'telnet(rfc2217),tcp'
        with open(self.config, 'w') as f:
            f.write('connection: &board\n'
                    '  accepter: %s,127.0.0.1,%d\n'
                    '  connector: serialdev,%s,115200n81,local\n' % (accepter, self.port, device))
        self.p = None
        self.start()

    def start(self):
        pidfile = os.path.join(WORK, 'ser2net_%d.pid' % self.port)
        self.p = subprocess.Popen(['ser2net', '-n', '-c', self.config, '-P', pidfile],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        procs.append(self.p)
        end = time.time() + 20
        while not listening(self.port):
            if time.time() > end or self.p.poll() is not None:
                fail('ser2net did not come up on port %d' % self.port)
            time.sleep(0.05)

    def stop(self):
        self.p.terminate()
        self.p.wait(10)


def banner(p, mode=b'TerminalMode'):
    return read_until(p.stdout.fileno(), b'Entering ' + mode + b': Escape=^A\n', 20)


def quit(p, timeout=10):
    p.stdin.write(b'\x01')
    p.stdin.flush()
    return finish(p, timeout)


def log_holding(path, size, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        if os.path.exists(path) and os.path.getsize(path) >= size:
            return open(path, 'rb').read()
        time.sleep(0.02)
    fail('the log holds %r, not %d bytes' % (open(path, 'rb').read()[-80:], size))


def pty_speed(fd):
    return termios.tcgetattr(fd)[5]


def case_settings():
    # -b over RFC 2217 reaches the remote pty; ser2net on a pty never confirms
    # DTR or RTS, which is warned of once, and the open does not hang on it.
    s = Ser2net()
    for rate, speed in (('115200', termios.B115200), ('9600', termios.B9600)):
        began = time.time()
        p = start(['-b', rate, '-c' + s.url])
        banner(p)
        took = time.time() - began
        if pty_speed(s.slave) != speed:
            fail('-b%s: the pty runs at speed code %o' % (rate, pty_speed(s.slave)))
        code, out, err = quit(p)
        want = ''.join('WARNING: %s did not confirm the %s setting\n' % (s.url, n) for n in ('DTR', 'RTS'))
        if code != 0 or err.decode() != want:
            fail('-b%s: exit %d, stderr %r' % (rate, code, err))
        if took > 8:
            fail('the open took %.1f s' % took)
    # -m8N2: two stop bits on the remote pty, which a pty can show (it
    # refuses CS7 and PARENB on this kernel); one stop bit again without.
    for args, stop2 in ((['-m8N2'], True), ([], False)):
        p = start(args + ['-b115200', '-c' + s.url])
        banner(p)
        cflag = termios.tcgetattr(s.slave)[2]
        if bool(cflag & termios.CSTOPB) != stop2 or cflag & termios.CSIZE != termios.CS8:
            fail('%r: the pty has cflag %o' % (args, cflag))
        quit(p)
    # -k: Ctrl-T commands act on the remote lines; CTS, DSR, DCD and RI are
    # those of ser2net's notices (a pty has none up).
    p = start(['-k', '-c' + s.url])
    banner(p)
    for keys, shown in ((b'\x14l', b'[DTR=1 RTS=1 CTS=0 DSR=0 DCD=0 RI=0]\n'),
                        (b'\x14d', b'[DTR=0 RTS=1 CTS=0 DSR=0 DCD=0 RI=0]\n'),
                        (b'\x14r', b'[DTR=0 RTS=0 CTS=0 DSR=0 DCD=0 RI=0]\n')):
        p.stdin.write(keys)
        p.stdin.flush()
        read_until(p.stdout.fileno(), shown)
    code, _, err = quit(p)
    if code != 0 or b'has no modem lines' in err:
        fail('-k: exit %d, %r' % (code, err))
    s.stop()
    # A raw TCP port has no line settings: -b, -m, -f and -r say so once, and
    # the -r wait still waits.
    s = Ser2net(raw=True)
    began = time.time()
    p = start(['-b9600', '-m8N1', '-fn', '-r', 'dtr=0,600,dtr=1', '-c' + s.url])
    banner(p)
    if time.time() - began < 0.6:
        fail('the -r wait did not wait')
    code, _, err = quit(p)
    if code != 0 or err.decode() != 'WARNING: %s is a raw TCP port: it has no line settings\n' % s.url:
        fail('raw TCP with line options: exit %d, %r' % (code, err))
    s.stop()


def case_bytes():
    # Every byte value both ways, through an upload and into the log, over
    # RFC 2217 and raw TCP. The far end writes in blocks of odd sizes, so
    # that IAC pairs fall on block edges.
    upload = os.path.join(WORK, 'all.bin')
    with open(upload, 'wb') as f:
        f.write(ALL * 8)
    for raw in (False, True):
        s = Ser2net(raw)
        log = os.path.join(WORK, 'bytes.log')
        p = start(['-l', log, '-u' + upload, '-c' + s.url])
        banner(p)
        got = read_until(s.master, len(ALL) * 8, 20)
        if got != ALL * 8:
            fail('%s: the far end got %d bytes, %s' % (s.url, len(got), 'intact' if got == ALL * 8 else 'changed'))
        sent, at = ALL * 6, 0
        for size in (1, 254, 1, 3, 255, 2, 7, 256, 5):
            os.write(s.master, sent[at:at + size])
            at += size
            time.sleep(0.01)
        os.write(s.master, sent[at:])
        if log_holding(log, len(sent)) != sent:
            fail('%s: the log differs' % s.url)
        code, _, err = quit(p)
        if code != 0:
            fail('%s: exit %d, %r' % (s.url, code, err))
        s.stop()


def case_echo():
    for raw in (False, True):
        s = Ser2net(raw)
        p = start(['-e', '-c' + s.url])
        banner(p, b'EchobackMode')
        for sent, back in ((b'AB\r', b'AB\r\n'), (b'\xff\xff\x01\xfa', b'\xff\xff\x01\xfa')):
            os.write(s.master, sent)
            got = read_until(s.master, len(back))
            if got != back:
                fail('%s: sent %r, echoed %r' % (s.url, sent, got))
        code, out, _ = quit(p)
        if code != 0:
            fail('%s: exit %d' % (s.url, code))
        s.stop()


def relay_pair(seconds=60):
    """A pty pair: DEVDIR/ttyUSB0 (COM33) for a local kestrel, and the slave
    behind DEVDIR/ttyUSB1 for ser2net."""
    relay = subprocess.Popen([PTYPAIR, os.path.join(DEVDIR, 'ttyUSB0'),
                              os.path.join(DEVDIR, 'ttyUSB1'), str(seconds)], stdout=subprocess.PIPE)
    procs.append(relay)
    read_until(relay.stdout.fileno(), b'ready')
    return relay, os.path.realpath(os.path.join(DEVDIR, 'ttyUSB1'))


def case_bench():
    # kestrel -t over each kind of network port against kestrel -e on the far pty
    relay, far = relay_pair()
    echo = start(['-e', '-c33'])
    banner(echo, b'EchobackMode')
    threading.Thread(target=echo.stdout.read, daemon=True).start()
    for raw in (False, True):
        s = Ser2net(raw, device=far)
        code, out, err = finish(start(['-t', '-c' + s.url], stdin=subprocess.DEVNULL), 60)
        text = out.decode('latin-1')
        if code != 0 or '.' * 250 + '\nBenchmark end. 32000 bytes/' not in text or 'Errors' in text \
                or 'TIMEOUT' in text:
            fail('%s: exit %d, %r %r' % (s.url, code, text[-200:], err))
        print(s.url.split(':')[0], text.split('Benchmark end. ')[1].strip())
        s.stop()
    quit(echo)
    relay.kill()
    relay.wait()


HUNG_UP = b'FATAL: COM Port Read/Write Error. port hung up\n'


def case_stop():
    # ser2net ends mid-session: every mode ends with the hang-up, exit 255;
    # the terminal's log holds every byte received before.
    for raw in (False, True):
        s = Ser2net(raw)
        log = os.path.join(WORK, 'stop.log')
        p = start(['-l', log, '-c' + s.url])
        banner(p)
        os.write(s.master, b'before\xff')
        log_holding(log, 7)
        s.stop()
        code, out, err = finish(p, 10)
        if code != 255 or not err.endswith(HUNG_UP) or open(log, 'rb').read() != b'before\xff':
            fail('terminal: exit %d, %r, log %r' % (code, err, open(log, 'rb').read()))
        if not out.endswith(b'before\xff\n'):  # the message starts a line of its own
            fail('terminal: console %r' % out)
        s.start()
        p = start(['-e', '-c' + s.url])
        banner(p, b'EchobackMode')
        s.stop()
        code, _, err = finish(p, 10)
        if code != 255 or not err.endswith(HUNG_UP):
            fail('echo: exit %d, %r' % (code, err))
        s.start()
        p = start(['-t', '-c' + s.url], stdin=subprocess.DEVNULL)  # no echo: the drain waits
        banner(p, b'Benchmark')
        s.stop()
        code, out, err = finish(p, 10)
        if code != 255 or not err.endswith(HUNG_UP):
            fail('benchmark: exit %d, %r %r' % (code, out[-100:], err))


def case_wait():
    # -w: waits for a server not up yet, and across a restart; the log is
    # one file of every byte.
    s = Ser2net()
    s.stop()
    log = os.path.join(WORK, 'wait.log')
    p = start(['-w', '-l', log, '-c' + s.url])
    read_until(p.stdout.fileno(), ('Waiting for port %s. Escape=^A\n' % s.url).encode(), 10)
    s.start()
    banner(p)
    os.write(s.master, b'one ')
    log_holding(log, 4)
    s.stop()
    read_until(p.stdout.fileno(), ('Port %s hung up. Waiting for it again.\n' % s.url).encode(), 10)
    s.start()
    read_until(p.stdout.fileno(), ('Port %s is back.\n' % s.url).encode(), 20)
    if pty_speed(s.slave) != termios.B1000000:
        fail('the settings were not made again')
    os.write(s.master, b'two')
    if log_holding(log, 7) != b'one two':
        fail('log %r' % open(log, 'rb').read())
    code, out, err = quit(p)
    if code != 0:
        fail('exit %d, %r' % (code, err))
    s.stop()


def expect_refusal(args, why):
    code, out, err = finish(start(args, stdin=subprocess.DEVNULL), 20)
    want = ("Can't Open COM Port (%s: %s).\n" % (args[-1][2:], why)).encode()
    if code != 1 or err != want:
        fail('%r: exit %d, %r, want %r' % (args, code, err, want))


def case_fail():
    port = free_port()
    expect_refusal(['-c' + 'rfc2217://127.0.0.1:%d' % port], 'connection refused')
    expect_refusal(['-e', '-c' + 'tcp://[::1]:%d' % port], 'connection refused')
    expect_refusal(['-c' + 'rfc2217://nosuch.invalid:2217'], 'unknown host')
    log = os.path.join(WORK, 'bad.log')
    expect_refusal(['-l', log, '-c' + 'tcp://127.0.0.1:0'], 'bad URL, port number out of range (1 to 65535)')
    expect_refusal(['-c' + 'ssh://127.0.0.1:22'], 'bad URL, unknown scheme (rfc2217:// or tcp://)')
    if os.path.exists(log):
        fail('a bad URL created the log')
    # A second client of a port in use gets ser2net's own words.
    s = Ser2net()
    first = start(['-c' + s.url])
    banner(first)
    expect_refusal(['-c' + s.url], 'Port already in use')
    quit(first)
    s.stop()


def case_stall():
    # A listener whose queue is full never completes a connect: after 5 s
    # the open fails; Ctrl-A (or SIGTERM) ends the wait at once.
    lsn = socket.socket()
    lsn.bind(('127.0.0.1', 0))
    lsn.listen(0)
    url = 'rfc2217://127.0.0.1:%d' % lsn.getsockname()[1]
    fillers = []
    for _ in range(3):
        f = socket.socket()
        f.setblocking(False)
        f.connect_ex(lsn.getsockname())
        fillers.append(f)
    time.sleep(0.2)
    began = time.time()
    expect_refusal(['-c' + url], 'no answer within 5 s')
    if not 4.5 < time.time() - began < 15:
        fail('the connect gave up after %.1f s' % (time.time() - began))
    for mode in ([], ['-e']):
        p = start(mode + ['-c' + url])
        time.sleep(0.5)
        began = time.time()
        code, out, err = quit(p, 3)
        if code != 0 or err or time.time() - began > 2:
            fail('Ctrl-A in a connect: exit %d, %r' % (code, err))
    p = start(['-e', '-w', '-c' + url])
    time.sleep(0.5)
    p.send_signal(signal.SIGTERM)
    code, _, _ = finish(p, 3)
    if code != -signal.SIGTERM:
        fail('SIGTERM in a connect: exit %d' % code)
    # A resolver that never answers holds neither the keys nor the deadline.
    env = dict(os.environ, LD_PRELOAD=os.environ['KESTREL_SLOW_LOOKUP'],
               ASAN_OPTIONS=os.environ.get('ASAN_OPTIONS', '') + ':verify_asan_link_order=0')
    slow = 'rfc2217://slow.test:2217'
    for mode in ([], ['-e'], ['-w']):
        p = start(mode + ['-c' + slow], env=env)
        time.sleep(0.5)
        began = time.time()
        code, out, err = quit(p, 3)
        if code != 0 or err or time.time() - began > 0.5:
            fail('Ctrl-A in a name lookup %r: exit %d after %.2f s, %r' % (mode, code, time.time() - began, err))
    began = time.time()
    code, _, err = finish(start(['-c' + slow], stdin=subprocess.DEVNULL, env=env), 20)
    if code != 1 or err != b"Can't Open COM Port (%s: no answer within 5 s).\n" % slow.encode() \
            or not 4.5 < time.time() - began < 7:
        fail('a name lookup with no answer: exit %d after %.1f s, %r' % (code, time.time() - began, err))


def case_plain():
    # A TCP server that knows no Telnet: after 3 s one warning, then a raw stream.
    lsn = socket.socket()
    lsn.bind(('127.0.0.1', 0))
    lsn.listen(1)
    url = 'rfc2217://127.0.0.1:%d' % lsn.getsockname()[1]
    log = os.path.join(WORK, 'plain.log')
    p = start(['-l', log, '-c' + url])
    conn, _ = lsn.accept()
    banner(p)
    err = p.stderr.readline()
    if err != ('WARNING: %s does not answer COM-PORT-OPTION: the rate and lines cannot be set\n' % url).encode():
        fail('stderr %r' % err)
    conn.sendall(b'plain\xff\xfe')
    log_holding(log, 7)
    p.stdin.write(b'k\xff')
    p.stdin.flush()
    conn.settimeout(10)
    got = b''
    while not got.endswith(b'k\xff'):
        got += conn.recv(100)
    if got != bytes([255, 251, 44, 255, 251, 0, 255, 251, 3, 255, 253, 0, 255, 253, 3]) + b'k\xff':
        fail('the server got %r' % got)
    code, _, _ = quit(p)
    if code != 0 or open(log, 'rb').read() != b'plain\xff\xfe':
        fail('exit %d, log %r' % (code, open(log, 'rb').read()))


def case_stuck():
    # The far end stops reading: ser2net's pty is never read, so ser2net stops
    # taking from the socket. An upload and an echo stream back up, and still
    # Ctrl-A ends each mode at once.
    upload = os.path.join(WORK, 'big.bin')
    with open(upload, 'wb') as f:
        f.write(os.urandom(32 << 20))
    s = Ser2net()
    p = start(['-u' + upload, '-c' + s.url])
    banner(p)
    time.sleep(1.5)  # the socket and ser2net's buffers fill
    before = cpu_ticks(p)
    time.sleep(2)
    if cpu_ticks(p) - before > 40:  # a spin takes 200 ticks in 2 s
        fail('a held-back upload used %d ticks in 2 s' % (cpu_ticks(p) - before))
    began = time.time()
    code, _, err = quit(p, 5)
    if code != 0 or time.time() - began > 1.5 or not err.decode().endswith(
            'RTS setting\nWARNING: upload file cut short by Ctrl-A:%s\n' % upload):
        fail('upload: exit %d after %.1f s, %r' % (code, time.time() - began, err))
    s.stop()
    s = Ser2net()
    p = start(['-e', '-c' + s.url])
    banner(p, b'EchobackMode')
    threading.Thread(target=p.stdout.read, daemon=True).start()
    os.set_blocking(s.master, False)
    block, ends, last = os.urandom(4096), time.time() + 20, time.time()
    while time.time() < ends and time.time() - last < 0.5:  # until nothing more is taken
        try:
            os.write(s.master, block)
            last = time.time()
        except BlockingIOError:
            time.sleep(0.01)
    began = time.time()
    p.stdin.write(b'\x01')
    p.stdin.flush()
    code = p.wait(5)
    if code != 0 or time.time() - began > 1.5:
        fail('echo: exit %d after %.1f s' % (code, time.time() - began))
    s.stop()


def serve_once(script):
    """A loopback server that plays script(conn) to one client, on a thread."""
    lsn = socket.socket()
    lsn.bind(('127.0.0.1', 0))
    lsn.listen(1)

    def run():
        conn, _ = lsn.accept()
        try:
            script(conn)
        except OSError:
            pass
        finally:
            conn.close()
            lsn.close()
    threading.Thread(target=run, daemon=True).start()
    return 'rfc2217://127.0.0.1:%d' % lsn.getsockname()[1]


def rfc2217_answers(conn, until):
    """Agrees to COM-PORT-OPTION and confirms each setting, DTR and RTS too."""
    got = b''
    conn.settimeout(0.2)
    while time.time() < until:
        try:
            chunk = conn.recv(4096)
        except socket.timeout:
            continue
        if not chunk:
            return
        got += chunk
        while True:
            if b'\xff\xfb\x2c' in got:
                got = got.replace(b'\xff\xfb\x2c', b'', 1)
                conn.sendall(b'\xff\xfd\x2c')
                continue
            at, end = got.find(b'\xff\xfa\x2c'), got.find(b'\xff\xf0')
            if at < 0 or end < at:
                break
            conn.sendall(b'\xff\xfa\x2c' + bytes([got[at + 3] + 100]) + got[at + 4:end + 2])
            got = got[end + 2:]


def until_closed(conn):
    conn.settimeout(30)
    while conn.recv(4096):
        pass


def early_ff(conn):
    conn.sendall(b'ab\xff\xfb\x01cd\xff\xff')
    until_closed(conn)


def data_first(conn):
    conn.sendall(os.urandom(300000).replace(b'\xff', b'\x00'))
    rfc2217_answers(conn, time.time() + 5)
    until_closed(conn)


def asks_and_never_reads(conn):
    rfc2217_answers(conn, time.time() + 1.5)
    flip = b'\xff\xfb\x00\xff\xfc\x00' * 10000  # WILL BINARY, WONT BINARY
    while True:
        conn.sendall(flip)


def case_hostile():
    # Servers that no sound one resembles: each run ends as it should.
    log = os.path.join(WORK, 'hostile.log')
    lines = 'did not confirm the %s setting\n'
    servers = (  # server, exit code, stderr's end, the log
        (early_ff, 0, 'does not answer COM-PORT-OPTION: the rate and lines cannot be set\n',
         b'ab\xff\xfb\x01cd\xff\xff'),
        (data_first, 0, '', b''),
        (asks_and_never_reads, 255, 'keeps sending requests and reads none of the answers: '
         'connection closed\n' + HUNG_UP.decode(), b''),
    )
    for server, want_code, want_err, want_log in servers:
        url = serve_once(server)
        p = start(['-l', log, '-c' + url])
        banner(p)
        if want_code == 0:
            time.sleep(0.5)
            code, out, err = quit(p)
        else:
            code, out, err = finish(p, 20)
        if code != want_code or not err.decode().endswith(want_err) or (not want_err and err) \
                or open(log, 'rb').read() != want_log:
            fail('%s: exit %d, stderr %r, log %r' % (server.__name__, code, err[-300:], open(log, 'rb').read()[:80]))
    # ser2net with its far end streaming flat out: every open sets the port,
    # with no false warning.
    s = Ser2net()
    os.set_blocking(s.master, False)
    streaming = [True]

    def stream():
        block = b'u' * 4096
        while streaming[0]:
            try:
                os.write(s.master, block)
            except (BlockingIOError, OSError):
                time.sleep(0.001)
    threading.Thread(target=stream, daemon=True).start()
    for _ in range(3):
        p = start(['-b57600', '-c' + s.url])
        banner(p)
        speed = pty_speed(s.slave)
        threading.Thread(target=p.stdout.read, daemon=True).start()
        p.stdin.write(b'\x01')
        p.stdin.flush()
        code, err = p.wait(10), p.stderr.read().decode()
        want = ''.join('WARNING: %s did not confirm the %s setting\n' % (s.url, n) for n in ('DTR', 'RTS'))
        if code != 0 or err != want or speed != termios.B57600:
            fail('streaming far end: exit %d, %r, speed %o' % (code, err, speed))
    streaming[0] = False
    # Under -w, ser2net's words to a second client are shown once, not at
    # each try.
    first = start(['-c' + s.url])
    banner(first)
    waiting = start(['-w', '-c' + s.url])
    said = read_until(waiting.stdout.fileno(), ('%s says: Port already in use\n' % s.url).encode(), 10)
    time.sleep(1.5)
    quit(first)
    said += read_until(waiting.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n', 10)
    code, _, err = quit(waiting)
    if code != 0 or said.count(b'says:') != 1 or b'Waiting for port' not in said:
        fail('-w on a port in use: exit %d, %r, %r' % (code, said, err))
    s.stop()


def case_transfer():
    # YMODEM both ways as script steps over rfc2217://, against lrzsz behind
    # socat's pipes on the far end of the pty pair that ser2net serves.
    # Random data holds 0xFF bytes, which Telnet doubles on the wire.
    relay, far = relay_pair(300)
    s = Ser2net(device=far)
    warned = ''.join('WARNING: %s did not confirm the %s setting\n' % (s.url, n) for n in ('DTR', 'RTS'))
    for step, cmd in (('ysend', ['rb', '-q']), ('yrecv', ['sb', '-q', '-k'])):
        src, dst = tempfile.mkdtemp(dir=WORK), tempfile.mkdtemp(dir=WORK)
        sent = {'f%d' % size: os.urandom(size) for size in (0, 1025, 1 << 20)}
        for name, data in sent.items():
            open(os.path.join(src, name), 'wb').write(data)
        script = 'ysend ' + ' '.join(os.path.join(src, n) for n in sent) if step == 'ysend' else 'yrecv ' + dst
        p = start(['-c' + s.url, '-E', script], stdin=subprocess.DEVNULL)
        banner(p, b'ScriptMode')
        them = subprocess.Popen(['socat', '-b65536', 'FILE:%s,raw,echo=0' % os.path.join(DEVDIR, 'ttyUSB0'),
                                 'EXEC:%s,pipes,stderr' % ' '.join(cmd + (list(sent) if step == 'yrecv' else []))],
                                cwd=dst if step == 'ysend' else src, stderr=subprocess.PIPE)
        procs.append(them)
        # ser2net holds a block's tail back until kestrel's delayed ACK (40 ms a block).
        code, out, err = finish(p, 150)
        them.wait(30)
        got = {n: open(os.path.join(dst, n), 'rb').read() for n in os.listdir(dst)}
        if code != 0 or err.decode() != warned or them.returncode != 0 or b'[transfer done' not in out:
            fail('%s: exit %d, stderr %r, output %r, lrzsz exit %d %r' % (
                step, code, err, out[-200:], them.returncode, them.stderr.read()))
        if got != sent:
            fail('%s: received %r' % (step, {n: len(d) for n, d in got.items()}))
    s.stop()
    relay.kill()
    relay.wait()


def cpu_ticks(p):
    with open('/proc/%d/stat' % p.pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])


def case_idle():
    # An idle session on a network port waits; a spin would take 100 ticks a second.
    s = Ser2net()
    for mode in ([], ['-e']):
        p = start(mode + ['-c' + s.url])
        banner(p, b'EchobackMode' if mode else b'TerminalMode')
        before = cpu_ticks(p)
        time.sleep(2)
        used = cpu_ticks(p) - before
        quit(p)
        if used > 20:
            fail('%r used %d ticks in 2 s idle' % (mode, used))
    s.stop()


def case_script():
    # A script over rfc2217:// and tcp:// against the U-Boot-like board on
    # the pty ser2net serves: the autoboot stopped, an answer checked, an
    # expect that times out with what came last. The board boots at the
    # first byte, sent once ser2net has had time to set its side up.
    from board import Board
    stop = 'wait 300; send "\\r"; fail /Kernel panic/; expect "autoboot"; send " "; expect "=> "; send "version\\r"; '
    for raw in (False, True):
        s = Ser2net(raw=raw)
        for tail, want_code, err_re in (('expect /gcc \\(GCC\\) [0-9.]+/', 0, '$'),
                                        ('expect "Linux" 500', 3, '-E:1: expect "Linux" timed out after '
                                         '500 ms; last bytes received: ".*12.2.0\\\\r\\\\n=> "\n$')):
            p = start(['-c' + s.url, '-E', stop + tail], stdin=subprocess.DEVNULL)
            out = banner(p, b'ScriptMode')
            board = Board(s.master, power_on_key=True)
            board.start()
            code, rest, err = finish(p, 20)
            board.end()
            out += rest
            if code != want_code or b'gcc (GCC) 12.2.0' not in out or not re.search(err_re, err.decode()):
                fail('%s: exit %d, console %r, stderr %r' % (s.url, code, out[-200:], err))
        s.stop()


try:
    run_case(globals(), 300 if CASE == 'transfer' else 120)
finally:
    shutil.rmtree(WORK, ignore_errors=True)
