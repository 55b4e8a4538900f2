#!/usr/bin/env python3
"""End-to-end checks of kestrel over pseudo-terminals.

usage: e2e.py CASE KESTREL DEVDIR PTYPAIR
KESTREL is a build whose device folder is DEVDIR; COM33 is DEVDIR/ttyUSB0.
"""
import fcntl, os, select, signal, subprocess, sys, termios, time

from pty_harness import fail, finish, link_pty, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)


def case_echo():
    master, _ = link_pty('ttyUSB0')
    p = start(['-e', '-c33'])
    read_until(p.stdout.fileno(), b'Entering EchobackMode: Escape=^A\n')
    for sent, back in ((b'AB\r', b'AB\r\n'), (b'\r\n', b'\r\n\n'), (b'\x01', b'\x01')):
        os.write(master, sent)
        got = read_until(master, len(back))
        if got != back:
            fail('sent %r, echoed %r' % (sent, got))
    if p.poll() is not None:
        fail('a received 0x01 ended the echo')
    p.stdin.write(b'\x01')
    p.stdin.flush()
    code, out, _ = finish(p)
    if code != 0 or out != b'AB\r\n\r\n\n\x01':
        fail('exit %d, console %r' % (code, out))


def bench_lines(out):
    text = out.decode('latin-1')
    head = 'Entering Benchmark: Escape=^A\n' + '.' * 250 + '\n'
    return text.startswith(head), text[len(head):]


def case_bench():
    # kestrel -t against kestrel -e at the far end of a pty pair
    for attempt in range(3):
        relay = subprocess.Popen([PTYPAIR, os.path.join(DEVDIR, 'ttyUSB0'),
                                  os.path.join(DEVDIR, 'ttyUSB1'), '30'], stdout=subprocess.PIPE)
        procs.append(relay)
        read_until(relay.stdout.fileno(), b'ready')
        echo = start(['-e', '-c33'], stdout=subprocess.DEVNULL)
        time.sleep(0.2)
        t = start(['-t', '-c34'], stdin=subprocess.DEVNULL)
        code, out, _ = finish(t, 20)
        echo.stdin.write(b'\x01')
        echo.stdin.flush()
        finish(echo)
        relay.kill()
        relay.wait()
        ok, rest = bench_lines(out)
        if code != 0 or not ok:
            fail('benchmark output %r' % out[-300:])
        if rest.startswith('Benchmark end. 32000 bytes/') and 'Errors' not in rest:
            print(rest.strip())
            return
        print('attempt %d: %s' % (attempt + 1, rest.strip()[:120]))
    fail('no clean benchmark run in 3 attempts')


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
    if code != 0 or '\nBenchmark TIMEOUT. rxcnt 249 < count 250 ,RS_checkdata()=127\n' not in rest:
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
    stamps, got = [], b''
    while len(got) < 4 + 9 + 5:
        r, _, _ = select.select([master], [], [], 5)
        if not r:
            fail('port received only %r' % got)
        d = os.read(master, 1)
        stamps.append(time.time())
        got += d
    if got != b'\rUB\rFILE\x01DATAkb\x03\x1a\x1c':
        fail('port received %r' % got)
    gaps = [stamps[i + 1] - stamps[i] for i in range(3)]
    if not all(0.025 < g < 0.2 for g in gaps):
        fail('preamble gaps %r' % gaps)
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
    p = subprocess.Popen([KESTREL, '-e', '-c33'], stdin=kbd_s, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, start_new_session=True,
                         preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    procs.append(p)
    read_until(p.stdout.fileno(), b'Escape=^A\n')
    os.write(kbd_m, b'\x03')
    code, _, _ = finish(p)
    if code != -signal.SIGINT or termios.tcgetattr(kbd_s) != before:
        fail('Ctrl-C in echo-back: exit %d, console restored: %s' % (code, termios.tcgetattr(kbd_s) == before))
    # kestrel & from a job-control shell: it must run, leave the console as it
    # is and read none of its keys; in terminal mode SIGINT ends it.
    for mode, sig, code_want in ((['-e'], signal.SIGTERM, 128 + signal.SIGTERM), ([], signal.SIGINT, 0)):
        shell = subprocess.Popen(['setsid', '-c', 'bash', '-c', 'set -m; "$@" & echo $!; wait $!',
                                  'bash', KESTREL] + mode + ['-c33'], stdin=kbd_s,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        procs.append(shell)
        out = read_until(shell.stdout.fileno(), b'Escape=^A\n')
        pid = int(out.split(b'\n')[0])
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
    holder = start(['-e', '-c66'], stdout=subprocess.DEVNULL)
    time.sleep(0.3)
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
    if code != 1 or err != b"Can't Open COM Port (COM100:).\n":
        fail('COM100: exit %d, %r' % (code, err))


run_case(globals(), 60)
