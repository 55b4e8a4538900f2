#!/usr/bin/env python3
"""kestrel on network ports beside its peers, in one run, with one ser2net
serving one pseudo-terminal over RFC 2217 and over raw TCP:

- receive: 4 MiB written into the far end (the pty), timed until the program
  holds all of it: kestrel's terminal with a log over rfc2217:// and over
  tcp://, socat as a TCP client writing to a file (from the raw accepter,
  and from the rfc2217 one, where it takes the Telnet stream as it comes,
  which shows what ser2net's Telnet side costs), and pyserial's miniterm
  over rfc2217:// (timed until its console has shown every byte);
- idle CPU: time on a CPU over 5 s of a session with nothing to do.

Each receive run is made five times, in turns, the order rotated each round
so that none always follows the same one; the median is shown.

Usage: bench/net_bench.py [BUILD_DIR]   (default build-bench; the release
build that bench/serial_bench.py makes there). Needs ser2net, socat and
python3-serial (the system's python3, /usr/bin/python3, for miniterm)."""
import fcntl, os, select, shutil, socket, statistics, subprocess, sys, tempfile, termios, time, tty

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serial_bench
from serial_bench import Console, KESTREL, end, spawn

ROUNDS = 5
SYSTEM_PYTHON = '/usr/bin/python3'  # the one python3-serial belongs to
DATA = os.urandom(4 << 20).replace(b'\n', b'm')  # no line ends: every console shows it byte for byte


# Reads a console's output and keeps the count of bytes in a file: a process
# of its own, so that reading the console takes nothing from the feed.
DRAIN = """
import os, sys
fd, count, total = 0, os.open(sys.argv[1], os.O_WRONLY), 0
while True:
    try:
        d = os.read(fd, 1 << 16)
    except OSError:
        break
    if not d:
        break
    total += len(d)
    os.pwrite(count, b'%20d' % total, 0)
"""


class DrainedConsole:
    """A terminal for one interactive program in a session of its own; once
    it shows `ready`, a separate process reads and counts what it shows."""

    def __init__(self, cmd, ready, work, env=None):
        self.m, s = os.openpty()
        self.p = spawn(cmd, stdin=s, stdout=s, stderr=s, start_new_session=True, env=env,
                       preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(s)
        seen, ends = b'', time.time() + 20
        while ready not in seen:
            if time.time() > ends or not select.select([self.m], [], [], 0.1)[0] and self.p.poll() is not None:
                raise SystemExit('%r did not show %r: %r' % (cmd, ready, seen[-200:]))
            if select.select([self.m], [], [], 0.05)[0]:
                seen += os.read(self.m, 4096)
        self.count = os.path.join(work, 'shown.count')
        open(self.count, 'w').close()
        self.drain = spawn([sys.executable, '-c', DRAIN, self.count], stdin=self.m)

    def shown(self):
        with open(self.count, 'rb') as f:
            text = f.read().strip()
        return int(text) if text else 0

    def quit(self, keys):
        os.write(self.m, keys)
        try:
            self.p.wait(5)
        except subprocess.TimeoutExpired:
            end(self.p)
        end(self.drain)
        os.close(self.m)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    with open('/proc/net/tcp') as f:
        return any(l.split()[1] == '0100007F:%04X' % port and l.split()[3] == '0A'
                   for l in f.readlines()[1:])


def settled(ports, timeout=10):
    """Waits until ser2net holds no connection on its ports: the last client's
    session is over and the pty free for the next."""
    ends = time.time() + timeout
    mine = {':%04X' % p for p in ports}
    while time.time() < ends:
        with open('/proc/net/tcp') as f:
            rows = [l.split() for l in f.readlines()[1:]]
        if not any(r[1][-5:] in mine and r[3] != '0A' for r in rows):
            return
        time.sleep(0.05)


def start_ser2net(work):
    """One ser2net, one pty, two accepters: (master, rfc2217 port, raw port)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    rfc, raw = free_port(), free_port()
    config = os.path.join(work, 'ser2net.yaml')
    dev = os.ttyname(slave)
    with open(config, 'w') as f:
        for name, accepter, port in (('rfc', 'telnet(rfc2217),tcp', rfc), ('raw', 'tcp', raw)):
            f.write('connection: &%s\n  accepter: %s,127.0.0.1,%d\n'
                    '  connector: serialdev,%s,115200n81,local\n' % (name, accepter, port, dev))
    spawn(['ser2net', '-n', '-c', config, '-P', os.path.join(work, 'ser2net.pid')],
          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not (listening(rfc) and listening(raw)):
        time.sleep(0.05)
    return master, slave, rfc, raw


def feed(master, done, limit=120):
    """Writes DATA into the far end until done() holds: the elapsed seconds."""
    return serial_bench.feed(master, DATA, done, limit)


def size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def verdict(got):
    if got == DATA:
        return 'intact'
    return 'holds only the first %d bytes' % len(got) if DATA.startswith(got) else 'DIFFERS'


def kestrel_run(master, url, log, work):
    con = DrainedConsole([KESTREL, '-l', log, '-c' + url], b'Entering TerminalMode', work)
    elapsed = feed(master, lambda: size(log) >= len(DATA))
    con.quit(b'\x01')
    return elapsed, verdict(open(log, 'rb').read())


def socat_run(master, port, out, telnet=False):
    """telnet: from the rfc2217 accepter, the Telnet stream as it comes (each
    0xFF doubled, ser2net's negotiation at the start), timed until it holds
    every byte."""
    p = spawn(['socat', '-d', '-d', '-u', 'TCP:127.0.0.1:%d' % port, 'CREATE:' + out],
              stderr=subprocess.PIPE)
    err = b''
    while b'starting data transfer loop' not in err:
        err += os.read(p.stderr.fileno(), 4096)
    time.sleep(0.1)  # ser2net has opened the pty
    want = len(DATA) + (DATA.count(b'\xff') if telnet else 0)
    elapsed = feed(master, lambda: size(out) >= want)
    end(p)
    return elapsed, 'Telnet stream' if telnet else verdict(open(out, 'rb').read())


def miniterm_run(master, port, work):
    # pyserial's client gives up when SET-CONTROL goes unanswered (a pty has
    # no DTR or RTS): ign_set_control lets it open at all.
    url = 'rfc2217://127.0.0.1:%d?ign_set_control' % port
    env = dict(os.environ, PYTHONIOENCODING='latin-1')
    con = DrainedConsole([SYSTEM_PYTHON, '-m', 'serial.tools.miniterm', '--raw', '--encoding', 'latin1',
                          url, '115200'], b'Quit: Ctrl+]', work, env=env)
    elapsed = feed(master, lambda: con.shown() >= len(DATA))
    got = con.shown()
    con.quit(b'\x1d')
    return elapsed, 'shown' if got >= len(DATA) else 'shown only %d bytes' % got


def receive_figures(work, master, rfc, raw):
    print('receive, 4 MiB into the far end of ser2net, timed until the program holds it (median of %d):' % ROUNDS)
    runs = [('kestrel -l rfc2217://', lambda: kestrel_run(master, 'rfc2217://127.0.0.1:%d' % rfc,
                                                          os.path.join(work, 'k_rfc.log'), work)),
            ('kestrel -l tcp://', lambda: kestrel_run(master, 'tcp://127.0.0.1:%d' % raw,
                                                      os.path.join(work, 'k_raw.log'), work)),
            ('socat TCP to a file', lambda: socat_run(master, raw, os.path.join(work, 'socat.out'))),
            ('socat, rfc2217 accepter', lambda: socat_run(master, rfc, os.path.join(work, 'socat_t.out'), True)),
            ('miniterm rfc2217://', lambda: miniterm_run(master, rfc, work))]
    times = {name: [] for name, _ in runs}
    states = {}
    for r in range(ROUNDS):
        for name, run in runs[r % len(runs):] + runs[:r % len(runs)]:  # each in every place in turn
            settled((rfc, raw))
            elapsed, state = run()
            times[name].append(elapsed)
            if states.get(name) in (None, 'intact', 'shown', 'Telnet stream'):
                states[name] = state  # a bad run's verdict stays
    med = {name: statistics.median(t) for name, t in times.items()}
    for name, _ in runs:
        print('  %-24s %7.3f s  %6.2f MB/s  %s' % (name, med[name], len(DATA) / med[name] / 1e6, states[name]))
    socat = med['socat TCP to a file']
    for name in ('kestrel -l rfc2217://', 'kestrel -l tcp://'):
        print('  %s rate / socat rate: %.2f' % (name, socat / med[name]))
    print('  kestrel -l rfc2217:// rate / socat rate on the rfc2217 accepter: %.2f'
          % (med['socat, rfc2217 accepter'] / med['kestrel -l rfc2217://']))
    print('  miniterm time / kestrel rfc2217:// time: %.1f' % (med['miniterm rfc2217://'] / med['kestrel -l rfc2217://']))


def cpu_ns(p):
    """The process's time on a CPU so far, in ns (finer than the ticks of /proc/PID/stat)."""
    with open('/proc/%d/schedstat' % p.pid) as f:
        return int(f.read().split()[0])


def idle_figures(rfc, raw):
    print('idle CPU over 5 s:')
    for name, cmd, ready in (
            ('kestrel rfc2217:// terminal', [KESTREL, '-crfc2217://127.0.0.1:%d' % rfc], b'TerminalMode'),
            ('kestrel tcp:// echo-back', [KESTREL, '-e', '-ctcp://127.0.0.1:%d' % raw], b'EchobackMode'),
            ('miniterm rfc2217://', [SYSTEM_PYTHON, '-m', 'serial.tools.miniterm',
                                     'rfc2217://127.0.0.1:%d?ign_set_control' % rfc], b'Quit: Ctrl+]')):
        con = Console(cmd)
        con.wait_for(ready, 20)
        time.sleep(0.5)
        before = cpu_ns(con.p)
        time.sleep(5)
        used = (cpu_ns(con.p) - before) / 1e6
        print('  %-30s %5.1f ms in 5 s (%.2f%% of a core)' % (name, used, used / 50))
        end(con.p)


def main():
    serial_bench.build()
    work = tempfile.mkdtemp(prefix='net_bench_')
    try:
        master, slave, rfc, raw = start_ser2net(work)
        receive_figures(work, master, rfc, raw)
        idle_figures(rfc, raw)
    finally:
        for p in serial_bench.procs:
            end(p)
        shutil.rmtree(work)


if __name__ == '__main__':
    main()
