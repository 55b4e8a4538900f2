#!/usr/bin/env python3
"""Bad and extreme inputs against the built marigold: each case ends with
the expected message and exit code, never a crash, and nothing is lost from
the files it writes.  Usage: bad_input.py MARIGOLD WORKDIR [EMULATOR...]"""
import os
import random
import shutil
import signal
import struct
import subprocess
import time

import harness
from harness import expect, read, run, write

# The reason a folder gives where a file is wanted: Windows says access is denied.
IS_A_FOLDER = "Is a directory"

def checksum(data):
    head = (data[:32] + bytes(32))[:32]
    return sum(struct.unpack("<8I", head)) & 0xFFFFFFFF


def intel(length, address, rtype, data):
    body = bytes([length, address >> 8, address & 0xFF, rtype]) + data
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()


def empty_and_random_files():
    write("empty.hex", b"")
    expect("empty dump", run(["empty.hex"]) == (0, "", ""))
    expect("empty filter", run(["-f", "empty.hex", "empty.out"]) == (0, "", "")
           and read("empty.out") == b"")
    rng = random.Random(7)
    noise = bytes(rng.choice(b":S0123456789ABCDEF\n\r\0\xff x") for _ in range(65536))
    write("noise.hex", noise)
    rc, _, err = run(["noise.hex"])
    expect("noise dump", rc == 0 or (rc == 255 and err.startswith("HEX RECORD Checksum Error!")),
           "rc=%d" % rc)
    rc, _, _ = run(["-f", "noise.hex", "noise.out"])
    expect("noise filter", rc == 0, "rc=%d" % rc)
    expect("empty -i", run(["-i", "empty.hex"]) == (0, "format: none\nrecords: 0 (data 0)\n"
                                                    "data: 0 bytes in 0 ranges\nstart: none\nproblems: 0\n", ""))
    rc, out, err = run(["-i", "noise.hex"])
    problems = [l for l in out.splitlines() if l.startswith("noise.hex:")]
    expect("noise -i", rc == 1 and err == "" and out.endswith("\nproblems: %d\n" % len(problems)),
           "rc=%d" % rc)


def long_lines():
    line = ":" + "0" * 1000000
    write("long.hex", (line + "\n").encode())
    rc, out, _ = run(["long.hex"])
    pieces = -(-(len(line) - 255) // 255)
    expect("1 MB line dump", rc == 0 and out.count("WARNING:garbled line:") == pieces,
           "rc=%d warnings=%d" % (rc, out.count("WARNING")))
    rc, _, _ = run(["-f", "long.hex", "long.out"])
    expect("1 MB line filter", rc == 0 and read("long.out") == (line + "\r\n").encode())
    expect("1 MB line -i", run(["-i", "long.hex"])[:2] == (1, "long.hex:1: record length mismatch "
                                                           "(states 0, holds 499995)\nlong.hex: no end-of-file record\n"
                                                           "format: Intel HEX\nrecords: 1 (data 1)\n"
                                                           "data: 0 bytes in 0 ranges\nstart: none\nproblems: 2\n"))
    lines = [":" + "1" * (n - 1) for n in (254, 255, 256, 600)]
    write("edges.hex", "\n".join(lines).encode())
    rc, _, _ = run(["edges.hex"])
    expect("254..600 dump", rc in (0, 255), "rc=%d" % rc)
    rc, _, _ = run(["-f", "edges.hex", "edges.out"])
    expect("254..600 filter", rc == 0 and read("edges.out") == "".join(l + "\r\n" for l in lines).encode())


def record_types_and_lengths():
    write("types.hex", "\n".join(intel(0, 0, t, b"") for t in range(256)).encode())
    rc, out, _ = run(["types.hex"])
    # A type 05 of length 0 takes its start address from its own checksum
    # byte (fb) and from positions no earlier line reached.
    wanted = "".join(":scmd=5 start=fb000000\nscmd=5\n" if t == 5 else "scmd=%x\n" % t
                     for t in range(256) if t not in (0, 1, 4))
    expect("types 00..ff", rc == 0 and out == wanted)
    for length in (0, 252, 253, 255):
        # As much data as a line holds; the checksum covers what is there.
        data = bytes(range(1, 1 + min(length, 120)))
        write("len.hex", (intel(length, 0x100, 0, data)[:-2] + "%02X" % (
            (-(sum(data) + length + 1)) & 0xFF)).encode())
        rc, out, err = run(["len.hex"])
        expect("length %d" % length, rc == 0 and len(out.split()) == min(length, 252) + -(-min(length, 252) // 16),
               "rc=%d %s" % (rc, err))


def spread_ranges():
    """Data every 1 MiB over the whole 4 GiB, and a record that runs past its end."""
    lines = []
    for upper in range(0, 0x10000, 16):
        lines.append(intel(2, 0, 4, bytes([upper >> 8, upper & 0xFF])))
        lines.append(intel(16, 0x8000, 0, bytes(16)))
    lines += [intel(2, 0, 4, b"\xff\xff"), intel(4, 0xFFFE, 0, b"\1\2\3\4"), intel(0, 0, 1, b"")]
    write("spread.hex", "\n".join(lines).encode())
    rc, out, _ = run(["-i", "spread.hex"])
    ranges = [l for l in out.splitlines() if l.startswith("  ")]
    expect("spread -i", rc == 0 and "\ndata: 65540 bytes in 4098 ranges\n" in out and
           ranges[0] == "  00000000-00000001 2 bytes" and ranges[1] == "  00008000-0000800f 16 bytes" and
           ranges[-2] == "  fff08000-fff0800f 16 bytes" and ranges[-1] == "  fffffffe-ffffffff 2 bytes",
           "rc=%d %s" % (rc, ranges[:2] + ranges[-2:]))


def unopenable_paths(as_other_user):
    os.makedirs("folder", exist_ok=True)
    for args in (["folder"], ["-f", "folder", "dir.out"], ["-c", "folder"], ["-w", "folder"], ["-i", "folder"]):
        expect("directory %s" % args, run(args) == (1, "Fatal: can't open file:folder\n%s\n" % IS_A_FOLDER, ""))
    expect("no output for a directory", not os.path.exists("dir.out"))
    write("in.hex", b":00000001FF\n")
    expect("missing folder", run(["-f", "in.hex", "nofolder/out.hex"]) ==
           (1, "Fatal: can't create file:nofolder/out.hex\nNo such file or directory\n", ""))
    deep = os.path.join("d" * 100, "e" * 100, "f" * 94 + ".hex")
    os.makedirs(os.path.dirname(deep), exist_ok=True)
    write(deep, b":0400100001020304E2\n")
    expect("300-character path", len(deep) == 300 and run([deep]) == (0, "0010: 01 02 03 04\n", ""))
    expect("300-character missing path", run([deep + "x"]) == (1, "Fatal: can't open file:%sx\nNo such file or directory\n" % deep, ""))
    if not as_other_user:
        return
    # root reads and writes everything: the permission cases run as nobody.
    os.chmod(".", 0o755)
    write("secret.hex", b":00000001FF\n")
    os.chmod("secret.hex", 0)
    denied = "Fatal: can't open file:secret.hex\nPermission denied\n"
    expect("unreadable input", run(["secret.hex"], user=65534) == (1, denied, ""))
    expect("unreadable -i", run(["-i", "secret.hex"], user=65534) == (1, denied, ""))
    image = bytes(range(64))
    write("locked.bin", image)
    os.chmod("locked.bin", 0o444)
    expect("read-only image", run(["-w", "locked.bin"], user=65534) ==
           (1, "sum=%x\nFatal: can't create file:locked.bin\nPermission denied\n" % checksum(image), "")
           and read("locked.bin") == image)


def image_sizes():
    rng = random.Random(11)
    for size in (0, 10, 28, 30, 31, 32, 65536, 1000000):
        image = bytes(rng.getrandbits(8) for _ in range(size))
        write("image.bin", image)
        line = "sum=%x\n" % checksum(image)
        expect("-c %d" % size, run(["-c", "image.bin"]) == (0, line, "") and read("image.bin") == image)
        if 0 < size < 32:
            # The correction would lie past the end: refused, the file as it was.
            rc, out, err = run(["-w", "image.bin"])
            expect("-w %d refused" % size, (rc, out) == (1, "") and err.startswith("image.bin: ")
                   and read("image.bin") == image, "rc=%d %r %r" % (rc, out, err))
            continue
        expect("-w %d" % size, run(["-w", "image.bin"]) == (0, line, ""))
        fixed = read("image.bin")
        expected = bytearray(image)
        if size:
            word = (struct.unpack("<I", image[28:32])[0] - checksum(image)) & 0xFFFFFFFF
            expected[28:32] = struct.pack("<I", word)
        expect("-w %d keeps the rest" % size, fixed == bytes(expected))
        if size >= 32:
            expect("-w %d sums to zero" % size, run(["-c", "image.bin"])[1] == "sum=0\n")
    # A short image whose sum is zero needs no correction.
    write("image.bin", b"\0" * 10)
    expect("-w 10 zero bytes", run(["-w", "image.bin"]) == (0, "sum=0\n", ""))
    # Raw images that start like a record, up to a byte no record line holds.
    for head in (b":", b"S3", b"\r\n:10000000", b"S1" + b"0" * 600 + b"\n"):
        image = head + bytes(rng.getrandbits(8) | 0x80 for _ in range(64))
        write("image.bin", image)
        expect("-c %r..." % head[:12], run(["-c", "image.bin"]) == (0, "sum=%x\n" % checksum(image), ""))
    # while a record with 255 data bytes (a 521-character line) is one
    write("long_record.hex", (intel(255, 0, 0, bytes(range(255))) + "\n:00000001FF\n").encode())
    expect("-c long record", run(["-c", "long_record.hex"]) == (0, "sum=%x\n" % checksum(bytes(range(32))), ""))


def srec(rtype, address, data, width=2):
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return "S%d%s%02X" % (rtype, body.hex().upper(), ~sum(body) & 0xFF)


def record_file_refusals(as_other_user):
    """-c and -w on record files that they must refuse: exit 1, a message on
    standard error naming the file, and the file byte for byte as it was."""
    end = intel(0, 0, 1, b"")
    cases = {
        "short.hex": ([intel(20, 0, 0, bytes(range(20))), end], "short.hex: the checksum words"),
        "gap.hex": ([intel(16, 0, 0, bytes(16)), intel(15, 17, 0, bytes(15)), end], "gap.hex: the checksum words"),
        "checksum.hex": ([intel(32, 0, 0, bytes(32))[:-2] + "00", end], "checksum.hex:1: checksum error"),
        "garbled.s19": ([srec(1, 0, bytes(32)), "S1zz"], "garbled.s19:2: garbled line"),
        "overlap.hex": ([intel(32, 0, 0, bytes(32)), intel(1, 31, 0, b"\1"), end], "overlap.hex:2: overlap"),
        "mixed.hex": ([intel(32, 0, 0, bytes(32)), srec(1, 0x40, b"\1"), end], "mixed.hex: mixes"),
        "nodata.hex": ([end], "nodata.hex: no data"),
        "bom.hex": (["\ufeff" + intel(32, 0, 0, bytes(32)), end], "bom.hex:1: garbled line"),
        "tab_first.hex": (["\t ", intel(32, 0, 0, bytes(32)), end], "tab_first.hex:1: garbled line"),
    }
    for name, (lines, message) in cases.items():
        text = ("\r\n".join(lines) + "\r\n").encode()
        write(name, text)
        for option in ("-c", "-w"):
            rc, out, err = run([option, name])
            expect("%s %s refused" % (option, name), rc == 1 and out == "" and err.startswith(message)
                   and read(name) == text, "rc=%d out=%r err=%r" % (rc, out, err))
    write("blank_first.hex", b"\n\r\n" + intel(32, 0, 0, bytes(range(32))).encode() + b"\n" + end.encode())
    expect("blank lines before the first record", run(["-c", "blank_first.hex"]) == (0, "sum=%x\n" % checksum(bytes(range(32))), ""))
    if as_other_user:
        text = (intel(32, 0, 0, bytes(range(1, 33))) + "\n" + end + "\n").encode()
        write("locked.hex", text)
        os.chmod("locked.hex", 0o444)
        expect("read-only record file", run(["-w", "locked.hex"], user=65534) ==
               (1, "sum=%x\nFatal: can't create file:locked.hex\nPermission denied\n" % checksum(bytes(range(1, 33))), "")
               and read("locked.hex") == text)


def far_file(name):
    """An S3 file of 840 KB whose bytes 28-31 lie in its first and its last
    data record."""
    head = bytes(range(1, 33))
    lines = [srec(3, 0, head[:30], 4)] + [srec(3, 0x100 + 32 * i, bytes([i & 0xFF]) * 32, 4) for i in range(11200)]
    lines += [srec(3, 30, head[30:], 4), srec(7, 0, b"", 4)]
    text = ("\n".join(lines) + "\n").encode()
    write(name, text)
    return head, lines, text


def far_apart_word():
    """-w on a file whose bytes 28-31 lie in its first and its last record:
    a write that fails half-way (a file size limit) leaves it whole, and one
    that succeeds changes those two lines alone."""
    head, lines, text = far_file("far.s37")
    listed = sorted(os.listdir("."))
    if not harness.EMULATOR:
        proc = subprocess.run(["bash", "-c", "trap '' XFSZ; ulimit -f 200; exec \"$0\" -w far.s37", harness.MARIGOLD],
                              capture_output=True, timeout=60)
        expect("-w over the size limit", proc.returncode == 1 and proc.stdout.decode().endswith(
               "Fatal: can't write file:far.s37\nFile too large\n") and read("far.s37") == text
               and sorted(os.listdir(".")) == listed, "rc=%d %r" % (proc.returncode, proc.stdout))
    # The copy renamed over the file keeps its mode, and as root its owner
    # (not under Windows, which has neither).
    os.chmod("far.s37", 0o640)
    owner = (65534, 65534) if not harness.EMULATOR and os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown("far.s37", *owner)
    rc, out, _ = run(["-w", "far.s37"])
    fixed = read("far.s37").split(b"\n")
    changed = [i for i, line in enumerate(text.split(b"\n")) if fixed[i] != line]
    st = os.stat("far.s37")
    expect("-w far apart", rc == 0 and out == "sum=%x\n" % checksum(head) and changed == [0, len(lines) - 2]
           and run(["-c", "far.s37"])[1] == "sum=0\n" and sorted(os.listdir(".")) == listed
           and (harness.EMULATOR or (st.st_mode & 0o7777, st.st_uid, st.st_gid) == (0o640,) + owner),
           "rc=%d %r mode %o owner %d:%d" % (rc, changed, st.st_mode & 0o7777, st.st_uid, st.st_gid))


def conversion_refusals():
    """-x leaves no output file (and no temporary one) when it refuses."""
    def left_over(out):
        return [f for f in os.listdir(".") if f.startswith(out) or f.startswith(".marigold-")]
    write("bad.hex", (intel(4, 0, 0, b"\1\2\3\4")[:-2] + "00\n:00000001FF\n").encode())
    rc, out, err = run(["-x", "bad.hex", "bad.bin"])
    expect("-x problem", rc == 1 and out == "" and err == "bad.hex:1: checksum error (expected f2, found 00)\n"
           and not left_over("bad.bin"), "rc=%d %r" % (rc, err))
    rc, _, err = run(["-x", "noise.hex", "noise.s37"])
    expect("-x noise", rc == 1 and "noise.hex:" in err and not left_over("noise.s37"), "rc=%d" % rc)
    write("wide.hex", "\n".join([intel(1, 0, 0, b"\1"), intel(2, 0, 4, b"\x10\x00"), intel(1, 0, 0, b"\2"),
                                 intel(0, 0, 1, b"")]).encode())
    rc, out, err = run(["-x", "wide.hex", "wide.bin"])
    expect("-x .bin over 256 MiB", rc == 1 and err == "wide.hex: the image 00000000-10000000 would be "
           "268435457 bytes, more than 256 MiB\n" and not left_over("wide.bin"), "rc=%d %r" % (rc, err))
    rc, _, err = run(["-x", "wide.hex", "wide.s19"])
    expect("-x S19 too narrow", rc == 1 and "does not fit" in err and not left_over("wide.s19"))
    expect("-x to a missing folder", run(["-x", "wide.hex", "nofolder/out.s37"]) ==
           (1, "Fatal: can't create file:nofolder/out.s37\n"
               "can't create a temporary file in folder nofolder: No such file or directory\n", ""))
    os.makedirs("taken.hex", exist_ok=True)
    rc, out, _ = run(["-x", "wide.hex", "taken.hex"])
    expect("-x onto a folder", rc == 1 and out == "Fatal: can't write file:taken.hex\n%s\n" % IS_A_FOLDER
           and os.listdir("taken.hex") == [] and not left_over(".marigold-"), out)
    result = run(["-x", "missing.hex", "out.bin"])
    expect("-x from a missing file", result == (1, "Fatal: can't open file:missing.hex\nNo such file or directory\n", "")
           and not left_over("out.bin"), "%r %r" % (result, os.listdir(".")))
    expect("-x empty file", run(["-x", "empty.hex", "empty.s37"]) == (1, "", "empty.hex: holds no records\n"))
    # The temporary name is one of its own, whatever the output is called.
    write("keep.s37.marigold-tmp", b"mine")
    for out in ["keep.s37"] + ([] if harness.EMULATOR else ["l" * 246 + ".s37"]):
        rc, _, err = run(["-x", "wide.hex", out])
        expect("-x to %s..." % out[:12], rc == 0 and os.path.exists(out) and not left_over(".marigold-"),
               "rc=%d %r" % (rc, err))
    expect("-x keeps a file of an old temporary's name", os.path.exists("keep.s37.marigold-tmp")
           and read("keep.s37.marigold-tmp") == b"mine")
    # -w keeps the file's case of digits where the touched line has no letter
    digits_only = bytes(0x10 + i % 10 for i in range(31)) + b"\0"
    text = "\n".join([intel(32, 0, 0, digits_only), intel(16, 32, 0, b"\xab" * 16).lower(), ":00000001ff\n"])
    write("lower.hex", text.encode())
    rc, _, _ = run(["-w", "lower.hex"])
    first = read("lower.hex").split(b"\n")[0]
    expect("-w in the file's case", rc == 0 and first != text.split("\n")[0].encode() and first == first.lower(),
           first)


def spread_conversion():
    """The spread file of spread_ranges() (4 GiB wide, a record past
    ffffffff) through .hex and .s37: -i finds the same ranges."""
    def held(path):
        out = run(["-i", path])[1]
        return out[out.find("\ndata:"):]
    for out, start in (("spread_out.hex", "start: none"), ("spread_out.s37", "start: 00000000")):
        rc, _, err = run(["-x", "spread.hex", out])
        expect("spread -x %s" % out, rc == 0 and held(out) == held("spread.hex").replace("start: none", start),
               "rc=%d %s" % (rc, err))


def pipes():
    """Input that can't be rewound: -c reads it as a raw image, as it always
    did; -x refuses it and leaves no output behind."""
    image = bytes(range(7, 71))
    expect("-c from a pipe", run(["-c", "/dev/stdin"], stdin=image) == (0, "sum=%x\n" % checksum(image), ""))
    text = "\n".join([intel(16, 16, 0, bytes(16)), intel(16, 0, 0, bytes(range(16))), intel(0, 0, 1, b"")]) + "\n"
    for out in ("piped.s37", "piped.bin"):
        rc, printed, err = run(["-x", "/dev/stdin", out], stdin=text.encode())
        expect("-x %s from a pipe" % out, (rc, printed) == (1, "") and err.startswith("/dev/stdin: ")
               and not [f for f in os.listdir(".") if f.startswith(out)], "rc=%d %r" % (rc, err))


def not_quite_records():
    """Files that hold record lines after something -i does not take as a
    record (a comment, a blank at the end of line 1, CR-only line ends) are
    record files all the same: -c and -w refuse them, naming the file and its
    problem, and leave them byte for byte as they were."""
    body = [intel(32, 0, 0, bytes(range(1, 33))), intel(0, 0, 1, b"")]
    cases = {
        "comment.hex": ("# firmware v1.2\n" + "\n".join(body) + "\n", "comment.hex:1: garbled line"),
        "blank_end.hex": (body[0] + " \n" + body[1] + "\n", "blank_end.hex:1: garbled line"),
        "cr_only.hex": ("\r".join(body) + "\r", "cr_only.hex:1: garbled line"),
        "comment.s19": ("; made by hand\r\n" + srec(1, 0, bytes(range(32))) + "\r\nS9030000FC\r\n",
                        "comment.s19:1: garbled line"),
    }
    for name, (text, message) in cases.items():
        write(name, text.encode())
        for option in ("-c", "-w"):
            rc, out, err = run([option, name])
            expect("%s %s refused" % (option, name), (rc, out) == (1, "") and err.startswith(message)
                   and read(name) == text.encode(), "rc=%d out=%r err=%r" % (rc, out, err))


def links_and_folders(as_other_user):
    """-w patches the file that the path names: through a symbolic link the
    link stays and its target is fixed, two hard links stay one file, and a
    writable file in a folder the user may not write is fixed too."""
    head, lines, text = far_file("target.s37")
    fixed_line = lambda: run(["-c", "target.s37"])[1]
    os.symlink("target.s37", "link.s37")
    rc, out, _ = run(["-w", "link.s37"])
    expect("-w through a symbolic link", rc == 0 and out == "sum=%x\n" % checksum(head)
           and os.path.islink("link.s37") and fixed_line() == "sum=0\n", "rc=%d %r" % (rc, out))
    write("target.s37", text)
    os.link("target.s37", "hard.s37")
    rc, _, _ = run(["-w", "hard.s37"])
    expect("-w on one of two hard links", rc == 0 and os.path.samefile("target.s37", "hard.s37")
           and fixed_line() == "sum=0\n", "rc=%d" % rc)
    if not as_other_user:
        return
    os.makedirs("locked_folder", exist_ok=True)
    far_file("locked_folder/far.s37")
    os.chown("locked_folder/far.s37", 65534, 65534)
    os.chmod("locked_folder", 0o555)
    rc, out, err = run(["-w", "locked_folder/far.s37"], user=65534)
    expect("-w in a folder the user may not write", rc == 0 and out == "sum=%x\n" % checksum(head)
           and run(["-c", "locked_folder/far.s37"])[1] == "sum=0\n"
           and os.listdir("locked_folder") == ["far.s37"], "rc=%d %r %r" % (rc, out, err))
    os.chmod("locked_folder", 0o755)


def replaced_outputs(as_other_user):
    """-x replaces an output as cp would: a file the user may not write is
    refused, the mode of the file it replaces is kept, a symbolic link is
    written through, and a folder the user may not write is named."""
    write("one.hex", (intel(4, 0, 0, b"\1\2\3\4") + "\n:00000001FF\n").encode())
    os.makedirs("outs", exist_ok=True)
    os.chmod("outs", 0o777)
    write("outs/target.hex", b"old")
    os.symlink("target.hex", "outs/link.hex")
    user = 65534 if as_other_user else None
    if user is not None:
        os.chown("outs/target.hex", user, user)
    denied = "Permission denied\n"
    cases = [("ro.hex", 0o444, "outs/ro.hex", (1, "Fatal: can't create file:outs/ro.hex\n" + denied), b"old"),
             ("mode.hex", 0o640, "outs/mode.hex", (0, ""), None),
             (None, None, "outs/link.hex", (0, ""), None)]
    if as_other_user:
        os.makedirs("ro_folder", exist_ok=True)
        cases.append(("ro_folder/out.hex", 0o666, "ro_folder/out.hex", (1, "Fatal: can't create file:ro_folder/out.hex\n"
                      "can't create a temporary file in folder ro_folder: " + denied), b"old"))
    for name, mode, out, wanted, content in cases:
        if name:
            path = name if "/" in name else "outs/" + name
            write(path, b"old")
            os.chmod(path, mode)
            if user is not None:
                os.chown(path, user, user)
        os.chmod("ro_folder", 0o555) if os.path.isdir("ro_folder") else None
        rc, printed, err = run(["-x", "one.hex", out], user=user)
        real = os.path.realpath(out)
        written = read(real) == content if content else read(real).startswith(b":04000000")
        expect("-x onto %s" % out, (rc, printed) == wanted and written
               and (not mode or os.stat(real).st_mode & 0o777 == mode) and os.path.lexists(out)
               and not [f for f in os.listdir(os.path.dirname(real)) if f.startswith(".marigold-")],
               "rc=%d %r %r mode %o" % (rc, printed, err, os.stat(real).st_mode & 0o777))
    expect("-x through a symbolic link", os.path.islink("outs/link.hex") and read("outs/target.hex").startswith(b":04"))
    if os.path.isdir("ro_folder"):
        os.chmod("ro_folder", 0o755)


def four_gib_image():
    """A raw image of exactly 4 GiB fills the address space from 0."""
    with open("four.bin", "wb") as f:
        f.truncate(1 << 32)
    rc, out, err = run(["-x", "-R0-f", "four.bin@0", "four.hex"])
    expect("4 GiB image at 0", rc == 0 and read("four.hex").startswith(b":10000000" + b"00" * 16), "rc=%d %r" % (rc, err))
    os.remove("four.bin")


def interrupted_conversion():
    """SIGINT, SIGTERM, SIGHUP and the other ending signals during -x end it
    as the signal would, and the temporary output goes with it; a closed pipe
    and a file size limit are write errors that leave nothing behind."""
    rows = bytes(range(16))
    # Records in descending address order: the replay keeps -x busy.
    lines = [intel(2, 0, 4, bytes([u >> 8, u & 0xFF])) + "\n" + "".join(
        intel(16, a, 0, rows) + "\n" for a in range(0xfff0, -1, -16)) for u in range(200, 0, -1)]
    write("big.hex", ("".join(lines) + ":00000001FF\n").encode())
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM):
        proc = subprocess.Popen([harness.MARIGOLD, "-x", "big.hex", "big.s37"], stdout=subprocess.DEVNULL)
        # The temporary file shows that the conversion has begun.
        deadline = time.monotonic() + 30
        while proc.poll() is None and time.monotonic() < deadline:
            if [f for f in os.listdir(".") if f.startswith(".marigold-")]:
                proc.send_signal(number)
                break
        rc = proc.wait(timeout=60)
        left = [f for f in os.listdir(".") if f.startswith(".marigold-") or f == "big.s37"]
        expect("-x ended by %s" % number.name, rc == -number and not left, "rc=%d left %s" % (rc, left))
    write("small.bin", bytes(range(1, 65)))
    reader, writer = os.pipe()
    os.close(reader)
    for command, wanted in [
            ([harness.MARIGOLD, "-x", "small.bin", "piped.bin"], "Fatal: can't write standard output: Broken pipe"),
            (["bash", "-c", "ulimit -f 200; exec \"$0\" -x big.hex big.s37", harness.MARIGOLD],
             "Fatal: can't write file:big.s37\nFile too large\n")]:
        proc = subprocess.run(command, stdout=writer, stderr=subprocess.PIPE, timeout=60) if "piped" in command[-1] \
            else subprocess.run(command, capture_output=True, timeout=60)
        said = (proc.stdout or b"").decode() + proc.stderr.decode()
        left = [f for f in os.listdir(".") if f.startswith(".marigold-") or f in ("big.s37", "piped.bin")]
        expect("-x %s: a write error" % ("to a closed pipe" if "piped" in command[-1] else "past ulimit -f"), proc.returncode == 1 and wanted in said and not left,
               "rc=%d %r left %s" % (proc.returncode, said, left))
    os.close(writer)


def full_output():
    """A report that can't be written (standard output on a full disk) ends
    every mode with exit code 1 and a message on standard error; -w then
    leaves the file as it was, and -x leaves no output."""
    write("small.hex", (intel(32, 0, 0, bytes(range(1, 33))) + "\n" + intel(4, 0, 5, b"\0\0\1\2") +
                        "\n:00000001FF\n").encode())
    write("small.bin", bytes(range(1, 65)))
    cases = [["small.hex"], ["-b", "small.hex"], ["-f", "small.hex", "small.out"], ["-i", "small.hex"],
             ["-x", "small.hex", "full.bin"], ["-c", "small.hex"], ["-w", "small.hex"], ["-c", "small.bin"],
             ["-w", "small.bin"], [], ["--help"], ["--version"]]
    for args in cases:
        before = read("small.hex"), read("small.bin")
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(harness.EMULATOR + [harness.MARIGOLD] + args, stdout=full, stderr=subprocess.PIPE, timeout=60)
        err = proc.stderr.decode()
        expect("%s to a full disk" % args, proc.returncode == 1 and
               "Fatal: can't write standard output: No space left on device" in err
               and (read("small.hex"), read("small.bin")) == before and not os.path.exists("full.bin"),
               "rc=%d %r" % (proc.returncode, err))


def main():
    global IS_A_FOLDER
    harness.setup()
    if harness.EMULATOR:
        IS_A_FOLDER = "Permission denied"
    empty_and_random_files()
    long_lines()
    record_types_and_lengths()
    spread_ranges()
    unopenable_paths(os.geteuid() == 0 and not harness.EMULATOR and shutil.which("setpriv"))
    image_sizes()
    record_file_refusals(os.geteuid() == 0 and not harness.EMULATOR and shutil.which("setpriv"))
    conversion_refusals()
    spread_conversion()
    if not harness.EMULATOR and os.path.exists("/dev/stdin"):
        pipes()
    far_apart_word()
    not_quite_records()
    if not harness.EMULATOR:
        links_and_folders(os.geteuid() == 0 and shutil.which("setpriv"))
        interrupted_conversion()
        full_output()
        replaced_outputs(os.geteuid() == 0 and shutil.which("setpriv"))
        four_gib_image()
    harness.report()


if __name__ == "__main__":
    main()
