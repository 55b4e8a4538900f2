#!/usr/bin/env python3
"""Times marigold's dump of a big Intel HEX file and a big S3 file against
cat and srec_cat's hex dump of the same files, marigold -i against
srec_info on the same files and on one whose data lie spread over the whole
4 GiB, marigold -x of the Intel HEX file to .bin and .s37 against
srec_cat and objcopy doing the same, and the image jobs against srec_cat
and srec_cmp: two halves merged, a .bin placed at an address, two files
compared, records in descending and in shuffled address order, and 2 MiB
of shuffled 1-byte records; it reports the peak memory of marigold and of
the peer side by side.
Usage: dump_bench.py [MARIGOLD] [SIZE_MIB] [image]
With "image" only the image jobs run."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

RUNS = 3


def timed(command, runs=RUNS):
    """Best wall time of a few runs, and the peak resident set in KiB.
    GNU time measures the memory: a child forked from this interpreter would
    count the interpreter's own pages."""
    best, peak = None, 0
    for _ in range(runs):
        with open(os.devnull, "wb") as null:
            start = time.perf_counter()
            proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=null,
                                  stderr=subprocess.PIPE, text=True)
            elapsed = time.perf_counter() - start
        if proc.returncode != 0:
            raise SystemExit("failed: %s" % " ".join(command))
        best = elapsed if best is None else min(best, elapsed)
        peak = max(peak, int(proc.stderr.split()[-1]))
    return best, peak


def write_spread(path, size_mib):
    """size_mib MiB in blocks of 256 bytes, one block every 64 KiB from 0
    upwards: with 16 MiB the blocks reach the top of the 4 GiB."""
    def record(rtype, address, data):
        body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + data
        return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)
    data = os.urandom(256)
    rows = [data[i:i + 16] for i in range(0, 256, 16)]
    with open(path, "w") as f:
        for upper in range(size_mib << 12):
            f.write(record(4, 0, bytes([upper >> 8 & 0xFF, upper & 0xFF])))
            f.write("".join(record(0, 16 * i, row) for i, row in enumerate(rows)))
        f.write(":00000001FF\n")


def time_info(name, marigold, path, fmt, t_dump):
    t_info, peak = timed([marigold, "-i", path])
    t_peer, _ = timed(["srec_info", path] + fmt[:1])
    print("%-9s marigold -i %.3f s  srec_info %.3f s  srec_info/-i %.1fx  -i/dump %.2fx  "
          "-i peak memory %.1f MiB" % (name, t_info, t_peer, t_peer / t_info, t_info / t_dump, peak / 1024))


def time_convert(marigold, work, path):
    """-x of the Intel HEX file to .bin and .s37, and the same conversions by
    srec_cat and objcopy; each output checked against marigold's."""
    out = lambda name: os.path.join(work, name)
    jobs = {
        ".bin": ([marigold, "-x", path, out("m.bin")],
                 ["srec_cat", path, "-intel", "-o", out("s.bin"), "-binary"],
                 ["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", path, out("o.bin")],
                 [out("s.bin"), out("o.bin")]),
        ".s37": ([marigold, "-x", path, out("m.s37")],
                 ["srec_cat", path, "-intel", "-o", out("s.s37"), "-motorola", "-address-length=4"],
                 ["objcopy", "-I", "ihex", "-O", "srec", "--srec-forceS3", path, out("o.s37")],
                 [out("s.s37"), out("o.s37")]),
    }
    # Five runs each: the ratio is what the conversions are held to.
    for kind, (ours, srec, objcopy, peers) in jobs.items():
        t_mari, peak = timed(ours, 5)
        t_srec, _ = timed(srec, 5)
        t_obj, _ = timed(objcopy, 5)
        for peer in peers:
            if kind == ".bin":
                same = open(ours[-1], "rb").read() == open(peer, "rb").read()
            else:
                same = subprocess.run(["srec_cmp", ours[-1], peer], capture_output=True).returncode == 0
            if not same:
                raise SystemExit("-x to %s differs from %s" % (kind, peer))
            os.remove(peer)
        os.remove(ours[-1])
        print("-x %-6s marigold %.3f s  srec_cat %.3f s  objcopy %.3f s  srec_cat/marigold %.1fx  "
              "objcopy/marigold %.1fx  peak memory %.1f MiB" %
              (kind, t_mari, t_srec, t_obj, t_srec / t_mari, t_obj / t_mari, peak / 1024))


def shuffled_copy(path, out, order):
    """The data records of an Intel HEX file in another order, each after
    the type 04 record it needs when that changes."""
    records, upper = [], None
    with open(path) as f:
        for line in f:
            kind = line[7:9]
            if kind == "04":
                upper = line
            elif kind == "00":
                records.append((upper, line))
    order(records)
    with open(out, "w") as f:
        current = None
        for upper, line in records:
            if upper != current:
                f.write(upper)
                current = upper
            f.write(line)
        f.write(":00000001FF\n")


def cpu_timed(command, runs=5):
    """Best wall time and best CPU time (user and system) of a few runs, and
    the peak resident set in KiB. On a machine shared with other work the CPU
    time varies less than the wall time."""
    best, best_cpu, peak = None, None, 0
    for _ in range(runs):
        with open(os.devnull, "wb") as null:
            start = time.perf_counter()
            proc = subprocess.run(["/usr/bin/time", "-f", "%U %S %M"] + command, stdout=null,
                                  stderr=subprocess.PIPE, text=True)
            elapsed = time.perf_counter() - start
        if proc.returncode not in (0, 1):
            raise SystemExit("failed: %s" % " ".join(command))
        user, system, kib = proc.stderr.split()[-3:]
        best = elapsed if best is None else min(best, elapsed)
        cpu = float(user) + float(system)
        best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
        peak = max(peak, int(kib))
    return best, best_cpu, peak


def side_by_side(name, ours, peer, check):
    t_mari, c_mari, peak = cpu_timed(ours)
    t_peer, c_peer, peer_peak = cpu_timed(peer)
    if not check():
        raise SystemExit("%s: marigold's result differs from the peer's" % name)
    print("%-36s marigold %.3f s (CPU %.2f s)  %s %.3f s (CPU %.2f s)  %s/marigold %.1fx (CPU %.1fx)  "
          "peak memory %.1f MiB, %s %.1f MiB" %
          (name, t_mari, c_mari, peer[0], t_peer, c_peer, peer[0], t_peer / t_mari,
           c_peer / max(c_mari, 0.01), peak / 1024, peer[0], peer_peak / 1024))


def write_shuffled_bytes(path, size_mib):
    """size_mib MiB of 1-byte Intel HEX records in shuffled address order,
    each after the type 04 record it needs when that changes."""
    def record(rtype, address, data):
        body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + data
        return ":%s%02X\n" % (body.hex().upper(), -sum(body) & 0xFF)
    data = os.urandom(size_mib << 20)
    addresses = list(range(size_mib << 20))
    random.Random(2).shuffle(addresses)
    upper = None
    with open(path, "w") as f:
        for address in addresses:
            if address >> 16 != upper:
                upper = address >> 16
                f.write(record(4, 0, bytes([upper >> 8, upper & 0xFF])))
            f.write(record(0, address, data[address:address + 1]))
        f.write(":00000001FF\n")


def time_image_jobs(marigold, work, binary, size_mib):
    """The image jobs of -x and -d side by side with srec_cat and srec_cmp,
    each result checked against the peer's."""
    work = os.path.join(work, "jobs")
    os.mkdir(work)
    out = lambda name: os.path.join(work, name)
    same = lambda a, b: subprocess.run(["srec_cmp", a, "-intel", b, "-intel"],
                                       capture_output=True).returncode == 0
    same_bytes = lambda a, b: open(a, "rb").read() == open(b, "rb").read()
    half = size_mib << 19
    with open(binary, "rb") as f:
        low, high = f.read(half), f.read(half)
    for name, data, base in (("low", low, 0), ("high", high, half)):
        with open(out(name + ".bin"), "wb") as f:
            f.write(data)
        subprocess.run(["srec_cat", out(name + ".bin"), "-binary", "-offset", str(base), "-o", out(name + ".hex"),
                        "-intel", "-output_block_size=16"], check=True)
    merged = "merge 2 x %d MiB HEX" % (size_mib // 2)
    side_by_side(merged + " to .hex", [marigold, "-x", out("low.hex"), out("high.hex"), out("m.hex")],
                 ["srec_cat", out("low.hex"), "-intel", out("high.hex"), "-intel", "-o", out("s.hex"), "-intel"],
                 lambda: same(out("m.hex"), out("s.hex")))
    side_by_side(merged + " to .bin", [marigold, "-x", out("low.hex"), out("high.hex"), out("m.bin")],
                 ["srec_cat", out("low.hex"), "-intel", out("high.hex"), "-intel", "-o", out("s.bin"), "-binary"],
                 lambda: same_bytes(out("m.bin"), out("s.bin")))
    side_by_side(".bin@08000000 to .hex", [marigold, "-x", binary + "@08000000", out("m.hex")],
                 ["srec_cat", binary, "-binary", "-offset", "0x08000000", "-o", out("s.hex"), "-intel"],
                 lambda: same(out("m.hex"), out("s.hex")))
    # Two files of the same image, written differently: every byte compared.
    subprocess.run(["srec_cat", binary, "-binary", "-o", out("a.hex"), "-intel", "-output_block_size=16"], check=True)
    subprocess.run(["srec_cat", binary, "-binary", "-o", out("b.hex"), "-intel", "-output_block_size=32"], check=True)
    side_by_side("compare 2 x %d MiB HEX (-d)" % size_mib, [marigold, "-d", out("a.hex"), out("b.hex")],
                 ["srec_cmp", out("a.hex"), "-intel", out("b.hex"), "-intel"], lambda: True)
    for order_name, order in (("descending", lambda r: r.reverse()),
                              ("shuffled", lambda r: random.Random(1).shuffle(r))):
        path = out(order_name + ".hex")
        shuffled_copy(out("a.hex"), path, order)
        side_by_side("-x %s records to .bin" % order_name, [marigold, "-x", path, out("m.bin")],
                     ["srec_cat", path, "-intel", "-o", out("s.bin"), "-binary"],
                     lambda: same_bytes(out("m.bin"), out("s.bin")))
        side_by_side("-x %s records to .hex" % order_name, [marigold, "-x", path, out("m.hex")],
                     ["srec_cat", path, "-intel", "-o", out("s.hex"), "-intel"],
                     lambda: same(out("m.hex"), out("s.hex")))
    path = out("bytes.hex")
    write_shuffled_bytes(path, 2)
    side_by_side("-x 2 MiB shuffled 1-byte recs to .bin", [marigold, "-x", path, out("m.bin")],
                 ["srec_cat", path, "-intel", "-o", out("s.bin"), "-binary"],
                 lambda: same_bytes(out("m.bin"), out("s.bin")))
    side_by_side("-x 2 MiB shuffled 1-byte recs to .hex", [marigold, "-x", path, out("m.hex")],
                 ["srec_cat", path, "-intel", "-o", out("s.hex"), "-intel"],
                 lambda: same(out("m.hex"), out("s.hex")))
    shutil.rmtree(work)


def main():
    marigold = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/marigold/marigold")
    size_mib = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    work = tempfile.mkdtemp(prefix="dump_bench_")
    binary = os.path.join(work, "image.bin")
    with open(binary, "wb") as f:
        f.write(os.urandom(size_mib << 20))
    if len(sys.argv) > 3 and sys.argv[3] == "image":
        time_image_jobs(marigold, work, binary, size_mib)
        os.remove(binary)
        os.rmdir(work)
        return
    files = {
        "Intel HEX": (os.path.join(work, "image.hex"), ["-intel"]),
        "S3": (os.path.join(work, "image.s37"), ["-motorola", "-address-length=4"]),
    }
    for path, fmt in files.values():
        subprocess.run(["srec_cat", binary, "-binary", "-o", path] + fmt + ["-output_block_size=16"],
                       check=True)
    print("%d MiB binary; best of %d runs each" % (size_mib, RUNS))
    for name, (path, fmt) in files.items():
        mb = os.path.getsize(path) / 1e6
        t_mari, peak = timed([marigold, path])
        t_cat, _ = timed(["cat", path])
        t_srec, _ = timed(["srec_cat", path] + fmt[:1] + ["-o", "-", "-hex_dump"])
        print("%-9s %6.1f MB  marigold %.3f s  cat %.3f s  srec_cat -hex_dump %.3f s" %
              (name, mb, t_mari, t_cat, t_srec))
        print("%-9s srec_cat/marigold %.1fx  marigold/cat %.1fx  marigold peak memory %.1f MiB" %
              ("", t_srec / t_mari, t_mari / t_cat, peak / 1024))
        time_info(name, marigold, path, fmt, t_mari)
    time_convert(marigold, work, files["Intel HEX"][0])
    time_image_jobs(marigold, work, binary, size_mib)
    spread = os.path.join(work, "spread.hex")
    write_spread(spread, size_mib)
    print("%-9s %6.1f MB  %d MiB in blocks of 256 bytes every 64 KiB" %
          ("spread", os.path.getsize(spread) / 1e6, size_mib))
    # srec_info takes minutes over the 65,536 ranges of this file: not timed.
    t_info, peak = timed([marigold, "-i", spread])
    print("%-9s marigold -i %.3f s  -i peak memory %.1f MiB" % ("", t_info, peak / 1024))
    for kind in (".hex", ".s37"):
        converted = os.path.join(work, "spread_out" + kind)
        t_conv, peak = timed([marigold, "-x", spread, converted])
        print("%-9s marigold -x to %s %.3f s  peak memory %.1f MiB" % ("", kind, t_conv, peak / 1024))
        os.remove(converted)
    os.remove(spread)
    for path, _ in files.values():
        os.remove(path)
    os.remove(binary)
    os.rmdir(work)


if __name__ == "__main__":
    main()
