"""End-to-end tests of tools/hlc_edr_quicklook: EDR files that hlc_edr
writes from builder TLM files with known patterns (tests/support/edr_patterns.py),
and damaged or special files, go through the tool in one run; the PNGs are
checked by their pixels against the plot areas and time axis that each PNG
states in its "Comment" chunk (JSON), one test per concern over a table of
cases:

- every product of the build gets one PNG with its title, drawn panels and a
  spectrogram that brightens level by level (counts at level l are l + 1);
- files that cannot be read (text, cut short, empty, damaged headers, a
  folder, a missing path) give one line each, the others are drawn, exit 1;
  an unusable output folder is one message and exit 2;
- time: cells begin at record starts and end where the record ends, a gap of
  6000 s stays blank, a repeated record time is merged with a note, long
  series become min/max envelopes, the time unit follows the span; with
  --sclk-epoch (the dump's form, an offset from UTC too) the axis is UTC,
  the epoch plus the SCLK seconds, and an epoch that is no time is a usage
  error;
- labels and marks: level axes say what the level is, colours are
  logarithmic unless --linear, zero counts differ from missing records,
  values that are not finite are marked, empty products say so, event times
  are markers; units, long names and flag rasters from the export's
  attributes; counts held as received are labelled as received codes, and
  values at the ceiling of their type are marked saturated, with a legend
  entry;
- status words: each single-bit flag and each state of an enumeration is a
  row that is on in exactly the records that have it; the counters and
  values that a word's comment names in its bits are panels of those
  numbers, not of the word;
- text: no two texts of a figure overlap and every text lies inside it, by
  matplotlib's own extents of the texts as the PNG is drawn, for every
  product and for fields of tiny, huge and offset values (whose factor and
  offset go into the axis label), with and without an epoch;
- the source of a product's variables: the tool's own reading of the EDR
  (the package's Datasets of its products) gives, pixel for pixel, the
  figure that the group of the product in hlc_edr_dump's netCDF export
  gives, and so does an xarray Dataset of that group, decoded.

The tool and the tests read the EDRs through the build's record library,
which HLC_EDR_LIBRARY names."""
import datetime
import io
import json
import os
import re
import struct
import subprocess
import sys
import types
import unittest

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot  # noqa: E402
import matplotlib.text  # noqa: E402
import netCDF4  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import edr_patterns as ep  # noqa: E402

ARGS = None
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RECORDS = 4
GAPPED = [0, 1, 2, 3, 103, 104, 104, 105, 106]  # a 6000 s gap, record 104 twice
LEVEL_WORDS = {"gem_mancal": "voltage level", "gem_normal": "ESA level of the cycle",
               "gem_raw": "voltage level", "gim_mancal": "voltage level",
               "gim_normal": "ESA level of the cycle", "gim_diag": "ESA level of the cycle",
               "gim_raw": "voltage level", "mec_f1d": "energy step"}
NOT_FINITE = (224, 0, 122)
SATURATED = (255, 90, 0)
EPOCH_GIVEN = "2000-01-01T13:30+01:30"   # 12:00 UTC
EPOCH_UTC = datetime.datetime(2000, 1, 1, 12)
# A status word's ranges of bits that its comment names: "bits 0-7: Name, what".
NAMED_BITS = re.compile(r"\bbits (\d+)-(\d+): (\w+)(?:, ([^;]*))?")
MEC_FLOATS = [16 + 4 * i for i in range(22)] + [112, 116, 120, 132, 136]
# Values of float fields that need a factor or an offset on their axis, by
# record k: tiny, huge, a large offset with small steps, tiny negative,
# a wide range, one value.
EXTREMES = [lambda k: 1e-8 * (1 + 0.3 * k), lambda k: 3e12 + 2e10 * k, lambda k: 50000 + 0.01 * k,
            lambda k: -2.5e-9 * (1 + k), lambda k: -1e-3 + 4e5 * k, lambda k: 7.5e-7]


def coloured(pixels):
    """Pixels of a hue: neither white, black nor a grey of text and grid."""
    return (pixels.max(axis=-1).astype(int) - pixels.min(axis=-1)) > 60


def luminance(rgb):
    return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]


def scaled_counts(product):
    """Counts of record k at level l: (l + 1) * (k + 1), so that neighbouring
    records differ; with `zero_level`, level 0 counts nothing."""
    levels, offsets, fmt = product.counts

    def patch(k, data, zero_level=False):
        for level in range(levels):
            for off in offsets(level):
                struct.pack_into(fmt, data, off, 0 if zero_level and level == 0 else (level + 1) * (k + 1) % 200)
    return patch


def set_float(offset, value, when=lambda k: True):
    def patch(k, data):
        if when(k):
            struct.pack_into(">f", data, offset, value)
    return patch


def extreme_mec_hk(k, data):
    """MEC housekeeping whose floats take the EXTREMES in turn, with
    HIST_ENTRIES just under its ceiling and extra_data near 2**32."""
    for i, off in enumerate(MEC_FLOATS):
        struct.pack_into(">f", data, off, EXTREMES[i % len(EXTREMES)](k))
    struct.pack_into(">H", data, 130, 65535 - k)
    struct.pack_into(">I", data, 140, 0xFFFFFFF0 + k)


def tiny_f1d(k, data):
    for level in range(40):
        struct.pack_into(">f", data, 8 + 4 * level, 1e-8 * (level + 1) * (k + 1))


# Concentrator status words of record k: APID_status holds the collection
# type k % 4 in bits 2-3 and the checksum flag (bit 0) in odd records;
# CMD_status the command counter 5 k + 3 in bits 0-7 and the bad-command
# flag (bit 8) in odd records.
def con_apid_status(k):
    return (k % 4) << 2 | k % 2


def con_cmd_status(k):
    return (5 * k + 3) | (0x100 if k % 2 else 0)


def status_con(k, data):
    struct.pack_into(">H", data, 6, con_apid_status(k))
    struct.pack_into(">H", data, 50, con_cmd_status(k))


# The counts of GEM normal record 2 at level 5 are all 255, the ceiling of
# their 8 bits; one count of GEM raw record 1 at level 3 is 65535.
SATURATED_RECORD = {"gem_normal": (2, 5), "gem_raw": (1, 3)}


def saturate(product):
    record, level = SATURATED_RECORD[product.module]
    levels, offsets, fmt = product.counts

    def patch(k, data):
        if k == record:
            at = offsets(level)
            for off in (at if fmt == ">B" else at[:1]):
                struct.pack_into(fmt, data, off, 255 if fmt == ">B" else 65535)
    return patch


def drawn_texts(fig):
    """The texts that drawing the figure into a PNG draws, with their
    extents in pixels as matplotlib's renderer measures them."""
    texts = []
    original = matplotlib.text.Text.draw

    def draw(self, renderer):
        original(self, renderer)
        if self.get_visible() and self.get_text().strip():
            texts.append((self.get_text(), self.get_window_extent(renderer)))
    matplotlib.text.Text.draw = draw
    try:
        fig.savefig(io.BytesIO(), format="png", dpi=fig.dpi)
    finally:
        matplotlib.text.Text.draw = original
    return texts


def overlapping(texts, slack=0.5):
    """Pairs of texts whose extents overlap by more than slack pixels."""
    out = []
    for i, (a, ba) in enumerate(texts):
        for b, bb in texts[i + 1:]:
            if min(ba.x1, bb.x1) - max(ba.x0, bb.x0) > slack and min(ba.y1, bb.y1) - max(ba.y0, bb.y0) > slack:
                out.append((a, b))
    return out


def quicklook_package():
    """hlc_edr.quicklook, the package that the tool under test loads (the
    one beside its launcher)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.realpath(ARGS.tool))), "python"))
    from hlc_edr import quicklook
    return quicklook


class Picture:
    def __init__(self, path):
        with Image.open(path) as im:
            self.rgb = np.asarray(im.convert("RGB")).astype(int)  # rows from the top
            self.info = json.loads(im.text["Comment"])
            self.title = im.text["Title"]
        self.areas = {a["name"]: a for a in self.info["areas"]}

    def px(self, area, t):
        """Pixel column of SCLK time t in an area."""
        x0, _, x1, _ = area["box"]
        tm = self.info["time"]
        lo, hi = tm["xlim"]
        return x0 + ((t - tm["origin"]) / tm["seconds_per_unit"] - lo) / (hi - lo) * (x1 - x0)

    def column(self, area, x):
        _, y0, _, y1 = area["box"]
        return self.rgb[y0 + 3:y1 - 2, int(round(x))]

    def inner(self, area):
        x0, y0, x1, y1 = area["box"]
        return self.rgb[y0 + 3:y1 - 2, x0 + 3:x1 - 2]

    def row_of_level(self, area, level, levels):
        _, y0, _, y1 = area["box"]
        return int(y1 - (level + 0.5) * (y1 - y0) / levels)


class Quicklook(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "quicklook"))
        cls.dump = ARGS.dump
        cls.make_edrs()
        first = cls.edrs[sorted(cls.edrs)[0]]
        cls.make_empty_tables()
        cls.make_bad_files(first)
        inputs = list(cls.bad.values())[:3] + list(cls.edrs.values()) + list(cls.bad.values())[3:]
        cls.png_dir = os.path.join(cls.work, "png")
        cls.result = subprocess.run([ARGS.tool, "-o", cls.png_dir] + inputs,
                                    capture_output=True, text=True)
        cls.linear = None
        if "align_gem" in cls.edrs:
            cls.linear = subprocess.run([ARGS.tool, "--linear", cls.edrs["align_gem"],
                                         "-o", os.path.join(cls.work, "linear")], capture_output=True, text=True)
        cls.bad_out = subprocess.run([ARGS.tool, first, "-o", os.path.join(first, "png")],
                                     capture_output=True, text=True)
        cls.utc = subprocess.run([ARGS.tool, "--sclk-epoch", EPOCH_GIVEN, cls.edrs["gapped_gem"],
                                  "-o", os.path.join(cls.work, "utc")], capture_output=True, text=True)
        cls.bad_epoch = [subprocess.run([ARGS.tool, "--sclk-epoch", epoch, first,
                                         "-o", os.path.join(cls.work, "bad_epoch")], capture_output=True, text=True)
                         for epoch in ("yesterday", "2000-02-30", "2000-01-01T24:00", "2000-01-01T12:00+01:")]

    @classmethod
    def make_edrs(cls):
        """The EDRs that hlc_edr writes from builder files, by name."""
        P = ep.BY_MODULE
        # Every product, with floats that are not finite in MEC housekeeping:
        # infinity in gim_bg_level (offset 20) of record 1, NaN in
        # proton_temp_curr (40) of record 2.
        mec_bad = lambda k, d: (set_float(20, float("inf"), lambda k: k == 1)(k, d),  # noqa: E731
                                set_float(40, float("nan"), lambda k: k == 2)(k, d))
        cls.products = list(ep.PRODUCTS)
        every = [(p, range(RECORDS), mec_bad if p.module == "mec_hk" else None) for p in cls.products]
        edrs = {"patterns_" + u: [e for e in every if e[0].unit == u] for u in sorted({p.unit for p in cls.products})}
        shock = lambda k, d: struct.pack_into(">II", d, 104, ep.T0 + 90, 0)  # noqa: E731
        cases = {
            "align_gem": [(P["gem_mancal"], range(RECORDS), scaled_counts(P["gem_mancal"])),
                          (P["gem_normal"], range(RECORDS), scaled_counts(P["gem_normal"]))],
            "gapped_gem": [(P["gem_hk"], GAPPED, None),
                           (P["gem_mancal"], GAPPED, lambda k, d: scaled_counts(P["gem_mancal"])(k, d, True))],
            "gapped_mec": [(P["mec_f1d"], GAPPED, set_float(8 + 4 * 5, float("nan"), lambda k: k % 3 == 0)),
                           (P["mec_hk"], GAPPED, shock)],
            "long_con": [(P["con_hk"], list(range(1500)) + list(range(1600, 3000)),
                          lambda k, d: struct.pack_into(">H", d, 8, 100 * (k % 2)))],
            "days_mec": [(P["mec_f1d"], [0, 1, 2, 15000, 15001], None)],
            "zero_gem": [(P["gem_mancal"], range(RECORDS), lambda k, d: d.__setitem__(slice(14, 49), bytes(35)))],
            "nan_mec": [(P["mec_f1d"], range(RECORDS), lambda k, d: [set_float(8 + 4 * i, float("nan"))(k, d)
                                                                     for i in range(40)])],
            "extreme_mec": [(P["mec_f1d"], range(6), tiny_f1d), (P["mec_hk"], range(6), extreme_mec_hk)],
            "status_con": [(P["con_hk"], range(8), status_con)],
            "saturated_gem": [(P["gem_normal"], range(RECORDS), saturate(P["gem_normal"])),
                              (P["gem_raw"], range(RECORDS), saturate(P["gem_raw"]))],
        }
        edrs.update(cases)
        cls.edrs = {}
        for name, parts in edrs.items():
            d = ep.Description()
            for product, ks, patch in parts:
                d.records(product, ks, patch=patch)
            tlm = os.path.join(cls.work, name + ".tlm")
            d.build(ARGS.tlmbuild, tlm)
            cls.edrs[name] = os.path.join(cls.work, name + ".hdf")
            subprocess.run([ARGS.program, "-inst", parts[0][0].unit, "-tlm", tlm, "-edr", cls.edrs[name]],
                           stdout=subprocess.DEVNULL, check=True)

    @classmethod
    def make_empty_tables(cls):
        """Products with no records: their Vgroups, descriptions, tables and
        SDS as the record modules create them, without a single record."""
        path = cls.edrs["norecords"] = os.path.join(cls.work, "norecords.hdf")
        modules = ["con_hk", "gem_normal", "mec_f1d"]
        subprocess.run([ARGS.empty_products, path] + modules, check=True)

    @classmethod
    def make_bad_files(cls, first):
        """Files that are no EDR, or damaged ones."""
        bad = {"text": os.path.join(cls.work, "quats.txt"), "cut": os.path.join(cls.work, "cut.hdf"),
               "empty": os.path.join(cls.work, "empty.hdf"), "folder": os.path.join(cls.work, "folder.hdf"),
               "missing": os.path.join(cls.work, "missing.hdf"),
               "header": os.path.join(TOP, "tools", "fuzz", "dump_corpus", "con-vdata-order")}
        with open(bad["text"], "w") as f:
            f.write("1000000000.500000 0.5 -0.5 0.5 0.5\n")
        with open(first, "rb") as src, open(bad["cut"], "wb") as dst:
            dst.write(src.read()[:os.path.getsize(first) // 2])
        open(bad["empty"], "wb").close()
        os.mkdir(bad["folder"])
        cls.bad = bad

    def picture(self, edr, product, folder="png"):
        p = ep.BY_MODULE[product] if isinstance(product, str) else product
        path = os.path.join(self.work, folder, "%s_%s.png" % (edr, p.vdata))
        self.assertTrue(os.path.exists(path), path)
        return Picture(path)

    def need(self, edr):
        if edr not in self.edrs:
            self.skipTest("the build lacks the record modules of %s" % edr)

    def export_of(self, edr, epoch=None):
        """The dump's netCDF-4 export of an EDR (with an SCLK epoch), made once."""
        nc = os.path.join(self.work, os.path.basename(edr) + (".utc" if epoch else "") + ".nc")
        if not os.path.exists(nc):
            subprocess.run([self.dump, edr, "--netcdf", nc] + (["--sclk-epoch", epoch] if epoch else []),
                           check=True, stdout=subprocess.DEVNULL)
        return nc

    def export_attributes(self, name):
        """Variables of the dump's export of the pattern EDRs that carry the
        attribute `name`: (module, variable name) -> value."""
        found = {}
        for edr in (e for n, e in self.edrs.items() if n.startswith("patterns_")):
            with netCDF4.Dataset(self.export_of(edr)) as ds:
                for g in ds.groups.values():
                    for v in g.variables.values():
                        if name in v.ncattrs():
                            found[(g.name, v.name)] = v.getncattr(name)
        if not found:
            self.skipTest("the netCDF export carries no %s attributes yet" % name)
        return found

    # ---- every product ------------------------------------------------------

    def test_every_product_drawn(self):
        self.assertTrue(self.products, "the build has no record module")
        first, last = ep.PRODUCTS[0].time(0), ep.PRODUCTS[0].time(RECORDS - 1)
        for p in self.products:
            with self.subTest(product=p.vdata):
                pic = self.picture("patterns_" + p.unit, p)
                self.assertIn("%s  -  patterns_%s.hdf" % (p.vdata, p.unit), pic.title)
                self.assertIn("SCLK %.3f to %.3f s, %d records" % (first, last, RECORDS), pic.title)
                h, w, _ = pic.rgb.shape
                self.assertTrue(600 <= w <= 3000 and 350 <= h <= 3000, (w, h))
                if p.counts:
                    area = pic.areas["counts" if p.module != "mec_f1d" else "f1d_ion_distr"]
                    self.assertGreater(coloured(pic.inner(area)).mean(), 0.95)
                    levels = p.counts[0]
                    for x in np.linspace(area["box"][0] + 4, area["box"][2] - 4, 5):
                        lum = [luminance(pic.rgb[pic.row_of_level(area, lv, levels), int(x)]) for lv in range(levels)]
                        self.assertTrue(all(b > a for a, b in zip(lum, lum[1:])), (x, lum))
                    continue
                events = [f for f in p.hk_fields if f.startswith("TIME_OF_")]
                fields = {name for name in pic.areas if " bits " not in name}  # status words' numbers aside
                self.assertEqual(sorted(fields), sorted(set(p.hk_fields) - set(events) | ({"events"} if events else set())))
                for area in pic.info["areas"]:
                    if area["kind"] == "series":
                        self.assertGreater(int(coloured(pic.inner(area)).sum()), 30, area["name"])

    def test_not_finite_values_marked(self):
        self.need("patterns_mec")
        pic = self.picture("patterns_mec", "mec_hk")
        for name in ("gim_bg_level", "proton_temp_curr"):
            area = pic.areas[name]
            self.assertIn("1 value not finite (x)", area["notes"])
            x0, y0, x1, y1 = area["box"]
            self.assertTrue((np.abs(pic.rgb[y0:y1 + 8, x0:x1] - NOT_FINITE).sum(axis=-1) < 60).any(), name)
        pic = self.picture("gapped_mec", "mec_f1d")
        area = pic.areas["f1d_ion_distr"]
        self.assertEqual(area["notes"], ["3 values not finite"])
        t = ep.BY_MODULE["mec_f1d"].time
        row = pic.row_of_level(area, 5, 40)
        for k, bad in ((0, True), (1, False), (3, True), (104, False), (105, True)):
            x = pic.px(area, t(k) + 20)
            self.assertEqual(bool((np.abs(pic.rgb[row, int(x)] - NOT_FINITE) < 20).all()), bad, k)

    # ---- files that cannot be read --------------------------------------------

    def test_unreadable_files_reported_others_drawn(self):
        self.assertEqual(self.result.returncode, 1, self.result.stderr)
        lines = self.result.stderr.splitlines()
        self.assertNotIn("Traceback", self.result.stderr)
        for case, path in self.bad.items():
            with self.subTest(case=case):
                mine = [line for line in lines if path in line]
                self.assertEqual(len(mine), 1, lines)
                self.assertTrue(mine[0].startswith("hlc_edr_quicklook: cannot read EDR %s: " % path), mine[0])
        self.assertEqual(len(lines), len(self.bad), lines)
        written = self.result.stdout.split()
        self.assertEqual(sorted(written), sorted(os.path.join(self.png_dir, f) for f in os.listdir(self.png_dir)))
        for name in self.edrs:
            self.assertTrue(any(os.path.basename(w).startswith(name + "_") for w in written), name)

    def test_unusable_output_folder(self):
        self.assertEqual(self.bad_out.returncode, 2)
        self.assertEqual(self.bad_out.stdout, "")
        self.assertEqual(len(self.bad_out.stderr.splitlines()), 1, self.bad_out.stderr)
        self.assertIn("cannot write PNG files in", self.bad_out.stderr)

    def test_empty_products_say_so(self):
        cases = [("norecords", "mec_f1d", "f1d_ion_distr", "no records"),
                 ("norecords", "con_hk", "Concentrator_Housekeeping", "no records"),
                 ("norecords", "gem_normal", "counts", "no records"),
                 ("zero_gem", "gem_mancal", "counts", "all counts are zero"),
                 ("nan_mec", "mec_f1d", "f1d_ion_distr", "no finite value")]
        for edr, module, area_name, note in cases:
            with self.subTest(edr=edr, product=module):
                pic = self.picture(edr, module)
                area = pic.areas[area_name]
                self.assertIn(note, area["notes"])
                self.assertFalse(area.get("colorbar"))

    # ---- time ---------------------------------------------------------------

    def test_cells_begin_at_record_starts(self):
        """Record k's cell starts at its own time and keeps one colour to its
        end: the next start (one spin) or the end of its four spins."""
        self.need("align_gem")
        for module, duration in (("gem_mancal", None), ("gem_normal", 60.0)):
            with self.subTest(product=module):
                p = ep.BY_MODULE[module]
                pic = self.picture("align_gem", p)
                area = pic.areas["counts"]
                tm = pic.info["time"]
                ends = [p.time(k + 1) for k in range(RECORDS - 1)] + [p.time(RECORDS - 1) + (duration or 60.125)]
                self.assertAlmostEqual(tm["xlim"][0], (p.time(0) - tm["origin"]) / tm["seconds_per_unit"])
                self.assertAlmostEqual(tm["xlim"][1], (ends[-1] - tm["origin"]) / tm["seconds_per_unit"])
                row = pic.row_of_level(area, p.counts[0] - 1, p.counts[0])
                colours = []
                for k in range(RECORDS):
                    a, b = pic.px(area, p.time(k)) + 3, pic.px(area, ends[k]) - 3
                    colours.append(pic.rgb[row, int(a)])
                    self.assertTrue((np.abs(pic.rgb[row, int(a)] - pic.rgb[row, int(b)]) <= 2).all(), k)
                    if k:
                        self.assertFalse((np.abs(colours[k] - colours[k - 1]) <= 2).all(), k)

    def test_gap_blank_and_duplicate_merged(self):
        cases = [("gapped_gem", "gem_mancal", "counts"), ("gapped_gem", "gem_hk", "MON_5V"),
                 ("gapped_mec", "mec_f1d", "f1d_ion_distr"), ("long_con", "con_hk", "MON_5V")]
        for edr, module, area_name in cases:
            with self.subTest(edr=edr, product=module):
                self.need(edr)
                p = ep.BY_MODULE[module]
                pic = self.picture(edr, p)
                area = pic.areas[area_name]
                start, end = (p.time(3), p.time(103)) if edr != "long_con" else (p.time(1499), p.time(1600))
                lo, hi = pic.px(area, start + 90), pic.px(area, end)
                self.assertGreater(hi - lo, 4)
                for x in np.arange(int(lo) + 2, int(hi) - 1):
                    self.assertFalse(coloured(pic.column(area, x)).any(), x)
                self.assertIn("1 gap longer than 90.2 s left blank", pic.info["notes"])
                self.assertEqual(pic.info["duplicates"], 0 if edr == "long_con" else 1)
                if edr != "long_con":
                    self.assertIn("1 record with a repeated time merged", pic.info["notes"])
                    self.assertEqual(pic.info["mode"], "records")
                self.assertIn("after SCLK %d" % ep.T0, area["xlabel"])

    def test_long_series_drawn_as_envelope(self):
        """elec_req alternates 0 and 100 from record to record: every
        pixel column of the decimated panel spans both."""
        self.need("long_con")
        pic = self.picture("long_con", "con_hk")
        self.assertEqual(pic.info["mode"], "decimated")
        area = pic.areas["elec_req"]
        inner = coloured(pic.inner(area))
        drawn = inner.any(axis=0)
        self.assertGreater(drawn.mean(), 0.9)
        heights = [np.flatnonzero(c).ptp() for c in inner.T[drawn]]
        self.assertGreater(np.median(heights), 0.8 * inner.shape[0])

    def test_time_unit_follows_span(self):
        cases = [("align_gem", "gem_mancal", "seconds"), ("gapped_gem", "gem_mancal", "minutes"),
                 ("long_con", "con_hk", "hours"), ("days_mec", "mec_f1d", "days")]
        for edr, module, unit in cases:
            with self.subTest(edr=edr):
                self.need(edr)
                pic = self.picture(edr, module)
                self.assertEqual(pic.info["time"]["unit"], unit)
                self.assertEqual(pic.info["time"]["origin"], ep.T0)
                self.assertTrue(all(a["xlabel"] == "%s after SCLK %d" % (unit, ep.T0) for a in pic.info["areas"]))

    # ---- labels and colours ---------------------------------------------------

    def test_level_axes_and_colour_scale(self):
        self.need("align_gem")
        for p in self.products:
            if p.counts:
                with self.subTest(product=p.vdata):
                    area = self.picture("patterns_" + p.unit, p).info["areas"][0]
                    self.assertTrue(area["ylabel"].startswith("%s (0-%d)" % (LEVEL_WORDS[p.module], p.counts[0] - 1)),
                                    area["ylabel"])
        self.assertEqual(self.linear.returncode, 0, self.linear.stderr)
        for folder, norm in (("png", "log"), ("linear", "linear")):
            self.assertEqual(self.picture("align_gem", "gem_mancal", folder).info["norm"], norm)

    def test_zero_counts_differ_from_missing_records(self):
        self.need("gapped_gem")
        p = ep.BY_MODULE["gem_mancal"]
        pic = self.picture("gapped_gem", p)
        area = pic.areas["counts"]
        row = pic.row_of_level(area, 0, p.counts[0])
        zero = pic.rgb[row, int(pic.px(area, p.time(1) + 30))]
        missing = pic.rgb[row, int(pic.px(area, p.time(50)))]
        self.assertTrue((missing >= 250).all(), missing)
        self.assertTrue(150 < zero.mean() < 240 and zero.ptp() < 10, zero)

    def test_event_times_are_markers(self):
        self.need("gapped_mec")
        pic = self.picture("gapped_mec", "mec_hk")
        area = pic.areas["events"]
        self.assertEqual(area["events"], ["TIME_OF_SHOCK", "TIME_OF_CME"])
        self.assertNotIn("TIME_OF_SHOCK", pic.areas)
        marks = np.flatnonzero(coloured(pic.inner(area)).any(axis=0)) + area["box"][0] + 3
        self.assertTrue(len(marks))
        self.assertLess(np.abs(marks - pic.px(area, ep.T0 + 90)).max(), 6)

    def test_labels_carry_units_and_long_names(self):
        units = self.export_attributes("units")
        long_names = self.export_attributes("long_name")
        for p in self.products:
            pic = self.picture("patterns_" + p.unit, p)
            for area in pic.info["areas"]:
                text = " ".join(str(area.get(k) or "") for k in ("title", "ylabel", "colorbar")).replace("\n", " ")
                unit, long_name = units.get((p.module, area["name"])), long_names.get((p.module, area["name"]))
                with self.subTest(product=p.vdata, field=area["name"]):
                    if unit and unit != "1":
                        self.assertIn(unit, text)
                    if long_name:  # long ones are cut short in a panel's title
                        self.assertIn(" ".join(long_name.split()[:4]), text)

    def test_status_words_drawn_as_bit_rasters(self):
        masks = self.export_attributes("flag_masks")
        meanings = self.export_attributes("flag_meanings")
        for p in self.products:
            pic = self.picture("patterns_" + p.unit, p)
            for (module, name), value in meanings.items():
                if module == p.module and name in pic.areas and np.ndim(masks.get((module, name))) <= 1:
                    with self.subTest(product=p.vdata, field=name):
                        self.assertEqual(pic.areas[name]["kind"], "flags")
                        self.assertEqual(pic.areas[name]["flags"], value.split())

    # ---- status words ---------------------------------------------------------

    def test_flags_and_states_on_in_their_records(self):
        """A row per single-bit flag and per state of an enumeration, dark in
        exactly the records in which it is on: con_hk's checksum flag and
        bad-command flag in odd records, Sample_Mode and the bad-parameter
        flag never, COLLECTION_TYPE_s in records k with k % 4 == s."""
        self.need("status_con")
        p = ep.BY_MODULE["con_hk"]
        pic = self.picture("status_con", p)
        on = {"Checksum_Error_Occ_Indication": lambda k: k % 2 == 1, "Sample_Mode": lambda k: False,
              "CMD_Status_Bad_Command_Flag": lambda k: k % 2 == 1, "CMD_Status_Bad_Parameter_Flag": lambda k: False}
        on.update({"COLLECTION_TYPE_%d" % s: (lambda s: lambda k: k % 4 == s)(s) for s in range(4)})
        self.assertEqual(pic.areas["APID_status"]["flags"],
                         ["Checksum_Error_Occ_Indication", "Sample_Mode"] + ["COLLECTION_TYPE_%d" % s for s in range(4)])
        for word in ("APID_status", "CMD_status"):
            area = pic.areas[word]
            self.assertEqual(area["kind"], "flags")
            _, y0, _, y1 = area["box"]
            rows = area["flags"]
            for r, flag in enumerate(rows):
                y = int(y0 + (r + 0.5) * (y1 - y0) / len(rows))
                for k in range(8):
                    rgb = pic.rgb[y, int(pic.px(area, p.time(k) + 30))]
                    with self.subTest(word=word, flag=flag, record=k):
                        self.assertEqual(luminance(rgb) < 100, on[flag](k), rgb)

    def test_numbers_in_status_words_drawn_as_values(self):
        """The counters and values that a status word's comment names in its
        bits ("bits A-B: Name, what"; spare and reserved bits aside) are
        panels "WORD bits A-B" of the number in those bits: CMD_status's
        command counter runs from 3 to 38 while the word, with bit 8, reaches
        294."""
        self.need("status_con")
        area = self.picture("status_con", "con_hk").areas["CMD_status bits 0-7"]
        self.assertEqual((area["kind"], area["field"], area["bits"]), ("series", "CMD_status", [0, 7]))
        counter = [con_cmd_status(k) & 0xFF for k in range(8)]
        lo, hi = area["ylim"]
        self.assertTrue(lo <= min(counter) and max(counter) <= hi < 60, area["ylim"])
        self.assertIn("Command_Status_Counter", area["title"])
        comments, masks = self.export_attributes("comment"), self.export_attributes("flag_masks")
        for p in (p for p in self.products if p.hk_fields):  # count products draw their counts alone
            named = set()
            for (module, name), comment in comments.items():
                if module == p.module and (module, name) in masks:
                    for low, high, what_name, what in NAMED_BITS.findall(comment):
                        if not (what_name.lower() in ("spare", "reserved") or what.startswith(("spare", "reserved"))):
                            named.add("%s bits %s-%s" % (name, low, high))
            with self.subTest(product=p.vdata):
                pic = self.picture("patterns_" + p.unit, p)
                self.assertEqual(sorted(a for a in pic.areas if " bits " in a), sorted(named))

    # ---- received codes and saturation -----------------------------------------

    def test_received_codes_labelled_and_saturation_marked(self):
        """8-bit counts held as received are labelled received codes, 16-bit
        raw counts are not; a value at the ceiling of its type (255, 65535)
        makes its cell the saturated colour, with a legend entry, and no
        other cell."""
        self.need("saturated_gem")
        for module, ceiling, codes in (("gem_normal", 255, True), ("gem_raw", 65535, False)):
            with self.subTest(product=module):
                p = ep.BY_MODULE[module]
                pic = self.picture("saturated_gem", p)
                area = pic.areas["counts"]
                self.assertEqual("received codes" in area["colorbar"], codes, area["colorbar"])
                self.assertIn("saturated (%d)" % ceiling, area["legend"])
                record, level = SATURATED_RECORD[module]
                for k in range(RECORDS):
                    for lv in (level - 1, level, level + 1):
                        rgb = pic.rgb[pic.row_of_level(area, lv, p.counts[0]), int(pic.px(area, p.time(k) + 30))]
                        self.assertEqual(bool((np.abs(rgb - SATURATED) < 30).all()), (k, lv) == (record, level),
                                         (k, lv, rgb))
        for p in self.products:
            if p.counts:
                with self.subTest(product=p.vdata):
                    area = self.picture("patterns_" + p.unit, p).info["areas"][0]
                    self.assertEqual("received codes" in area["colorbar"], p.counts[2] == ">B", area["colorbar"])
                    self.assertFalse([e for e in area["legend"] if e.startswith("saturated")])

    # ---- UTC ----------------------------------------------------------------------

    def test_utc_axis_with_an_epoch(self):
        """With --sclk-epoch 2000-01-01T13:30+01:30 (12:00 UTC) the time axis
        is UTC: the record after the gap, at SCLK t, starts where the tick
        labels read 12:00 UTC + t seconds; the title gives the UTC of the
        first and the last record."""
        self.need("gapped_gem")
        self.assertEqual(self.utc.returncode, 0, self.utc.stderr)
        p = ep.BY_MODULE["gem_mancal"]
        pic = self.picture("gapped_gem", p, folder="utc")
        tm = pic.info["time"]
        self.assertEqual((tm["scale"], tm["epoch"]), ("UTC", "2000-01-01 12:00:00"))
        self.assertEqual(self.picture("gapped_gem", "gem_hk", folder="utc").info["time"], tm)

        def utc(t):
            return EPOCH_UTC + datetime.timedelta(seconds=t)
        self.assertIn("UTC %s to %s" % tuple(utc(p.time(k)).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
                                              for k in (GAPPED[0], GAPPED[-1])), pic.title)
        area = pic.areas["counts"]
        self.assertTrue(area["xlabel"].startswith("UTC"), area["xlabel"])
        x0, _, x1, _ = area["box"]
        row = pic.row_of_level(area, p.counts[0] - 1, p.counts[0])
        blank = np.concatenate(([False], ~coloured(pic.rgb[row, x0 + 2:x1 - 2]), [False])).astype(int)
        starts, ends = np.flatnonzero(np.diff(blank) == 1), np.flatnonzero(np.diff(blank) == -1)
        after_gap = x0 + 2 + ends[np.argmax(ends - starts)]  # the first column of record 103
        lo, hi = tm["xlim"]
        ticks = [(x0 + (v - lo) / (hi - lo) * (x1 - x0), 3600 * int(text[:2]) + 60 * int(text[3:]))
                 for v, text in area["xticks"] if re.fullmatch(r"\d\d:\d\d", text)]
        self.assertGreaterEqual(len(ticks), 2, area["xticks"])
        (pa, sa), (pb, sb) = ticks[0], ticks[-1]
        per_pixel = (sb - sa) / (pb - pa)
        t = utc(p.time(103))
        expected = 3600 * t.hour + 60 * t.minute + t.second + t.microsecond / 1e6
        self.assertLess(abs(sa + (after_gap - pa) * per_pixel - expected), 3 * per_pixel, (ticks, after_gap))

    def test_epoch_that_is_no_time_is_a_usage_error(self):
        for run in self.bad_epoch:
            with self.subTest(stderr=run.stderr):
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stdout, "")
                self.assertIn("--sclk-epoch", run.stderr.splitlines()[-1])
        folder = os.path.join(self.work, "bad_epoch")
        self.assertFalse(os.path.isdir(folder) and os.listdir(folder))

    # ---- text ---------------------------------------------------------------------

    def test_factor_and_offset_in_axis_labels(self):
        """Fields of tiny, huge and offset values: the factor (x1e-8) or the
        offset (+50000) of their tick labels stands in the axis label."""
        self.need("extreme_mec")
        pic = self.picture("extreme_mec", "mec_hk")
        names = ep.HK_MEC[8:30] + ep.HK_MEC[32:35] + ep.HK_MEC[39:41]  # the fields at MEC_FLOATS
        self.assertEqual(len(names), len(MEC_FLOATS))
        needs = ["\u00d71e-8", "\u00d71e12", "+50000", "\u00d71e-", "\u00d71e", "\u00d71e-7"]
        for i, name in enumerate(names):
            with self.subTest(field=name):
                self.assertIn(needs[i % len(EXTREMES)], pic.areas[name]["ylabel"])

    def test_no_text_over_text(self):
        """Every text of every figure, as drawn into the PNG and measured by
        matplotlib's renderer, lies inside the figure and overlaps no other:
        every product, the products of tiny, huge and offset values, and with
        an epoch and linear colours those and the products of status words
        and of saturated counts."""
        ql = quicklook_package()
        cases = [(name, None, False) for name in sorted(self.edrs) if name.startswith("patterns_")]
        cases += [("extreme_mec", None, False)] + [(name, EPOCH_GIVEN, True) for name in
                                                   ("extreme_mec", "status_con", "saturated_gem")]
        for name, epoch, linear in cases:
            args = types.SimpleNamespace(dpi=80, linear=linear, sclk_epoch=ql.Epoch(epoch) if epoch else None)
            with ql.edr_products(self.edrs[name], args) as (_, groups):
                for group in groups:
                    fig, _ = ql.figure_of(ql.Product(group), self.edrs[name], args)
                    try:
                        texts = drawn_texts(fig)
                    finally:
                        matplotlib.pyplot.close(fig)
                    w, h = fig.get_size_inches() * fig.dpi
                    with self.subTest(edr=name, product=group.name, epoch=epoch):
                        self.assertGreater(len(texts), 5)
                        self.assertEqual(overlapping(texts), [])
                        self.assertEqual([t for t, b in texts if b.x0 < -1 or b.y0 < -1 or b.x1 > w + 1 or b.y1 > h + 1],
                                         [])

    # ---- the source of the variables -------------------------------------------------

    def test_every_source_draws_the_same(self):
        """A product as the tool reads it (the package's Dataset of the EDR's
        product, opened undecoded), and as an xarray Dataset of the export's
        group (decoded as xarray decodes it), gives the figure that the
        export's netCDF group gives, with and without an epoch."""
        import xarray
        ql = quicklook_package()

        def drawn(edr, group, args):
            fig, meta = ql.figure_of(ql.Product(group), edr, args)
            png = io.BytesIO()
            try:
                fig.savefig(png, format="png", dpi=fig.dpi)
            finally:
                matplotlib.pyplot.close(fig)
            with Image.open(png) as im:
                return meta, np.asarray(im.convert("RGB"))

        cases = [(name, None) for name in sorted(self.edrs) if name.startswith("patterns_")]
        cases += [(name, None) for name in ("status_con", "saturated_gem", "gapped_mec", "norecords")]
        cases += [("gapped_gem", EPOCH_GIVEN), ("extreme_mec", EPOCH_GIVEN)]
        for name, epoch in cases:
            edr = self.edrs[name]
            args = types.SimpleNamespace(dpi=80, linear=False, sclk_epoch=ql.Epoch(epoch) if epoch else None)
            nc = self.export_of(edr, epoch)
            with netCDF4.Dataset(nc) as ds:
                ds.set_auto_maskandscale(False)
                expected = {m: drawn(edr, netcdf_group(ql, g), args) for m, g in ds.groups.items()}
            with ql.edr_products(edr, args) as (warnings, groups):
                got = {g.name: drawn(edr, g, args) for g in groups}
            self.assertEqual(warnings, [])
            with self.subTest(edr=name, epoch=epoch):
                self.assertEqual(list(got), list(expected))
            for module, (meta, pixels) in expected.items():
                with self.subTest(edr=name, product=module, epoch=epoch, source="the EDR"):
                    self.assertEqual(got[module][0], meta)
                    self.assertTrue((got[module][1] == pixels).all())
                if epoch is None:
                    with self.subTest(edr=name, product=module, source="xarray"), \
                            xarray.open_dataset(nc, group=module) as ds:
                        got_meta, got_pixels = drawn(edr, ql.xarray_group(ds, module), args)
                        self.assertEqual(got_meta, meta)
                        self.assertTrue((got_pixels == pixels).all())


def netcdf_group(ql, group):
    """The tool's product (ql.Group) of a group of a netCDF-4 file
    (hlc_edr_dump's export) read with netCDF4, the file's masking and
    scaling off: values as stored."""
    def reader(v):
        return lambda a, b: v[a:b]
    variables = {name: ql.Variable(name, v.dimensions, v.shape, v.dtype,
                                   {k: v.getncattr(k) for k in v.ncattrs()}, reader(v))
                 for name, v in group.variables.items()}
    return ql.Group(group.name, {k: group.getncattr(k) for k in group.ncattrs()},
                    {name: len(d) for name, d in group.dimensions.items()}, variables)


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    unittest.main(argv=argv, verbosity=2)
