#!/usr/bin/env python3
"""The real-driver suite: kestrel on the serial drivers of the distribution's
own kernel. One QEMU guest (TCG) boots /boot/vmlinuz-* with an initramfs of
busybox, the USB modules and a static kestrel. Its second 16550 UART (ttyS1,
COM2) and an emulated FTDI adapter (ttyUSB0, COM33) are wired to host
pseudo-terminals, whose far ends this script reads and writes as the board;
the QEMU monitor unplugs and replugs the adapter. The guest runs the commands
that this script sends over a virtio port (see init.sh and guest_lib.sh).

usage: vm_suite.py KESTREL_STATIC KESTREL WORKDIR [CASE...]
KESTREL is the host's own build, the board's side of the benchmark. Without
CASEs, every case runs, in the order of CASES.
"""
import base64
import ctypes
import glob
import lzma
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
SERIAL = 'KESTREL01'  # the adapter's USB serial number
# Loaded in this order, each after what modules.dep says it needs.
MODULES = ['xhci-pci', 'ftdi_sio', 'virtio_pci', 'virtio_console']
BANNER = {'': b'Entering TerminalMode: Escape=^A\n', '-e': b'Entering EchobackMode: Escape=^A\n',
          '-t': b'Entering Benchmark: Escape=^A\n'}
HUNG_UP = b'FATAL: COM Port Read/Write Error. port hung up\n'
PROPS = 'TxQue=0,RxQue=4096,Baud=0x1006ffff,BaudMax=0x%x,Bits=0xf,SubType=1,Capa=ff \n'

qemu = None  # the QEMU process
ctl = mon = None  # sockets: the guest's command port, the QEMU monitor
host_peer = None  # a host kestrel, while one runs
ports = {}  # 'uart' / 'ftdi' -> fd of the host end of its pseudo-terminal
received = {'uart': bytearray(), 'ftdi': bytearray()}
paused = set()  # ports that a host kestrel reads instead of the drain
lock = threading.Condition()
stopping = False
adapter = {'id': 'ftdi0', 'n': 0}  # the QEMU device id of the adapter, and its count


class Failed(Exception):
    pass


def fail(msg):
    raise Failed(msg)


# --- the guest's kernel and initramfs ---------------------------------------

def find_kernel():
    """The newest /boot/vmlinuz-V whose modules are installed: (path, V)."""
    def key(v):
        return [int(x) if x.isdigit() else x for x in re.split(r'(\d+)', v)]
    found = []
    for path in glob.glob('/boot/vmlinuz-*'):
        version = path[len('/boot/vmlinuz-'):]
        if os.path.exists('/lib/modules/%s/modules.dep' % version):
            found.append(version)
    if not found:
        fail('no kernel with its modules in /boot and /lib/modules: the suite needs the '
             'package linux-image-amd64 (bash scripts/install_vm_tools.sh)')
    version = max(found, key=key)
    path = '/boot/vmlinuz-' + version
    if not os.access(path, os.R_OK):
        fail('%s cannot be read by this user: run the suite as root' % path)
    return path, version


def module_order(version):
    """The module files to load, dependencies first, as paths under /lib/modules/V."""
    base = '/lib/modules/' + version
    deps = {}
    with open(base + '/modules.dep') as f:
        for line in f:
            mod, _, rest = line.partition(':')
            deps[mod] = rest.split()
    with open(base + '/modules.builtin') as f:
        builtin = {os.path.basename(l.strip()).split('.')[0].replace('-', '_') for l in f}
    by_name = {os.path.basename(m).split('.')[0].replace('-', '_'): m for m in deps}
    order = []

    def add(mod):
        if mod in order:
            return
        for d in reversed(deps[mod]):  # modules.dep lists the deepest last
            add(d)
        order.append(mod)
    for name in MODULES:
        name = name.replace('-', '_')
        if name in by_name:
            add(by_name[name])
        elif name not in builtin:
            fail('kernel %s has no module %s' % (version, name))
    return [os.path.join(base, m) for m in order]


def build_initramfs(work, version, kestrel_static):
    root = os.path.join(work, 'root')
    shutil.rmtree(root, ignore_errors=True)
    for d in ('bin', 'lib/modules', 'proc', 'sys', 'dev', 'tmp'):
        os.makedirs(os.path.join(root, d))
    busybox = shutil.which('busybox', path='/bin:/usr/bin')
    if not busybox or 'static' not in subprocess.run(
            ['file', '-L', busybox], capture_output=True, text=True).stdout:
        fail('no static busybox: the suite needs the package busybox-static')
    shutil.copy(busybox, os.path.join(root, 'bin/busybox'))
    shutil.copy(kestrel_static, os.path.join(root, 'bin/kestrel'))
    shutil.copy(os.path.join(HERE, 'init.sh'), os.path.join(root, 'init'))
    os.chmod(os.path.join(root, 'init'), 0o755)
    shutil.copy(os.path.join(HERE, 'guest_lib.sh'), os.path.join(root, 'lib.sh'))
    names = []
    for path in module_order(version):
        name = os.path.basename(path)
        if name.endswith('.xz'):  # busybox insmod takes plain modules
            name = name[:-3]
            with lzma.open(path) as src, open(os.path.join(root, 'lib/modules', name), 'wb') as dst:
                shutil.copyfileobj(src, dst)
        elif name.endswith('.ko'):
            shutil.copy(path, os.path.join(root, 'lib/modules', name))
        else:
            fail('cannot unpack the module %s' % path)
        names.append(name)
    with open(os.path.join(root, 'modules.list'), 'w') as f:
        f.write(''.join(n + '\n' for n in names))
    if not shutil.which('cpio'):
        fail('no cpio: the suite needs the package cpio')
    image = os.path.join(work, 'initramfs.cpio')
    files = subprocess.run(['find', '.'], cwd=root, capture_output=True, check=True).stdout
    with open(image, 'wb') as out:
        subprocess.run(['cpio', '-o', '-H', 'newc', '--quiet'], cwd=root, input=files,
                       stdout=out, check=True)
    shutil.rmtree(root)
    return image


# --- the machine --------------------------------------------------------------

def boot(kernel, image):
    """Starts QEMU; opens the host ends of both pseudo-terminals (the USB
    adapter attaches only once its end is open) and the two sockets."""
    global qemu, ctl, mon
    exe = shutil.which('qemu-system-x86_64')
    if not exe:
        fail('no qemu-system-x86_64: the suite needs the package qemu-system-x86')
    for name in ('ctl.sock', 'mon.sock', 'console.log', 'qemu.out', 'usb.trace'):
        if os.path.exists(name):
            os.unlink(name)
    # Nested KVM hung at boot on the machines this runs on: TCG only.
    qemu = subprocess.Popen(
        [exe, '-accel', 'tcg', '-cpu', 'max', '-m', '256', '-smp', '1', '-nodefaults',
         '-no-user-config', '-display', 'none', '-no-reboot',
         '-kernel', kernel, '-initrd', image, '-append', 'console=ttyS0 quiet panic=-1',
         '-chardev', 'file,id=con,path=console.log', '-serial', 'chardev:con',
         '-chardev', 'pty,id=uart', '-serial', 'chardev:uart',
         '-chardev', 'pty,id=ftdi', '-device', 'qemu-xhci',
         '-device', 'usb-serial,id=%s,chardev=ftdi,serial=%s' % (adapter['id'], SERIAL),
         '-device', 'virtio-serial-pci',
         '-chardev', 'socket,id=ctl,path=ctl.sock,server=on,wait=off',
         '-device', 'virtserialport,chardev=ctl,name=ctl',
         '-monitor', 'unix:mon.sock,server=on,wait=off',
         # the adapter's control requests (modem lines, framing, break), as the host sees them
         '-trace', 'usb_serial_handle_control', '-D', 'usb.trace'],
        stdin=subprocess.DEVNULL, stdout=open('qemu.out', 'w'), preexec_fn=die_with_parent)
    # QEMU names the pseudo-terminals that it made on its standard output.
    end = time.time() + 20
    while len(ports) < 2:
        if qemu.poll() is not None or time.time() > end:
            fail('QEMU did not start (exit %s): %s' % (qemu.poll(), open('qemu.out').read()))
        time.sleep(0.05)
        with open('qemu.out') as f:
            named = re.findall(r'redirected to (/dev/pts/\d+) \(label (\w+)\)', f.read())
        for path, label in named if len(named) == 2 else []:
            fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
            tty.setraw(fd)
            ports[label] = fd
    threading.Thread(target=drain, daemon=True).start()
    ctl = socket.socket(socket.AF_UNIX)
    ctl.connect('ctl.sock')
    mon = socket.socket(socket.AF_UNIX)
    mon.connect('mon.sock')
    monitor_read()
    # TCG boots in about 10 s, in 35 s on a loaded machine: allow much more.
    if read_line(ctl, 180) != b'READY':
        fail('the guest did not start its command loop')
    # The adapter enumerates on its own time, once QEMU has seen its end open.
    must('node /dev/ttyUSB0 yes 20')


def die_with_parent():
    """In QEMU's child process: a SIGKILL when this script ends, however it ends."""
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def drain():
    """Reads both host ends all the time: a pseudo-terminal that nobody reads
    blocks QEMU's write, and the whole guest with it."""
    gone = set()  # ends whose QEMU side closed (QEMU ended)
    while not stopping:
        with lock:
            fds = {fd: name for name, fd in ports.items() if name not in paused and fd not in gone}
            for fd in select.select(list(fds), [], [], 0.05)[0]:
                try:
                    received[fds[fd]] += os.read(fd, 65536)
                except OSError:
                    gone.add(fd)
            lock.notify_all()


def board_take(name):
    """What the board received on `name` since the last take."""
    with lock:
        data = bytes(received[name])
        received[name].clear()
    return data


def board_wait(name, want, timeout=10.0):
    """Waits until `name` received `want` (bytes) or that many bytes (int)."""
    end = time.time() + timeout
    with lock:
        while not (len(received[name]) >= want if isinstance(want, int) else want in received[name]):
            if time.time() > end:
                fail('the board did not receive %r on %s: %r' % (want, name, bytes(received[name][-80:])))
            lock.wait(0.1)


def board_send(name, data):
    os.write(ports[name], data)


def read_line(sock, timeout):
    data, end = b'', time.time() + timeout
    while not data.endswith(b'\n'):
        if not select.select([sock], [], [], max(0, end - time.time()))[0]:
            fail('no answer from the guest within %d s (so far %r)' % (timeout, data[-80:]))
        chunk = sock.recv(1)
        if not chunk:
            fail('the guest closed its command port')
        data += chunk
    return data[:-1]


def guest(script, timeout=20):
    """Runs a shell script in the guest: (exit code, output)."""
    ctl.sendall(base64.b64encode(script.encode()) + b'\n')
    m = re.match(rb'R (\S*) (\d+)$', read_line(ctl, timeout))
    if not m:
        fail('garbled answer from the guest')
    return int(m.group(2)), base64.b64decode(m.group(1))


def must(script, timeout=20):
    """Runs a script that must succeed; its output."""
    rc, out = guest(script, timeout)
    if rc != 0:
        fail('guest command failed (%d): %s\n%s' % (rc, script, out.decode(errors='replace')))
    return out


def run(args, keys='\\001'):
    """kestrel ARGS in the guest with `keys` piped in: (exit code, stdout, stderr)."""
    out = must("printf '%s' | kestrel %s >/tmp/run.out 2>/tmp/run.err; echo $? >/tmp/run.rc;"
               "cat /tmp/run.out; printf '\\0'; cat /tmp/run.err; printf '\\0'; cat /tmp/run.rc"
               % (keys, args))
    stdout, stderr, rc = out.split(b'\0')
    return int(rc), stdout, stderr


def monitor_read():
    data, end = b'', time.time() + 10
    while not data.endswith(b'(qemu) '):
        if not select.select([mon], [], [], max(0, end - time.time()))[0]:
            fail('the QEMU monitor did not answer: %r' % data[-200:])
        data += mon.recv(4096)
    return data


def monitor_text(command):
    mon.sendall(command.encode() + b'\n')
    return monitor_read().decode(errors='replace')


def monitor(command):
    reply = monitor_text(command)
    if 'rror' in reply:
        fail('monitor: %s: %s' % (command, reply))


def unplug():
    """Pulls the adapter out; returns once the guest's node is gone and QEMU
    has let go of the device (its pseudo-terminal is free for the next)."""
    monitor('device_del ' + adapter['id'])
    must('node /dev/ttyUSB0 no 10')
    listed = re.compile(r'ID: %s\b' % adapter['id'])
    end = time.time() + 10
    while listed.search(monitor_text('info usb')):
        if time.time() > end:
            fail('QEMU still holds %s 10 s after the unplug' % adapter['id'])
        time.sleep(0.05)


def replug():
    """Plugs the adapter back in (a new device on the same pseudo-terminal)."""
    adapter['n'] += 1
    adapter['id'] = 'ftdi%d' % adapter['n']
    add = 'device_add usb-serial,id=%s,chardev=ftdi,serial=%s' % (adapter['id'], SERIAL)
    # QEMU frees the unplugged device's pseudo-terminal later than it drops
    # the device from its list; until then it answers that it is in use.
    reply, end = monitor_text(add), time.time() + 10
    while 'is in use' in reply and time.time() < end:
        time.sleep(0.05)
        reply = monitor_text(add)
    if 'rror' in reply:
        fail('monitor: %s: %s' % (add, reply))
    must('node /dev/ttyUSB0 yes 20')
    board_take('ftdi')


def ended(name, seconds=5):
    """Exit code of the guest run `name`, which must end within `seconds`."""
    rc, out = guest('ended %s %d' % (name, seconds), seconds + 10)
    if rc != 0:
        fail('%s is still running: %r' % (name, must('cat /tmp/%s.out /tmp/%s.err' % (name, name))[-300:]))
    return int(out)


def still_running(name, fault):
    """Fails with `fault` when the guest run `name` ends within a second."""
    rc, _ = guest('ended %s 1' % name)
    if rc == 0:
        fail('-w: %s: %r' % (fault, files(name, 'out', 'err')))


def files(name, *exts):
    return [must('cat /tmp/%s.%s' % (name, ext)) for ext in exts]


# --- the cases ----------------------------------------------------------------

def case_list():
    # What -L tells from the guest's sysfs: both UARTs are 16550A (ttyS2 and
    # ttyS3 exist without a UART and are left out), the adapter shows its
    # IDs, driver, product and serial number. -p reads the drivers.
    must('[ -c /dev/ttyS2 ] && [ -c /dev/ttyS3 ] && [ "$(cat /sys/class/tty/ttyS3/type)" = 0 ]')
    rc, out, err = run('-L')
    want = ('COM33  /dev/ttyUSB0  usb 0403:6001  ftdi_sio  "QEMU USB SERIAL"  serial %s\n'
            'COM2   /dev/ttyS1  uart 16550A  serial\n'
            'COM1   /dev/ttyS0  uart 16550A  serial\n' % SERIAL)
    if (rc, out.decode(), err) != (0, want, b''):
        fail('-L: exit %d, %r, %r' % (rc, out, err))
    # The 16550s state their top rate (115200); the adapter's base rate is none
    # of the standard ones.
    rc, out, err = run('-p')
    want = '==== COM Port List====\n' + ''.join(
        'COM%d:' % n + PROPS % top for n, top in ((33, 0x10000000), (2, 0x20000), (1, 0x20000)))
    if (rc, out.decode(), err) != (0, want, b''):
        fail('-p: exit %d, %r, %r' % (rc, out, err))


def case_busy():
    # A port that a kestrel holds cannot be had by another (even as root,
    # through the lock), -L marks it busy, -p cannot open it.
    must('start hold -b115200 -c2; waitfor /tmp/hold.out Escape 5')
    for name in ('COM2', '/dev/ttyS1'):
        rc, out, err = run('-c' + name)
        if rc != 1 or err != b"Can't Open COM Port (%s:).\nbusy: held by another program\n" % name.encode():
            fail('a second kestrel on %s: exit %d, %r' % (name, rc, err))
    rc, out, err = run('-L')
    if b'COM2   /dev/ttyS1  uart 16550A  serial  busy\n' not in out:
        fail('-L does not show COM2 busy: %r' % out)
    rc, out, err = run('-p')
    if b"COM2: Can't Open .\n" not in out:
        fail('-p opened the held COM2: %r' % out)
    must("keys hold '\\001'")
    if ended('hold') != 0:
        fail('the holding kestrel did not end cleanly')


def case_rates():
    # The rate that -b sets is the one the driver runs at, read back by stty
    # while kestrel holds the port.
    for dev, com, rates in (('/dev/ttyS1', 2, (9600, 57600, 115200)),
                            ('/dev/ttyUSB0', 33, (9600, 115200, 921600, 1000000, 3000000))):
        for rate in rates:
            out = must('start r -b%d -c%d; waitfor /tmp/r.out Escape 5; stty -F %s speed;'
                       "keys r '\\001'; ended r 5" % (rate, com, dev))
            if out != b'%d\n0\n' % rate:
                fail('-b%d -c%d: stty says %r' % (rate, com, out))
            if files('r', 'out')[0] != b'%d\n' % rate + BANNER['']:
                fail('-b%d -c%d printed %r' % (rate, com, files('r', 'out')[0]))


def case_bench():
    # The benchmark over the 16550 against the host's kestrel -e on the far end.
    global host_peer
    with lock:
        paused.add('uart')
    board_take('uart')
    host_peer = subprocess.Popen([sys.argv[2], '-e', '-b115200', '-c' + os.ttyname(ports['uart'])],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = host_peer.stdout.readline() + host_peer.stdout.readline()  # the rate, the banner
    if lines != b'115200\n' + BANNER['-e']:
        fail('the host kestrel -e did not start: %r' % lines)
    rc, out = guest('kestrel -t -b115200 -c2 </dev/null', 120)
    host_peer.stdin.write(b'\x01')
    host_peer.stdin.close()
    host_peer.wait(5)
    host_peer = None
    with lock:
        paused.discard('uart')
    m = re.search(rb'Benchmark end\. 32000 bytes/\d+ ms, +(\d+) bytes/s', out)
    if rc != 0 or not m or b'TIMEOUT' in out or b'Recv Errors' in out:
        fail('benchmark over the 16550: exit %d, %r' % (rc, out[-400:]))
    print('  benchmark over the 16550: %s bytes/s' % m.group(1).decode())


def echo_first_block_slowly():
    """The board echoes the benchmark's first block a byte every 0.1 s: a
    slow peer that keeps the benchmark's no-progress limit (1 s) from ending
    the run however long the unplug takes on a busy host. Returns what stops
    it."""
    board_wait('ftdi', 128)
    block, stop = board_take('ftdi')[:128], threading.Event()

    def trickle():
        for byte in block:
            if stop.wait(0.1):
                return
            board_send('ftdi', bytes([byte]))
    echo_thread = threading.Thread(target=trickle, daemon=True)
    echo_thread.start()
    return lambda: (stop.set(), echo_thread.join())


def unplug_run(args, name, before):
    """Runs kestrel ARGS on the adapter, lets `before` happen, pulls the
    adapter (then calls what `before` returned, if anything): the run must
    end with 255 and the hang-up message within 1 s of the kernel's
    disconnect (both times from the kernel's log). Its console output."""
    must('start %s %s -c33; waitfor /tmp/%s.out Escape 5' % (name, args, name))
    after_unplug = before()
    unplug()
    if after_unplug:
        after_unplug()
    rc = ended(name, 5)
    out, err = files(name, 'out', 'err')
    took = float(must('logged "run %s ended"' % name)) - float(must('logged "USB disconnect"'))
    if rc != 255 or err != HUNG_UP or not 0 < took < 1.0:
        fail('%r unplugged: exit %d within %.2f s, %r' % (args, rc, took, err))
    print('  kestrel %s ended within %.0f ms of the unplug' % (args, took * 1000))
    replug()
    return out


def case_unplug():
    # Each mode ends at once when the adapter is pulled; the terminal's log
    # holds every byte received until then.
    sent = b'before the unplug\r\n' + bytes(range(256))

    def terminal():
        board_send('ftdi', sent)
        must('size /tmp/t.log %d 10' % len(sent))
    out = unplug_run('-l /tmp/t.log', 't', terminal)
    log = must('cat /tmp/t.log')
    if log != sent or out != BANNER[''] + sent + b'\n':
        fail('terminal: log %r, console %r' % (log[-80:], out[-80:]))

    def echo():
        board_send('ftdi', b'ping\r')
        board_wait('ftdi', b'ping\r\n')
    out = unplug_run('-e', 'e', echo)
    if out != BANNER['-e'] + b'ping\r\n':
        fail('-e: console %r' % out)

    out = unplug_run('-t', 'b', echo_first_block_slowly)
    if b'Benchmark end' in out or b'TIMEOUT' in out:
        fail('-t: not ended by the unplug: %r' % out)


def case_replug():
    # The adapter plugged in again is the same port: listed as before, and it
    # carries bytes both ways.
    rc, out, err = run('-L')
    if not out.startswith(b'COM33  /dev/ttyUSB0  usb 0403:6001  ftdi_sio  "QEMU USB SERIAL"  serial %s\n'
                          % SERIAL.encode()):
        fail('-L after the replug: %r' % out)
    must('start e -e -c33; waitfor /tmp/e.out Escape 5')
    board_send('ftdi', b'back\r')
    board_wait('ftdi', b'back\r\n')
    must("keys e '\\001'")
    if ended('e') != 0:
        fail('-e after the replug did not end cleanly')


def case_warning():
    # A rate the 16550 cannot run at: the kernel keeps 9600 on a fresh port or
    # the rate it had, and kestrel says so once, before the banner.
    must('stty -F /dev/ttyS1 9600')
    for args, name in (('-c2', b'COM2'), ('-c/dev/ttyS1', b'/dev/ttyS1'), ('-e -c2', b'COM2')):
        rc, out, err = run(args)
        if rc != 0 or err != b'WARNING: %s runs at 9600 baud, not 1000000\n' % name:
            fail('%s: exit %d, %r' % (args, rc, err))
    must('stty -F /dev/ttyS1 115200')
    rc, out, err = run('-b230400 -c2')
    if err != b'WARNING: COM2 runs at 115200 baud, not 230400\n' or out != b'230400\n' + BANNER['']:
        fail('-b230400 -c2: %r, %r' % (out, err))
    # Rates the drivers take, and the lists, warn about nothing.
    for args in ('-b115200 -c2', '-c33', '-b3000000 -c33', '-p', '-L'):
        rc, out, err = run(args)
        if rc != 0 or err != b'':
            fail('%s: exit %d, %r' % (args, rc, err))


def case_wait_replug():
    # -w: the terminal waits through an unplug and goes on after the replug;
    # the log holds the bytes of both sides of it and nothing else.
    must('start w -w -c33 -l /tmp/w.log; waitfor /tmp/w.out Escape 5')
    board_send('ftdi', b'one')
    must('size /tmp/w.log 3 10')
    unplug()
    must("waitfor /tmp/w.out 'Port COM33 hung up. Waiting for it again.' 3")
    still_running('w', 'ended at the unplug')
    replug()
    must("waitfor /tmp/w.out 'Port COM33 is back.' 10")
    board_send('ftdi', b'two')
    must('size /tmp/w.log 6 10')
    must("keys w '\\001'")
    rc = ended('w')
    out, err, log = files('w', 'out', 'err', 'log')
    if rc != 0 or log != b'onetwo':
        fail('-w: exit %d, log %r' % (rc, log))
    gap = rb'one\nPort COM33 hung up\. Waiting for it again\.\n(.*\n)?Port COM33 is back\.\n(.*\n)?two'
    if not re.search(gap, out):
        fail('-w: console %r' % out)
    # The echo server, with the port named by its path.
    must('start e -w -e -c/dev/ttyUSB0; waitfor /tmp/e.out Escape 5')
    board_send('ftdi', b'a\r')
    board_wait('ftdi', b'a\r\n')
    unplug()
    must("waitfor /tmp/e.out 'Port /dev/ttyUSB0 hung up. Waiting for it again.' 3")
    replug()
    must("waitfor /tmp/e.out 'Port /dev/ttyUSB0 is back.' 10")
    board_send('ftdi', b'b\r')
    board_wait('ftdi', b'b\r\n')
    must("keys e '\\001'")
    if ended('e') != 0:
        fail('-w -e did not end cleanly: %r' % files('e', 'out', 'err'))
    # The benchmark never waits: a hang-up still ends it.
    unplug_run('-w -t', 'b', echo_first_block_slowly)


def case_wait_start():
    # -w before the adapter is there: kestrel says which port it waits for,
    # opens it when it comes and runs as usual. Ctrl-A ends a wait.
    unplug()
    must('start s -w -c33 -l /tmp/s.log; waitfor /tmp/s.out "Waiting for port COM33. Escape=^A" 5')
    still_running('s', 'ended without the port')
    replug()
    must('waitfor /tmp/s.out Entering 10')
    board_send('ftdi', b'three')
    must('size /tmp/s.log 5 10')
    must("keys s '\\001'")
    rc = ended('s')
    out, log = files('s', 'out', 'log')
    if rc != 0 or log != b'three' or not out.startswith(b'Waiting for port COM33. Escape=^A\n'):
        fail('-w at the start: exit %d, log %r, console %r' % (rc, log, out))
    must('start n -w -c34; waitfor /tmp/n.out "Waiting for port COM34. Escape=^A" 5;'
         "keys n '\\001'; ended n 3")


# --- the line's framing, flow control and modem lines -------------------------

def registers():
    """ttyS1's line control and modem control registers, read in the guest now."""
    lcr, mcr = (int(x, 16) for x in must('registers').split())
    return lcr, mcr


def lcr_of(framing):
    """The line control register that a -m framing asks for: word length,
    stop bits, parity enable, even parity, stick parity (mark: odd and stick).
    Without parity the even and stick bits mean nothing (Linux sets even)."""
    data, parity, stop = int(framing[0]), framing[1].upper(), int(framing[2])
    return (data - 5) | (stop == 2) << 2 | (parity != 'N') << 3 | (parity in 'ES') << 4 | (parity in 'MS') << 5


def case_framing():
    # -m against the 16550's line control register while kestrel holds COM2;
    # the driver takes each, so nothing is warned.
    framings = ('8N1', '7E1', '7O2', '8N2', '5O1', '6E2', '7M1', '8S1', '8o2')
    for framing in framings:
        must('start f -b115200 -c2 -m%s; waitfor /tmp/f.out Escape 5' % framing)
        lcr, _ = registers()
        if framing[1] in 'Nn':
            lcr &= ~0x30
        must("keys f '\\001'")
        rc, (err,) = ended('f'), files('f', 'err')
        if rc != 0 or err or lcr != lcr_of(framing):
            fail('-m%s: exit %d, %r, line control %02x, not %02x' % (framing, rc, err, lcr, lcr_of(framing)))
    print('  framings on the line control register: %s' % ' '.join(framings))
    # On the adapter: the framing in its last SET_DATA request (QEMU's trace):
    # data bits, parity (none, odd, even, mark, space), stop bits (0: one, 2: two)
    adapter = ('7E1', '8N2', '7O2', '8M1', '8s2')
    for framing in adapter:
        must('start f -c33 -m%s; waitfor /tmp/f.out Escape 5' % framing)
        value = adapter_requests(SET_DATA)[-1]
        must("keys f '\\001'")
        rc, (err,) = ended('f'), files('f', 'err')
        data, parity, stop = int(framing[0]), 'NOEMS'.index(framing[1].upper()), 2 * (framing[2] == '2')
        if rc != 0 or err or (value & 0xff, value >> 8 & 7, value >> 11 & 3) != (data, parity, stop):
            fail('-m%s on the adapter: exit %d, %r, SET_DATA 0x%x' % (framing, rc, err, value))
    print('  framings on the adapter: %s' % ' '.join(adapter))
    # -f through stty -a, with a framing beside it; without -f no flow control
    for args, want in (('-fh -m7O2', 'crtscts -ixon -ixoff cs7 parenb parodd cstopb'),
                       ('-fs', '-crtscts ixon ixoff cs8 -parenb -cstopb'),
                       ('-fn', '-crtscts -ixon -ixoff'), ('', '-crtscts -ixon -ixoff')):
        out = must('start g -b115200 -c2 %s; waitfor /tmp/g.out Escape 5; stty -F /dev/ttyS1 -a;'
                   "keys g '\\001'; ended g 5 >/dev/null" % args)
        words = out.decode().split()
        if any(w not in words for w in want.split()) or files('g', 'err')[0]:
            fail('%s: stty -a says %r, stderr %r' % (args, out, files('g', 'err')[0]))
    print('  flow control through stty -a: -fh, -fs, -fn and none')


SEQUENCE = 'dtr=0 600 rts=0 600 dtr=1 600 break 600 rts=1'
# (DTR, RTS, break) after each step of SEQUENCE, and how long each lasts (s)
LEVELS = [((0, 1, 0), 0.6), ((0, 0, 0), 0.6), ((1, 0, 0), 0.6), ((1, 0, 1), 0.25), ((1, 0, 0), 0.6),
          ((1, 1, 0), None)]


def case_sequence():
    # A -r sequence against the modem control register's DTR and RTS bits and
    # the line control register's break bit, sampled all along in the guest:
    # each level comes in order and lasts about its wait.
    out = must(r"""rm -f /tmp/stop
( while [ ! -e /tmp/stop ]; do read up _ </proc/uptime; echo "$up $(registers)"; done >/tmp/samples ) &
sampler=$!
usleep 300000
start q -b115200 -c2 -r '%s'
waitfor /tmp/q.out Escape 20
usleep 600000
touch /tmp/stop
wait $sampler
keys q '\001'
ended q 5 >/dev/null
cat /tmp/samples /tmp/q.err""" % SEQUENCE, 60)
    samples = []
    for line in out.decode().splitlines():
        t, lcr, mcr = line.split()
        lcr, mcr = int(lcr, 16), int(mcr, 16)
        samples.append((float(t), (mcr & 1, mcr >> 1 & 1, lcr >> 6 & 1)))
    if len(samples) < 20:
        fail('-r: too few samples of the registers: %r' % out[-300:])
    runs = []  # (level, time of its first sample)
    for t, level in samples:
        if not runs or runs[-1][0] != level:
            runs.append((level, t))
    first = [i for i, (level, _) in enumerate(runs) if level == LEVELS[0][0]]
    got = [level for level, _ in runs[first[0]:]] if first else []
    if got != [level for level, _ in LEVELS]:
        fail('-r %r: levels %r' % (SEQUENCE, [level for level, _ in runs]))
    # A level is seen from a sample up to one sample interval late at each end.
    gap = max(b[0] - a[0] for a, b in zip(samples, samples[1:]))
    lasted = [runs[first[0] + i + 1][1] - runs[first[0] + i][1] for i in range(len(LEVELS) - 1)]
    for (level, want), took in zip(LEVELS, lasted):
        if abs(took - want) > gap + 0.1:
            fail('-r: level %r lasted %.2f s, not %.2f (samples up to %.2f s apart)' % (level, took, want, gap))
    print('  -r %r on COM2: levels (DTR, RTS, break) %s lasted %s s; %d samples, at most %.0f ms apart'
          % (SEQUENCE, [l for l, _ in LEVELS], ['%.2f' % x for x in lasted], len(samples), gap * 1000))


STATE = re.compile(rb'\[DTR=(\d) RTS=(\d) CTS=\d DSR=\d DCD=\d RI=\d\]\n')
SET_MODEM_CTRL, SET_DATA = 0x4001, 0x4004  # the adapter's vendor requests


def adapter_requests(request):
    """The values of every control request `request` that the adapter got,
    from QEMU's trace, oldest first."""
    with open('usb.trace') as f:
        found = re.findall(r'got control (0x[0-9a-f]+), value (0x[0-9a-f]+)', f.read())
    return [int(v, 16) for r, v in found if int(r, 16) == request]


def adapter_levels(values):
    """(DTR, RTS) after each modem-control request: the low byte sets, the
    high byte says which lines it sets. Repeats left out."""
    levels, dtr, rts = [], 0, 0
    for v in values:
        if v & 0x100:
            dtr = v & 1
        if v & 0x200:
            rts = v >> 1 & 1
        if not levels or levels[-1] != (dtr, rts):
            levels.append((dtr, rts))
    return levels


def case_commands():
    # -k: each Ctrl-T command on the 16550 and on the adapter. The state line
    # that kestrel shows (TIOCMGET in the guest) after each one must match the
    # 16550's modem control register, or the requests that the adapter got
    # (QEMU's trace); the break reaches the adapter; nothing goes to the log.
    steps = (('d', (0, 1)), ('r', (0, 0)), ('l', (0, 0)), ('d', (1, 0)), ('b', (1, 0)), ('r', (1, 1)),
             ('p', (1, 1)))
    for com in (2, 33):
        breaks = [v for v in adapter_requests(SET_DATA) if v & 0x4000]
        must('start k -k -b115200 -c%d -l /tmp/k.log; waitfor /tmp/k.out Escape 5' % com)
        for n, (key, want) in enumerate(steps, 1):
            must("keys k '\\024%s'; count /tmp/k.out '^\\[DTR=' %d 5" % (key, n))
            shown = tuple(int(x) for x in STATE.findall(files('k', 'out')[0])[-1])
            if com == 2:
                mcr = registers()[1]
                real = (mcr & 1, mcr >> 1 & 1)
            else:
                real = adapter_levels(adapter_requests(SET_MODEM_CTRL))[-1]
            if shown != want or real != want:
                fail('COM%d Ctrl-T %s: shown %r, the port has %r, want %r' % (com, key, shown, real, want))
        if com == 33 and len([v for v in adapter_requests(SET_DATA) if v & 0x4000]) != len(breaks) + 1:
            fail('Ctrl-T b: the adapter got no break')
        board = 'uart' if com == 2 else 'ftdi'
        board_take(board)
        must("keys k '\\024\\024\\024\\001'")
        board_wait(board, b'\x14\x01')
        must("keys k '\\001'")
        rc, (err, log) = ended('k'), files('k', 'err', 'log')
        if rc != 0 or err or log:
            fail('COM%d -k: exit %d, %r, log %r' % (com, rc, err, log))
    print('  Ctrl-T commands on COM2 and COM33: %s, then ^T ^T and ^T ^A' % ' '.join(k for k, _ in steps))


def case_wait_sequence():
    # -w: the -r sequence runs on the adapter, and again once it is plugged
    # back in; each time the adapter gets its levels in order after the
    # open's raise of DTR and RTS. In between Ctrl-T r raised RTS again.
    sequence = [(1, 1), (0, 1), (0, 0), (1, 0)]
    done = len(adapter_requests(SET_MODEM_CTRL))
    must('start w -w -k -c33 -r "dtr=0 300 rts=0 dtr=1"; waitfor /tmp/w.out Escape 10')
    levels = adapter_levels(adapter_requests(SET_MODEM_CTRL)[done:])
    if levels[-4:] != sequence:
        fail('-r on the adapter: levels %r' % levels)
    must("keys w '\\024r'; count /tmp/w.out '^\\[DTR=1 RTS=1 ' 1 5")
    unplug()
    must("waitfor /tmp/w.out 'Port COM33 hung up. Waiting for it again.' 3")
    done = len(adapter_requests(SET_MODEM_CTRL))
    replug()
    must("waitfor /tmp/w.out 'Port COM33 is back.' 10")
    end = time.time() + 10
    while adapter_levels(adapter_requests(SET_MODEM_CTRL)[done:])[-4:] != sequence:
        if time.time() > end:
            fail('-r after the replug: levels %r' % adapter_levels(adapter_requests(SET_MODEM_CTRL)[done:]))
        time.sleep(0.1)
    must("keys w '\\024l'; count /tmp/w.out '^\\[DTR=1 RTS=0 ' 1 5")
    must("keys w '\\001'")
    rc, (err,) = ended('w'), files('w', 'err')
    if rc != 0 or err:
        fail('-w -r: exit %d, %r' % (rc, err))
    print('  -r "dtr=0 300 rts=0 dtr=1" on COM33 at the start and after the replug under -w: '
          '(DTR, RTS) went %r each time' % sequence)


def case_close_stalled():
    # -fs on ttyS1, and the board sends XOFF: typed bytes stay in the driver.
    # Ctrl-A still ends the session at once, not after the kernel's
    # closing_wait (30 s) for output that can't leave.
    must('start h -b115200 -c2 -fs; waitfor /tmp/h.out Escape 5')
    board_send('uart', b'\x13')
    must("usleep 300000; keys h '%s'; usleep 300000" % ('x' * 200))
    t0 = time.time()
    must("keys h '\\001'")
    rc, (err,) = ended('h', 3), files('h', 'err')
    if rc != 0 or err:
        fail('-fs after XOFF: exit %d, %r' % (rc, err))
    print('  -fs after XOFF, 200 bytes held: Ctrl-A ended the session in %.1f s' % (time.time() - t0))
    board_take('uart')


CASES = ['list', 'busy', 'rates', 'bench', 'unplug', 'replug', 'warning', 'wait_replug', 'wait_start',
         'framing', 'sequence', 'commands', 'wait_sequence', 'close_stalled']


def main():
    global stopping
    for sig in (signal.SIGINT, signal.SIGTERM):  # signals end the run through its clean-up
        signal.signal(sig, lambda *_: sys.exit('FAIL: interrupted'))
    cases = sys.argv[4:] or CASES
    sys.argv[1:4] = [os.path.abspath(a) for a in sys.argv[1:4]]
    work = sys.argv[3]
    os.makedirs(work, exist_ok=True)
    os.chdir(work)  # the sockets' paths stay short
    t0 = time.time()
    status = 0
    try:
        kernel, version = find_kernel()
        image = build_initramfs(work, version, sys.argv[1])
        boot(kernel, image)
        print('booted %s in %.1f s' % (version, time.time() - t0))
        for name in cases:
            t = time.time()
            globals()['case_' + name]()
            print('ok %s (%.1f s)' % (name, time.time() - t))
    except Failed as e:
        print('FAIL: %s' % e)
        if os.path.exists('console.log'):
            with open('console.log', errors='replace') as f:
                print('the guest console (end):\n' + ''.join(f.readlines()[-20:]))
        status = 1
    finally:
        stopping = True
        if host_peer:
            host_peer.kill()
            host_peer.wait()
        if qemu:
            qemu.kill()
            qemu.wait()
        for fd in ports.values():
            os.close(fd)
        for name in ('ctl.sock', 'mon.sock'):
            if os.path.exists(name):
                os.unlink(name)
    print('%s: %d cases in %.1f s' % ('FAILED' if status else 'passed', len(cases), time.time() - t0))
    return status


if __name__ == '__main__':
    sys.exit(main())
