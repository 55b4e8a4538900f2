#!/usr/bin/env bash
# One end-to-end case of kestrel.exe under Wine on a COM port that the Wine
# prefix maps to a pseudo-terminal.
#   kestrel_wine.sh CASE KESTREL_EXE WORK [NATIVE_KESTREL NATIVE_DEV_DIR]
# CASE: list | missing | echo | wait | names | stamps | line | usage | bench | stall | restore | net | xmodem | script. WINEPREFIX and the other Wine settings
# come from the environment (ctest passes them; see CMakeLists.txt here), WINE
# and WINESERVER name the loader and server of the build's word size.
# Each case uses COM numbers of its own, so cases may run side by side.
set -euo pipefail
case_name=$1 exe=$2 work=$3 native=${4:-} native_dev=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
export WINE=${WINE:-wine} WINESERVER=${WINESERVER:-wineserver}
rm -rf "$work" && mkdir -p "$work" && cd "$work"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; for f in *.out *.err; do [ -s "$f" ] && { echo "--- $f" >&2; cat -v "$f" >&2; }; done; exit 1; }

# A prefix that no run has made yet is made here, once, whichever case comes
# first (-o: Wine's background processes must not inherit the lock).
flock -o "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$WINE" wineboot -i' </dev/null >/dev/null 2>&1

# Keeps the prefix's wineserver alive for a minute: the registry's HARDWARE
# branch is volatile and forgets the registered ports when the server ends.
# (Fails harmlessly when a server runs already.) Its output goes nowhere, so
# that it does not hold ctest's pipes open while it lingers.
"$WINESERVER" -p60 </dev/null >/dev/null 2>&1 || true

# A cable between link a (Wine's side) and link b (the Linux side).
cable() {
  python3 "$here/pty_pair.py" "$work/$1" "$work/$2" 120 >"$work/cable_$1.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do [ -L "$work/$2" ] && return; sleep 0.1; done
  fail "the pseudo-terminal pair did not come up"
}

# Waits until FILE holds TEXT (a program's banner): a loaded machine may
# take many seconds to start a Wine program.
wait_for() { # FILE TEXT
  for _ in $(seq 600); do grep -q "$2" "$1" 2>/dev/null && return; sleep 0.1; done
  fail "$1 does not show $2"
}

# COMn of the prefix is the pseudo-terminal behind link $2, listed in SERIALCOMM.
com_port() {
  ln -sfn "$work/$2" "$WINEPREFIX/dosdevices/com$1"
  "$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "KestrelTest$1" /t REG_SZ /d "COM$1" /f >/dev/null
}

# Sends $1 to the Linux end $2 and prints, escaped, what comes back: once $3
# bytes are there (or a minute passed), and what follows within 0.5 s.
exchange() {
  python3 - "$2" "$1" "$3" <<'PY'
import os, select, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
os.write(fd, sys.argv[2].encode().decode("unicode_escape").encode("latin-1"))
got, end = b"", time.time() + 60
while time.time() < end:
    if select.select([fd], [], [], 0.1)[0]:
        got += os.read(fd, 256)
    if len(got) >= int(sys.argv[3]):
        end = min(end, time.time() + 0.5)
print(repr(got))
PY
}

case $case_name in
list)
  cable a5 b5 && com_port 5 a5
  "$WINE" "$exe" -p >list.out 2>list.err || fail "kestrel -p exited with $?"
  grep -q $'^==== COM Port List====\r$' list.out || fail "no header line"
  grep -qE $'^COM5:TxQue=[0-9]+,RxQue=[0-9]+,Baud=0x[0-9a-f]+,BaudMax=0x[0-9a-f]+,Bits=0x[0-9a-f]+,SubType=[0-9a-f]+,Capa=[0-9a-f]+ \r$' list.out ||
    fail "no property line for COM5"
  ;;
missing)
  rm -f "$WINEPREFIX/dosdevices/com9"
  rc=0; "$WINE" "$exe" -c9 -e >missing.out 2>missing.err </dev/null || rc=$?
  [ "$rc" = 1 ] || fail "exit code $rc, expected 1"
  grep -q $'^Can\'t Open COM Port (COM9:).\r$' missing.err || fail "no open failure message"
  ;;
echo)
  cable a6 b6 && com_port 6 a6
  "$WINE" "$exe" -c6 -e -b115200 >echo.out 2>echo.err </dev/null &
  pids+=($!)
  wait_for echo.out EchobackMode
  got=$(exchange 'hello\rA\x00\xff' b6 10)
  [ "$got" = "b'hello\\r\\nA\\x00\\xff'" ] || fail "echo returned $got"
  if [ -s echo.err ]; then fail "a rate the port takes was warned of"; fi
  ;;
wait)
  # -w: COM10 does not exist yet and is waited for; once it appears the echo
  # runs. The pseudo-terminal keeps its old rate for 12345 baud (SetCommState
  # refuses it): GetCommState reads that back, and the warning says so.
  rm -f "$WINEPREFIX/dosdevices/com10"
  "$WINE" "$exe" -c10 -e -w -b12345 >wait.out 2>wait.err </dev/null &
  pids+=($!)
  wait_for wait.out "Waiting for port"
  grep -q $'^Waiting for port COM10. Escape=^A\r$' wait.out || fail "no waiting message"
  cable a10 b10 && com_port 10 a10
  wait_for wait.out EchobackMode
  got=$(exchange 'came\r' b10 6)
  [ "$got" = "b'came\\r\\n'" ] || fail "echo after the wait returned $got"
  grep -qE $'^WARNING: COM10 runs at [0-9]+ baud, not 12345\r$' wait.err || fail "no rate warning"
  [ "$(wc -l <wait.err)" = 1 ] || fail "more than the warning on standard error"
  ;;
names)
  # -L shows the registered COM7 with its device (the value's name); -cCOM7
  # opens it; a name that is no port fails with that name. (Wine lets a
  # second program open a COM port that one holds, so `busy` is not tried.)
  cable a7 b7 && com_port 7 a7
  "$WINE" "$exe" -L >free.out 2>free.err || fail "kestrel -L exited with $?"
  grep -q $'^COM7   KestrelTest7\r$' free.out || fail "no line for COM7"
  "$WINE" "$exe" -cCOM7 -e -b115200 >echo.out 2>echo.err </dev/null &
  pids+=($!)
  wait_for echo.out EchobackMode
  got=$(exchange 'by name\r' b7 9)
  [ "$got" = "b'by name\\r\\n'" ] || fail "echo on -cCOM7 returned $got"
  rc=0; "$WINE" "$exe" -cnosuch -e >nosuch.out 2>nosuch.err </dev/null || rc=$?
  [ "$rc" = 1 ] || fail "exit code $rc for a missing name, expected 1"
  grep -q $'^Can\'t Open COM Port (nosuch:).\r$' nosuch.err || fail "no open failure message naming nosuch"
  if [ -s nosuch.out ]; then fail "a missing name printed a port list"; fi
  ;;
usage)
  # Into a file and through a pipe (no console: no WriteConsoleW), the same
  # bytes as the Linux build's usage text in the C locale (Shift_JIS lines
  # included), with the console's CR LF line ends; so for --version.
  [ -x "$native" ] || fail "no native kestrel to compare with"
  "$WINE" "$exe" -h >usage.out 2>usage.err || fail "kestrel -h exited with $?"
  LC_ALL=C "$native" -h | sed 's/$/\r/' >usage.expected
  cmp -s usage.out usage.expected || fail "the usage text differs from the Linux build's"
  "$WINE" "$exe" -h 2>pipe.err | cat >pipe.out
  cmp -s pipe.out usage.expected || fail "the usage text through a pipe differs from the Linux build's"
  # --help: the usage text, then every option beyond it
  "$WINE" "$exe" --help 2>help.err | cat >help.out
  LC_ALL=C "$native" --help | sed 's/$/\r/' | cmp -s - help.out || fail "--help differs from the Linux build's"
  "$WINE" "$exe" --version >version.out 2>version.err || fail "kestrel --version exited with $?"
  "$native" --version | sed 's/$/\r/' | cmp -s - version.out || fail "--version differs from the Linux build's"
  # On a console (Wine's, on the pseudo-terminal that script(1) makes) the
  # text goes out through WriteConsoleW: Wine shows it in its locale's UTF-8.
  LC_ALL=C.UTF-8 timeout 60 script -qec "$(printf '%q ' "$WINE" "$exe" -h)" /dev/null \
    </dev/null >console.out 2>&1 || fail "kestrel -h on a console exited with $?"
  for line in '* kestrel     無手順端末として起動する.' '* kestrel -e  エコーバックサーバーとして起動する.' \
              '* kestrel -t  ベンチマークテスト.'; do
    grep -qF "$line" console.out || fail "the console does not show: $line"
  done
  ;;
stamps)
  # -T in the terminal: each line of the console and of the log starts with
  # the local time (GetLocalTime) of its first byte; a line in two reads keeps
  # that of the first. The console's LF is CR LF there, the log's stays LF.
  cable a3 b3 && com_port 3 a3
  "$WINE" "$exe" -c3 -T -b115200 -lstamps.log >stamps.out 2>stamps.err </dev/null &
  pids+=($!)
  wait_for stamps.out TerminalMode
  python3 - b3 stamps.log <<'PY' || fail "the stamps are wrong"
import datetime, os, re, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
def now():
    t = datetime.datetime.now()
    return t.hour * 3600 + t.minute * 60 + t.second + t.microsecond / 1e6
def logged(text):
    """The log once it holds text: kestrel has read the part that brings it."""
    for _ in range(600):
        log = open(sys.argv[2], "rb").read()
        if text in log:
            return log
        time.sleep(0.1)
    sys.exit("the log never held %r: %r" % (text, log))
sent = []
for part, shows in ((b"one", b"one"), (b"\r\ntw", b"tw"), (b"o\n", b"two\n")):
    if sent:
        time.sleep(1.0)  # the next part comes a second after the last was read
    sent.append(now())
    os.write(fd, part)
    log = logged(shows)
stamp = rb"(\d\d):(\d\d):(\d\d)\.(\d\d\d) "
want = re.compile(stamp + rb"one\r\n" + stamp + rb"two\n$")
m = want.match(log)
if not m:
    sys.exit("log %r" % log)
g = [int(x) for x in m.groups()]
t1 = g[0] * 3600 + g[1] * 60 + g[2] + g[3] / 1000
t2 = g[4] * 3600 + g[5] * 60 + g[6] + g[7] / 1000
def after(t, write):  # seconds from the write to the stamp (midnight wraps)
    return (t - write + 43200) % 86400 - 43200
# Each line's stamp comes after the write of its first bytes and before the next write.
if not (-0.01 < after(t1, sent[0]) and after(t1, sent[1]) < -0.01 and
        -0.01 < after(t2, sent[1]) and after(t2, sent[2]) < -0.01):
    sys.exit("stamps %r for writes at %r" % (log, sent))
PY
  grep -qE $'^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} one\r\r$' stamps.out &&
    grep -qE $'^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} two\r$' stamps.out ||
    fail "the console shows no stamped lines"
  ;;
line)
  # -m and -f reach the pseudo-terminal through SetCommState: its termios
  # shows them while kestrel holds the port. The pty refuses 7E1 (CS7 and
  # parity): GetCommState reads back what it kept, and kestrel warns once.
  # DTR and RTS can't be moved on a pty: -r says so once and goes on.
  cable a11 b11 && com_port 11 a11
  n=0
  for run in '-m8N2 -fh|cs8 -parenb cstopb crtscts|' '-m8n1 -fs|cs8 -cstopb ixon ixoff -crtscts|' \
             '-m7E1|cs8 -parenb|WARNING: COM11 runs at 8N1, not 7E1' \
             '-fn -r dtr=0,100,dtr=1|-crtscts -ixon -ixoff|WARNING: COM11 has no modem lines'; do
    IFS='|' read -r args want warning <<<"$run"
    n=$((n + 1))
    # shellcheck disable=SC2086 # the options are words
    "$WINE" "$exe" -c11 -e -b115200 $args >line$n.out 2>line$n.err </dev/null &
    pid=$!
    pids+=($pid)
    wait_for line$n.out EchobackMode
    modes=$(stty -F "$work/a11" -a) || fail "stty can't read the port's settings"
    for w in $want; do
      grep -qE -- "(^| )$w( |$)" <<<"$modes" || fail "$args: the port's termios lacks $w: $modes"
    done
    got=$(exchange 'ok\r' b11 4)
    [ "$got" = "b'ok\\r\\n'" ] || fail "$args: the echo returned $got"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    if [ -n "$warning" ]; then
      [ "$(cat line$n.err)" = "$warning"$'\r' ] || fail "$args: standard error holds $(cat -v line$n.err)"
    elif [ -s line$n.err ]; then
      fail "$args: a warning for a setting the port took"
    fi
  done
  ;;
bench)
  [ -x "$native" ] || fail "no native kestrel to echo"
  cable a4 b4 && com_port 4 a4
  # The native kestrel's COM8 is ttyS7 in its device folder.
  mkdir -p "$native_dev" && ln -sfn "$work/b4" "$native_dev/ttyS7"
  nice -n 5 "$native" -c8 -e -b115200 >peer.out 2>peer.err </dev/null &
  pids+=($!)
  wait_for peer.out EchobackMode
  rc=0; timeout 120 nice -n 5 "$WINE" "$exe" -c4 -t -b115200 >bench.out 2>bench.err </dev/null || rc=$?
  rm -f "$native_dev/ttyS7"
  [ "$rc" = 0 ] || fail "kestrel -t exited with $rc"
  grep -q "TIMEOUT\|Errors" bench.out && fail "the benchmark did not get every block back intact"
  grep -qE $'Benchmark end\\. 32000 bytes/[0-9]+ ms,  [0-9]+ bytes/s \\([0-9]+0 bps\\)\r$' bench.out ||
    fail "no summary line"
  ;;
stall)
  # A far end that never reads: COM11 is a pseudo-terminal whose other side
  # takes nothing. The keyboard is a pseudo-terminal too (Wine's console on
  # it). Ctrl-A ends an upload and the echo at once: within 1 s, which holds
  # Wine's own process end on a loaded machine (the Linux suite asks 0.5 s);
  # a write that held the loop would never end. The benchmark's time-out
  # ends its run, exit 2.
  head -c 2000000 /dev/urandom >big.bin
  python3 - "$WINE" "$exe" "$WINEPREFIX/dosdevices/com11" "Z:$(pwd | tr / '\\')\\big.bin" <<'PY' || fail "a stalled port held kestrel"
import fcntl, os, select, struct, subprocess, sys, termios, time, tty
wine, exe, link, upload = sys.argv[1:5]
def queued(fd):
    return struct.unpack('i', fcntl.ioctl(fd, termios.FIONREAD, b'\0\0\0\0'))[0]
for name, args in (('upload', ['-u' + upload]), ('echo', ['-e']), ('bench', ['-t'])):
    m, s = os.openpty()
    tty.setraw(s)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(s), link)
    km, ks = os.openpty()
    p = subprocess.Popen([wine, exe, '-c11', '-b115200'] + args, stdin=ks, stdout=ks,
                         stderr=subprocess.PIPE, start_new_session=True)
    def shown(t):  # keeps the console read
        end = time.monotonic() + t
        while time.monotonic() < end:
            if select.select([km], [], [], 0.02)[0]:
                os.read(km, 65536)
    os.set_blocking(m, False)
    last, since, end = -1, time.monotonic(), time.monotonic() + 60
    while time.monotonic() < end:  # until the port is full and takes no more
        if name == 'echo':
            try:
                os.write(m, os.urandom(4096))
            except BlockingIOError:
                pass
        n = queued(m)
        if n != last:
            last, since = n, time.monotonic()
        elif n > 0 and time.monotonic() - since > 0.3:
            break
        shown(0.02)
    if last <= 0:
        sys.exit('%s: the port never filled' % name)
    if name == 'bench':
        end = time.monotonic() + 30
        while p.poll() is None and time.monotonic() < end:
            shown(0.05)
        if p.poll() != 2:
            sys.exit('bench: exit %r, expected 2 after the time-out' % p.poll())
    else:
        t0 = time.monotonic()
        os.write(km, b'\x01')
        while p.poll() is None and time.monotonic() - t0 < 5:
            shown(0.01)
        took = time.monotonic() - t0
        err = p.stderr.read() if p.poll() is not None else b''
        print('%s: ended %.2f s after Ctrl-A' % (name, took))
        if p.poll() != 0 or took > 1.0:
            sys.exit('%s: exit %r %.2f s after Ctrl-A' % (name, p.poll(), took))
        want = b'WARNING: upload file cut short by Ctrl-A:%s\r\n' % upload.encode() if name == 'upload' else b''
        if err != want:
            sys.exit('%s: stderr %r' % (name, err))
    if p.poll() is None:
        p.kill()
    p.wait()
    for fd in (m, s, km, ks):
        os.close(fd)
PY
  ;;
restore)
  # Every ending gives the port back the settings it had at the open
  # (SetCommState of the DCB that GetCommState found): Ctrl-A in the terminal
  # and in the echo. (Wine's console on a pseudo-terminal gives no Ctrl-C
  # event for 0x03, so the console handler is not tried here.) COM12 is a
  # pseudo-terminal set to 19200 baud, two stop bits, no flow control; the
  # keyboard is a pseudo-terminal too (Wine's console on it).
  python3 - "$WINE" "$exe" "$WINEPREFIX/dosdevices/com12" <<'PY' || fail "the port's settings were not restored"
import os, re, select, subprocess, sys, termios, time, tty
wine, exe, link = sys.argv[1:4]
# Wine's console draws with escape sequences and moves the cursor over blanks.
def plain(text):
    return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', text).replace(b' ', b'')
FLAGS = ((0, termios.IXON | termios.IXOFF),
         (2, termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS), (4, -1), (5, -1))
def settings(fd):
    a = termios.tcgetattr(fd)
    return [a[i] & mask for i, mask in FLAGS]
for name, args, key, want in (('Ctrl-A', ['-fs', '-m8N1', '-b115200'], b'\x01', 0),
                              ('Ctrl-A in the echo', ['-e', '-fh', '-b57600'], b'\x01', 0)):
    m, s = os.openpty()
    tty.setraw(s)
    a = termios.tcgetattr(s)
    a[2] |= termios.CSTOPB
    a[4] = a[5] = termios.B19200
    termios.tcsetattr(s, termios.TCSANOW, a)
    before = settings(s)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(s), link)
    km, ks = os.openpty()
    p = subprocess.Popen([wine, exe, '-c12'] + args, stdin=ks, stdout=ks, stderr=subprocess.PIPE,
                         start_new_session=True)
    shown, end = b'', time.monotonic() + 60
    while b'Escape=^A' not in plain(shown) and time.monotonic() < end:
        if select.select([km], [], [], 0.1)[0]:
            shown += os.read(km, 65536)
    during = settings(s)
    os.write(km, key)
    end = time.monotonic() + 20
    while p.poll() is None and time.monotonic() < end:
        if select.select([km], [], [], 0.05)[0]:
            os.read(km, 65536)
    if p.poll() is None:
        p.kill()
        sys.exit('%s: kestrel did not end' % name)
    after = settings(s)
    print('%s: exit %d, found %r, set %r, left %r' % (name, p.returncode, before, during, after))
    if during == before or after != before or (want is not None and p.returncode != want):
        sys.exit('%s: %r' % (name, p.stderr.read()))
    for fd in (m, s, km, ks):
        os.close(fd)
PY
  ;;
net)
  # Network ports through Winsock, against a ser2net on this host that serves
  # a pseudo-terminal played here: the echo over rfc2217:// with every byte
  # value, the port in use, ser2net stopped mid-session (exit 255), a
  # terminal's upload and log over tcp://, and the refusals (nothing
  # listening, an unknown host).
  command -v ser2net >/dev/null || fail "ser2net is not installed"
  python3 - "$exe" "$work" <<'PY' || fail "network ports"
import os, select, socket, subprocess, sys, time, tty
wine, exe, work = os.environ['WINE'], sys.argv[1], sys.argv[2]
ALL = bytes(range(256))
procs = []

def fail(msg):
    for p in procs:
        if p.poll() is None:
            p.kill()
    sys.exit(msg)

def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port

def listening(port):
    with open('/proc/net/tcp') as f:
        return any(l.split()[1] == '0100007F:%04X' % port and l.split()[3] == '0A' for l in f.readlines()[1:])

class Ser2net:
    def __init__(self, raw):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.port = free_port()
        self.url = '%s://127.0.0.1:%d' % ('tcp' if raw else 'rfc2217', self.port)
        self.config = os.path.join(work, 'ser2net_%d.yaml' % self.port)
        with open(self.config, 'w') as f:
            f.write('connection: &board\n  accepter: %s,127.0.0.1,%d\n  connector: serialdev,%s,115200n81,local\n'
                    % ('tcp' if raw else 'telnet(rfc2217),tcp', self.port, os.ttyname(self.slave)))
        self.p = subprocess.Popen(['ser2net', '-n', '-c', self.config, '-P', self.config + '.pid'],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(self.p)
        end = time.time() + 20
        while not listening(self.port):
            if time.time() > end:
                fail('ser2net did not come up')
            time.sleep(0.05)

    def stop(self):
        self.p.terminate()
        self.p.wait(10)

def kestrel(name, *args):
    out = open(os.path.join(work, name + '.out'), 'wb')
    err = open(os.path.join(work, name + '.err'), 'wb')
    p = subprocess.Popen([wine, exe] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err)
    procs.append(p)
    return p

def text(name, ext):
    with open(os.path.join(work, name + '.' + ext), 'rb') as f:
        return f.read()

def wait_for(what, cond, timeout=60):
    end = time.time() + timeout
    while not cond():
        if time.time() > end:
            fail('no ' + what)
        time.sleep(0.05)

def read_far(fd, n, timeout=60):
    got, end = b'', time.time() + timeout
    while len(got) < n and time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            got += os.read(fd, 65536)
    return got

# Echo over RFC 2217: every byte value, then ser2net goes away.
s = Ser2net(raw=False)
p = kestrel('echo', '-e', '-b115200', '-c' + s.url)
wait_for('echo banner', lambda: b'EchobackMode' in text('echo', 'out'))
sent = ALL.replace(b'\r', b'') * 4
os.write(s.master, sent)
if read_far(s.master, len(sent)) != sent:
    fail('the echo differs')
# The port in use: ser2net's text in the message, exit 1.
q = kestrel('inuse', '-c' + s.url)
if q.wait(60) != 1 or text('inuse', 'err') != ("Can't Open COM Port (%s: Port already in use).\r\n" % s.url).encode():
    fail('in use: %r' % text('inuse', 'err'))
s.stop()
try:
    code = p.wait(60)
except subprocess.TimeoutExpired:
    fail('kestrel did not end when ser2net stopped')
if code != 255 or b'FATAL: COM Port Read/Write Error. port hung up\r\n' not in text('echo', 'err'):
    fail('after ser2net stopped: exit %d, %r' % (code, text('echo', 'err')))
want = ''.join('WARNING: %s did not confirm the %s setting\r\n' % (s.url, n) for n in ('DTR', 'RTS'))
if not text('echo', 'err').startswith(want.encode()):
    fail('warnings %r' % text('echo', 'err'))

# Upload and log over raw TCP.
s = Ser2net(raw=True)
with open(os.path.join(work, 'all.bin'), 'wb') as f:
    f.write(ALL * 4)
log = os.path.join(work, 'term.log')
p = kestrel('term', '-l' + log, '-u' + os.path.join(work, 'all.bin'), '-c' + s.url)
wait_for('terminal banner', lambda: b'TerminalMode' in text('term', 'out'))
if read_far(s.master, len(ALL) * 4) != ALL * 4:
    fail('the upload differs')
os.write(s.master, ALL * 3)
wait_for('log', lambda: os.path.getsize(log) >= len(ALL) * 3)
if open(log, 'rb').read() != ALL * 3:
    fail('the log differs')
p.kill()
p.wait()
s.stop()

for name, url, why in (('refused', 'rfc2217://127.0.0.1:%d' % free_port(), 'connection refused'),
                       ('unknown', 'tcp://nosuch.invalid:2217', 'unknown host')):
    q = kestrel(name, '-c' + url)
    code = q.wait(60)
    if code != 1 or text(name, 'err') != ("Can't Open COM Port (%s: %s).\r\n" % (url, why)).encode():
        fail('%s: exit %d, %r' % (name, code, text(name, 'err')))
PY
  ;;
xmodem)
  # Ctrl-T s (under -k, keys on a pseudo-terminal: Wine's console) sends a
  # file with XMODEM to lrzsz's rx on COM13's far end; the file comes over
  # equal, padded to 128 bytes.
  cable a13 b13 && com_port 13 a13
  head -c 1025 /dev/urandom >fw.bin
  mkdir -p got
  python3 - "$WINE" "$exe" "Z:$(pwd | tr / '\\')\\fw.bin" "$work/b13" <<'PY' || fail "XMODEM send to rx"
import os, re, select, subprocess, sys, time
wine, exe, path, far = sys.argv[1:5]
# Wine's console draws with escape sequences and moves the cursor over blanks:
# the text is compared without either.
def plain(text):
    return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', text).replace(b' ', b'')
km, ks = os.openpty()
p = subprocess.Popen([wine, exe, '-c13', '-k', '-b115200'], stdin=ks, stdout=ks, stderr=subprocess.PIPE,
                     start_new_session=True)
seen = b''
def until(want, seconds=60):
    global seen
    end = time.monotonic() + seconds
    while plain(want) not in plain(seen):
        if time.monotonic() > end:
            p.kill()
            sys.exit('no %r in %r' % (want, seen[-300:]))
        if select.select([km], [], [], 0.05)[0]:
            seen += os.read(km, 65536)
until(b'Command key')
for keys, prompt in ((b'\x14s', b'Send with'), (b'x\r', b'File to send'), (path.encode() + b'\r', b'\n')):
    os.write(km, keys)
    until(prompt)
rx = subprocess.Popen(['socat', '-b65536', 'FILE:%s,raw,echo=0' % far, 'EXEC:rx -q -c fw.bin,pipes,stderr'],
                      cwd='got')
until(b'[transfer done')
rx.wait(30)
os.write(km, b'\x01')
p.wait(30)
want = open('fw.bin', 'rb').read()
if open('got/fw.bin', 'rb').read() != want + b'\x1a' * (-len(want) % 128):
    sys.exit('the file differs')
PY
    ;;
script)
  # A script on COM12 against the U-Boot-like board (booted by the first
  # byte, once Wine has the port open): the autoboot stopped and an answer
  # checked (exit 0); then an expect that times out (exit 3, with its line).
  cable a12 b12 && com_port 12 a12
  python3 "$here/../kestrel/board.py" "$work/b12" 0.3 key >board.log 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q ready board.log && break; sleep 0.1; done
  grep -q ready board.log || fail "the board did not start"
  "$WINE" "$exe" -c12 -b115200 -E 'wait 300; send "\r"; fail /Kernel panic/; expect "autoboot"; send " "
expect "=> "; send "version\r"; expect /gcc \(GCC\) [0-9.]+/; say "version ok"' \
    >script.out 2>script.err </dev/null || fail "the script exited with $?"
  grep -q $'^version ok\r$' script.out || fail "no say line"
  grep -q 'U-Boot 2023.04' script.out || fail "no version shown"
  rc=0
  "$WINE" "$exe" -c12 -E 'send "\r"; expect "=> "; expect "Linux" 500' >late.out 2>late.err </dev/null || rc=$?
  [ "$rc" = 3 ] || fail "a timed-out expect exited with $rc"
  grep -q '^-E:1: expect "Linux" timed out after 500 ms; last bytes received: ".*=> "' late.err ||
    fail "no time-out message"
  ;;
*)
  echo "unknown case $case_name" >&2; exit 2 ;;
esac
echo "passed: kestrel under Wine, $case_name"
