#!/usr/bin/env python3
"""marigold -K (CRCs and sums computed, stored, checked, identified) against
srec_cat's checksum filters and python's zlib/binascii, and ELF inputs
against objcopy, each compared as images with srec_cmp.
Usage: seal_peers.py MARIGOLD WORKDIR [EMULATOR...]"""
import binascii
import random
import shutil
import subprocess
import zlib

import harness
from harness import expect, read, write

LOW = 0x08000000
A, B = 0x1000, 0x5000  # two blocks with a gap between them
HIGH = LOW + 0x7000 - 1  # the image's last byte: a whole number of 32-bit words
SLOT = HIGH + 1  # values go just after the image

# Each row: our -K name, /be, and the srec_cat filter that stores the same
# value in the same byte order at SLOT. What srec_cat's options mean:
# -crc16 -xmodem is CRC-16/XMODEM; -crc16 -broken is CRC-16/CCITT-FALSE (init
# ffff, not augmented); plain -crc16 is CCITT augmented with 16 zero bits,
# which is CRC-16/AUG-CCITT (init 1d0f); -least-to-most -poly ibm -xmodem is
# CRC-16/ARC; -crc32 is CRC-32/ISO-HDLC; -STM32 is CRC-32/MPEG-2 over
# little-endian words; -Checksum_*_Endian ADDR 4 4 sums 32-bit words in that
# order. srec_cat's Fletcher-16 stores its two sums the other way round:
# its _Little_Endian is our /be.
SREC_ROWS = [
    ("crc16-xmodem", True, ["-crc16-b-e", SLOT, "-xmodem"]),
    ("crc16-xmodem", False, ["-crc16-l-e", SLOT, "-xmodem"]),
    ("crc16-ccitt-false", True, ["-crc16-b-e", SLOT, "-broken"]),
    ("crc16-arc", False, ["-crc16-l-e", SLOT, "-least-to-most", "-poly", "ibm", "-xmodem"]),
    ("crc:16,1021,1d0f,0,0,0", True, ["-crc16-b-e", SLOT]),
    ("crc32", True, ["-crc32-b-e", SLOT]),
    ("crc32", False, ["-crc32-l-e", SLOT]),
    ("stm32", False, ["-STM32", SLOT]),
    ("stm32", False, ["-STM32_Little_Endian", SLOT]),
    ("stm32", True, ["-STM32_Big_Endian", SLOT]),
    ("neg-sum32", False, ["-Checksum_Negative_Little_Endian", SLOT, 4, 4]),
    ("neg-sum32", True, ["-Checksum_Negative_Big_Endian", SLOT, 4, 4]),
    ("not-sum32", False, ["-Checksum_BitNot_Little_Endian", SLOT, 4, 4]),
    ("not-sum32", True, ["-Checksum_BitNot_Big_Endian", SLOT, 4, 4]),
    ("fletcher16", True, ["-Fletcher_16_Little_Endian", SLOT]),
    ("fletcher16", False, ["-Fletcher_16_Big_Endian", SLOT]),
    ("adler32", False, ["-Adler_32_Little_Endian", SLOT]),
    ("adler32", True, ["-Adler_32_Big_Endian", SLOT]),
]

# Our printed value against python's over the filled image.
PYTHON_ROWS = [
    ("crc32", lambda d: zlib.crc32(d), 8),
    ("adler32", lambda d: zlib.adler32(d), 8),
    ("crc16-xmodem", lambda d: binascii.crc_hqx(d, 0), 4),
    ("crc16-ccitt-false", lambda d: binascii.crc_hqx(d, 0xffff), 4),
    ("crc:32,04c11db7,ffffffff,1,1,ffffffff", lambda d: zlib.crc32(d), 8),
]


def run(args):
    return harness.run(args, timeout=120)


def peer(args):
    subprocess.run([str(a) for a in args], check=True, capture_output=True)


def same_image(ours, theirs):
    return subprocess.run(["srec_cmp", ours, "-intel", theirs, "-intel"],
                          capture_output=True).returncode == 0


def k(name, address, be=False, first=None, last=None):
    span = ":%x-%x" % (first, last) if first is not None else ""
    return "-K%s%s@%x%s" % (name, span, address, "/be" if be else "")


def make_image(rng):
    blocks = [(LOW, bytes(rng.getrandbits(8) for _ in range(A))),
              (LOW + B, bytes(rng.getrandbits(8) for _ in range(HIGH + 1 - LOW - B)))]
    hex_lines = []
    for i, (at, data) in enumerate(blocks):
        write("b%d.bin" % i, data)
        peer(["srec_cat", "b%d.bin" % i, "-binary", "-offset", at, "-o", "b%d.hex" % i, "-intel"])
    peer(["srec_cat", "b0.hex", "-intel", "b1.hex", "-intel", "-o", "in.hex", "-intel"])
    filled = bytearray(b"\xff" * (HIGH + 1 - LOW))
    for at, data in blocks:
        filled[at - LOW:at - LOW + len(data)] = data
    return bytes(filled)


def against_srec_cat():
    fill = ["-fill", "0xff", LOW, HIGH + 1]
    for name, be, filter_args in SREC_ROWS:
        case = "srec_cat %s vs %s" % (" ".join(map(str, filter_args)), k(name, SLOT, be))
        peer(["srec_cat", "in.hex", "-intel"] + fill + filter_args + ["-o", "peer.hex", "-intel"])
        rc, out, err = run(["-Fff", k(name, SLOT, be), "-x", "in.hex", "ours.hex"])
        expect(case, rc == 0 and same_image("ours.hex", "peer.hex"), "rc=%d %r %r" % (rc, out, err))
        # The stored value checks equal, and a changed image byte is found.
        rc, out, err = run(["-Fff", k(name, SLOT, be), "ours.hex"])
        expect(case + " check", rc == 0, "rc=%d %r %r" % (rc, out, err))
    # Two steps in one run, the second covering the first's value.
    peer(["srec_cat", "in.hex", "-intel"] + fill + ["-crc32-l-e", SLOT,
          "-Checksum_Positive_Little_Endian", SLOT + 4, 1, 1, "-o", "peer.hex", "-intel"])
    rc, out, err = run(["-Fff", k("crc32", SLOT), k("sum8", SLOT + 4), "-x", "in.hex", "ours.hex"])
    expect("crc32 then sum8 over it", rc == 0 and same_image("ours.hex", "peer.hex")
           and out.splitlines()[0].startswith("crc32="), "rc=%d %r %r" % (rc, out, err))


def against_python(filled):
    for name, reference, digits in PYTHON_ROWS:
        rc, out, err = run(["-Fff", "-K" + name, "in.hex"])
        label = name.split(":")[0]
        want = "%s=%0*x\n" % (label, digits, reference(filled))
        expect("python " + name, rc == 0 and out == want and "over %08x-%08x" % (LOW, HIGH) in err,
               "rc=%d %r %r want %r" % (rc, out, err, want))


def inside_own_range(filled):
    """A value stored inside the range it covers checks equal; neg-sum32 and
    word sums then add up to zero; a changed byte is found, both values shown."""
    at = LOW + 0x100
    for name, be in [("crc32", False), ("crc16-xmodem", True), ("neg-sum32", False),
                     ("adler32", True), ("stm32", False)]:
        step = k(name, at, be, LOW, HIGH)
        rc, out, err = run(["-Fff", step, "-x", "in.hex", "self.hex"])
        rc2, out2, err2 = run(["-Fff", step, "self.hex"])
        expect("inside " + step, rc == 0 and rc2 == 0 and out2 == out,
               "rc=%d/%d %r %r %r" % (rc, rc2, out, out2, err2))
        if name == "neg-sum32":
            rc, out, err = run(["-Fff", "-Ksum32:%x-%x" % (LOW, HIGH), "self.hex"])
            expect("neg-sum32 zeroes the sum", out == "sum32=00000000\n", "%r %r" % (out, err))
        write("flip.bin", bytes([filled[0x200] ^ 1]))
        peer(["srec_cat", "self.hex", "-intel", "-exclude", LOW + 0x200, LOW + 0x201,
              "flip.bin", "-binary", "-offset", LOW + 0x200, "-o", "bad.hex", "-intel"])
        rc, out, err = run(["-Fff", step, "bad.hex"])
        expect("changed byte " + step, rc == 1 and len(out.splitlines()) == 2
               and ("@%08x=" % at) in out, "rc=%d %r %r" % (rc, out, err))


def identify():
    for name, be in [("crc32", False), ("crc16-ccitt-false", True), ("adler32", False),
                     ("not-sum32", True), ("fletcher16", False)]:
        run(["-Fff", k(name, SLOT, be), "-x", "in.hex", "sealed.hex"])
        rc, out, err = run(["-Fff", "-K?@%x" % SLOT, "sealed.hex"])
        want = "%s:%08x-%08x@%08x%s" % (name, LOW, HIGH, SLOT, "/be" if be else "")
        expect("identify " + name, rc == 0 and want in out.splitlines(), "rc=%d %r %r" % (rc, out, err))


def refusals():
    rows = [  # args, exit code, words the message holds
        (["-Kcrc32", "in.hex"], 2, ["-Kcrc32:", "no data at %08x-%08x" % (LOW + A, LOW + B - 1), "-F"]),
        (["-Kcrc32:%x-%x" % (LOW, HIGH + 0x10), "-Fff", "in.hex"], 2, ["passes the image"]),
        (["-Kcrc99", "in.hex"], 2, ["no algorithm crc99", "crc32c"]),
        (["-Kcrc32@%x" % (HIGH + 0x100), "-Fff", "in.hex"], 2, ["outside the image"]),
        (["-Kcrc32", "-Kbad", "-x", "in.hex", "never.hex"], 1, ["-Kbad:"]),
    ]
    for args, code, words in rows:
        rc, out, err = run(args)
        expect("refused %s" % args, rc == code and all(w in err for w in words),
               "rc=%d %r %r" % (rc, out, err))


LINK_SCRIPT = """SECTIONS {
  . = 0x%x;
  .text : { *(.text*) }
  .data 0x20000000 : AT(ADDR(.text) + SIZEOF(.text)) { *(.data*) }
  .bss : { *(.bss*) }
  /DISCARD/ : { *(*) }
}
"""
# Each toolchain: name, assembler and linker commands (absent ones skipped).
TOOLCHAINS = [
    ("host", ["as"], ["ld"], "objcopy"),
    ("arm", ["arm-none-eabi-as"], ["arm-none-eabi-ld"], "arm-none-eabi-objcopy"),
    ("arm-be", ["arm-none-eabi-as", "-EB"], ["arm-none-eabi-ld", "-EB"], "arm-none-eabi-objcopy"),
]


def build_elf(name, assembler, linker, rng):
    text = ",".join(str(rng.getrandbits(8)) for _ in range(3001))
    data = ",".join(str(rng.getrandbits(8)) for _ in range(77))
    write(name + ".s", (".globl _start\n.text\n_start: .byte %s\n.data\n.byte %s\n.bss\n.space 64\n"
                        % (text, data)).encode())
    write(name + ".ld", (LINK_SCRIPT % 0x08000000).encode())
    peer(assembler + ["-o", name + ".o", name + ".s"])
    peer(linker + ["-T", name + ".ld", "-e", "_start", "-o", name + ".elf", name + ".o"])


def elf_inputs(rng):
    for name, assembler, linker, objcopy in TOOLCHAINS:
        if not shutil.which(assembler[0]):
            print("skipped: %s toolchain absent" % name)
            continue
        build_elf(name, assembler, linker, rng)
        peer([objcopy, "-O", "ihex", name + ".elf", name + "_objcopy.hex"])
        rc, out, err = run(["-x", name + ".elf", name + "_ours.hex"])
        expect(name + " elf -x", rc == 0 and same_image(name + "_ours.hex", name + "_objcopy.hex"),
               "rc=%d %r" % (rc, err))
        rc, out, err = run(["-d", name + ".elf", name + "_objcopy.hex"])
        expect(name + " elf -d", rc == 0, "rc=%d %r %r" % (rc, out, err))
        rc, out, err = run(["-i", name + ".elf"])
        expect(name + " elf -i", rc == 0 and "08000bb9-08000c05 77 bytes, run at 20000000" in out
               and "load and run addresses differ" in out, "rc=%d %r %r" % (rc, out, err))
        # Renamed, it is still read by its magic; -K agrees with the HEX file.
        shutil.copy(name + ".elf", name + ".image")
        ours = run(["-Kcrc32", name + ".image"])
        theirs = run(["-Kcrc32", name + "_objcopy.hex"])
        expect(name + " elf -K", ours[0] == 0 and ours[1] == theirs[1], "%r %r" % (ours, theirs))


def damaged_elfs():
    good = read("host.elf")
    rows = [  # name, bytes, what the message says
        ("short.elf", good[:40], "truncated"),
        ("cut.elf", good[:0x1100], "pass the end of the file"),
        ("nomagic.elf", b"\x00" + good[1:], "magic"),
    ]
    for name, data, words in rows:
        write(name, data)
        for args in (["-x", name, "out.hex"], ["-i", name], ["-Kcrc32", name]):
            rc, out, err = run(args)
            expect("damaged %s %s" % (name, args[0]), rc != 0 and err.startswith(name + ": ") and words in err,
                   "rc=%d %r %r" % (rc, out, err))


def main():
    harness.setup()
    rng = random.Random(33)
    filled = make_image(rng)
    against_srec_cat()
    against_python(filled)
    inside_own_range(filled)
    identify()
    refusals()
    elf_inputs(rng)
    damaged_elfs()
    harness.report()


if __name__ == "__main__":
    main()
