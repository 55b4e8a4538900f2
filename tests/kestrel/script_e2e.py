#!/usr/bin/env python3
"""End-to-end checks of kestrel's scripts (-S, -E) against a U-Boot-like
board (board.py) that each case plays on the far end of a pseudo-terminal.

usage: script_e2e.py CASE KESTREL DEVDIR PTYPAIR
COM33 is DEVDIR/ttyUSB0."""
import os, re, subprocess, sys, time, tty

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from board import Board
from pty_harness import dev, fail, finish, link_pty, procs, read_until, run_case, setup, start

CASE, KESTREL, DEVDIR, PTYPAIR = setup(sys.argv)
BANNER = b'Entering ScriptMode: Escape=^A\n'


def write_file(name, data):
    path = dev(name)
    with open(path, 'wb') as f:
        f.write(data)
    return path


def run_on_board(args, stdin=subprocess.DEVNULL, feed=None):
    """kestrel on COM33 with the board on the far end, from the banner on
    (the open flushes what came before); returns exit code, stdout, stderr."""
    master, slave = link_pty('ttyUSB0')
    p = start(['-c33', '-b115200'] + args, stdin=stdin)
    if feed is not None:
        p.stdin.write(feed)
        p.stdin.close()
        p.stdin = None
    out = read_until(p.stdout.fileno(), BANNER, 10)
    board = Board(master)
    board.start()
    code, rest, err = finish(p, 20)
    board.end()
    os.close(slave)
    return code, out + rest, err, board


GOOD = (b'# stop the autoboot, then ask the version\r\n'
        b'fail /Kernel panic|Oops/\r\n'
        b'expect "autoboot"; send " "\r\n'
        b'expect /^=> $/ 5000\r\n'
        b'dtr=0,100,dtr=1\r\n'
        b'send "version\\r"; expect /U-Boot 20[0-9]{2}\\.[0-9]{2}/\r\n'
        b'say "version ok"\r\n')
STOP = 'expect "autoboot"; send " "; expect "=> "'  # the autoboot stopped, at the prompt
TIMEOUT = (STOP.encode() + b'\n'
           b'# nothing boots here\n'
           b'timeout 400\n'
           b'send "version\\r"\n'
           b'expect /Linux version/\n')


def case_table():
    # Scripts against the board: exit code, lines the console shows (and
    # the log, with -l), what stderr says (a regex over all of it).
    log = dev('board.log')
    upload = write_file('up.txt', b'echo-me\r')
    rows = [
        ('good file, CRLF, -r steps, log', ['-l', log, '-S', write_file('good.ks', GOOD)], None, 0,
         [b'Hit any key to stop autoboot:', b'version\r\nU-Boot 2023.04', b'\nversion ok\n'],
         r'WARNING: COM33 has no modem lines\n$'),
        ('script from stdin', ['-S-'], STOP.encode() + b'; send "version\\r"; expect "gcc"', 0,
         [b'gcc (GCC) 12.2.0'], r'$'),
        ('expect times out', ['-S', write_file('t.ks', TIMEOUT)], None, 3,
         [b'=> version\r\n'],
         r'^\S*t\.ks:5: expect /Linux version/ timed out after 400 ms; last bytes received: '
         r'"[^\n]*gcc \(GCC\) 12\.2\.0\\r\\n=> "\n$'),
        ('fail matches', ['-E', 'fail "Oops"; fail /Kernel panic/; ' + STOP + '; send "panic\\r"; '
                          'expect "never"'], None, 4, [b'Kernel panic - not syncing'],
         r'^-E:1: fail /Kernel panic/ matched \(while line 1 ran: expect "never" 10000\)\n$'),
        ('match split over reads', ['-E', STOP + '\nsend "split\\r"\nexpect "split-marker-ok"\n'
                                    'expect /^=> $/'], None, 0, [b'split-marker-ok\r\n=> '], r'$'),
        ('upload, then its echo', ['-E', STOP + '; upload %s; expect "Unknown command \'echo-me\'"'
                                   % upload], None, 0, [b"=> echo-me\r\n"], r'$'),
        ('exit code, hex view', ['-x', '-E', STOP + '; exit 7'], None, 7, [b'0d 0a 3d 3e 20'], r'$'),
        ('autoboot missed', ['-E', 'wait 1500; send " "; expect "=> " 300'], None, 3,
         [b'Starting kernel'], r'-E:1: expect "=> " timed out after 300 ms'),
    ]
    for name, args, feed, want_code, shows, err_re in rows:
        code, out, err, _ = run_on_board(args, subprocess.PIPE if feed else subprocess.DEVNULL, feed)
        missing = [s for s in shows if s not in out]
        if code != want_code or missing or not re.search(err_re, err.decode(errors='replace')):
            fail('%s: exit %d (want %d), missing %r, console %r, stderr %r'
                 % (name, code, want_code, missing, out[-300:], err))
    with open(log, 'rb') as f:
        logged = f.read()
    if b'=> version\r\nU-Boot 2023.04' not in logged or b'version ok' in logged or b'Entering' in logged:
        fail('the log holds %r' % logged[-300:])


def case_refused():
    # A bad script ends the run before any port is opened (COM99 does not
    # exist: an open would say so), with its line and column.
    rows = [
        (['-E', 'send "x'], r'^-E:1:6: unclosed quote\n$'),
        (['-E', 'expect "=> "\nexpect /[/'], r'^-E:2:8: bad regex: '),
        (['-E', 'send "\\r";Send "x"'], r'^-E:1:11: unknown step "Send"\n$'),
        (['-E', 'expect "=> "; xsend'], r'^-E:1:20: missing argument: use xsend FILE\n$'),
        (['-S', dev('none.ks')], r"^Can't read script file \S*none\.ks: No such file"),
        (['-E'], r'^-E:1:1: no steps\n$'),
        (['-S', 'a.ks', '-E', 'wait 1'], r'^Give the script with -S or with -E, not both\n$'),
        (['-e', '-E', 'wait 1'], r'^A script \(-S, -E\) runs in the terminal, not with -e or -t\n$'),
    ]
    for args, err_re in rows:
        p = start(['-c99'] + args, stdin=subprocess.DEVNULL)
        code, out, err = finish(p)
        if code != 1 or out != b'' or not re.search(err_re, err.decode()):
            fail('%r: exit %d, stdout %r, stderr %r' % (args, code, out, err))


def case_interact():
    # interact hands over to the terminal, whose keys then reach the board;
    # keys piped in meanwhile wait for it, and Ctrl-A ends the session.
    master, slave = link_pty('ttyUSB0')
    p = start(['-c33', '-E', STOP + '; send "version\\r"; expect "gcc"; interact'])
    p.stdin.write(b'reset\r')
    p.stdin.flush()
    out = read_until(p.stdout.fileno(), BANNER)
    board = Board(master)
    board.start()
    out += read_until(p.stdout.fileno(), b'Entering TerminalMode: Escape=^A\n')
    out += read_until(p.stdout.fileno(), b'resetting ...\r\n')
    p.stdin.write(b'\x01')
    p.stdin.flush()
    code, rest, err = finish(p)
    board.end()
    if code != 0 or err != b'' or bytes(board.heard) != b' version\rreset\r':
        fail('exit %d, the board heard %r, stderr %r' % (code, bytes(board.heard), err))
    os.close(slave)


def relay_up():
    """A ptypair cable: COM33 is ttyUSB0, its far end ttyUSB1, opened here raw."""
    relay = subprocess.Popen([PTYPAIR, dev('ttyUSB0'), dev('ttyUSB1'), '30'], stdout=subprocess.PIPE)
    procs.append(relay)
    read_until(relay.stdout.fileno(), b'ready', 15)  # a loaded machine starts it slowly
    far = os.open(dev('ttyUSB1'), os.O_RDWR | os.O_NOCTTY)
    tty.setraw(far)
    return relay, far


def relay_down(relay, far):
    os.unlink(dev('ttyUSB0'))  # kestrel must not find a reused pts there
    relay.kill()
    relay.wait()
    os.close(far)


def case_hangup():
    # Under -w a hang-up cuts the running step short; the script waits for
    # the port and goes on with the next step on the board that came back.
    relay, far = relay_up()
    p = start(['-w', '-c33', '-E', STOP + '\nexpect "never" 20000\nexpect "autoboot"\n'
               'send " "; expect "=> "; say "back on the prompt"'], stdin=subprocess.DEVNULL)
    out = read_until(p.stdout.fileno(), BANNER)
    board = Board(far)
    board.start()
    out += read_until(p.stdout.fileno(), b'=> ')
    board.end()
    relay_down(relay, far)
    out += read_until(p.stdout.fileno(), b'again.\n')
    relay, far = relay_up()
    out += read_until(p.stdout.fileno(), b'back.\n')
    board = Board(far)
    board.start()
    code, rest, err = finish(p, 10)
    out += rest
    board.end()
    said = (b'=> \n[-E:2: expect "never" 20000 cut short by the hang-up: the script goes on with '
            b'the next step once the port is back]\nPort COM33 hung up. Waiting for it again.\n'
            b'Port COM33 is back.\n')
    if code != 0 or err != b'' or said not in out or not out.endswith(b'=> \nback on the prompt\n'):
        fail('exit %d, console %r, stderr %r' % (code, out, err))
    relay_down(relay, far)


def switches(p):
    with open('/proc/%d/status' % p.pid) as f:
        return sum(int(line.split()[1]) for line in f if 'ctxt_switches' in line)


def case_idle():
    # An expect that waits blocks in one wait until its deadline, from a
    # console or headless: a periodic wake-up would switch hundreds of times.
    for keys in ('tty', 'null'):
        master, slave = link_pty('ttyUSB0')
        kbd_m, kbd_s = os.openpty()
        p = start(['-c33', '-E', 'expect "never" 60000'],
                  stdin=kbd_s if keys == 'tty' else subprocess.DEVNULL)
        read_until(p.stdout.fileno(), BANNER)
        time.sleep(0.2)
        before = switches(p)
        time.sleep(2)
        woke = switches(p) - before
        if woke > 4:
            fail('stdin %s: an idle expect woke %d times in 2 s' % (keys, woke))
        os.write(master, b'a byte ends no wait early\r\n')
        time.sleep(0.3)
        if p.poll() is not None:
            fail('stdin %s: the run ended at a received byte' % keys)
        p.kill()
        finish(p)
        for fd in (master, slave, kbd_m, kbd_s):
            os.close(fd)


run_case(globals(), 80)
