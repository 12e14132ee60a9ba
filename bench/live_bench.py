#!/usr/bin/python3
"""The benchmark of tools/hlc_edr_live: a stream fed through a FIFO at a set
rate, in one command:

    /usr/bin/python3 bench/live_bench.py [--rate RECORDS_PER_S] [--seconds S] [--every S]
                                         [--units LIST] [--work DIR] [--build DIR]

builds Release into build-bench (hlc_edr, hlc_edr_dump, tlmbuild), writes a
stream of rounds of every product (each product's record in turn, the
segments of the segmented ones interleaved, quaternions too) with tlmbuild,
and feeds it record by record into a FIFO that hlc_edr_live reads with
--every S (default 5), at --rate records a second (default 40) for
--seconds (default 120), the stream repeated as often as needed.

While the pass runs, the output folder is watched (every 20 ms): a piece's
EDRs are published once every unit's status file is there. The delay of a
record is the time from its write into the FIFO to the publication of its
piece; the table gives, over all records, its median and largest value, and
the largest less the piece length, which the design keeps within 2 s.
The resident memory of the pass (the hlc_edr_live process itself, not the
runs it starts) is read from /proc every second: the table gives it after
the first tenth of the stream, at its end, and its peak (VmHWM), so that a
pass whose memory grows with the stream shows."""
import argparse
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree clean
import benchlib  # noqa: E402

ROOT = benchlib.ROOT
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import edr_patterns as ep  # noqa: E402


def stream_records(tlmbuild, path, rounds):
    """The records of a stream of rounds of every product."""
    return ep.split_records(ep.built(ep.interleaved(range(rounds)), tlmbuild, path))


def memory(pid):
    """(VmRSS, VmHWM) of a process, KiB."""
    got = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    got[key] = int(value.split()[0])
    except OSError:
        pass
    return got.get("VmRSS", 0), got.get("VmHWM", 0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rate", type=float, default=40.0, help="records a second")
    ap.add_argument("--seconds", type=float, default=120.0, help="how long the stream runs")
    ap.add_argument("--every", type=float, default=5.0, help="the pass's piece length, seconds")
    ap.add_argument("--units", default=None, help="the pass's -u (default: every unit)")
    ap.add_argument("--work", default=os.path.join(ROOT, "build-bench", "live-work"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    args = ap.parse_args()

    benchlib.build(args.build, ["hlc_edr", "hlc_edr_dump", "tlmbuild"])
    program = os.path.join(args.build, "hlc_edr")
    dump = os.path.join(args.build, "hlc_edr_dump")
    tlmbuild = os.path.join(args.build, "tools", "tlmbuild", "tlmbuild")
    os.makedirs(args.work, exist_ok=True)
    records = stream_records(tlmbuild, os.path.join(args.work, "rounds.tlm"), 20)
    total = int(args.rate * args.seconds)

    out = os.path.join(args.work, "out")
    subprocess.run(["rm", "-rf", out], check=True)
    fifo = os.path.join(args.work, "stream.fifo")
    if os.path.exists(fifo):
        os.remove(fifo)
    os.mkfifo(fifo)
    cmd = [os.path.join(ROOT, "tools", "hlc_edr_live"), "--program", program, "--dump", dump, "-o", out,
           "--every", "%g" % args.every]
    if args.units:
        cmd += ["-u", args.units]
    units = len(args.units.split(",")) if args.units else len(ep.UNITS)
    log = open(os.path.join(args.work, "live.log"), "wb")
    live = subprocess.Popen(cmd + [fifo], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    published = {}  # piece name -> when its last status file appeared
    samples = []    # (records written, VmRSS)
    done = threading.Event()
    written = [0]

    def watch():
        last_mem = 0.0
        while not done.is_set():
            now = time.monotonic()
            try:
                names = set(os.listdir(out))
            except OSError:
                names = set()
            for n in names:
                if n.startswith("piece_") and n.endswith(".tlm") and n not in published:
                    stem = n[:-4]
                    if sum(1 for m in names if m.startswith(stem + "_") and m.endswith(".status")) == units:
                        published[n] = now
            if now - last_mem >= 1.0:
                samples.append((written[0], memory(live.pid)))
                last_mem = now
            time.sleep(0.02)

    watcher = threading.Thread(target=watch)
    watcher.start()
    fd = os.open(fifo, os.O_WRONLY)
    sent = []  # (bytes before the record, its size, when it was written)
    offset = 0
    start = time.monotonic()
    for i in range(total):
        r = records[i % len(records)]
        delay = start + i / args.rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        os.write(fd, r)
        sent.append((offset, len(r), time.monotonic()))
        offset += len(r)
        written[0] = i + 1
    os.close(fd)
    live.wait()
    time.sleep(0.1)
    done.set()
    watcher.join()
    log.close()
    if live.returncode != 0:
        sys.exit("hlc_edr_live ended with %d (see %s)" % (live.returncode, log.name))

    # Records to pieces by their bytes; the last piece is closed by the end
    # of the stream, not by its length, and is left out of the delays.
    pieces = sorted(n for n in os.listdir(out) if n.startswith("piece_") and n.endswith(".tlm"))
    ends = []
    at = 0
    for n in pieces:
        at += os.path.getsize(os.path.join(out, n))
        ends.append(at)
    delays = []
    j = 0
    for off, size, when in sent:
        while off + size > ends[j]:
            j += 1
        if j < len(pieces) - 1 and pieces[j] in published:
            delays.append(published[pieces[j]] - when)
    mems = [m for _, m in samples if m[0]]
    early = next((m[0] for n, m in samples if n >= total // 10 and m[0]), 0)
    half = next((m[0] for n, m in samples if n >= total // 2 and m[0]), 0)
    print("hlc_edr_live on %s (%s, %d CPUs): %d records (%.1f MB) at %g records/s for %g s, --every %g, %d units"
          % (platform.node(), platform.processor() or platform.machine(), os.cpu_count(), total, offset / 1e6,
             args.rate, args.seconds, args.every, units))
    print("%-44s %10s" % ("pieces", len(pieces)))
    print("%-44s %10.2f" % ("delay arrival -> EDR, median (s)", statistics.median(delays)))
    print("%-44s %10.2f" % ("delay arrival -> EDR, largest (s)", max(delays)))
    print("%-44s %10.2f" % ("largest delay less the piece length (s)", max(delays) - args.every))
    print("%-44s %10d" % ("resident memory after a tenth (KiB)", early))
    print("%-44s %10d" % ("resident memory at half the stream (KiB)", half))
    print("%-44s %10d" % ("resident memory at the end (KiB)", mems[-1][0] if mems else 0))
    print("%-44s %10d" % ("peak resident memory, VmHWM (KiB)", max(m[1] for m in mems) if mems else 0))


if __name__ == "__main__":
    main()
