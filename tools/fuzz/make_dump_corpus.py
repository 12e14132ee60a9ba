#!/usr/bin/python3
"""Writes the damaged EDR files that tools/fuzz/dump_replay.sh gives to
hlc_edr_dump: EDRs that hlc_edr writes from the fuzzing seeds that
tools/fuzz/make_seeds.sh builds (behind their two selector bytes), then cut
short, with bytes flipped, or with a table header changed where it says how
large a field, a record or an array is.

    make_dump_corpus.py HLC_EDR TLMBUILD DIR

DIR gets the files that the dump must refuse or read cleanly in every build;
DIR/hdf4 gets those on which the HDF4 library itself fails (it trusts the
sizes and places in a file's headers), which the dump reports as damaged.
"""
import os
import struct
import subprocess
import sys
import tempfile

DFTAG_VERSION, DFTAG_NT, DFTAG_VH, DFTAG_VG = 30, 106, 1962, 1965


def edr(hlc_edr, seed, inst, kind, work):
    """The EDR that hlc_edr writes from a fuzzing seed."""
    with open(os.path.join(work, "seeds", seed), "rb") as f:
        tlm = f.read()[2:]
    # Relative names: the SD interface keeps the file's name in the file.
    tlm_name, edr_name = seed + ".tlm", seed + ".hdf"
    with open(os.path.join(work, tlm_name), "wb") as f:
        f.write(tlm)
    args = [os.path.abspath(hlc_edr), "-inst", inst] + (["-apid", kind] if kind else [])
    subprocess.run(args + ["-tlm", tlm_name, "-edr", edr_name], check=True, cwd=work,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(work, edr_name), "rb") as f:
        return bytearray(f.read())


def dds(data):
    """(tag, ref, offset, length, place of the descriptor) of every object."""
    out, block = [], 4
    while block:
        n, block_next = struct.unpack(">HI", data[block:block + 6])
        for i in range(n):
            place = block + 6 + 12 * i
            tag, ref, offset, length = struct.unpack(">HHII", data[place:place + 12])
            out.append((tag, ref, offset, length, place))
        block = block_next
    return out


def vdata_header(data, name):
    """Offset of the Vdata header of the table `name`, and its field count."""
    for tag, _, offset, length, _ in dds(data):
        if tag == DFTAG_VH and name.encode() in data[offset:offset + length]:
            return offset, struct.unpack(">H", data[offset + 8:offset + 10])[0]
    raise LookupError(name)


def put16(data, offset, value):
    data[offset:offset + 2] = struct.pack(">H", value)


def main():
    hlc_edr, tlmbuild, out = sys.argv[1:4]
    os.makedirs(os.path.join(out, "hdf4"), exist_ok=True)
    files = {}
    with tempfile.TemporaryDirectory() as work:
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(["bash", os.path.join(here, "make_seeds.sh"), os.path.abspath(tlmbuild),
                        os.path.join(work, "seeds")], check=True)
        con = edr(hlc_edr, "con", "con", None, work)
        mec = edr(hlc_edr, "mec", "mec", None, work)
        mancal = edr(hlc_edr, "gem", "gem", "mancal", work)
        raw = edr(hlc_edr, "gem_raw", "gem", "raw", work)
        gem_normal = edr(hlc_edr, "gem", "gem", "normal", work)
        gim_normal = edr(hlc_edr, "gim", "gim", "normal", work)

    # Cut short: in the object descriptors, in the tables, at the end.
    for name, base in (("con", con), ("mec", mec), ("gem_mancal", mancal)):
        for cut in (60, len(base) // 2, len(base) - 5):
            files[f"{name}-cut-{cut}"] = base[:cut]
    files["con-cut-8"] = con[:8]
    files["gem_raw-cut-8000"] = raw[:8000]
    files["empty"] = bytearray()
    files["magic-only"] = con[:4]

    # Flipped bytes: in the descriptors, the description text, the records.
    # (A flip near the end of the MEC file lands in a Vgroup that makes the
    # library read past its own buffer when the Vgroup interface starts.)
    for name, base in (("con", con), ("mec", mec)):
        for place in (7, 300, len(base) - 40, len(base) - 3):
            damaged = bytearray(base)
            damaged[place] ^= 0x5A
            library = name == "mec" and place == len(base) - 40
            files[f"{'hdf4/' if library else ''}{name}-flip-{place}"] = damaged

    # Vdata headers that make a record larger than the module's: a field of
    # order 256, a uint16 field declared uint32, a record size of 64 KiB - 1.
    offset, n = vdata_header(con, "Concentrator_Housekeeping")
    damaged = bytearray(con)
    put16(damaged, offset + 10 + 6 * n, 256)  # order of field 0
    files["con-vdata-order"] = damaged
    offset, n = vdata_header(mec, "MEC_Housekeeping")
    damaged = bytearray(mec)
    put16(damaged, offset + 10 + 2 * 2, 25)  # type of field 2
    files["mec-vdata-type"] = damaged
    offset, n = vdata_header(mec, "MEC_f1d")
    damaged = bytearray(mec)
    put16(damaged, offset + 6, 0xFFFF)  # record size
    files["mec_f1d-vdata-size"] = damaged

    # An SDS of uint8 counts declared uint32.
    damaged = bytearray(mancal)
    for tag, _, offset, length, _ in dds(mancal):
        if tag == DFTAG_NT and mancal[offset + 1] == 21:
            damaged[offset + 1:offset + 3] = bytes([25, 32])
    files["gem_mancal-sds-type"] = damaged

    # Names changed by one byte, so that the product's module cannot open
    # the tables that are there: the SDS of the counts, a Vdata field.
    damaged = bytearray(gem_normal)
    damaged[damaged.rindex(b"GEM_Normal_counts") + 16] ^= 0x20
    files["gem_normal-sds-name"] = damaged
    offset, n = vdata_header(gem_normal, "GEM_Normal")
    damaged = bytearray(gem_normal)
    damaged[damaged.index(b"step_time", offset) + 4] ^= 0x20
    files["gem_normal-field-name"] = damaged

    # The SD interface's top Vgroup naming one of its members twice: SDstart
    # walks the members from one to the next without end.
    damaged = bytearray(gim_normal)
    for tag, _, offset, length, _ in dds(gim_normal):
        if tag == DFTAG_VG and b"CDF0.0" in gim_normal[offset:offset + length]:
            n = struct.unpack(">H", gim_normal[offset:offset + 2])[0]
            refs = offset + 2 + 2 * n
            damaged[refs + 2 * (n - 1):refs + 2 * n] = gim_normal[refs + 2:refs + 4]
    files["hdf4/gim_normal-cdf-loop"] = damaged

    # Field places past the end of the Vdata record, on which the library
    # would read outside its own buffer: the module refuses the table first.
    offset, n = vdata_header(con, "Concentrator_Housekeeping")
    damaged = bytearray(con)
    put16(damaged, offset + 10 + 4 * n + 2, 0xFFFF)  # offset of field 1
    put16(damaged, offset + 10 + 4 * n + 4, 0xFFFF)
    files["con-vdata-offsets"] = damaged

    # The library's own failure: a version object longer than its buffer.
    damaged = bytearray(con)
    for tag, _, _, _, place in dds(con):
        if tag == DFTAG_VERSION:
            damaged[place + 8:place + 12] = struct.pack(">I", 4096)
    files["hdf4/con-version-length"] = damaged

    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(files)} files in {out}")


if __name__ == "__main__":
    main()
