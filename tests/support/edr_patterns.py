"""Every product of the EDR as its layout is stated: unit, APID, record size,
how records arrive, its table name, where its record time and (for count
products) its counts lie in the record bytes.
From these the tests write tlmbuild descriptions of records with known
patterns: record k of a product starts at SCLK T0 + 60 k + k/8 s (spin s of
a four-spin record 15 s later each), and every count at level l is l + 1, so
summed over the other dimensions the counts grow with the level alone."""
import argparse
import os
import shutil
import struct
import subprocess
import sys

T0 = 1_000_000_000


class Product:
    def __init__(self, module, unit, apid, size, handling, vdata, spins=1, time_at=0,
                 counts=None, hk_fields=None, floats=(), segments=2):
        self.module = module        # record module; also the summary column
        self.unit = unit
        self.apid = apid
        self.size = size            # bytes of one record
        self.handling = handling    # "fixed", "two" or "three" (first, middles, last)
        self.vdata = vdata
        self.spins = spins          # 4: sclk_seconds/subseconds are arrays over spins
        self.time_at = time_at      # offset of sclk_seconds (of spin 0)
        # counts: (number of levels, level -> offsets of that level's counts,
        #          struct format of one count)
        self.counts = counts
        self.hk_fields = hk_fields  # housekeeping: the fields besides the time
        self.floats = floats        # offsets of float32 fields
        self.segments = segments

    def time(self, k):
        """Record time of record k (spin 0), seconds."""
        return T0 + 60 * k + ((0x2000 * k) & 0xFFFF) / 65536.0

    def record(self, k):
        data = bytearray(self.size)
        # A filler that differs per record: the 16-bit words count up from k.
        for i in range(0, self.size - 1, 2):
            struct.pack_into(">H", data, i, (13 * k + i // 2) % 4096)
        for off in self.floats:
            struct.pack_into(">f", data, off, k + off / 8.0)
        for s in range(self.spins):
            step = 12 * s if self.spins > 1 else 0
            struct.pack_into(">I", data, self.time_at + step, T0 + 60 * k + 15 * s)
            struct.pack_into(">H", data, self.time_at + step + 4, (0x2000 * k) & 0xFFFF)
        if self.counts:
            levels, offsets, fmt = self.counts
            for level in range(levels):
                for off in offsets(level):
                    struct.pack_into(fmt, data, off, level + 1)
        return bytes(data)


def _grid(base, n_outer, n_levels):
    """Counts [outer][level] from base, level fastest."""
    return lambda l: [base + o * n_levels + l for o in range(n_outer)]


def _raw(sectors, cems, sector_block, level_block):
    """Counts [sector][level][CEM] of 16 bits inside the raw sector blocks."""
    return lambda l: [20 + sector_block * a + level_block * l + 2 * c
                      for a in range(sectors) for c in range(cems)]


HK_GEM = ["APID_status", "start_level", "step_size", "set", "level", "CEM_set", "CEM_level",
          "AMP_set", "MON_5V", "MON_12V", "SW_status", "CMD_status"]
HK_CON = ["APID_status", "elec_req", "accel_req", "rej_req", "elec_level", "accel_level",
          "rej_level", "elec_set", "accel_set", "rej_set", "MON_5V", "MON_12V",
          "elec_fault_count", "accel_fault_count", "rej_fault_count", "elec_maximum",
          "elec_minimum", "accel_maximum", "accel_minimum", "rej_maximum", "rej_minimum",
          "SW_status", "CMD_status"]
HK_MEC = ["WIND_MEC_FLAGS", "gim_peak_azim", "gim_peak_CEM", "bde_disqual_cnt", "bde_azim_cnt",
          "bde_polar_cnt", "regime", "WIND_REGIME_FLAGS", "gim_deadtime", "gim_bg_level",
          "gem_deadtime", "gem_bg_level", "proton_density_curr", "proton_speed_curr",
          "proton_temp_curr", "proton_temp_exp_ratio_curr", "alpha_ratio_curr",
          "proton_density_av", "proton_speed_av", "proton_temp_av", "proton_temp_exp_ratio_av",
          "alpha_ratio_av", "BDE_av", "TO_CME", "V1_ave", "V2_ave", "N1_ave", "N2_ave", "T1_ave",
          "T2_ave", "TIME_OF_SHOCK", "TIME_OF_CME", "F1D_PROT_PEAK", "F1D_MIN", "F1D_HE_PEAK",
          "PROT_PEAK_LEVEL", "PROT_ALPHA_MIN_LEVEL", "ALPHA_PEAK_LEVEL", "HIST_ENTRIES",
          "HIST_MAX_GAP", "COUNT_PEAK", "extra_data"]
MEC_FLOATS = [16 + 4 * i for i in range(22)] + [112, 116, 120, 132, 136]

PRODUCTS = [
    Product("gem_hk", "gem", 32, 46, "fixed", "GEM_Housekeeping",
            hk_fields=HK_GEM),
    Product("gem_mancal", "gem", 33, 50, "fixed", "GEM_ManCal",
            counts=(5, _grid(14, 7, 5), ">B")),
    Product("gem_normal", "gem", 31, 3454, "two", "GEM_Normal",
            spins=4, time_at=2, counts=(20, _grid(94, 24 * 7, 20), ">B")),
    Product("gem_raw", "gem", 41, 2360, "two", "GEM_Raw",
            counts=(5, _raw(24, 7, 98, 18), ">H")),
    Product("gim_hk", "gim", 29, 66, "fixed", "GIM_Housekeeping",
            hk_fields=HK_GEM),
    Product("gim_mancal", "gim", 30, 94, "fixed", "GIM_ManCal",
            counts=(10, _grid(14, 8, 10), ">B")),
    Product("gim_normal", "gim", 28, 3336, "two", "GIM_Normal",
            spins=4, time_at=2, counts=(40, _grid(136, 80, 40), ">B")),
    Product("gim_diag", "gim", 34, 12934, "three", "GIM_Diagnostic", spins=4, time_at=2,
            counts=(40, _grid(134, 40 * 8, 40), ">B"), segments=3),
    Product("gim_raw", "gim", 42, 8328, "three", "GIM_Raw",
            counts=(10, _raw(40, 8, 208, 20), ">H"), segments=4),
    Product("con_hk", "con", 25, 52, "fixed", "Concentrator_Housekeeping", hk_fields=HK_CON),
    Product("mec_hk", "mec", 24, 144, "fixed", "MEC_Housekeeping",
            hk_fields=HK_MEC, floats=MEC_FLOATS),
    Product("mec_f1d", "mec", 26, 168, "fixed", "MEC_f1d",
            counts=(40, lambda l: [8 + 4 * l], ">f")),
]
BY_MODULE = {p.module: p for p in PRODUCTS}
UNITS = ("gem", "gim", "con", "mec", "acs")
QUATS_APID = 27


def quat_record(k):
    return struct.pack(">5d", 0.5, -0.5, 0.5, 0.5, T0 + 60.0 * k + 0.5)


class Description:
    """A tlmbuild description under construction; packet times count up."""

    def __init__(self):
        self.lines = []
        self.sec = T0
        self.count = 0

    def pkt(self, apid, data, flags=3, sec=None, **extra):
        sec = self.sec if sec is None else sec
        words = ["pkt", "apid=%d" % apid, "flags=%d" % flags, "count=%d" % self.count,
                 "sec=%d" % sec, "data=%s" % (data.hex() if data else "zeros:0")]
        words += ["%s=%s" % kv for kv in extra.items()]
        self.lines.append(" ".join(words))
        self.count = (self.count + 1) & 0x3FFF

    def records(self, product, ks, per_packet=2, patch=None):
        """Records ks of a product, packed as the product's packets carry them;
        patch(k, bytearray) may change a record's bytes."""
        ks = list(ks)

        def record(k):
            data = bytearray(product.record(k))
            if patch:
                patch(k, data)
            return bytes(data)

        if product.handling == "fixed":
            for i in range(0, len(ks), per_packet):
                self.sec += 1
                self.pkt(product.apid, b"".join(record(k) for k in ks[i:i + per_packet]))
            return
        for k in ks:
            self.sec += 1
            data = record(k)
            n = product.segments
            cut = [len(data) * i // n for i in range(n + 1)]
            for i in range(n):
                flags = 1 if i == 0 else 2 if i == n - 1 else 0
                self.pkt(product.apid, data[cut[i]:cut[i + 1]], flags=flags)

    def quats(self, ks, per_packet=2):
        ks = list(ks)
        for i in range(0, len(ks), per_packet):
            self.sec += 1
            self.pkt(QUATS_APID, b"".join(quat_record(k) for k in ks[i:i + per_packet]))

    def text(self):
        return "\n".join(self.lines) + "\n"

    def build(self, tlmbuild, path):
        subprocess.run([tlmbuild, path], input=self.text().encode(), check=True)


def tool_test_args():
    """The command line of the tool tests: the build's programs and a work
    folder; the rest goes to unittest."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True, help="hlc_edr")
    ap.add_argument("--dump", required=True, help="hlc_edr_dump")
    ap.add_argument("--tlmbuild", required=True)
    ap.add_argument("--tool", required=True, help="the tool under test")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--empty-products", help="writes EDRs of products without records")
    args, rest = ap.parse_known_args()
    return args, [sys.argv[0]] + rest


def fresh_dir(path):
    """An empty folder at path, whatever an earlier run left there."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def built(description, tlmbuild, path):
    """The bytes of the TLM file that description makes at path."""
    description.build(tlmbuild, path)
    with open(path, "rb") as f:
        return f.read()


def con_file(folder, tlmbuild, name="c.tlm"):
    """A TLM file of two Concentrator records in folder: its path and bytes."""
    d = Description()
    d.records(BY_MODULE["con_hk"], range(2))
    path = os.path.join(folder, name)
    return path, built(d, tlmbuild, path)


def without_system_programs():
    """Takes off the PATH every folder with a program of the system, so that
    the tools under test find only the build's."""
    os.environ["PATH"] = os.pathsep.join(
        d for d in os.environ.get("PATH", "").split(os.pathsep)
        if not any(os.path.exists(os.path.join(d, n)) for n in ("hlc_edr", "hlc_edr_dump", "hlc_edr_quicklook")))


# ---- streams ------------------------------------------------------------------

def interleaved(rounds, products=PRODUCTS, quats=True):
    """A description in which, round after round, every product sends a
    record and the packets of the products take turns: the segments of the
    segmented products overlap, so that a record of some APID is open
    almost everywhere in the round; only between rounds is none."""
    d = Description()
    for k in rounds:
        lanes = []
        for p in products:
            one = Description()
            one.sec, one.count = d.sec + 1, d.count
            one.records(p, [k], per_packet=1)
            lanes.append(one.lines)
        if quats:
            one = Description()
            one.sec = d.sec + 1
            one.quats([k])
            lanes.append(one.lines)
        for i in range(max(len(lane) for lane in lanes)):
            d.lines += [lane[i] for lane in lanes if i < len(lane)]
        d.sec += 2
    return d


def split_records(data):
    """The SFDU records of a TLM file: a 20-byte label, then as many bytes
    as its bytes 18-19 say."""
    out = []
    at = 0
    while at < len(data):
        size = 20 + struct.unpack_from(">H", data, at + 18)[0]
        out.append(data[at:at + size])
        at += size
    return out
