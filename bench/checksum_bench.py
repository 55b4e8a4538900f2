#!/usr/bin/env python3
"""Times the checksum engine (bench/crc_bench.cpp, compiled here with the
Release flags) against srec_cat on one 16 MiB image: CRC-32 and the STM32
CRC, in MB/s, each value checked against srec_cat's and zlib's. srec_cat's
time is the whole program's (reading a .bin and writing the CRC's record);
the engine's is the computation alone, which -K adds to marigold's reading.
Then whole runs side by side: marigold -Kcrc32@END -x against srec_cat
-crc32-l-e END (the value stored just past the image, .bin and .hex), and an
ELF file of the same size to .hex against objcopy.
Usage: checksum_bench.py [SIZE_MIB [MARIGOLD]]"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 3


def best_time(command):
    best = None
    for _ in range(RUNS):
        start = time.perf_counter()
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, out


def srec_value(work, image, size, option):
    """srec_cat's CRC stored little-endian just past the image, read back."""
    out = os.path.join(work, "crc.bin")
    seconds, _ = best_time(["srec_cat", image, "-binary", option, "%d" % size,
                            "-crop", "%d" % size, "%d" % (size + 4), "-offset", "-%d" % size,
                            "-o", out, "-binary"])
    with open(out, "rb") as f:
        return seconds, int.from_bytes(f.read(4), "little")


def same_image(a, fa, b, fb):
    return subprocess.run(["srec_cmp", a, fa, b, fb], capture_output=True).returncode == 0


def side_by_side(label, ours, theirs, a, fa, b, fb):
    our_time, _ = best_time(ours)
    peer_time, _ = best_time(theirs)
    same = "same image" if same_image(a, fa, b, fb) else "DIFFERENT"
    print("%-34s marigold %6.2f s   peer %6.2f s   %5.1fx   %s" %
          (label, our_time, peer_time, peer_time / our_time, same))


def end_to_end(work, image, size, marigold):
    flash = 0x08000000
    end = "%x" % (flash + size)
    in_hex = os.path.join(work, "in.hex")
    subprocess.run(["srec_cat", image, "-binary", "-offset", "%d" % flash, "-o", in_hex, "-intel"],
                   check=True)
    out = lambda name: os.path.join(work, name)
    side_by_side("-Kcrc32@END -x .bin to .bin",
                 [marigold, "-Kcrc32@%x" % size, "-x", image + "@0", out("m.bin")],
                 ["srec_cat", image, "-binary", "-crc32-l-e", "%d" % size,
                  "-o", out("s.bin"), "-binary"], out("m.bin"), "-binary", out("s.bin"), "-binary")
    side_by_side("-Kcrc32@END -x .hex to .hex",
                 [marigold, "-Kcrc32@" + end, "-x", in_hex, out("m.hex")],
                 ["srec_cat", in_hex, "-intel", "-crc32-l-e", "%d" % (flash + size), "-o", out("s.hex"),
                  "-intel"], out("m.hex"), "-intel", out("s.hex"), "-intel")
    source, script, elf = out("p.s"), out("p.ld"), out("p.elf")
    with open(source, "w") as f:
        f.write('.globl _start\n.text\n_start: .incbin "%s"\n.data\n.byte 1,2,3\n' % image)
    with open(script, "w") as f:
        f.write("SECTIONS { . = 0x%x; .text : { *(.text*) } .data 0x20000000 : "
                "AT(ADDR(.text) + SIZEOF(.text)) { *(.data*) } /DISCARD/ : { *(*) } }\n" % flash)
    subprocess.run(["as", "-o", out("p.o"), source], check=True)
    subprocess.run(["ld", "-T", script, "-e", "_start", "-o", elf, out("p.o")], check=True)
    side_by_side("ELF to .hex (objcopy -O ihex)", [marigold, "-x", elf, out("e.hex")],
                 ["objcopy", "-O", "ihex", elf, out("o.hex")], out("e.hex"), "-intel", out("o.hex"), "-intel")


def main():
    size = int(sys.argv[1] if len(sys.argv) > 1 else 16) << 20
    work = tempfile.mkdtemp(prefix="checksum_bench_")
    try:
        program = os.path.join(work, "crc_bench")
        subprocess.run(["g++", "-std=c++17", "-O3", "-DNDEBUG", "-I", os.path.join(ROOT, "marigold"),
                        os.path.join(ROOT, "bench", "crc_bench.cpp"),
                        os.path.join(ROOT, "marigold", "image", "checksums.cpp"), "-o", program], check=True)
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(size))
        with open(image, "rb") as f:
            expected_crc32 = zlib.crc32(f.read())
        print("%d MiB image, best of %d runs" % (size >> 20, RUNS))
        for name, option, expected in (("crc32", "-crc32-l-e", expected_crc32),
                                       ("stm32", "-STM32_Little_Endian", None)):
            line = subprocess.run([program, name, image], check=True, capture_output=True,
                                  text=True).stdout.split()
            value, rate = int(line[0].split("=")[1], 16), float(line[1])
            if shutil.which("srec_cat"):
                seconds, peer = srec_value(work, image, size, option)
                peer_rate = size / seconds / 1e6
                same = "same value" if peer == value else "DIFFERENT: srec_cat %08x" % peer
                print("%-6s engine %6.0f MB/s   srec_cat %6.1f MB/s   %4.0fx   %s" %
                      (name, rate, peer_rate, rate / peer_rate, same))
            else:
                print("%-6s engine %6.0f MB/s   (srec_cat not installed)" % (name, rate))
            if expected is not None and expected != value:
                raise SystemExit("crc32 %08x differs from zlib's %08x" % (value, expected))
        marigold = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "build", "marigold", "marigold")
        if shutil.which("srec_cat") and os.path.exists(marigold):
            end_to_end(work, image, size, os.path.abspath(marigold))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
