"""The program writes records behind, a block per HDF4 call; the same program
built to write every record with calls of its own (one VSwrite, one
SDwritedata per SDS a record) is the reference. For every unit, over the
bundled sample and the benchmark's kinds of input (one-record Concentrator
packets, the GEM/GIM science mix, every unit mixed), both runs must print
the same log and write EDRs that hold the same values, read three ways:

  - pyhdf: every Vdata's records and every SDS's array, by name;
  - hdp dumpvd and dumpsds: their text, but for the reference numbers that
    HDF4 hands out (the reference EDR's linked blocks take some);
  - the record modules' own reads: hlc_edr_dump's listing and every
    product's records as CSV.

  check_write_behind.py --program P --per-record P --dump P --gen-tlm P
                        --sample TLM --workdir DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

from pyhdf.HDF import HC, HDF
from pyhdf.SD import SD, SDC
from pyhdf.VS import VS  # noqa: F401  (registers the VS interface)

UNITS = ("gem", "gim", "con", "mec")


def run(argv, cwd, out=None):
    with open(out, "wb") if out else open(os.devnull, "wb") as f:
        return subprocess.run(argv, cwd=cwd, stdout=f, stderr=subprocess.PIPE, timeout=600)


def vdatas(path):
    """{name: (fields, records)} of every Vdata that is not HDF4's own."""
    f = HDF(path, HC.READ)
    vs = f.vstart()
    found = {}
    ref = -1
    while True:
        try:
            ref = vs.next(ref)
        except Exception:  # pyhdf signals the end of the list this way
            break
        v = vs.attach(ref)
        nrec, _, fields, _, name = v.inquire()
        if not name.startswith("_HDF"):
            # By their text: a NaN is the same value as another NaN.
            found[name] = (fields, repr(v.read(nrec)) if nrec else "")
        v.detach()
    vs.end()
    f.close()
    return found


def arrays(path):
    """{name: (type, shape, values)} of every SDS."""
    sd = SD(path, SDC.READ)
    found = {}
    for name in sd.datasets():
        s = sd.select(name)
        _, _, dims, kind, _ = s.info()
        values = s.get() if (dims[0] if isinstance(dims, list) else dims) else None
        found[name] = (kind, dims, None if values is None else values.tobytes())
        s.endaccess()
    sd.end()
    return found


REF = re.compile(r"(reference = |Ref\. = |ref = )\d+")


def hdp(path, what):
    text = subprocess.run(["hdp", what, path], stdout=subprocess.PIPE, check=True,
                          timeout=600).stdout.decode("latin-1")
    return REF.sub(r"\1#", "\n".join(line for line in text.splitlines()
                                     if not line.startswith("File name")))


def dump(dump_program, path):
    listing = subprocess.run([dump_program, path], stdout=subprocess.PIPE, check=True,
                             timeout=600).stdout.decode()
    texts = [listing]
    for line in listing.splitlines()[1:]:
        product = line.split()[0]
        texts.append(subprocess.run([dump_program, path, product, "--format", "csv"],
                                    stdout=subprocess.PIPE, check=True,
                                    timeout=600).stdout.decode())
    return texts


def main():
    ap = argparse.ArgumentParser()
    for name in ("program", "per-record", "dump", "gen-tlm", "sample", "workdir"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()
    shutil.rmtree(args.workdir, ignore_errors=True)
    os.makedirs(args.workdir)
    inputs = {"sample": os.path.abspath(args.sample)}
    for kind, amount in (("con", "3000"), ("science", "3"), ("mixed", "4")):
        path = os.path.join(args.workdir, kind + ".tlm")
        subprocess.run([args.gen_tlm, kind, amount, path], check=True, stdout=subprocess.DEVNULL)
        inputs[kind] = path
    failures = []
    checked = 0
    for name, tlm in inputs.items():
        for unit in UNITS:
            dirs = {}
            for which, program in (("behind", args.program), ("per_record", args.per_record)):
                d = os.path.join(args.workdir, "%s_%s_%s" % (name, unit, which))
                os.makedirs(d)
                r = run([program, "-inst", unit, "-tlm", tlm, "-edr", "out.hdf"], d,
                        os.path.join(d, "log"))
                dirs[which] = (d, r.returncode)
            (a, sa), (b, sb) = dirs["behind"], dirs["per_record"]
            case = "%s/%s" % (name, unit)
            if sa != sb:
                failures.append("%s: exit status %d, per record %d" % (case, sa, sb))
                continue
            if open(os.path.join(a, "log"), "rb").read() != open(os.path.join(b, "log"),
                                                                 "rb").read():
                failures.append("%s: the logs differ" % case)
            ea, eb = os.path.join(a, "out.hdf"), os.path.join(b, "out.hdf")
            if not os.path.exists(eb):
                if os.path.exists(ea):
                    failures.append("%s: an EDR where the reference wrote none" % case)
                continue
            checked += 1
            va, vb = vdatas(ea), vdatas(eb)
            if va != vb:
                failures.append("%s: Vdata differ: %s" % (
                    case, sorted(k for k in set(va) | set(vb) if va.get(k) != vb.get(k))))
            sa_, sb_ = arrays(ea), arrays(eb)
            if sa_ != sb_:
                failures.append("%s: SDS differ: %s" % (
                    case, sorted(k for k in set(sa_) | set(sb_) if sa_.get(k) != sb_.get(k))))
            if not va:
                failures.append("%s: no table was read" % case)
            for what in ("dumpvd", "dumpsds"):
                if hdp(ea, what) != hdp(eb, what):
                    failures.append("%s: hdp %s differs" % (case, what))
            if dump(args.dump, ea) != dump(args.dump, eb):
                failures.append("%s: the modules read other records" % case)
            print("%-12s %2d tables, %2d SDS: the same" % (case, len(va), len(sa_)))
    for f in failures:
        print("FAILED:", f)
    print("%d EDRs compared, %d differences" % (checked, len(failures)))
    # Eleven of the runs write an EDR: the science mix has no Concentrator or
    # MEC records.
    sys.exit(1 if failures or checked != 11 else 0)


if __name__ == "__main__":
    main()
