#!/usr/bin/python3
"""The benchmark of tools/hlc_edr_quicklook on large EDRs, in one command:

    /usr/bin/python3 bench/quicklook_bench.py [--runs N] [--work DIR] [--build DIR]
                                              [--tool LAUNCHER]... [--only WORD] [--cpu]

builds Release into build-bench (hlc_edr, hlc_edr_dump, tlmbuild, gen_tlm, peak_rss),
writes TLM files with tlmbuild (kept in --work for later runs) and turns them
into EDRs with hlc_edr:

- Concentrator housekeeping of 250,000, 1,000,000 and 2,000,000 records
  (52 bytes each; 4 s apart, a few gaps and repeated records), monitors that
  drift and ripple with noise, fault counters with rare bursts;
- Concentrator housekeeping of 2,000,000 records of random times and
  contents (bench/gen_tlm), out of time order;
- a GIM science EDR of about 200 MB: normal, diagnostic and raw records in
  turn, the four-spin ones every 48 s, with count spectra whose peak wanders
  through the ESA levels under Poisson noise.

Then it runs the quick-look on each EDR N times (default 3) through
bench/peak_rss and prints one table: the EDR's size, its records, the median
wall time and the largest peak resident memory of the tool (the Python
process; the dump it runs is smaller). The 2,000,000 records are drawn once
more on a UTC axis (--sclk-epoch). The PNGs of the last run stay in
--work/png for a look.

--tool names the launcher to run (default: tools/hlc_edr_quicklook of this
tree); given more than once, the tools run in turn on each EDR, run after
run, the first of them another each run (whichever runs second was
measured some percent slower), so that a machine whose load changes weighs
on each alike, and the table has a pair of columns per tool (in the order
given; an older tree's launcher measures the tool before a change). --only keeps the EDRs whose name in the table holds WORD. --cpu
takes the processor time of each run (the tool's and its dump's) instead of
its wall time, which other work on the machine disturbs less."""
import argparse
import os
import platform
import statistics
import subprocess
import sys

import numpy as np

sys.dont_write_bytecode = True  # keep the source tree clean
import benchlib  # noqa: E402

ROOT = benchlib.ROOT
T0 = 1_200_000_000


def be(dtype):
    return np.dtype(dtype).newbyteorder(">")


def con_records(n, rng):
    """n Concentrator housekeeping records (52 bytes each) as the packets
    carry them."""
    fields = [("sclk_seconds", be("u4")), ("sclk_subseconds", be("u2"))] + \
             [("w%d" % k, be("u2")) for k in range(3, 26)]
    rec = np.zeros(n, dtype=fields)
    i = np.arange(n, dtype=np.float64)
    t = T0 + 4 * np.arange(n, dtype=np.int64)
    # three gaps of 2, 6 and 20 hours
    for at, hours in ((n // 4, 2), (n // 2, 6), (3 * n // 4, 20)):
        t[at:] += hours * 3600
    rec["sclk_seconds"] = t
    rec["sclk_subseconds"] = (i * 0x1000).astype(np.int64) & 0xFFFF
    day = 2 * np.pi * (t - T0) / 86400.0
    noise = lambda scale: rng.normal(0, scale, n)  # noqa: E731
    adc = lambda v: np.clip(np.rint(v), 0, 4095).astype(np.uint16)  # noqa: E731
    rec["w3"] = (i // 5000).astype(np.int64) % 4 << 2 | (rng.random(n) < 0.001)  # APID_status
    for k, base in ((4, 3000), (5, 2000), (6, 1000)):          # requested levels
        rec["w%d" % k] = base + 100 * ((t - T0) // 86400 % 3)
    for k, base in ((7, 3000), (8, 2000), (9, 1000)):          # readbacks
        rec["w%d" % k] = adc(base + 100 * ((t - T0) // 86400 % 3) + 8 * np.sin(day) + noise(2))
    for k, base in ((10, 3000), (11, 2000), (12, 1000)):       # DAC readbacks
        rec["w%d" % k] = adc(base + 100 * ((t - T0) // 86400 % 3) + noise(0.5))
    rec["w13"] = adc(3072 + 3 * np.sin(day) + noise(1.5))       # MON_5V
    rec["w14"] = adc(3500 - 0.0005 * i / 100 + noise(1.5))      # MON_12V
    for k in (15, 16, 17):                                      # fault counts
        rec["w%d" % k] = rng.poisson(0.002, n) * rng.integers(1, 40, n)
    for k, base in ((18, 3010), (19, 2990), (20, 2010), (21, 1990), (22, 1010), (23, 990)):
        rec["w%d" % k] = adc(base + noise(1))
    rec["w24"] = 1 | (rng.random(n) < 0.0005) << 9              # SW_status
    rec["w25"] = (i // 20000).astype(np.int64) & 0xFF           # CMD_status counter
    # a few records sent twice
    dup = rng.choice(n, 20, replace=False)
    order = np.sort(np.concatenate([np.arange(n), dup]))
    return rec[order].tobytes(), 52


GIM_NORMAL, GIM_DIAG, GIM_RAW = (28, 3336), (34, 12934), (42, 8328)


def spectra(k, shape, rng):
    """Counts (outer..., 40 levels) whose peak wanders with record k."""
    levels = np.arange(40)
    centre = 20 + 12 * np.sin(k / 300.0)
    peak = 120 * np.exp(-((levels - centre) / 4.0) ** 2) + 2
    return np.clip(rng.poisson(np.broadcast_to(peak, shape + (40,))), 0, 255).astype(np.uint8)


def four_spin(size, k, t, counts_at, counts):
    data = np.zeros(size, dtype=np.uint8)
    for s in range(4):
        data[2 + 12 * s:6 + 12 * s] = np.frombuffer(np.array(t + 12 * s, be("u4")).tobytes(), np.uint8)
    data[counts_at:counts_at + counts.size] = counts.ravel()
    return data.tobytes()


def raw_record(k, t, rng):
    """A GIM raw record: 40 sector blocks of an 8-byte head and 10 level
    blocks (two readbacks and 8 counts of 16 bits)."""
    data = np.zeros(8328, dtype=np.uint8)
    data[0:4] = np.frombuffer(np.array(t, be("u4")).tobytes(), np.uint8)
    lam = 30 + 20 * np.sin(np.arange(10) / 3 + k / 50.0)
    counts = rng.poisson(np.broadcast_to(lam[:, None], (40, 10, 8))).astype(be("u2"))
    levels = data[8:8 + 40 * 208].reshape(40, 208)[:, 8:].reshape(40, 10, 20)
    levels[:, :, 4:] = counts.view(np.uint8).reshape(40, 10, 16)
    return data.tobytes()


def write_description(out, packets):
    """tlmbuild's input: one "pkt" line per packet (apid, flags, data)."""
    count = 0
    for apid, flags, sec, data in packets:
        out.write(b"pkt apid=%d flags=%d count=%d sec=%d data=%s\n" % (
            apid, flags, count, sec, data.hex().encode()))
        count = (count + 1) & 0x3FFF


def con_packets(n, rng):
    data, size = con_records(n, rng)
    per = 4 * size
    for at in range(0, len(data), per):
        yield 25, 3, T0 + at // size, data[at:at + per]


def gim_packets(megabytes, rng):
    total, k = 0, 0
    while total < megabytes * 1e6:
        t = T0 + 48 * k
        for (apid, size), make in ((GIM_NORMAL, lambda: four_spin(3336, k, t, 136, spectra(k, (80,), rng))),
                                   (GIM_DIAG, lambda: four_spin(12934, k, t, 134, spectra(k, (40, 8), rng))),
                                   (GIM_RAW, lambda: raw_record(k, t, rng))):
            data = make()
            total += size
            parts = 2 if apid == GIM_NORMAL[0] else 3  # first (+ middle) + last
            cut = [size * i // parts for i in range(parts + 1)]
            for part in range(parts):
                flags = 1 if part == 0 else 2 if part == parts - 1 else 0
                yield apid, flags, t, data[cut[part]:cut[part + 1]]
        k += 1


def make_edr(build_dir, work, name, unit, packets=None, random_records=0):
    """The EDR of the packets (through tlmbuild), or of random_records
    Concentrator records of random times and contents (through gen_tlm)."""
    edr = os.path.join(work, name + ".hdf")
    if os.path.exists(edr):
        return edr
    tlm = os.path.join(work, name + ".tlm")
    if random_records:
        subprocess.run([os.path.join(build_dir, "bench", "gen_tlm"), "con", str(random_records), tlm],
                       check=True, stdout=subprocess.DEVNULL)
    else:
        tlmbuild = subprocess.Popen([os.path.join(build_dir, "tools", "tlmbuild", "tlmbuild"), tlm],
                                    stdin=subprocess.PIPE)
        write_description(tlmbuild.stdin, packets)
        tlmbuild.stdin.close()
        if tlmbuild.wait() != 0:
            sys.exit("tlmbuild failed for " + name)
    with open(os.devnull, "w") as log:
        subprocess.run([os.path.join(build_dir, "hlc_edr"), "-inst", unit, "-tlm", tlm,
                        "-edr", edr + ".part"], check=True, stdout=log)
    os.rename(edr + ".part", edr)
    os.remove(tlm)
    return edr


def records(dump, edr):
    out = subprocess.run([dump, edr], check=True, capture_output=True, text=True).stdout
    return sum(int(line.split()[1]) for line in out.splitlines()[1:])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work", default="/tmp/hlc_quicklook_bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--tool", action="append", help="a hlc_edr_quicklook launcher (default: this tree's)")
    ap.add_argument("--only", help="only the EDRs whose name holds this word")
    ap.add_argument("--cpu", action="store_true", help="processor time instead of wall time")
    args = ap.parse_args()
    tools = [os.path.abspath(t) for t in args.tool] if args.tool else [os.path.join(ROOT, "tools", "hlc_edr_quicklook")]
    benchlib.build(args.build, ["hlc_edr", "hlc_edr_dump", "hlc_edr_shared", "tlmbuild", "gen_tlm", "peak_rss"])
    # The record library that the tool reads through (a tool of before that
    # read through the dump's export takes --dump below).
    os.environ["HLC_EDR_LIBRARY"] = os.path.join(args.build, "libhlc_edr.so")
    os.makedirs(args.work, exist_ok=True)
    peak_rss = os.path.join(args.build, "bench", "peak_rss")
    dump = os.path.join(args.build, "hlc_edr_dump")
    rng = np.random.default_rng(2026)
    cases = [("con hk, %s records" % "{:,}".format(n),
              make_edr(args.build, args.work, "con_%d" % n, "con", con_packets(n, rng)), [])
             for n in (250_000, 1_000_000, 2_000_000)]
    cases.append(("con hk, 2,000,000, UTC", cases[-1][1], ["--sclk-epoch", "2000-01-01T12:00:00Z"]))
    cases.append(("con hk, random, unordered",
                  make_edr(args.build, args.work, "con_random", "con", random_records=2_000_000), []))
    cases.append(("gim science, 3 products",
                  make_edr(args.build, args.work, "gim_200mb", "gim", gim_packets(200, rng)), []))
    if args.only:
        cases = [c for c in cases if args.only in c[0]]
    png = os.path.join(args.work, "png")
    os.makedirs(png, exist_ok=True)
    print("hlc_edr_quicklook: median %s time of %d runs each, on %s (%s, %d cores)" % (
        "processor" if args.cpu else "wall", args.runs, platform.node(), platform.processor() or platform.machine(), os.cpu_count()))
    for k, tool in enumerate(tools):
        print("tool %d: %s" % (k + 1, tool))
    head = "%-26s %9s %10s" % ("EDR", "MB", "records") + "".join(
        " %9s %9s" % ("seconds", "peak MB") if len(tools) == 1 else " %9s %9s" % ("s (%d)" % (k + 1), "MB (%d)" % (k + 1))
        for k in range(len(tools)))
    print(head)
    print("-" * len(head))
    # A tool from before --sclk-epoch draws no UTC axis: "-" in its columns.
    helps = [subprocess.run([tool, "--help"], capture_output=True, text=True).stdout for tool in tools]
    for name, edr, options in cases:
        times, peaks = [[] for _ in tools], [0 for _ in tools]
        for run in range(args.runs):
            for k in [(run + i) % len(tools) for i in range(len(tools))]:
                tool = tools[k]
                if options and options[0] not in helps[k]:
                    continue
                seconds, kib = benchlib.timed(peak_rss, [tool, edr, "-o", png, "--dump", dump] + options,
                                              os.path.join(args.work, "quicklook.log"), cpu=args.cpu)
                times[k].append(seconds)
                peaks[k] = max(peaks[k], kib)
        print("%-26s %9.1f %10s" % (name, os.path.getsize(edr) / 1e6, "{:,}".format(records(dump, edr))) +
              "".join(" %9.2f %9.1f" % (statistics.median(t), p / 1024) if t else " %9s %9s" % ("-", "-")
                      for t, p in zip(times, peaks)), flush=True)


if __name__ == "__main__":
    main()
