#!/usr/bin/python3
"""The benchmark of hlc_edr_dump, in one command:

    /usr/bin/python3 bench/dump_bench.py [--runs N] [--work DIR] [--baseline DUMP]

builds Release into build-bench (programs only) and writes its inputs once
(kept in --work, default /tmp/hlc_dump_bench, about 1 GB):
- con_random.hdf: 2,000,000 Concentrator housekeeping records of random
  bytes, from a TLM file of bench/gen_tlm through hlc_edr;
- hk.hdf: 2,000,000 Concentrator housekeeping records, and gem.hdf and
  gim.hdf: GEM and GIM science and housekeeping products of about 120 and
  150 MB, all of plausible content (bench/gen_edr: readbacks that drift,
  status words that seldom change, counts of a few per bin).

Then it runs, alternately, N times each (default 5), and prints the median
of each (the machine is shared, so medians of alternated runs):
- the table of con_random.hdf as text: `hdp dumpvd` of it, and the dump's
  CSV and JSON Lines, with the dump's speed-up over hdp;
- the netCDF-4 export of each input: seconds, MB of EDR per second, the
  export's size against the EDR's, and, with --baseline (another
  hlc_edr_dump, an earlier one say), that dump's export time and the ratio.
Peak resident memory of every run is measured by bench/peak_rss; output goes
to /dev/null (text) or to a file in --work (netCDF)."""
import argparse
import os
import platform
import statistics
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
import benchlib  # noqa: E402

ROOT = benchlib.ROOT
HDP = "/usr/bin/hdp"
RECORDS = 2000000


def alternated(peak_rss, runs, commands):
    """Each command (name, argv, out) run `runs` times, in turn: the median
    time and the peak memory of each."""
    times = {name: [] for name, _, _ in commands}
    peaks = {name: 0 for name, _, _ in commands}
    for _ in range(runs):
        for name, argv, out in commands:
            t, kib = benchlib.timed(peak_rss, argv, out)
            times[name].append(t)
            peaks[name] = max(peaks[name], kib)
    return {name: statistics.median(t) for name, t in times.items()}, peaks


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--work", default="/tmp/hlc_dump_bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--baseline", help="another hlc_edr_dump whose export is timed alongside")
    args = ap.parse_args()
    benchlib.build(args.build, ["hlc_edr", "hlc_edr_dump", "gen_tlm", "gen_edr", "peak_rss"])
    os.makedirs(args.work, exist_ok=True)
    b = args.build
    dump = os.path.join(b, "hlc_edr_dump")
    peak_rss = os.path.join(b, "bench", "peak_rss")
    gen_edr = os.path.join(b, "bench", "gen_edr")
    w = lambda name: os.path.join(args.work, name)  # noqa: E731

    tlm = benchlib.made(w("con_random.tlm"), [os.path.join(b, "bench", "gen_tlm"), "con", str(RECORDS), "{}"])
    con = benchlib.made(w("con_random.hdf"), [os.path.join(b, "hlc_edr"), "-inst", "con", "-tlm", tlm,
                                     "-edr", "{}"])
    hk = benchlib.made(w("hk.hdf"), [gen_edr, "{}", "con_hk=%d" % RECORDS])
    gem = benchlib.made(w("gem.hdf"), [gen_edr, "{}", "gem_hk=20000", "gem_normal=20000", "gem_raw=20000"])
    gim = benchlib.made(w("gim.hdf"), [gen_edr, "{}", "gim_hk=6000", "gim_normal=6000", "gim_raw=6000",
                              "gim_diag=6000"])

    print("hlc_edr_dump: medians of %d alternated runs on %s (%s, %d cores), load %.1f"
          % (args.runs, platform.node(), platform.processor() or platform.machine(),
             os.cpu_count(), os.getloadavg()[0]))
    print()
    print("Text of %d Concentrator housekeeping records (%.0f MB EDR of random bytes):"
          % (RECORDS, os.path.getsize(con) / 1e6))
    text = [("hdp dumpvd", [HDP, "dumpvd", "-d", "-n", "Concentrator_Housekeeping", con],
             "/dev/null"),
            ("dump CSV", [dump, con, "con_hk"], "/dev/null"),
            ("dump JSON Lines", [dump, con, "con_hk", "--format", "jsonl"], "/dev/null")]
    t, peak = alternated(peak_rss, args.runs, text)
    head = "%-16s %8s %11s %9s %8s" % ("", "s", "records/s", "vs hdp", "peak MB")
    print(head)
    print("-" * len(head))
    for name, _, _ in text:
        print("%-16s %8.2f %11.0f %8.2fx %8.1f" % (name, t[name], RECORDS / t[name],
                                                  t["hdp dumpvd"] / t[name], peak[name] / 1024))

    print()
    print("netCDF-4 export (deflate with shuffle):")
    head = "%-14s %8s %8s %8s %8s %8s %8s" % ("EDR", "EDR MB", "s", "MB/s", "nc MB", "nc/EDR",
                                             "peak MB")
    if args.baseline:
        head += " %10s %8s" % ("baseline s", "ratio")
    print(head)
    print("-" * len(head))
    for name, edr in (("hk", hk), ("gem", gem), ("gim", gim), ("con_random", con)):
        out = w("out.nc")
        commands = [("dump", [dump, edr, "--netcdf", out], "/dev/null")]
        if args.baseline:
            commands.append(("baseline", [args.baseline, edr, "--netcdf", w("baseline.nc")],
                             "/dev/null"))
        t, peak = alternated(peak_rss, args.runs, commands)
        size = os.path.getsize(edr) / 1e6
        line = "%-14s %8.1f %8.2f %8.1f %8.1f %8.2f %8.1f" % (
            name, size, t["dump"], size / t["dump"], os.path.getsize(out) / 1e6,
            os.path.getsize(out) / 1e6 / size, peak["dump"] / 1024)
        if args.baseline:
            line += " %10.2f %8.2f" % (t["baseline"], t["dump"] / t["baseline"])
        print(line)
        for path in (out, w("baseline.nc")):
            if os.path.exists(path):
                os.remove(path)


if __name__ == "__main__":
    main()
