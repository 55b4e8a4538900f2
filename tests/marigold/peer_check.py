#!/usr/bin/env python3
"""Dumps record files made by srec_cat and objcopy from one binary and
checks that the bytes marigold prints, read back from its output, equal the
binary at the right addresses. Then checks that the ranges and the start
address that marigold -i finds in files of several ranges equal srec_info's."""
import os
import random
import re
import subprocess
import sys

ROW = re.compile(r"^([0-9a-f]{4,8}):((?: [0-9a-f]{2})+)$")
SREC_LINE = re.compile(r"^([0-9a-f]{6,8})((?: [0-9a-f]{2})*)$")
ONE_BYTE = re.compile(r"^([0-9a-f]{4,8}) ([0-9a-f]{2})$")


def run(cmd):
    subprocess.run(cmd, check=True)


def must_run(cmd):
    """Runs marigold; a failure stops the check with what it printed."""
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit("%s: exit %d\n%s%s" % (" ".join(cmd[-3:]), proc.returncode,
                                                proc.stdout, proc.stderr))


def count_records(command):
    """Lines S5/S6 (record counts) are no data: marigold reports them as garbled."""
    with open(command[-1]) as f:
        return ["WARNING:garbled line:" + l.rstrip()[2:] for l in f if l[:2] in ("S5", "S6")]


def dumped_bytes(command, option_b):
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    memory = {}
    warnings = []
    for line in out.splitlines():
        line = line.rstrip("\r")
        if line.startswith("WARNING:"):
            warnings.append(line)
            continue
        match = (ONE_BYTE if option_b else ROW).match(line) or SREC_LINE.match(line)
        if not match:
            raise SystemExit("unexpected output line: %r" % line)
        address = int(match.group(1), 16)
        for i, byte in enumerate(match.group(2).split()):
            if address + i in memory:
                raise SystemExit("address %x printed twice" % (address + i))
            memory[address + i] = int(byte, 16)
    if warnings != count_records(command):
        raise SystemExit("unexpected warnings: %s" % warnings[:3])
    return memory


def check(name, command, data, base, option_b=False):
    memory = dumped_bytes(command, option_b)
    expected = {base + i: b for i, b in enumerate(data)}
    if memory != expected:
        missing = sorted(set(expected) - set(memory))[:5]
        extra = sorted(set(memory) - set(expected))[:5]
        wrong = [a for a in expected if a in memory and memory[a] != expected[a]][:5]
        raise SystemExit("%s: differs (missing %s, extra %s, wrong %s)" % (name, missing, extra, wrong))
    print("%s: %d bytes match" % (name, len(memory)))


INFO_RANGE = re.compile(r"^  ([0-9a-f]{8})-([0-9a-f]{8}) (\d+) bytes$")
PEER_RANGE = re.compile(r"^(?:Data:)?\s+([0-9A-F]+) - ([0-9A-F]+)$")


def info_of(command):
    """Ranges and start address from marigold -i, which must find no problem."""
    proc = subprocess.run(command, capture_output=True, text=True)
    out = proc.stdout.replace("\r", "")
    if proc.returncode != 0 or not out.endswith("problems: 0\n"):
        raise SystemExit("marigold -i failed (rc %d):\n%s" % (proc.returncode, out))
    ranges, start = [], None
    for line in out.splitlines():
        match = INFO_RANGE.match(line)
        if match:
            first, last = int(match.group(1), 16), int(match.group(2), 16)
            if int(match.group(3)) != last - first + 1:
                raise SystemExit("range size wrong: %r" % line)
            ranges.append((first, last))
        elif line.startswith("start: ") and line != "start: none":
            value = line[7:]
            if ":" in value:  # type 03 CS:IP, which srec_info gives as CS * 16 + IP
                cs, ip = value.split(":")
                start = int(cs, 16) * 16 + int(ip, 16)
            else:
                start = int(value, 16)
    return ranges, start


def peer_info_of(path, fmt):
    out = subprocess.run(["srec_info", path] + fmt, check=True, capture_output=True, text=True).stdout
    ranges, start = [], None
    for line in out.splitlines():
        match = PEER_RANGE.match(line)
        if match:
            ranges.append((int(match.group(1), 16), int(match.group(2), 16)))
        elif line.startswith("Execution Start Address:"):
            start = int(line.split(":")[1], 16)
    return ranges, start


def check_info(tool, path, fmt, expected_ranges):
    ours, peers = info_of(tool + ["-i", path]), peer_info_of(path, fmt)
    if ours != peers or len(ours[0]) != expected_ranges or ours[1] is None:
        raise SystemExit("%s: marigold -i %s, srec_info %s" % (path, ours, peers))
    print("%s: %d ranges and start %x as srec_info" % (path, len(ours[0]), ours[1]))


def info_files(tool, data):
    """Files of several ranges and a start address, from srec_cat and objcopy."""
    pieces = lambda *at: sum((["piece.bin", "-binary", "-offset", hex(a)] for a in at), [])
    with open("piece.bin", "wb") as f:
        f.write(data[:5000])
    srec = ["srec_cat"] + pieces(0x08000000, 0x08001388, 0x0801fff0, 0x20000000)
    run(srec + ["-execution-start-address=0x08000131", "-o", "several.hex", "-intel"])
    check_info(tool, "several.hex", ["-intel"], 3)
    low = ["srec_cat"] + pieces(0x200, 0x9000, 0x3fff8, 0xfd000)
    run(low + ["-execution-start-address=0x9010", "-o", "low.s19", "-motorola", "-address-length=2"])
    run(["objcopy", "-I", "srec", "-O", "ihex", "low.s19", "low.hex"])
    if ":02000002" not in open("low.hex").read():
        raise SystemExit("objcopy wrote no type 02 record")
    check_info(tool, "low.hex", ["-intel"], 4)
    check_info(tool, "low.s19", [], 4)
    # 8-bit Intel HEX: the start address stands in the end record.
    run(["srec_cat"] + pieces(0x200, 0x9000) + ["-execution-start-address=0x9010", "-o", "eight.hex",
         "-intel", "-address-length=2"])
    check_info(tool, "eight.hex", ["-intel"], 2)
    run(["srec_cat"] + pieces(0x10000, 0x123456, 0x200000) + ["-execution-start-address=0x123456",
         "-o", "several.s28", "-motorola", "-address-length=3"])
    check_info(tool, "several.s28", [], 3)
    run(["objcopy", "-I", "srec", "-O", "srec", "--srec-forceS3", "--change-addresses", "0x80000000",
         "low.s19", "several.s37"])
    check_info(tool, "several.s37", [], 4)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def fix_records(tool, data):
    """-w on srec_cat files whose checksum words lie across two records: the
    image objcopy reads from the fixed file equals marigold -w of objcopy's
    image, srec_info and -i find the file sound, -c says sum=0, and only the
    touched lines differ, keeping their length."""
    with open("vectors.bin", "wb") as f:
        f.write(data[:4000])
    files = [("split.hex", ["-intel"], "ihex", 0x08000000), ("split.s19", ["-motorola", "-address-length=2"], "srec", 0),
             ("split.s28", ["-motorola", "-address-length=3"], "srec", 0x20000),
             ("split.s37", ["-motorola", "-address-length=4"], "srec", 0x80000000)]
    for path, fmt, bfd, base in files:
        run(["srec_cat", "vectors.bin", "-binary", "-offset", hex(base), "-o", path] + fmt +
            ["-output_block_size=30"])
        before = read(path)
        run(["objcopy", "-I", bfd, "-O", "binary", path, "expected.bin"])
        must_run(tool + ["-w", "expected.bin"])
        must_run(tool + ["-w", path])
        run(["objcopy", "-I", bfd, "-O", "binary", path, "fixed.bin"])
        if read("fixed.bin") != read("expected.bin"):
            raise SystemExit("%s: -w gives another image than -w of objcopy's image" % path)
        subprocess.run(["srec_info", path] + fmt[:1], check=True, capture_output=True)
        info_of(tool + ["-i", path])
        out = subprocess.run(tool + ["-c", path], capture_output=True, text=True).stdout
        old, new = before.splitlines(), read(path).splitlines()
        changed = [i for i, (a, b) in enumerate(zip(old, new)) if a != b]
        if (out.strip() != "sum=0" or len(old) != len(new) or len(changed) != 2
                or any(len(old[i]) != len(new[i]) for i in changed)):
            raise SystemExit("%s: %s, lines changed %s" % (path, out.strip(), changed))
        print("%s: -w as on objcopy's image, lines %s rewritten" % (path, changed))


def convert_files(tool, paths):
    """-x into each kind: srec_cmp finds input and output equal, srec_info the
    same start, and a .bin equals objcopy's with gaps of 0xff."""
    peer_fmt = lambda p: ["-intel"] if p.endswith((".hex", ".ihx")) else []
    for path in paths:
        start = peer_info_of(path, peer_fmt(path))[1]
        for kind in ("hex", "ihx", "s37", "srec", "mot"):
            out = "converted." + kind
            must_run(tool + ["-x", path, out])
            run(["srec_cmp", path] + peer_fmt(path) + [out] + peer_fmt(out))
            # An S-record file ends with a start address, 0 when the input has none.
            wanted = start if kind in ("hex", "ihx") or start is not None else 0
            if peer_info_of(out, peer_fmt(out))[1] != wanted:
                raise SystemExit("%s: start address of %s differs" % (path, out))
        proc = subprocess.run(tool + ["-x", path, "converted.bin"], capture_output=True, text=True)
        bfd = "ihex" if path.endswith(".hex") else "srec"
        if proc.returncode == 0:
            run(["objcopy", "-I", bfd, "-O", "binary", "--gap-fill", "0xff", path, "objcopy.bin"])
            if read("converted.bin") != read("objcopy.bin"):
                raise SystemExit("%s: the .bin differs from objcopy's" % path)
        elif "more than 256 MiB" not in proc.stderr or os.path.exists("converted.bin"):
            raise SystemExit("%s: -x to .bin failed: %s" % (path, proc.stderr))
        print("%s: converted alike (.bin: %s)" % (path, (proc.stdout or proc.stderr).strip()))
        os.remove("converted.bin") if os.path.exists("converted.bin") else None


def main():
    marigold, work = sys.argv[1], sys.argv[2]
    emulator = sys.argv[3:]  # e.g. wine, for the Windows build
    os.makedirs(work, exist_ok=True)
    os.chdir(work)
    rng = random.Random(20261208)
    data = bytes(rng.getrandbits(8) for _ in range(300 * 1024))
    small = data[: 60 * 1024]
    with open("image.bin", "wb") as f:
        f.write(data)
    with open("small.bin", "wb") as f:
        f.write(small)
    tool = emulator + [marigold]

    run(["srec_cat", "image.bin", "-binary", "-offset", "0x08000000", "-o", "image.hex", "-intel"])
    check("intel type 04", tool + ["image.hex"], data, 0x08000000)
    check("intel type 04, -b", tool + ["-b", "image.hex"], data, 0x08000000, option_b=True)
    run(["srec_cat", "image.bin", "-binary", "-o", "wide.hex", "-intel", "-output_block_size=32"])
    check("intel 32-byte records", tool + ["wide.hex"], data, 0)

    run(["srec_cat", "small.bin", "-binary", "-o", "small.s19", "-motorola", "-address-length=2"])
    check("S1 (srec_cat)", tool + ["small.s19"], small, 0)
    run(["srec_cat", "image.bin", "-binary", "-offset", "0x100000", "-o", "image.s28",
         "-motorola", "-address-length=3"])
    check("S2 (srec_cat)", tool + ["image.s28"], data, 0x100000)
    run(["objcopy", "-I", "binary", "-O", "srec", "--srec-forceS3",
         "--change-addresses", "0x80000000", "image.bin", "image.s37"])
    check("S3 (objcopy)", tool + ["image.s37"], data, 0x80000000)
    run(["objcopy", "-I", "binary", "-O", "srec", "--srec-len", "40", "small.bin", "small.srec"])
    check("S1 40-byte records (objcopy)", tool + ["small.srec"], small, 0)
    info_files(tool, data)
    fix_records(tool, data)
    convert_files(tool, ["image.hex", "image.s28", "image.s37", "several.hex", "low.hex", "eight.hex",
                         "several.s28", "several.s37", "split.hex", "split.s19"])


if __name__ == "__main__":
    main()
