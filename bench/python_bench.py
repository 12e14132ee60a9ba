#!/usr/bin/python3
"""The benchmark of EDRs opened in xarray (the package's backend), in one
command:

    /usr/bin/python3 bench/python_bench.py [--runs N] [--work DIR]

builds Release into build-bench (programs and the record library only) and
writes its inputs once with bench/gen_edr (kept in --work, default
/tmp/hlc_python_bench, about 300 MB): con.hdf, 2,000,000 Concentrator
housekeeping records, and sci.hdf, about 200 MB of GEM and GIM science
records. Then, with Debian's python3 and the package of this tree (python/)
on that library, it prints:

- the whole of con.hdf in memory, alternately N times each (default 3),
  medians of the wall time and of the processor time: by way of the export
  (hlc_edr_dump --netcdf, then xarray.open_dataset(...).load() of the
  export) and through the backend (hlc_edr.open_dataset(...).load(),
  opening included), and their ratio;
- the backend's peak memory over the interpreter's before the opening,
  against the bytes of the loaded arrays;
- 1,000 records from the middle of con.hdf, every variable (median of 21,
  each on a dataset just opened, whose opening is not counted), wall and
  processor time;
- every product of sci.hdf in memory, the same two ways, with MB/s of EDR.

Each Python measurement runs in an interpreter of its own (this script
with --worker), which has imported xarray before it starts timing."""
import argparse
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
import benchlib  # noqa: E402

ROOT = benchlib.ROOT
RECORDS = 2000000
SCIENCE = ["gem_normal=30000", "gem_raw=30000", "gim_normal=8000", "gem_hk=30000"]


# ---- in the worker --------------------------------------------------------------

def status():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def processor():
    """Processor seconds of this process so far, user and system, all threads."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def worker(args):
    import xarray
    import hlc_edr
    out = {}
    kind, path = args[0], args[1]
    if kind == "backend":  # every product (or the one named), opened and loaded
        names = args[2:] or list(hlc_edr.products(path))
        before, _ = status()
        reset_peak()
        start, cpu = time.perf_counter(), processor()
        loaded = [hlc_edr.open_dataset(path, name).load() for name in names]
        out["seconds"], out["cpu"] = time.perf_counter() - start, processor() - cpu
        out["peak"] = status()[1] - before
        out["bytes"] = sum(ds.nbytes for ds in loaded)
    elif kind == "export":  # every group of the export, opened and loaded
        import netCDF4
        with netCDF4.Dataset(path) as nc:
            names = list(nc.groups)
        start, cpu = time.perf_counter(), processor()
        loaded = [xarray.open_dataset(path, group=name).load() for name in names]
        out["seconds"], out["cpu"] = time.perf_counter() - start, processor() - cpu
        out["bytes"] = sum(ds.nbytes for ds in loaded)
    elif kind == "middle":  # 1,000 records from the middle, every variable
        name, repeats = args[2], int(args[3])
        times, cpus = [], []
        for _ in range(repeats):
            with hlc_edr.open_dataset(path, name) as ds:
                mid = ds.sizes["record"] // 2
                start, cpu = time.perf_counter(), processor()
                part = ds.isel(record=slice(mid, mid + 1000)).load()
                times.append(time.perf_counter() - start)
                cpus.append(processor() - cpu)
        out["seconds"], out["cpu"] = statistics.median(times), statistics.median(cpus)
        out["bytes"] = part.nbytes
    print(json.dumps(out))


# ---- the benchmark ----------------------------------------------------------------

def python_run(env, argv):
    run = subprocess.run([sys.executable, "-B", os.path.abspath(__file__), "--worker"] + argv, env=env,
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("the worker failed on %s:\n%s" % (" ".join(argv), run.stderr))
    return json.loads(run.stdout.splitlines()[-1])


def compare(env, peak_rss, dump, edr, nc, runs):
    """Medians of N alternated runs, wall and processor seconds each:
    {"export": (wall, cpu), "nc load": ..., "via nc": ..., "backend": ...}
    (via nc: the export and its load, added run by run), and the backend's
    last worker result."""
    runs_of = {"export": [], "nc load": [], "via nc": [], "backend": []}
    mine = None
    for _ in range(runs):
        if os.path.exists(nc):
            os.remove(nc)
        wall, cpu, _ = benchlib.timed_both(peak_rss, [dump, edr, "--netcdf", nc], "/dev/null")
        load = python_run(env, ["export", nc])
        mine = python_run(env, ["backend", edr])
        runs_of["export"].append((wall, cpu))
        runs_of["nc load"].append((load["seconds"], load["cpu"]))
        runs_of["via nc"].append((wall + load["seconds"], cpu + load["cpu"]))
        runs_of["backend"].append((mine["seconds"], mine["cpu"]))
    medians = {k: tuple(statistics.median(r[i] for r in v) for i in (0, 1)) for k, v in runs_of.items()}
    return medians, mine


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work", default="/tmp/hlc_python_bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--worker", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker)
    benchlib.build(args.build, ["hlc_edr_dump", "gen_edr", "peak_rss", "hlc_edr_shared"])
    os.makedirs(args.work, exist_ok=True)
    b = args.build
    dump = os.path.join(b, "hlc_edr_dump")
    peak_rss = os.path.join(b, "bench", "peak_rss")
    gen_edr = os.path.join(b, "bench", "gen_edr")
    library = os.path.realpath(os.path.join(b, "libhlc_edr.so"))
    env = dict(os.environ, HLC_EDR_LIBRARY=library, PYTHONPATH=os.path.join(ROOT, "python"))
    w = lambda name: os.path.join(args.work, name)  # noqa: E731
    con = benchlib.made(w("con.hdf"), [gen_edr, "{}", "con_hk=%d" % RECORDS])
    sci = benchlib.made(w("sci.hdf"), [gen_edr, "{}"] + SCIENCE)

    print("EDRs in xarray: medians of %d alternated runs on %s (%s, %d cores), load %.1f"
          % (args.runs, platform.node(), platform.processor() or platform.machine(), os.cpu_count(),
             os.getloadavg()[0]))
    print("command: %s" % " ".join([sys.executable] + sys.argv))
    print()
    head = "%-9s %-5s %7s %9s %9s %9s %9s %8s %7s %8s" % (
        "EDR", "time", "EDR MB", "export s", "nc load s", "via nc s", "backend s", "MB/s", "ratio", "GB in RAM")
    print(head)
    print("-" * len(head))
    results = {}
    for name, edr in (("con 2M", con), ("science", sci)):
        m, mine = compare(env, peak_rss, dump, edr, w("out.nc"), args.runs)
        size = os.path.getsize(edr) / 1e6
        results[name] = mine
        for i, kind in enumerate(("wall", "cpu")):
            print("%-9s %-5s %7.1f %9.2f %9.2f %9.2f %9.2f %8.1f %7.3f %8.2f" % (
                name, kind, size, m["export"][i], m["nc load"][i], m["via nc"][i], m["backend"][i],
                size / m["backend"][i], m["backend"][i] / m["via nc"][i], mine["bytes"] / 1e9), flush=True)
    os.remove(w("out.nc"))
    print("(via nc: the export and its load; ratio: backend / via nc, the target at most 0.25; cpu: user +\n"
          " system seconds of every thread and process, which other work on the machine disturbs less)")
    print()
    con_run = results["con 2M"]
    print("Peak memory of the backend's opening and load of con.hdf: %.0f MB over the interpreter's, "
          "%.0f MB of loaded arrays: %.2fx (the target at most 2x)"
          % (con_run["peak"] / 1e6, con_run["bytes"] / 1e6, con_run["peak"] / con_run["bytes"]))
    middle = python_run(env, ["middle", con, "con_hk", "21"])
    print("1,000 records from the middle of con.hdf, every variable: %.2f ms, %.2f ms of processor time "
          "(%.0f kB; the target under 10 ms)" % (middle["seconds"] * 1e3, middle["cpu"] * 1e3, middle["bytes"] / 1e3))


if __name__ == "__main__":
    main()
