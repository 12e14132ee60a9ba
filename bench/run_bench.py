#!/usr/bin/python3
"""The benchmark of hlc_edr against its two floors, in one command:

    /usr/bin/python3 bench/run_bench.py [--quick] [--runs N] [--scale S] [--cpu]
                                        [--instructions] [--work DIR]

builds Release into build-bench (programs only), writes the input files
with gen_tlm (one-record Concentrator packets, a GEM and GIM science mix of
normal, raw and diagnostic records, a mixed file of every unit, each in two
sizes), then runs hlc_edr (standard output to a file) and the floors of
bench/floor side by side, alternately, N times each (default 7): the floor
through the record modules (the same HDF4 calls as hlc_edr, no decoding, no
log), the direct floor (HDF4 called straight from the layout descriptors, a
record per call), the batching floor (the same objects, blocks of records
per call, no fill writes), the bare I/O floor (the same bytes with
write(2)) and the TLM read alone. It prints one table: the median time of
each, hlc_edr's ratio to the direct and the batching floor, MB/s and
records/s of hlc_edr, and its peak resident memory.

--quick runs only the smaller input of each kind, 5 times. --scale
multiplies the input sizes (default 1: 1,000,000 packets, 200 MB and 500 MB
for the larger inputs). --cpu takes the processor time (user + system) of
each run instead of its wall time, which other work on the machine disturbs
less. --instructions also counts the instructions of one run of each
program on the smaller inputs with valgrind's callgrind (slow, but
independent of the machine's load; the work of the kernel, reading the
input and writing the output, is not counted) and prints their ratios."""
import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
import benchlib  # noqa: E402

ROOT = benchlib.ROOT


def generate(gen, kind, amount, path):
    return os.path.getsize(benchlib.made(path, [gen, kind, str(amount), "{}"]))


# Valgrind counts every step of a "rep movsb" or "rep stosb" as an
# instruction, which the C library's memcpy and memset use for large blocks:
# with them the counts would weigh a copy of a large record as thousands of
# instructions. The counted runs use the library's vector loops instead.
VECTOR_COPIES = ("glibc.cpu.x86_rep_movsb_threshold=1073741824:"
                 "glibc.cpu.x86_rep_stosb_threshold=1073741824")


def instructions(argv, work):
    """Instructions of one run under callgrind."""
    out = os.path.join(work, "callgrind.out")
    env = dict(os.environ, GLIBC_TUNABLES=VECTOR_COPIES)
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    os.remove(out)
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode != 0 or found is None:
        sys.exit("callgrind failed on %s:\n%s" % (" ".join(argv), run.stderr))
    return int(found.group(1))


def warm(path):
    """Reads the file, so that the run that follows finds it in the page
    cache (a machine that pages out cold memory may have dropped it)."""
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def records_written(log):
    with open(log, "rb") as f:
        return sum(1 for line in f if line.startswith(b"      wrote "))


def remove(*paths):
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--runs", type=int)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--cpu", action="store_true")
    ap.add_argument("--instructions", action="store_true")
    ap.add_argument("--work", default="/tmp/hlc_bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = ap.parse_args()
    runs = args.runs or (5 if args.quick else 7)
    benchlib.build(args.build, ["hlc_edr", "floor", "gen_tlm", "peak_rss"])
    os.makedirs(args.work, exist_ok=True)
    gen = os.path.join(args.build, "bench", "gen_tlm")
    hlc = os.path.join(args.build, "hlc_edr")
    floor = os.path.join(args.build, "bench", "floor")
    peak_rss = os.path.join(args.build, "bench", "peak_rss")

    s = args.scale
    cases = [  # name, generator kind, amount, instrument, smaller size
        ("con 1-record packets", "con", int(100000 * s), "con", True),
        ("con 1-record packets", "con", int(1000000 * s), "con", False),
        ("science mix gem", "science", int(20 * s), "gem", True),
        ("science mix gim", "science", int(20 * s), "gim", True),
        ("science mix gem", "science", int(200 * s), "gem", False),
        ("science mix gim", "science", int(200 * s), "gim", False),
    ] + [("mixed, every unit: " + u, "mixed", int(mb * s), u, mb == 50)
         for mb in (50, 500) for u in ("gem", "gim", "con", "mec")]
    if args.quick:
        cases = [c for c in cases if c[4]]

    edr = os.path.join(args.work, "out.hdf")
    log = os.path.join(args.work, "out.log")
    # The program and its floors (bench/floor.c): through the record
    # modules, HDF4 called directly a record at a time, HDF4 called with
    # blocks of records and no fill writes, the bytes with write(2) alone,
    # and reading the TLM alone.
    programs = [  # column, the program, its log
        ("hlc_edr", [hlc], log),
        ("modules", [floor], log + ".floor"),
        ("direct", [floor, "-direct"], log + ".direct"),
        ("batch", [floor, "-batch"], log + ".batch"),
        ("bare", [floor, "-bare"], log + ".bare"),
        ("read", [floor, "-read"], log + ".read"),
    ]
    load = os.getloadavg()[0]
    print("hlc_edr against its floors: median %s of %d runs each, on %s (%s, %d cores, "
          "load %.1f at the start)" % ("processor time" if args.cpu else "wall time", runs,
                                      platform.node(), platform.processor() or platform.machine(),
                                      os.cpu_count(), load))
    print("floors: modules = through the record modules; direct = HDF4 a record per call; "
          "batch = HDF4 with blocks of records, no fill writes; bare = the same bytes with "
          "write(2); read = the TLM read alone. x dir, x bat: hlc_edr's time over direct's, "
          "batch's")
    head = "%-26s %7s %8s" % ("input", "MB", "records") + "".join(
        " %9s" % (name + " s") for name, _, _ in programs) + " %6s %6s %7s %9s %7s" % (
        "x dir", "x bat", "MB/s", "records/s", "peak MB")
    print(head)
    print("-" * len(head))
    started = time.time()
    for name, kind, amount, inst, _ in cases:
        tlm = os.path.join(args.work, "%s_%d.tlm" % (kind, amount))
        size = generate(gen, kind, amount, tlm)
        times = [[] for _ in programs]
        peak = 0
        for _ in range(runs):
            for k, (_, program, out) in enumerate(programs):
                # Every run writes new files: none replaces an earlier run's
                # output, which ext4 would write back first.
                remove(edr, out)
                warm(tlm)
                t, rss = benchlib.timed(peak_rss, program + ["-inst", inst, "-tlm", tlm, "-edr", edr],
                                        out, args.cpu)
                times[k].append(t)
                if k == 0:
                    peak = max(peak, rss)
        records = records_written(log)
        medians = [statistics.median(t) for t in times]
        mine, direct, batch = medians[0], medians[2], medians[3]
        print("%-26s %7.1f %8d" % (name, size / 1e6, records) + "".join(
            " %9.3f" % t for t in medians) + " %6.2f %6.2f %7.0f %9.0f %7.1f" % (
            mine / direct, mine / batch, size / 1e6 / mine, records / mine, peak / 1024),
            flush=True)
        remove(edr, *(out for _, _, out in programs))
    print("(%.0f s)" % (time.time() - started))

    if args.instructions:
        print()
        print("Instructions of one run (callgrind), in millions")
        counted = [p for p in programs if p[0] != "read"]
        head = "%-26s %7s" % ("input", "MB") + "".join(" %9s" % n for n, _, _ in counted) + \
            " %6s %6s" % ("x dir", "x bat")
        print(head)
        print("-" * len(head))
        for name, kind, amount, inst, small in cases:
            if not small:
                continue
            tlm = os.path.join(args.work, "%s_%d.tlm" % (kind, amount))
            size = generate(gen, kind, amount, tlm)
            counts = [instructions(program + ["-inst", inst, "-tlm", tlm, "-edr", edr], args.work)
                      for _, program, _ in counted]
            remove(edr)
            print("%-26s %7.1f" % (name, size / 1e6) + "".join(
                " %9.1f" % (c / 1e6) for c in counts) + " %6.2f %6.2f" % (
                counts[0] / counts[2], counts[0] / counts[3]), flush=True)


if __name__ == "__main__":
    main()
