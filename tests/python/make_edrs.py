#!/usr/bin/python3
"""Writes the EDRs, exports and quaternion files that the Python package's
tests read (tests/python/test_backend.py), into WORKDIR:

    make_edrs.py --program HLC_EDR --dump HLC_EDR_DUMP --tlmbuild TLMBUILD
                 --gen-edr GEN_EDR --sample SAMPLE_TLM --workdir WORKDIR

- sample_<unit>.hdf: hlc_edr on the sample TLM, for gem, gim, con and mec;
  sample_quats.txt: its acs run;
- gen.hdf: every product from bench/gen_edr, several blocks of records each;
  empty.hdf: every product with its tables but no record;
- early_<unit>.hdf and late_<unit>.hdf: every product of the unit from TLM
  that tlmbuild writes (tests/support/edr_patterns.py), records 0 to 5 and
  6 to 11, the MEC float32 fields NaN (with and without a payload),
  infinite or -0.0 in some records;
- quats.txt: hlc_edr -inst acs on TLM of quaternion records whose times
  have fractions that round in every way (QUATERNIONS below);
- for each EDR X.hdf: X.nc, hlc_edr_dump's export with the epoch EPOCH,
  X.noepoch.nc without one; gen.epoch2.nc with EPOCH2 (an offset and a
  fraction).
Whatever WORKDIR held before is removed first."""
import argparse
import os
import shutil
import struct
import subprocess
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import edr_patterns as ep  # noqa: E402

EPOCH = "2000-01-01T12:00:00Z"
EPOCH2 = "2000-01-01T13:00:00.25+01:00"
GEN_RECORDS = {"gem_hk": 5000, "gem_mancal": 5000, "gem_normal": 1500, "gem_raw": 1500, "gim_hk": 5000,
               "gim_mancal": 5000, "gim_normal": 1500, "gim_raw": 600, "gim_diag": 400, "con_hk": 100000,
               "mec_hk": 5000, "mec_f1d": 5000}
UNITS = ("gem", "gim", "con", "mec")
# Float32 values that only their bits tell apart: quiet NaN, NaN with a
# payload, negative NaN, infinities, -0.0.
SPECIAL_FLOATS = [b"\x7f\xc0\x00\x00", b"\x7f\xc1\x23\x45", b"\xff\xc0\x00\x01", b"\x7f\x80\x00\x00",
                  b"\xff\x80\x00\x00", b"\x80\x00\x00\x00"]
# Quaternion records: (time, four components). The times' fractions are
# whole 1/256 s, halves of it, and one so near the next second that it
# rounds to 256/256; one time is negative.
QUATERNIONS = [
    (600000000.0, (0.5, -0.5, 0.5, 0.5)),
    (600000001.5, (0.1, 0.2, -0.3, 0.9273618495495704)),
    (600000002.25, (1.0, 0.0, 0.0, -0.0)),
    (600000003 + 1 / 256, (-0.7071067811865476, 0.0, 0.7071067811865476, 1e-300)),
    (600000004 + 0.999, (0.25, 0.25, 0.25, 0.25)),
    (600000005 + 1.5 / 256, (0.123456789012345, -0.987654321098765, 3.0, -4.0)),
    (-5.5, (0.0, 0.0, 0.0, 1.0)),
]


def run(argv, **kwargs):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kwargs)


def special_floats(product):
    """Record k's float32 fields (MEC): special values in some records."""
    offsets = list(product.floats)
    if product.module == "mec_f1d":
        offsets = [8 + 4 * level for level in range(40)]

    def patch(k, data):
        for i, off in enumerate(offsets):
            if (k + i) % 3 == 0:
                data[off:off + 4] = SPECIAL_FLOATS[(k + i) % len(SPECIAL_FLOATS)]
    return patch if offsets else None


def unit_tlm(unit, ks, path, tlmbuild):
    d = ep.Description()
    for p in ep.PRODUCTS:
        if p.unit == unit:
            d.records(p, ks, patch=special_floats(p))
    d.build(tlmbuild, path)


def quats_tlm(path, tlmbuild):
    d = ep.Description()
    for i in range(0, len(QUATERNIONS), 2):
        data = b"".join(struct.pack(">5d", *q, t) for t, q in QUATERNIONS[i:i + 2])
        d.sec += 1
        d.pkt(ep.QUATS_APID, data)
    d.build(tlmbuild, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("program", "dump", "tlmbuild", "gen-edr", "sample", "workdir"):
        ap.add_argument("--" + name, required=True)
    a = ap.parse_args()
    w = lambda name: os.path.join(a.workdir, name)  # noqa: E731
    shutil.rmtree(a.workdir, ignore_errors=True)
    os.makedirs(a.workdir)
    edrs = []
    for unit in UNITS:
        run([a.program, "-inst", unit, "-tlm", a.sample, "-edr", w("sample_%s.hdf" % unit)])
        edrs.append("sample_%s" % unit)
    run([a.program, "-inst", "acs", "-tlm", a.sample, "-edr", w("sample_quats.txt")])
    run([a.gen_edr, w("gen.hdf")] + ["%s=%d" % kv for kv in GEN_RECORDS.items()])
    run([a.gen_edr, w("empty.hdf")] + ["%s=0" % m for m in GEN_RECORDS])
    edrs += ["gen", "empty"]
    for unit in UNITS:
        for name, ks in (("early", range(0, 6)), ("late", range(6, 12))):
            tlm = w("%s_%s.tlm" % (name, unit))
            unit_tlm(unit, ks, tlm, a.tlmbuild)
            run([a.program, "-inst", unit, "-tlm", tlm, "-edr", w("%s_%s.hdf" % (name, unit))])
            edrs.append("%s_%s" % (name, unit))
    quats_tlm(w("quats.tlm"), a.tlmbuild)
    run([a.program, "-inst", "acs", "-tlm", w("quats.tlm"), "-edr", w("quats.txt")])
    for edr in edrs:
        run([a.dump, w(edr + ".hdf"), "--netcdf", w(edr + ".nc"), "--sclk-epoch", EPOCH])
        run([a.dump, w(edr + ".hdf"), "--netcdf", w(edr + ".noepoch.nc")])
    run([a.dump, w("gen.hdf"), "--netcdf", w("gen.epoch2.nc"), "--sclk-epoch", EPOCH2])


if __name__ == "__main__":
    main()
