"""What kestrel's end-to-end scripts share: the program under test, links
from its device folder to pseudo-terminals, started runs and their ends.

A script calls setup() with its arguments (CASE KESTREL DEVDIR PTYPAIR),
then run_case() with its own globals."""
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback
import tty

KESTREL = DEVDIR = SYSDIR = PTYPAIR = CASE = None
procs = []


def setup(argv):
    """The build's sysfs folder (SYSDIR) is testsys beside DEVDIR."""
    global CASE, KESTREL, DEVDIR, SYSDIR, PTYPAIR
    CASE, KESTREL, DEVDIR, PTYPAIR = argv[1:5]
    # kestrel keeps a signal ignored that it inherits so: whatever the runner
    # ignores, the runs here start with the usual signals.
    for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGTERM):
        if signal.getsignal(sig) == signal.SIG_IGN:
            signal.signal(sig, signal.SIG_DFL)
    SYSDIR = os.path.join(os.path.dirname(DEVDIR), 'testsys')
    return CASE, KESTREL, DEVDIR, PTYPAIR


def fail(msg):
    """Ends every run still going and the case, with each kestrel's exit
    code and standard error after the message."""
    ended_here = [p for p in procs if p.poll() is None]
    for p in ended_here:
        p.kill()
    sys.exit('FAIL: ' + msg + ''.join(run_report(p, p in ended_here) for p in procs))


def run_report(p, ended_here):
    """A kestrel run as the report of a failure tells it ('' for a peer)."""
    if not hasattr(p, 'said'):
        return ''
    try:
        p.wait(2)
    except subprocess.TimeoutExpired:
        pass
    p.tee.join(2)
    how = 'still running, killed here' if ended_here else 'exit %s' % p.returncode
    return '\n  kestrel %s: %s, stderr %r' % (' '.join(p.args[1:]), how, bytes(p.said))


def dev(name):
    return os.path.join(DEVDIR, name)


def link_pty(name):
    """A raw pty whose slave is DEVDIR/name; returns (master, slave)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(dev(name)):
        os.unlink(dev(name))
    os.symlink(os.ttyname(slave), dev(name))
    return master, slave


def start(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, prefix=(), env=None, **popen):
    """Starts kestrel, after `prefix` (a program that execs it, such as setpriv).
    Its standard error reaches p.stderr through a copy kept for the report of
    a failure, however the case reads it."""
    # A group of its own, whose parent (this script) is in the same session:
    # the kernel then lets a stop signal stop it.
    if not popen.get('start_new_session'):
        popen.setdefault('process_group', 0)
    p = subprocess.Popen(list(prefix) + [KESTREL] + args, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                         env=env, **popen)
    procs.append(p)
    keep_stderr(p)
    return p


def keep_stderr(p):
    """p.stderr becomes a pipe that a thread fills from kestrel's own, noting
    every byte in p.said; it ends when kestrel's does."""
    theirs, ours = os.pipe()
    source, p.said = p.stderr, bytearray()

    def copy():
        passing = True
        while True:
            data = os.read(source.fileno(), 65536)
            if not data:
                break
            p.said += data
            while passing and data:
                try:
                    data = data[os.write(ours, data):]
                except OSError:  # the case closed its end: only the copy goes on
                    passing = False
        source.close()
        os.close(ours)
    p.stderr = os.fdopen(theirs, 'rb')
    p.tee = threading.Thread(target=copy, daemon=True)
    p.tee.start()


def finish(p, timeout=5.0):
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        fail('kestrel %r did not end' % (p.args[1:],))
    return p.returncode, out, err


def read_until(fd, want, timeout=5.0):
    """Reads fd until it holds `want` bytes (int) or the text `want` (bytes)."""
    data, end, ended = b'', time.time() + timeout, False
    while True:
        # Checked after every read: bytes that came just before the deadline count.
        if (isinstance(want, int) and len(data) >= want) or (isinstance(want, bytes) and want in data):
            return data
        if time.time() >= end or ended:
            break
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                chunk = b''
            ended = not chunk
            data += chunk
    fail('%s waiting for %r, got %r' % ('the stream ended' if ended else 'timed out',
                                         want if isinstance(want, int) else want[-80:], data[-200:]))


def empty_devdir():
    os.makedirs(DEVDIR, exist_ok=True)
    for name in os.listdir(DEVDIR):
        path = dev(name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def run_case(script_globals, seconds):
    """Empties the device folder, removes a sysfs tree that a case left,
    runs case_CASE within `seconds`, and leaves no kestrel or relay
    running, whatever happened. The folder is emptied again at the end: a
    link to a pseudo-terminal that is gone leads to whichever program gets
    its number next (another suite's test on a busy machine), and a kestrel
    that follows it takes that port from its owner."""
    shutil.rmtree(SYSDIR, ignore_errors=True)
    empty_devdir()
    signal.signal(signal.SIGALRM, lambda *_: fail('case %s ran out of time' % CASE))
    signal.alarm(seconds)
    try:
        script_globals['case_' + CASE]()
    except Exception:  # a broken case: the runs' ends are reported as for a failure
        traceback.print_exc()
        fail('case %s broke' % CASE)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        empty_devdir()
    print('ok')
