#!/usr/bin/env python3
"""kestrel beside its peers over pseudo-terminal pairs, in one run:

- terminal receive with a log: 4 MiB into the far end, timed until the log
  holds all of it, intact (kestrel -l, picocom --logfile, tio --log);
- a script: 16 MiB of console lines into kestrel -l -S with five fail
  patterns and one expect that matches at the very end, timed until it
  ends, against the plain terminal with a log, three runs each;
- echo-back: bytes/s for 512 KiB echoed and the 1-byte round trip (kestrel -e,
  socat echoing through a pipe), five runs of each, alternating;
- idle CPU: user plus system ticks, the CPU time the scheduler counted and
  the wake-ups over 10 s (kestrel terminal, echo-back and a -w wait for a
  port that is not there, picocom, tio);
- benchmark runs: kestrel -t against kestrel -e, 50 runs each over the test
  build's relay and over socat, with the machine idle and with two
  `yes >/dev/null` running.

Usage: bench/serial_bench.py [BUILD_DIR [PART...]]   (default build-bench, every part)
PART: terminal, script, echo, idle or runs. Builds a release kestrel and the relay in
BUILD_DIR, whose device folder is BUILD_DIR/dev; COM33 and COM34 are its
ttyUSB0 and ttyUSB1."""
import fcntl, os, re, select, shutil, signal, statistics, subprocess, sys, tempfile, termios
import threading, time, tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build-bench'))
PARTS = sys.argv[2:] or ['terminal', 'script', 'echo', 'idle', 'runs']
DEV = os.path.join(BUILD, 'dev')
KESTREL = os.path.join(BUILD, 'kestrel', 'kestrel')
RELAY = os.path.join(BUILD, 'tests', 'kestrel', 'kestrel_ptypair')
TICK = os.sysconf('SC_CLK_TCK')
procs = []  # every process started, ended by its PID at the end


def build():
    subprocess.run(['cmake', '-S', ROOT, '-B', BUILD, '-DCMAKE_BUILD_TYPE=Release',
                    '-DBUILD_TESTING_UNITS=OFF', '-DKESTREL_DEV_DIR=' + DEV],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', BUILD, '-j2', '--target', 'kestrel', 'kestrel_ptypair'],
                   check=True, stdout=subprocess.DEVNULL)
    os.makedirs(DEV, exist_ok=True)


def spawn(cmd, **kw):
    p = subprocess.Popen(cmd, **kw)
    procs.append(p)
    return p


def end(p):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(3)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def link(name):
    """A raw pseudo-terminal whose slave is DEV/name: (master, slave path)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    if os.path.lexists(os.path.join(DEV, name)):
        os.unlink(os.path.join(DEV, name))
    os.symlink(path, os.path.join(DEV, name))
    os.set_blocking(master, False)
    return master, slave, path


class Console:
    """A terminal for one interactive program, in a session of its own with
    this terminal as its controlling one; what it shows is read and dropped."""

    def __init__(self, cmd, env=None):
        self.m, s = os.openpty()
        self.seen, self.shown = b'', 0
        self.p = spawn(cmd, stdin=s, stdout=s, stderr=s, start_new_session=True, env=env,
                       preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(s)
        threading.Thread(target=self.drain, daemon=True).start()

    def drain(self):
        while True:
            try:
                d = os.read(self.m, 1 << 16)
            except OSError:
                return
            if not d:
                return
            self.shown += len(d)
            self.seen = (self.seen + d)[-4096:]

    def wait_for(self, text, timeout=5):
        end_at = time.time() + timeout
        while text not in self.seen:
            if time.time() > end_at or self.p.poll() is not None:
                raise SystemExit('%r did not show %r: %r' % (self.p.args, text, self.seen[-200:]))
            time.sleep(0.01)
        time.sleep(0.1)  # the port is open and flushed before the banner; let it settle


def ticks(p):
    with open('/proc/%d/stat' % p.pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])


# ---- terminal receive with a log ---------------------------------------------

def quit(con, keys):
    """Ends a program with its own quit keys (so it closes its log), else by PID."""
    os.write(con.m, keys)
    try:
        con.p.wait(3)
    except subprocess.TimeoutExpired:
        end(con.p)


STAMP = re.compile(rb'\d\d:\d\d:\d\d\.\d\d\d \Z')


def stamped_size(data):
    """The size of data in a log of kestrel -T: a stamp of 13 bytes per line."""
    return len(data) + 13 * (data.count(b'\n') + (not data.endswith(b'\n')))


def unstamped(log):
    """The log of kestrel -T without its stamps, or None when a line lacks one."""
    lines = log.split(b'\n')
    if not all(STAMP.match(line[:13]) for line in lines if line):
        return None
    return b'\n'.join(line[13:] for line in lines)


def feed(master, data, done, limit=120):
    """Writes data into the far end, as fast as it takes it, until done()
    holds or limit seconds passed: the elapsed seconds."""
    start, sent = time.perf_counter(), 0
    while not done() and time.perf_counter() - start <= limit:
        if sent < len(data):
            select.select([], [master], [], 0.01)
            try:
                sent += os.write(master, data[sent:sent + 65536])
            except BlockingIOError:
                pass
        else:
            time.sleep(0.0005)
    return time.perf_counter() - start


def terminal_receive(name, cmd, ready, keys, log, data, slack=0, stamps=False):
    """slack: bytes the program keeps in its own log buffer until it quits.
    stamps: the log has a time stamp at the start of each line (kestrel -T)."""
    master, slave, path = link('ttyUSB0')
    con = Console(cmd(path, log))
    con.wait_for(ready)
    want = stamped_size(data) if stamps else len(data)
    elapsed = feed(master, data, lambda: (os.path.getsize(log) if os.path.exists(log) else 0) >= want - slack)
    time.sleep(0.5)  # what a buffered log still holds has reached the program
    quit(con, keys)
    with open(log, 'rb') as f:
        got = f.read()
    if stamps:
        got = unstamped(got) or b'(a line without a stamp)'
    os.close(master)
    os.close(slave)
    if got == data:
        state = 'intact'
    elif data.startswith(got):
        state = 'log holds only the first %d bytes' % len(got)
    else:
        state = 'LOG DIFFERS'
    print('  %-26s %7.3f s  %6.2f MB/s  %s' % (name, elapsed, len(data) / elapsed / 1e6, state))
    return elapsed


# ---- echo-back ----------------------------------------------------------------

def echo_figures(name, start_peer):
    master, slave, path = link('ttyUSB0')
    peer = start_peer(path)
    data = os.urandom(512 * 1024).replace(b'\r', b'\x0c')  # no CR: the echo is as long
    back, sent, start = bytearray(), 0, time.perf_counter()
    while len(back) < len(data) and time.perf_counter() - start < 60:
        r, w, _ = select.select([master], [master] if sent < len(data) else [], [], 0.1)
        if w:
            try:
                sent += os.write(master, data[sent:sent + 4096])
            except BlockingIOError:
                pass
        if r:
            back += os.read(master, 1 << 16)
    rate = len(back) / (time.perf_counter() - start)
    trips = []
    for i in range(2000):
        t = time.perf_counter()
        os.write(master, b'%c' % (0x41 + i % 26))
        select.select([master], [], [], 1)
        os.read(master, 16)
        trips.append((time.perf_counter() - t) * 1e6)
    trips.sort()
    end(peer)
    os.close(master)
    os.close(slave)
    print('  %-22s %6.2f MB/s %s  round trip median %5.0f us, 99%% %5.0f us' % (
        name, rate / 1e6, 'intact' if bytes(back) == data else 'ECHO DIFFERS',
        statistics.median(trips), trips[int(len(trips) * 0.99)]))
    return rate


def kestrel_echo(path):
    con = Console([KESTREL, '-e', '-c33'])
    con.wait_for(b'EchobackMode')
    return con.p


def socat_echo(path):
    p = spawn(['socat', '-d', '-d', path + ',raw,echo=0', 'PIPE'], stderr=subprocess.PIPE)
    err = b''
    while b'starting data transfer loop' not in err:
        err += os.read(p.stderr.fileno(), 4096)
    return p


# ---- idle CPU -----------------------------------------------------------------

def run_ns(p):
    """CPU time the scheduler counted for p, in ns (all its threads)."""
    total = 0
    for t in os.listdir('/proc/%d/task' % p.pid):
        with open('/proc/%d/task/%s/schedstat' % (p.pid, t)) as f:
            total += int(f.read().split()[0])
    return total


def wakeups(p):
    with open('/proc/%d/status' % p.pid) as f:
        return sum(int(line.split()[1]) for line in f if 'ctxt_switches' in line)


def idle_cpu(peers, seconds=10):
    links = [link('ttyUSB%d' % i) for i in range(len(peers))]
    cons = []
    for (name, cmd, ready), (_, _, path) in zip(peers, links):
        cons.append((name, Console(cmd(path))))
        cons[-1][1].wait_for(ready)
    time.sleep(0.5)
    before = [(ticks(c.p), run_ns(c.p), wakeups(c.p)) for _, c in cons]
    time.sleep(seconds)
    for (name, c), (t0, ns0, w0) in zip(cons, before):
        used, ns, woke = ticks(c.p) - t0, run_ns(c.p) - ns0, wakeups(c.p) - w0
        print('  %-22s %3d ticks in %d s, run time %7.2f ms (%.3f%% of a core), %5.1f wake-ups/s' % (
            name, used, seconds, ns / 1e6, 100.0 * ns / 1e9 / seconds, woke / seconds))
        end(c.p)
    for m, s, _ in links:
        os.close(m)
        os.close(s)


# ---- benchmark runs -----------------------------------------------------------

def bench_runs(relay_name, load, runs=50):
    for n in ('ttyUSB0', 'ttyUSB1'):
        if os.path.lexists(os.path.join(DEV, n)):
            os.unlink(os.path.join(DEV, n))
    a, b = os.path.join(DEV, 'ttyUSB0'), os.path.join(DEV, 'ttyUSB1')
    if relay_name == 'relay':
        relay = spawn([RELAY, a, b, '600'], stdout=subprocess.PIPE)
        relay.stdout.readline()
    else:
        relay = spawn(['socat', 'pty,raw,echo=0,link=' + a, 'pty,raw,echo=0,link=' + b])
        while not (os.path.exists(a) and os.path.exists(b)):
            time.sleep(0.05)
    busy = [spawn(['yes'], stdout=subprocess.DEVNULL) for _ in range(2 if load else 0)]
    echo = spawn([KESTREL, '-e', '-c33'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    time.sleep(0.3)
    rates, timeouts, errors = [], 0, 0
    for _ in range(runs):
        out = subprocess.run([KESTREL, '-t', '-c34'], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, timeout=60).stdout.decode('latin-1')
        timeouts += 'TIMEOUT' in out
        errors += 'Recv Errors' in out
        tail = out.split('Benchmark end. ')[-1].split()
        rates.append(int(tail[3]))
    for p in [echo, relay] + busy:
        end(p)
    print('  %-22s median %7d bytes/s, min %7d; %d of %d timed out, %d with errors' % (
        relay_name + (' + 2 x yes' if load else ''), statistics.median(rates), min(rates),
        timeouts, runs, errors))


def terminal_figures(work, have_tio):
    print('terminal receive, 4 MiB into the far end, timed until the log holds it:')
    data = os.urandom(4 << 20)
    log = lambda n: os.path.join(work, n + '.log')
    ready = b'Entering TerminalMode'
    t_k = terminal_receive('kestrel -l', lambda path, lg: [KESTREL, '-l', lg, '-c33'],
                           ready, b'\x01', log('kestrel'), data)
    # -T: the log gets a stamp per line; -x: the console gets three bytes per byte
    t_t = terminal_receive('kestrel -l -T', lambda path, lg: [KESTREL, '-T', '-l', lg, '-c33'],
                           ready, b'\x01', log('kestrel_T'), data, stamps=True)
    t_x = terminal_receive('kestrel -l -x', lambda path, lg: [KESTREL, '-x', '-l', lg, '-c33'],
                           ready, b'\x01', log('kestrel_x'), data)
    t_p = terminal_receive('picocom --logfile', lambda path, lg: ['picocom', '--logfile', lg, path],
                           b'Terminal ready', b'\x01\x18', log('picocom'), data)
    if have_tio:  # tio's log is buffered: its last few KiB reach the file when it quits
        terminal_receive('tio --log (all but 8 KiB)',
                         lambda path, lg: ['tio', '--log', '--log-file', lg, path],
                         b'Connected', b'\x14q', log('tio'), data, 8192)
    print('  picocom time / kestrel time: %.2f (-T: %.2f, -x: %.2f)' % (t_p / t_k, t_p / t_t, t_p / t_x))


# ---- a script's matching against the plain terminal ---------------------------

SCRIPT = (b'fail "Kernel panic"\nfail "Oops:"\nfail /Call trace:/\n'
          b'fail /Unable to handle kernel [A-Z]+ pointer/\nfail /BUG: [a-z]+ /\n'
          b'expect "BENCH-END-MARKER" 120000\n')


def console_lines(size):
    """Console-like log lines, size bytes, ending in the script's marker."""
    out, n = [], 0
    while n < size:
        line = b'[%6d.%06d] usb 1-1: new high-speed USB device number %d using ehci-pci\r\n' % (
            n // 4096, n % 999999, n % 127)
        out.append(line)
        n += len(line)
    return (b''.join(out))[:size - 18] + b'BENCH-END-MARKER\r\n'


def script_receive(name, work, data):
    """kestrel -S with five fails and one expect that matches at the end,
    timed until it ends (exit 0: matched); its log must hold everything."""
    master, slave, path = link('ttyUSB0')
    script, log = os.path.join(work, 'bench.ks'), os.path.join(work, 'script.log')
    with open(script, 'wb') as f:
        f.write(SCRIPT)
    con = Console([KESTREL, '-l', log, '-S', script, '-c33'])
    con.wait_for(b'Entering ScriptMode')
    elapsed = feed(master, data, lambda: con.p.poll() is not None)
    code = con.p.wait(5)
    with open(log, 'rb') as f:
        state = 'intact, exit %d' % code if f.read() == data else 'LOG DIFFERS, exit %d' % code
    os.close(master)
    os.close(slave)
    print('  %-26s %7.3f s  %6.2f MB/s  %s' % (name, elapsed, len(data) / elapsed / 1e6, state))
    return elapsed


def script_figures(work):
    print('16 MiB of console lines into the far end; three runs each, alternating:')
    data = console_lines(16 << 20)
    log = os.path.join(work, 'plain.log')
    plain, script = [], []
    for _ in range(3):
        plain.append(terminal_receive('kestrel -l', lambda path, lg: [KESTREL, '-l', lg, '-c33'],
                                      b'Entering TerminalMode', b'\x01', log, data))
        script.append(script_receive('kestrel -l -S (5 fails)', work, data))
    p, s = statistics.median(plain), statistics.median(script)
    print('  median: plain %.2f MB/s, script %.2f MB/s, script / plain %.2f' % (
        len(data) / p / 1e6, len(data) / s / 1e6, p / s))


def main():
    build()
    work = tempfile.mkdtemp(prefix='serial_bench_')
    have_tio = shutil.which('tio') is not None
    try:
        if 'terminal' in PARTS:
            terminal_figures(work, have_tio)
        if 'script' in PARTS:
            script_figures(work)
        if 'echo' in PARTS:
            print('echo-back, 512 KiB, then 2000 one-byte round trips; five runs each, alternating:')
            rates = {'kestrel -e': [], 'socat PIPE': []}
            for _ in range(5):
                rates['kestrel -e'].append(echo_figures('kestrel -e', kestrel_echo))
                rates['socat PIPE'].append(echo_figures('socat PIPE', socat_echo))
            k, s = (statistics.median(rates[n]) for n in ('kestrel -e', 'socat PIPE'))
            print('  median rate: kestrel %.2f MB/s, socat %.2f MB/s, kestrel / socat %.2f (runs: %s)' % (
                k / 1e6, s / 1e6, k / s, ' '.join('%.2f' % (a / b) for a, b in
                                                  zip(rates['kestrel -e'], rates['socat PIPE']))))
        if 'idle' in PARTS:
            print('idle CPU:')
            peers = [('kestrel (terminal)', lambda path: [KESTREL, '-c33'], b'TerminalMode'),
                     ('kestrel -e', lambda path: [KESTREL, '-e', '-c34'], b'EchobackMode'),
                     ('kestrel -w, no port', lambda path: [KESTREL, '-w', '-c1'], b'Waiting for port'),
                     ('picocom', lambda path: ['picocom', path], b'Terminal ready')]
            if have_tio:
                peers.append(('tio', lambda path: ['tio', path], b'Connected'))
            idle_cpu(peers)
        if 'runs' in PARTS:
            print('kestrel -t against kestrel -e, 50 runs each:')
            for load in (False, True):
                for relay_name in ('relay', 'socat'):
                    bench_runs(relay_name, load)
    finally:
        for p in procs:
            end(p)
        shutil.rmtree(work)
        for n in os.listdir(DEV):
            os.unlink(os.path.join(DEV, n))


if __name__ == '__main__':
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
