#!/usr/bin/env python3
"""Dumps record files made by srec_cat and objcopy from one binary and
checks that the bytes marigold prints, read back from its output, equal the
binary at the right addresses."""
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


if __name__ == "__main__":
    main()
