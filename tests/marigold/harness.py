"""What marigold's Python suites share: the program under test, running it,
and the failures collected along the way."""
import os
import shutil
import subprocess
import sys

MARIGOLD = None
EMULATOR = []
FAILURES = []


def setup():
    """Takes MARIGOLD WORKDIR [EMULATOR...] from the command line and works
    in a fresh WORKDIR."""
    global MARIGOLD, EMULATOR
    MARIGOLD, work, EMULATOR = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3:]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chdir(work)


def run(args, user=None, stdin=None, timeout=60):
    command = EMULATOR + [MARIGOLD] + args
    if user is not None:
        command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + command
    proc = subprocess.run(command, capture_output=True, timeout=timeout, input=stdin)
    out = proc.stdout.replace(b"\r\n", b"\n").decode("latin-1")
    err = proc.stderr.replace(b"\r\n", b"\n").decode("latin-1")
    return proc.returncode, out, err


def expect(name, condition, detail=""):
    if not condition:
        FAILURES.append("%s %s" % (name, detail))


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def report():
    for failure in FAILURES:
        print("FAILED:", failure)
    print("%d failed" % len(FAILURES))
    sys.exit(1 if FAILURES else 0)
