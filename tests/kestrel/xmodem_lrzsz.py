#!/usr/bin/env python3
"""The XMODEM/YMODEM codec (through the xmodem_peer tool) against lrzsz over
a ptypair cable, every variant both ways, at the sizes where blocks begin and
end and at 1 MiB.
  xmodem_lrzsz.py CASE XMODEM_PEER PTYPAIR
A case is one row of CASES: our side's arguments, lrzsz's command, and
whether it is YMODEM (the exact size) or XMODEM (padded to 128 bytes)."""
import os
import shutil
import subprocess
import sys
import tempfile

SIZES = [0, 1, 127, 128, 129, 1023, 1024, 1025, 1 << 20]

# name: (our side, lrzsz's side, ymodem)
CASES = {
    "x_to_rx_checksum": (["send", "x"], ["rx", "-q"], False),
    "x_to_rx_crc": (["send", "x"], ["rx", "-q", "-c"], False),
    "1k_to_rx_crc": (["send", "1k"], ["rx", "-q", "-c"], False),
    "y_to_rb": (["send", "y"], ["rb", "-q"], True),
    "sx_to_x": (["recv", "x"], ["sx", "-q"], False),
    "sx_1k_to_x": (["recv", "x"], ["sx", "-q", "-k"], False),
    "sb_to_y": (["recv", "y"], ["sb", "-q"], True),
    "sb_1k_to_y": (["recv", "y"], ["sb", "-q", "-k"], True),
}


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def run_pair(ours, theirs, cwd_ours, cwd_theirs, ptypair):
    """Runs both ends at once on a fresh cable, each with a known PID, and
    ends all three. lrzsz talks through pipes that socat joins to the
    cable's far end: on a tty it flushes its output as it exits, and on a
    pseudo-terminal that can discard its last ACK before the cable has it."""
    tmp = tempfile.mkdtemp()
    link_a, link_b = os.path.join(tmp, "A"), os.path.join(tmp, "B")
    pair = subprocess.Popen([ptypair, link_a, link_b, "300"], stdout=subprocess.PIPE)
    procs = [pair]
    try:
        if pair.stdout.readline().strip() != b"ready":
            fail("ptypair did not start")
        them = subprocess.Popen(["socat", "-b65536", "FILE:%s,raw,echo=0" % link_b,
                                 "EXEC:%s,pipes,stderr" % " ".join(theirs)],
                                stderr=subprocess.PIPE, cwd=cwd_theirs)
        procs.append(them)
        us = subprocess.Popen(ours[:3] + [link_a] + ours[3:], stderr=subprocess.PIPE, cwd=cwd_ours)
        procs.append(us)
        us_err = us.communicate(timeout=120)[1]
        them_err = them.communicate(timeout=30)[1]
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        for link in (link_a, link_b):
            if os.path.lexists(link):
                os.remove(link)
        os.rmdir(tmp)
    if us.returncode != 0 or them.returncode != 0 or b"Transfer incomplete" in them_err:
        fail("%s -> exit %d, stderr %r; %s -> exit %d, stderr %r"
             % (ours, us.returncode, us_err, theirs, them.returncode, them_err))


def expected(data, ymodem):
    if ymodem:
        return data
    return data + b"\x1a" * ((128 - len(data) % 128) % 128)


def run_case(name, peer, ptypair):
    ours, theirs, ymodem = CASES[name]
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "src"), os.path.join(tmp, "dst")
        os.mkdir(src)
        # YMODEM sends the sizes as two batches; XMODEM one file at a time.
        groups = [SIZES[:5], SIZES[5:]] if ymodem else [[s] for s in SIZES]
        for group in groups:
            os.mkdir(dst)
            names = ["f%d.bin" % s for s in group]
            datas = [os.urandom(s) for s in group]
            for n, d in zip(names, datas):
                with open(os.path.join(src, n), "wb") as f:
                    f.write(d)
            if ours[0] == "send":
                run_pair([peer] + ours + names, theirs + ([] if ymodem else [names[0]]),
                         src, dst, ptypair)
            else:
                run_pair([peer] + ours + [dst if ymodem else os.path.join(dst, names[0])],
                         theirs + names, dst, src, ptypair)
            for n, d in zip(names, datas):
                with open(os.path.join(dst, n), "rb") as f:
                    got = f.read()
                if got != expected(d, ymodem):
                    fail("%s: %s came as %d bytes, not %d" % (name, n, len(got), len(expected(d, ymodem))))
            leftovers = sorted(set(os.listdir(dst)) - set(names))
            if leftovers:
                fail("%s: left %s" % (name, leftovers))
            shutil.rmtree(dst)
            for n in names:
                os.remove(os.path.join(src, n))
    print("ok: " + name)


if __name__ == "__main__":
    run_case(sys.argv[1], sys.argv[2], sys.argv[3])
