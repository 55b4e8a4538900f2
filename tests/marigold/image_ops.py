#!/usr/bin/env python3
"""marigold -x with several inputs, places, shifts, -F and -R, and -d,
each checked against srec_cat (with srec_cmp), objcopy where it can do the
job, and a byte map of the image kept here.
Usage: image_ops.py MARIGOLD WORKDIR [EMULATOR...]"""
import os
import random
import shutil
import subprocess

import harness
from harness import expect, read, write

FLASH = 0x08000000


def run(args):
    return harness.run(args, timeout=120)


def peer(args):
    subprocess.run(args, check=True, capture_output=True)


def fmt(path):
    return ["-intel"] if path.endswith((".hex", ".ihx")) else ["-binary"] if path.endswith(".bin") else []


def same_as_peer(ours, theirs):
    """srec_cmp finds the two files equal."""
    return subprocess.run(["srec_cmp", ours] + fmt(ours) + [theirs] + fmt(theirs),
                          capture_output=True).returncode == 0


def byte_map(path):
    """The image of a record file as srec_cat reads it: address -> byte."""
    peer(["srec_cat", path] + fmt(path) + ["-o", "map.txt", "-ascii_hex"])
    image = {}
    address = 0
    for token in open("map.txt").read().replace("\x02", " ").replace("\x03", " ").split():
        if token.startswith("$A"):
            address = int(token[2:].rstrip(","), 16)
        elif len(token) == 2:
            image[address] = int(token, 16)
            address += 1
    return image


def left_over(out):
    return [f for f in os.listdir(".") if f == out or f.startswith(".marigold-")]


def x(args, out, name):
    """-x ARGS OUT that must succeed."""
    rc, printed, err = run(["-x"] + args + [out])
    expect(name, rc == 0 and not err, "rc=%d %r %r" % (rc, printed, err))
    return printed


def refused(args, out, name, names):
    """-x that must be refused: exit 1, no output, the message names the inputs."""
    rc, printed, err = run(["-x"] + args + [out])
    expect(name, rc == 1 and printed == "" and all(n in err for n in names) and not left_over(out),
           "rc=%d %r %r left %s" % (rc, printed, err, left_over(out)))
    return err


def make_inputs(rng):
    boot = bytes(rng.getrandbits(8) for _ in range(6000))
    app = bytes(rng.getrandbits(8) for _ in range(70000))
    write("boot.bin", boot)
    write("app.bin", app)
    peer(["srec_cat", "boot.bin", "-binary", "-offset", hex(FLASH), "-o", "boot.hex", "-intel"])
    peer(["srec_cat", "app.bin", "-binary", "-offset", hex(FLASH + 0x4000),
          "-execution-start-address=0x%x" % (FLASH + 0x4131), "-o", "app.hex", "-intel"])
    peer(["srec_cat", "app.bin", "-binary", "-offset", hex(FLASH + 0x4000), "-o", "app.s37", "-motorola",
          "-address-length=4"])
    # The application's records in shuffled order: read back through the window.
    lines = open("app.s37").read().splitlines()
    data = [l for l in lines if l.startswith("S3")]
    rng.shuffle(data)
    write("shuffled.s37", ("\n".join([lines[0]] + data + [lines[-1]]) + "\n").encode())
    return boot, app


def merging():
    """Bootloader plus application, into each output kind."""
    peer(["srec_cat", "boot.hex", "-intel", "app.hex", "-intel", "-o", "peer.hex", "-intel"])
    for out in ("both.hex", "both.s37", "both.srec"):
        x(["boot.hex", "app.hex"], out, "merge to %s" % out)
        expect("merge to %s as srec_cat" % out, same_as_peer(out, "peer.hex"))
    printed = x(["boot.hex", "shuffled.s37"], "both.bin", "merge to .bin")
    peer(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", "peer.hex", "objcopy.bin"])
    expect("merge to .bin as objcopy", read("both.bin") == read("objcopy.bin"))
    expect("merge .bin report", printed == "image: 08000000-0801516f 86384 bytes\n", printed)
    info = run(["-i", "both.hex"])[1]
    expect("merge keeps the start address", "start: 08004131" in info, info)
    # Records in any order up to ffffffff, held in memory: the pages at the top.
    x(["shuffled.s37@+f7feae90"], "top.s37", "shuffled records moved to the top")
    lines = open("top.s37").read().splitlines()
    data = lines[1:-2]
    random.Random(5).shuffle(data)
    write("top_shuffled.s37", ("\n".join([lines[0]] + data + lines[-2:]) + "\n").encode())
    printed = x(["top_shuffled.s37"], "top.bin", "shuffled records at the top to .bin")
    expect("shuffled records at the top", read("top.bin") == read("app.bin")
           and printed == "image: fffeee90-ffffffff 70000 bytes\n", printed)
    # Descending records, where each write after a page's first goes straight
    # into it: at the top, and a record given twice in a row or one apart.
    data.sort(key=lambda line: line[4:12], reverse=True)
    head, tail = [lines[0]], lines[-2:]
    for name, records, overlap in (
            ("descending records at the top", data, None),
            ("a record given twice in a row", data[:41] + data[40:], data[40]),
            ("a record given twice one apart", data[:41] + [data[39]] + data[41:], data[39])):
        write("descending.s37", ("\n".join(head + records + tail[overlap is not None:]) + "\n").encode())
        if overlap is None:
            printed = x(["descending.s37"], "top.bin", name)
            expect(name, read("top.bin") == read("app.bin")
                   and printed == "image: fffeee90-ffffffff 70000 bytes\n", printed)
            continue
        first = int(overlap[4:12], 16)
        err = refused(["descending.s37"], "bad.hex", name, ["descending.s37:"])
        expect(name + ": overlap", "overlap at %08x-%08x" % (first, first + 15) in err, err)
    # Bytes at even addresses in order, more than the writer holds, then the
    # odd ones in descending order: the output written so far is emptied.
    def s1(address):
        body = bytes([4, address >> 8, address & 0xFF, address * 7 & 0xFF])
        return "S1%s%02X" % (body.hex().upper(), ~sum(body) & 0xFF)
    count = 24000
    write("even_first.s19", ("\n".join([s1(a) for a in range(0, 2 * count, 2)]
                                       + [s1(a) for a in range(2 * count - 1, 0, -2)]) + "\n").encode())
    x(["even_first.s19"], "even_first.s19.hex", "written in order, then out of order")
    peer(["srec_cat", "even_first.s19", "-o", "peer.hex", "-intel"])
    size = len(read("even_first.s19.hex"))
    expect("written in order, then out of order: as srec_cat, no old text left",
           same_as_peer("even_first.s19.hex", "peer.hex") and size == 2 * count // 16 * 44 + 12, size)


def placing_and_shifting():
    peer(["srec_cat", "app.bin", "-binary", "-offset", hex(FLASH), "-o", "peer.hex", "-intel"])
    peer(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", hex(FLASH), "app.bin", "objcopy.hex"])
    for place in ("08000000", "0x08000000", "8000000"):
        x(["app.bin@" + place], "placed.hex", "app.bin@%s" % place)
        expect("app.bin@%s as srec_cat" % place, same_as_peer("placed.hex", "peer.hex"))
        expect("app.bin@%s as objcopy" % place, same_as_peer("placed.hex", "objcopy.hex"))
    x(["app.bin"], "at0.hex", "app.bin at 0")
    peer(["srec_cat", "app.bin", "-binary", "-o", "peer0.hex", "-intel"])
    expect("a .bin without a place is at 0", same_as_peer("at0.hex", "peer0.hex"))
    for shift, arg in ((0x1000, "+1000"), (-0x4000, "-4000"), (0x10000, "+0x10000")):
        x(["app.hex@" + arg], "shifted.s37", "app.hex@%s" % arg)
        peer(["srec_cat", "app.hex", "-intel", "-offset", str(shift), "-o", "peer.s37", "-motorola"])
        expect("app.hex@%s as srec_cat" % arg, same_as_peer("shifted.s37", "peer.s37"))
        peer(["objcopy", "-I", "ihex", "-O", "srec", "--change-addresses", str(shift), "app.hex", "objcopy.s37"])
        expect("app.hex@%s as objcopy" % arg, same_as_peer("shifted.s37", "objcopy.s37"))
        info = run(["-i", "shifted.s37"])[1]
        expect("app.hex@%s shifts the start address" % arg, "start: %08x" % (FLASH + 0x4131 + shift) in info, info)
    x(["shuffled.s37@-8000000"], "low.bin", "shuffled records shifted to 0")
    expect("shuffled records shifted down", read("low.bin") == read("app.bin"))
    # A name with an '@' that is no place or shift; one whose '@' part would be one.
    shutil.copy("boot.hex", "fw@v2.hex")
    x(["fw@v2.hex"], "named.hex", "a name with @")
    expect("a name with @", same_as_peer("named.hex", "boot.hex"))
    shutil.copy("boot.hex", "boot.hex@1000")
    x(["boot.hex@1000"], "named.hex", "a HEX name ending in @ADDR")
    expect("a HEX name ending in @ADDR is a name", same_as_peer("named.hex", "boot.hex"))
    rc, out, _ = run(["-x", "boot.bin@zz", "named.hex"])
    expect("boot.bin@zz is a name", (rc, out) == (1, "Fatal: can't open file:boot.bin@zz\nNo such file or directory\n"), out)


def refusals():
    err = refused(["boot.hex", "app.hex@-3000"], "bad.hex", "overlap", ["boot.hex", "app.hex"])
    expect("overlap range", err == "boot.hex and app.hex overlap at 08001000-08001"
           "76f\n", err)
    refused(["boot.hex", "boot.bin@08001000"], "bad.bin", "overlap with a .bin", ["boot.hex", "boot.bin"])
    refused(["boot.hex", "boot.hex"], "bad.hex", "the same file twice", ["boot.hex and boot.hex"])
    # A record given twice among shuffled ones, across a 512-byte boundary.
    lines = open("shuffled.s37").read().splitlines()
    twice = "S315080041F8" + "00" * 16
    twice += "%02X" % (~sum(bytes.fromhex(twice[2:])) & 0xFF)
    write("twice.s37", ("\n".join(lines[:-2] + [twice, lines[-1]]) + "\n").encode())  # no S5
    err = refused(["twice.s37"], "bad.hex", "a record given twice among shuffled ones", ["twice.s37:"])
    expect("a record given twice: overlap", "overlap at 080041f8-08004207" in err, err)
    err = refused(["app.hex@-9000000"], "bad.hex", "shift below 0", ["app.hex", "below 0"])
    err = refused(["app.hex@+f8000000"], "bad.hex", "shift past ffffffff", ["app.hex", "ffffffff"])
    refused(["app.bin@fffff000"], "bad.hex", "a .bin placed past ffffffff", ["app.bin"])
    rc, out, _ = run(["-x", "boot.hex", "missing.hex", "bad.hex"])
    expect("a missing input", (rc, out) == (1, "Fatal: can't open file:missing.hex\nNo such file or directory\n")
           and not left_over("bad.hex"))
    write("broken.hex", read("app.hex").replace(b"\n:10", b"\n:11", 1))
    refused(["boot.hex", "broken.hex"], "bad.hex", "an unsound input", ["broken.hex:"])
    for option in ("-Fxyz", "-F100", "-F"):
        refused([option, "boot.hex"], "bad.hex", "fill %s" % option, [option])
    for option in ("-R08000000", "-R2-1", "-R1-100000000", "-Rzz-1"):
        refused([option, "boot.hex"], "bad.hex", "crop %s" % option, [option])
    # Each refusal names what caused it: -R, the inputs at the image's ends,
    # the bad place, or -F with the size of its fill.
    fill = 0x20000000 + 70000 - FLASH - 6000 - 70000
    for args, out, name, names in [
            (["-F00", "-R0-10000000", "boot.hex"], "bad.bin", ".bin over 256 MiB once filled",
             ["-R0-10000000: the image 00000000-10000000", "more than 256 MiB"]),
            (["-R0-ff", "boot.hex"], "bad.bin", "-R that selects nothing", ["-R0-ff: no data for an image"]),
            (["boot.hex", "app.bin@20000000"], "bad.bin", ".bin over 256 MiB from two inputs",
             ["boot.hex and app.bin: the image"]),
            (["app.bin@100000000"], "bad.hex", "a place past ffffffff", ["app.bin@100000000: the address 100000000"]),
            (["-F00", "boot.hex", "app.bin@20000000"], "bad.hex", "a fill past 256 MiB",
             ["-F00: the fill would write %d bytes into bad.hex" % fill, "-F00:large allows it"])]:
        refused(args, out, name, names)
    rc, out, err = run(["-x", "-R0-ff", "boot.hex", "nothing.hex"])
    expect("-R that selects nothing into records", (rc, out) == (0, "") and read("nothing.hex").strip() == b":00000001FF"
           and err == "WARNING:-R0-ff: no data in the range; nothing.hex holds no data records\n", "rc=%d %r" % (rc, err))


def start_addresses():
    peer(["srec_cat", "boot.bin", "-binary", "-offset", hex(FLASH), "-execution-start-address=0x%x" % (FLASH + 1),
          "-o", "boot_start.hex", "-intel"])
    rc, out, err = run(["-x", "boot_start.hex", "app.hex", "both.hex"])
    expect("two start addresses: one warning", rc == 0 and err.count("WARNING:") == 1 and "boot_start.hex" in err
           and "app.hex" in err, err)
    expect("the first input's start address", "start: 08000001" in run(["-i", "both.hex"])[1])
    rc, out, err = run(["-x", "boot.hex", "app.hex", "both.hex"])
    expect("one start address: no warning", rc == 0 and err == "", err)
    # A shift that moves a start address below 0 refuses only the one kept.
    peer(["srec_cat", "boot.bin", "-binary", "-offset", "0x1000", "-execution-start-address=0x10",
          "-o", "low_start.hex", "-intel"])
    peer(["srec_cat", "boot.bin", "-binary", "-offset", hex(FLASH), "-execution-start-address=0x%x" % (FLASH + 2),
          "-o", "boot_other.hex", "-intel"])
    for args, want_rc, want_err in [
            (["boot_start.hex", "low_start.hex@-1000"], 0,
             "WARNING:boot_start.hex and low_start.hex give different start addresses; boot_start.hex's is kept\n"),
            (["low_start.hex@-1000"], 1, "low_start.hex: shifted by -1000, its start address 00000010 would fall below 0\n")]:
        rc, out, err = run(["-x"] + args + ["shifted.hex"])
        expect("start address shifted out: %s" % args, (rc, err) == (want_rc, want_err), "rc=%d %r" % (rc, err))


def fill_and_crop():
    rows = [(0x100, 0x40), (0x180, 0x10), (0x400, 0x20)]
    parts = []
    for i, (address, n) in enumerate(rows):
        write("part%d.bin" % i, bytes((address + k) & 0xFF for k in range(n)))
        parts += ["part%d.bin" % i, "-binary", "-offset", hex(address)]
    peer(["srec_cat"] + parts + ["-o", "gaps.hex", "-intel"])
    # -F between the lowest and the highest address
    x(["-F5a", "gaps.hex"], "filled.hex", "-F")
    peer(["srec_cat", "gaps.hex", "-intel", "-fill", "0x5a", "0x100", "0x420", "-o", "peer.hex", "-intel"])
    expect("-F as srec_cat", same_as_peer("filled.hex", "peer.hex"))
    x(["-F5a", "gaps.hex"], "filled.bin", "-F to .bin")
    peer(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0x5a", "gaps.hex", "objcopy.bin"])
    expect("-F to .bin as objcopy", read("filled.bin") == read("objcopy.bin"))
    # -R alone, then with -F: exactly the range
    for first, last in ((0x120, 0x18f), (0x0, 0x3ff), (0x410, 0x2000)):
        crop = "-R%x-%x" % (first, last)
        x([crop, "gaps.hex"], "cropped.s19", crop)
        peer(["srec_cat", "gaps.hex", "-intel", "-crop", hex(first), hex(last + 1), "-o", "peer.s19"])
        expect("%s as srec_cat" % crop, same_as_peer("cropped.s19", "peer.s19"))
        x(["-Fff", crop, "gaps.hex"], "cropped.bin", "%s -Fff" % crop)
        peer(["srec_cat", "(", "gaps.hex", "-intel", "-crop", hex(first), hex(last + 1), ")",
              "-fill", "0xff", hex(first), hex(last + 1), "-o", "peer.hex", "-intel"])
        peer(["srec_cat", "peer.hex", "-intel", "-offset", hex(-first), "-o", "peer.bin", "-binary"])
        expect("%s -Fff as srec_cat" % crop, read("cropped.bin") == read("peer.bin"))
    # the everyday one: boot and app cropped to a 128 KiB flash, filled
    x(["-Fff", "-R08000000-0801ffff", "boot.hex", "app.hex"], "flash.bin", "flash image")
    peer(["srec_cat", "boot.hex", "-intel", "app.hex", "-intel", "-o", "peer_both.hex", "-intel"])
    peer(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", "--pad-to", "0x08020000", "peer_both.hex",
          "objcopy.bin"])
    expect("flash image as objcopy --pad-to", read("flash.bin") == read("objcopy.bin") and len(read("flash.bin")) == 0x20000)
    rc, out, _ = run(["-x", "-R0-ff", "gaps.hex", "nothing.bin"])
    expect("a crop that keeps nothing", rc == 1 and not os.path.exists("nothing.bin"))


def compare(rng):
    """-d against srec_cmp, and its counts against a byte map kept here."""
    base = bytes(rng.getrandbits(8) for _ in range(4096))
    write("a.bin", base)
    peer(["srec_cat", "a.bin", "-binary", "-offset", "0x1000", "-o", "a.hex", "-intel"])
    changed = bytearray(base)
    for i in (5, 6, 7, 1000, 4095):
        changed[i] ^= 0xFF
    write("b.bin", bytes(changed[:4000]) + bytes(200))  # differs, ends 96 bytes short, then 200 more
    pairs = [("a.hex", "a.bin@1000"), ("a.hex", "a.hex"), ("a.bin@1000", "b.bin@1000"), ("a.hex", "b.bin@f00"),
             ("a.hex", "b.bin@1000"), ("b.bin@1000", "a.hex"), ("shuffled.s37", "app.hex"),
             ("shuffled.s37", "both.hex"), ("boot_start.hex", "boot_other.hex"), ("boot_start.hex", "boot.hex")]
    for a, b in pairs:
        rc, out, err = run(["-d", a, b])
        peer_same = subprocess.run(["srec_cmp"] + peer_spec(a) + peer_spec(b), capture_output=True).returncode == 0
        expect("-d %s %s agrees with srec_cmp" % (a, b), rc == (0 if peer_same else 1) and not err,
               "rc=%d %r %r" % (rc, out, err))
        ma, mb = spec_map(a), spec_map(b)
        differ = sum(1 for k in ma if k in mb and ma[k] != mb[k])
        only_a, only_b = len(set(ma) - set(mb)), len(set(mb) - set(ma))
        if rc == 1:
            tail = out.splitlines()[-1]
            expect("-d %s %s counts" % (a, b), tail == "differ: %d bytes, only in %s: %d bytes, only in %s: %d bytes" % (
                differ, a.split("@")[0], only_a, b.split("@")[0], only_b), tail)
    rc, out, _ = run(["-d", "a.bin@1000", "b.bin@1000"])
    expect("-d ranges", out == "00001005-00001007 differ\n000013e8-000013e8 differ\n"
           "00001fa0-00001fff differ\n00002000-00002067 only in b.bin\n"
           "differ: %d bytes, only in a.bin: 0 bytes, only in b.bin: 104 bytes\n" % (
               4 + sum(1 for i in range(4000, 4096) if base[i] != 0)), out)
    expect("-d prints both start addresses", "start: 08000001 in boot_start.hex, 08000002 in boot_other.hex\n"
           in run(["-d", "boot_start.hex", "boot_other.hex"])[1])
    # -R and -F apply to both images before they are compared.
    write("ends.bin", base[:5] + b"\xff" * 3 + base[8:])
    peer(["srec_cat", "a.bin", "-binary", "-offset", "0x1000", "-exclude", "0x1005", "0x1008", "-o", "holed.hex", "-intel"])
    for args, want in [
            (["-R1000-1004", "a.bin@1000", "b.bin@1000"], (0, "")),
            (["-R1000-13e7", "a.bin@1000", "b.bin@1000"],
             (1, "00001005-00001007 differ\ndiffer: 3 bytes, only in a.bin: 0 bytes, only in b.bin: 0 bytes\n")),
            (["ends.bin@1000", "holed.hex"],
             (1, "00001005-00001007 only in ends.bin\ndiffer: 0 bytes, only in ends.bin: 3 bytes, only in holed.hex: 0 bytes\n")),
            (["-Fff", "ends.bin@1000", "holed.hex"], (0, "")),
            (["-Fff", "-R0-1fff", "ends.bin@1000", "holed.hex"], (0, "")),
            (["-F00", "ends.bin@1000", "holed.hex"],
             (1, "00001005-00001007 differ\ndiffer: 3 bytes, only in ends.bin: 0 bytes, only in holed.hex: 0 bytes\n")),
            (["-R200-100", "a.hex", "a.hex"], (2, ""))]:
        rc, out, err = run(["-d"] + args)
        expect("-d %s" % args, (rc, out) == want and (rc == 2) == ("-R200-100: the range" in err), "rc=%d %r %r" % (rc, out, err))
    for pair in (["a.hex", "broken.hex"], ["broken.hex", "a.hex"]):
        rc, out, err = run(["-d"] + pair)
        expect("-d %s: an unsound file" % pair, (rc, out) == (2, "") and "broken.hex:" in err, "rc=%d %r" % (rc, err))
    rc, out, err = run(["-d", "a.hex", "missing.hex"])
    expect("-d a missing file", rc == 2 and "missing.hex" in out + err, "rc=%d" % rc)
    # Many differing ranges: 64 shown, then the rest counted.
    write("c.bin", bytes(b ^ (0xFF if i % 2 else 0) for i, b in enumerate(base)))
    rc, out, _ = run(["-d", "a.bin", "c.bin"])
    lines = out.splitlines()
    expect("-d shows 64 ranges", rc == 1 and len(lines) == 66 and lines[64] == "(1984 more ranges)"
           and lines[65] == "differ: 2048 bytes, only in a.bin: 0 bytes, only in c.bin: 0 bytes", lines[-2:])


def peer_spec(arg):
    name, _, place = arg.partition("@")
    return [name] + fmt(name) + (["-offset", "0x" + place] if place else [])


def spec_map(arg):
    name, _, place = arg.partition("@")
    if name.endswith(".bin"):
        return {int(place or "0", 16) + i: b for i, b in enumerate(read(name))}
    return byte_map(name)


def main():
    harness.setup()
    rng = random.Random(23)
    make_inputs(rng)
    merging()
    placing_and_shifting()
    refusals()
    start_addresses()
    fill_and_crop()
    compare(rng)
    harness.report()


if __name__ == "__main__":
    main()
