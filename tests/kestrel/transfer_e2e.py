#!/usr/bin/env python3
"""kestrel's file transfers and programs on the port, end to end against
lrzsz over a ptypair cable, driven by Ctrl-T commands typed on kestrel's
standard input.
  transfer_e2e.py CASE KESTREL DEVDIR PTYPAIR"""
import fcntl
import os
import subprocess
import sys
import time
from pty_harness import dev, fail, finish, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)
MIB = 1 << 20

# Ctrl-T command, protocol, the lrzsz command at the far end (its file names
# follow), sizes (one YMODEM batch, or one XMODEM run each). An XMODEM
# receiver keeps the 0x1A padding to 128 bytes.
TRANSFERS = [
    ('s', 'x', ['rx', '-q', '-c'], [1, 1025]),
    ('s', '1k', ['rx', '-q', '-c'], [128, MIB]),
    ('s', 'y', ['rb', '-q'], [0, 1, 128, 1025, MIB]),
    ('g', 'x', ['sx', '-q'], [1025]),
    ('g', 'x', ['sx', '-q', '-k'], [MIB]),
    ('g', 'y', ['sb', '-q', '-k'], [0, 1, 128, 1025, MIB]),
]


def cable():
    pair = subprocess.Popen([PTYPAIR, dev('A'), dev('B'), '300'], stdout=subprocess.PIPE)
    procs.append(pair)
    if pair.stdout.readline().strip() != b'ready':
        fail('ptypair did not start')


def far_end(cmd, cwd):
    """lrzsz (or any program) on the cable's far end, behind socat's pipes."""
    p = subprocess.Popen(['socat', '-b65536', 'FILE:%s,raw,echo=0' % dev('B'),
                          'EXEC:%s,pipes,stderr' % ' '.join(cmd)], cwd=cwd, stderr=subprocess.PIPE)
    procs.append(p)
    return p


def kestrel(extra=()):
    p = start(['-c' + dev('A'), '-k', '-l' + os.path.join(DEVDIR, 'log')] + list(extra))
    read_until(p.stdout.fileno(), b'Command key')
    return p


def command(p, letter, *answers):
    """Ctrl-T and a letter, then each answer once its prompt shows."""
    os.write(p.stdin.fileno(), b'\x14' + letter.encode())
    for a in answers:
        read_until(p.stdout.fileno(), b': ')
        os.write(p.stdin.fileno(), a.encode() + b'\r')


def summary(p, seconds):
    """Output up to the end of the transfer's summary line."""
    seen = read_until(p.stdout.fileno(), b'[transfer ', seconds)
    while b']' not in seen[seen.rfind(b'[transfer '):]:
        seen += read_until(p.stdout.fileno(), b']', 10)
    return seen


def end(p, seen, want_rc=0):
    os.write(p.stdin.fileno(), b'\x01')
    rc, out, _ = finish(p, 10)
    if rc != want_rc:
        fail('kestrel exit %d, output %r' % (rc, (seen + out)[-300:]))
    return seen + out


def files(folder, sizes):
    names = []
    for i, size in enumerate(sizes):
        names.append('f%d_%d' % (i, size))
        with open(os.path.join(folder, names[-1]), 'wb') as f:
            f.write(os.urandom(size))
    return names


def check_same(src, dst, name, xmodem):
    want = open(os.path.join(src, name), 'rb').read()
    if xmodem:
        want += b'\x1a' * (-len(want) % 128)
    path = os.path.join(dst, name)
    if not os.path.exists(path) or open(path, 'rb').read() != want:
        fail('%s differs after the transfer' % path)


def one_transfer(letter, proto, cmd, names, src, dst):
    cable()
    # The far end starts once kestrel's side runs, as lrzsz's own tests have it.
    p = kestrel()
    if letter == 's':
        # Names in quotes, as a name with blanks must be given.
        command(p, 's', proto, ' '.join('"%s"' % os.path.join(src, n) for n in names))
        them = far_end(cmd + names[:1] if proto != 'y' else cmd, dst)
    else:
        command(p, 'g', proto, os.path.join(dst, names[0]) if proto == 'x' else dst)
        them = far_end(cmd + names, src)
    seen = summary(p, 60)
    them.wait(30)
    if b'[transfer done' not in seen or them.returncode != 0:
        fail('%s %s with %s: %r, far end exit %s %r' % (letter, proto, cmd, seen[-200:],
             them.returncode, them.stderr.read()))
    end(p, seen)
    # lrzsz's sx writes a CR once it is done: that byte comes after the transfer.
    log = open(os.path.join(DEVDIR, 'log'), 'rb').read()
    if len(log) > 4:
        fail('%s %s with %s: the log holds transfer bytes %r' % (letter, proto, cmd, log[:100]))


def case_transfers():
    import tempfile
    for letter, proto, cmd, sizes in TRANSFERS:
        with tempfile.TemporaryDirectory() as src, tempfile.TemporaryDirectory() as dst:
            names = files(src, sizes)
            groups = [names] if proto == 'y' else [[n] for n in names]
            # An existing file keeps its bytes: the received one takes NAME.1.
            old = os.path.join(dst, names[0])
            if letter == 'g' and proto == 'y':
                open(old, 'wb').write(b'old')
            for group in groups:
                one_transfer(letter, proto, cmd, group, src, dst)
            if letter == 'g' and proto == 'y':
                if open(old, 'rb').read() != b'old':
                    fail('an existing file was overwritten')
                os.replace(old + '.1', old)
            for n in names:
                check_same(src, dst, n, proto != 'y')
            if any(n.endswith('.part') for n in os.listdir(dst)):
                fail('a .part file stayed after complete transfers')


def case_abort():
    """Ctrl-A during a receive: CANs end the sender, the bytes so far stay in NAME.part."""
    import tempfile
    with tempfile.TemporaryDirectory() as src, tempfile.TemporaryDirectory() as dst:
        names = files(src, [8 * MIB])
        cable()
        p = kestrel(['-b9600'])
        command(p, 'g', 'y', dst)
        them = far_end(['sb', '-q'] + names, src)
        read_until(p.stdout.fileno(), b'KB/s', 20)
        time.sleep(0.5)
        os.write(p.stdin.fileno(), b'\x01')
        seen = read_until(p.stdout.fileno(), b'aborted by Ctrl-A]', 10)
        them.wait(20)
        seen = end(p, seen)
        part = os.path.join(dst, names[0] + '.part')
        if os.path.exists(os.path.join(dst, names[0])) or not os.path.exists(part):
            fail('after an abort: %r' % os.listdir(dst))
        if open(os.path.join(src, names[0]), 'rb').read(os.path.getsize(part)) != open(part, 'rb').read():
            fail('the .part file holds other bytes')
        if them.returncode == 0:
            fail('the sender did not see the cancel')


def case_attached():
    """sz run attached sends a file with ZMODEM to rz at the far end; then a program's exit code."""
    import tempfile
    with tempfile.TemporaryDirectory() as src, tempfile.TemporaryDirectory() as dst:
        names = files(src, [100000])
        cable()
        p = kestrel()
        command(p, 'e', 'sz -q %s' % os.path.join(src, names[0]))
        them = far_end(['rz', '-q'], dst)
        seen = read_until(p.stdout.fileno(), b'[program exited with code 0]', 60)
        them.wait(20)
        # A program's exit code, and Ctrl-A ending a program (SIGTERM: 143).
        for cmd, keys, code in (('exit 7', b'', 7), ('exec sleep 30', b'\x01', 143)):
            command(p, 'e', cmd)
            got = read_until(p.stdout.fileno(), b'Ctrl-A ends it]', 10)
            os.write(p.stdin.fileno(), keys)
            want = b'[program exited with code %d]' % code
            seen += got if want in got else got + read_until(p.stdout.fileno(), want, 10)
        # A program that exits while the port holds its output back: all of
        # it still reaches the far end, read only once the program is gone.
        import tty
        far = os.open(dev('B'), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(far)
        command(p, 'e', 'head -c 1000000 /dev/zero')
        time.sleep(1.5)
        got = len(read_until(far, 1000000, 30))
        if got != 1000000:
            fail('the far end got %d bytes of the 1000000 written' % got)
        seen += read_until(p.stdout.fileno(), b'[program exited with code 0]', 10)
        os.close(far)
        end(p, seen)
        check_same(src, dst, names[0], False)


def case_net():
    """Both ways over tcp://: the far end is lrzsz behind a loopback socket."""
    import socket
    import tempfile
    for letter, proto, cmd in (('s', 'y', ['rb', '-q']), ('g', 'y', ['sb', '-q', '-k'])):
        with tempfile.TemporaryDirectory() as src, tempfile.TemporaryDirectory() as dst:
            names = files(src, [0, 1025, MIB])
            probe = socket.socket()
            probe.bind(('127.0.0.1', 0))
            port = probe.getsockname()[1]
            probe.close()
            them = subprocess.Popen(['socat', '-b65536', 'TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr' % port,
                                     'EXEC:%s,pipes,stderr' % ' '.join(cmd + (names if letter == 'g' else []))],
                                    cwd=src if letter == 'g' else dst, stderr=subprocess.PIPE)
            procs.append(them)
            time.sleep(0.3)
            p = start(['-ctcp://127.0.0.1:%d' % port, '-k', '-l' + os.path.join(DEVDIR, 'log')])
            read_until(p.stdout.fileno(), b'Command key')
            if letter == 's':
                command(p, 's', proto, ' '.join(os.path.join(src, n) for n in names))
            else:
                command(p, 'g', proto, dst)
            seen = summary(p, 60)
            them.wait(30)
            if b'[transfer done' not in seen or them.returncode != 0:
                fail('tcp %s: %r, far end exit %s %r' % (letter, seen[-200:], them.returncode,
                     them.stderr.read()))
            # socat closes the connection as lrzsz ends: kestrel's port hangs up.
            rc, _, _ = finish(p, 10)
            if rc != 255:
                fail('tcp %s: exit %d after the far end closed' % (letter, rc))
            for n in names:
                check_same(src, dst, n, False)


FLASHER = r'''
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # fails while another program holds the port
os.write(fd, b"FLASHING\r\n")
os.close(fd)
sys.exit(int(sys.argv[2]) if len(sys.argv) > 2 else 3)
'''


def case_released():
    """A flasher that locks the port runs while kestrel has released it, as
    Ctrl-T f and as -F; the boot line that follows reaches console and log."""
    flasher = os.path.join(DEVDIR, 'flasher.py')
    open(flasher, 'w').write(FLASHER)
    for how in ('command', 'option'):
        cable()
        far = os.open(dev('B'), os.O_RDWR | os.O_NOCTTY)
        line = '%s %s %%p' % (sys.executable, flasher)
        if how == 'command':
            p = kestrel()
            command(p, 'f', line)
        else:
            p = start(['-c' + dev('A'), '-k', '-l' + os.path.join(DEVDIR, 'log'), '-F' + line])
        seen = read_until(p.stdout.fileno(), b'[program exited with code 3]', 20)
        if read_until(far, b'FLASHING\r\n', 5) is None:
            fail('no flasher output')
        back = b'Port ' if how == 'command' else b'Command key'
        if back not in seen[seen.find(b'code 3]'):]:
            seen += read_until(p.stdout.fileno(), back, 10)
        time.sleep(0.3)
        os.write(far, b'boot line\r\n')
        seen += read_until(p.stdout.fileno(), b'boot line', 10)
        end(p, seen)
        os.close(far)
        if b'boot line' not in open(os.path.join(DEVDIR, 'log'), 'rb').read():
            fail('the log lost the boot line after the reopen (%s)' % how)
        for q in procs:
            if q.poll() is None and q.args[0] == PTYPAIR:
                q.kill()
                q.wait()



# Script steps: the steps ({s} the source folder, {d} the target one, {f}
# the flasher), the far end's lrzsz command (its file names follow) or
# None, the exit code, a regex over stderr, and the files that must arrive
# (a name in {d}, its source in {s}, XMODEM-padded or not); then kestrel's
# options, if any (two stop bits show on the pty, which refuses CS7 and PARENB).
STEPS = [
    ('xsend {s}/a; say "sent"', ['rx', '-q', '-c', 'a'], 0, r'^$', [('a', True)]),
    ('xsend1k {s}/b', ['rx', '-q', '-c', 'b'], 0, r'^$', [('b', True)]),
    ('ysend {s}/a "{s}/c d"', ['rb', '-q'], 0, r'^$', [('a', False), ('c d', False)]),
    ('xrecv {d}/a', ['sx', '-q', 'a'], 0, r'^$', [('a', True)]),
    ('yrecv {d}', ['sb', '-q', '-k', 'a', 'b'], 0, r'^$', [('a', False), ('b', False)]),
    ('ysend {s}/b; say "sent"', ['rb', '-q'], 0, r'^$', [('b', False)], ['-m8N2']),
    ('run "sz -q {s}/b"', ['rz', '-q'], 0, r'^\r?$', [('b', False)]),  # sz's stderr: a CR
    ('wait 10\nrun "exit 9"; say "not here"', None, 5,
     r'^-E:2: run "exit 9" failed: the program exited with code 9\n$', []),
    ('xsend {s}/none', None, 5, r'^-E:1: xsend \S*/none failed: can\'t read \S*/none: No such file', []),
    ('yrecv {s}/none', None, 5, r'^-E:1: yrecv \S*/none failed: no folder ', []),
    ('xrecv {d}', None, 5, r'^-E:1: xrecv \S* failed: \S* is a folder\n$', []),
    ('release "{f} %p 0"; send "x"; say "back"', None, 0, r'^$', []),
    ('release "{f} %p 3"', None, 5, r'failed: the program exited with code 3\n$', []),
]


def case_steps():
    """The transfer and program steps of a script against lrzsz, and how they fail."""
    import re
    import tempfile
    flasher = '%s %s' % (sys.executable, os.path.join(DEVDIR, 'flasher.py'))
    open(os.path.join(DEVDIR, 'flasher.py'), 'w').write(FLASHER)
    import termios
    for steps, cmd, want_rc, err_re, arrive, *options in STEPS:
        with tempfile.TemporaryDirectory() as src, tempfile.TemporaryDirectory() as dst:
            for name, size in (('a', 1025), ('b', 200000), ('c d', 0)):
                open(os.path.join(src, name), 'wb').write(os.urandom(size))
            cable()
            script = steps.format(s=src, d=dst, f=flasher)
            p = start(['-c' + dev('A'), '-E', script] + sum(options, []), stdin=subprocess.DEVNULL)
            read_until(p.stdout.fileno(), b'ScriptMode')
            port = os.open(dev('A'), os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
            stop2 = termios.tcgetattr(port)[2] & termios.CSTOPB
            os.close(port)
            if bool(stop2) != (['-m8N2'] in options):
                fail('%r %r: CSTOPB is %d on the port' % (script, options, stop2))
            them = far_end(cmd, dst if cmd[0] in ('rx', 'rb', 'rz') else src) if cmd else None
            rc, out, err = finish(p, 60)
            if them:
                them.wait(30)
            if rc != want_rc or not re.search(err_re, err.decode(errors='replace')) or \
                    (them and them.returncode != 0):
                fail('%r: exit %d (want %d), stderr %r, output %r, far end %r' % (
                    script, rc, want_rc, err, out[-300:], them and them.returncode))
            for name, padded in arrive:
                check_same(src, dst, name, padded)
    # -F whose program fails ends a script before the port opens.
    cable()
    p = start(['-c' + dev('A'), '-F' + flasher + ' %p 4', '-E', 'send "x"'], stdin=subprocess.DEVNULL)
    rc, out, err = finish(p, 20)
    if rc != 5 or b'ScriptMode' in out or not err.endswith(b'failed: the program exited with code 4\n'):
        fail('-F failing under -E: exit %d, stdout %r, stderr %r' % (rc, out, err))


run_case(globals(), 240)
