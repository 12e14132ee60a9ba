#!/usr/bin/python3
"""The benchmark of hlc_edr against its floor, in one command:

    /usr/bin/python3 bench/run_bench.py [--runs N] [--scale S] [--work DIR]

builds Release into build-bench (programs only), writes the input files
with gen_tlm (one-record Concentrator packets, a GEM and GIM science mix of
normal, raw and diagnostic records, a mixed file of every unit, each in two
sizes), then runs hlc_edr (standard output to a file) and the floor program
(the same HDF4 calls, no decoding, no log) side by side, alternately, N
times each (default 5), and prints one table: the median time of each, their
ratio, MB/s and records/s of hlc_edr, and hlc_edr's peak resident memory.
--scale multiplies the input sizes (default 1: 1,000,000 packets, 200 MB
and 500 MB for the larger inputs)."""
import argparse
import os
import platform
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DHLC_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "hlc_edr", "floor",
                    "gen_tlm", "peak_rss"], check=True, stdout=subprocess.DEVNULL)


def generate(gen, kind, amount, path):
    if not os.path.exists(path):
        subprocess.run([gen, kind, str(amount), path + ".part"], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(path + ".part", path)
    return os.path.getsize(path)


def timed(peak_rss, argv, log):
    """Wall time and peak resident memory (KiB) of one run."""
    out = subprocess.run([peak_rss, log] + argv, check=True, capture_output=True, text=True)
    seconds, kib, status = out.stdout.split()
    if int(status) != 0:
        sys.exit("failed: %s (see %s)" % (" ".join(argv), log))
    return float(seconds), int(kib)


def records_written(log):
    with open(log, "rb") as f:
        return sum(1 for line in f if line.startswith(b"      wrote "))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--work", default="/tmp/hlc_bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = ap.parse_args()
    build(args.build)
    os.makedirs(args.work, exist_ok=True)
    gen = os.path.join(args.build, "bench", "gen_tlm")
    hlc = os.path.join(args.build, "hlc_edr")
    floor = os.path.join(args.build, "bench", "floor")
    peak_rss = os.path.join(args.build, "bench", "peak_rss")

    s = args.scale
    cases = [  # name, generator kind, amount, instrument
        ("con 1-record packets", "con", int(100000 * s), "con"),
        ("con 1-record packets", "con", int(1000000 * s), "con"),
        ("science mix gem", "science", int(20 * s), "gem"),
        ("science mix gim", "science", int(20 * s), "gim"),
        ("science mix gem", "science", int(200 * s), "gem"),
        ("science mix gim", "science", int(200 * s), "gim"),
    ] + [("mixed, every unit: " + u, "mixed", int(mb * s), u)
         for mb in (50, 500) for u in ("gem", "gim", "con", "mec")]

    print("hlc_edr against its floor: median of %d runs each, on %s (%s, %d cores)"
          % (args.runs, platform.node(), platform.processor() or platform.machine(),
             os.cpu_count()))
    head = "%-26s %9s %9s %9s %9s %6s %9s %11s %8s" % (
        "input", "MB", "records", "hlc_edr s", "floor s", "ratio", "MB/s", "records/s",
        "peak MB")
    print(head)
    print("-" * len(head))
    for name, kind, amount, inst in cases:
        tlm = os.path.join(args.work, "%s_%d.tlm" % (kind, amount))
        size = generate(gen, kind, amount, tlm)
        edr = os.path.join(args.work, "out.hdf")
        log = os.path.join(args.work, "out.log")
        ours, base, peak = [], [], 0
        for _ in range(args.runs):
            t, rss = timed(peak_rss, [hlc, "-inst", inst, "-tlm", tlm, "-edr", edr], log)
            ours.append(t)
            peak = max(peak, rss)
            t, _ = timed(peak_rss, [floor, "-inst", inst, "-tlm", tlm, "-edr", edr], log + ".floor")
            base.append(t)
        records = records_written(log)
        mine, low = statistics.median(ours), statistics.median(base)
        print("%-26s %9.1f %9d %9.3f %9.3f %6.2f %9.1f %11.0f %8.1f" % (
            name, size / 1e6, records, mine, low, mine / low, size / 1e6 / mine, records / mine,
            peak / 1024))
        for path in (edr, log, log + ".floor"):
            if os.path.exists(path):
                os.remove(path)


if __name__ == "__main__":
    main()
