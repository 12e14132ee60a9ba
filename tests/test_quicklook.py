"""End-to-end test of tools/hlc_edr_quicklook: EDR files of every product that
the build has (--modules), made by hlc_edr from a builder TLM file with known
patterns, become one PNG per product. Each PNG is checked for its size, its
title (product, file, time range) and its plot areas: every housekeeping
panel holds a drawn line, one per numeric field stated for the product; a
spectrogram fills its area and, as the counts at level l are l + 1 whatever
the other dimensions, its colour brightens row by row from level 0 at the
bottom to the product's last level at the top. Floats that are not finite
leave gaps in their panels, nothing more."""
import json
import os
import struct
import subprocess
import sys
import unittest

import numpy as np
from PIL import Image

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import edr_patterns as ep  # noqa: E402

ARGS = None
RECORDS = 4


def coloured(pixels):
    """Pixels of a hue: neither white, black nor a grey of text and grid."""
    return (pixels.max(axis=-1).astype(int) - pixels.min(axis=-1)) > 60


def luminance(rgb):
    return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]


class QuicklookOfEveryProduct(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "quicklook"))
        d = ep.Description()
        for p in ep.PRODUCTS:
            d.records(p, range(RECORDS), patch=cls.not_finite if p.module == "mec_hk" else None)
        d.quats(range(2))
        tlm = os.path.join(cls.work, "patterns.tlm")
        d.build(ARGS.tlmbuild, tlm)
        cls.products = [p for p in ep.PRODUCTS if p.module in ARGS.modules]
        edrs = []
        for unit in sorted({p.unit for p in cls.products}):
            edrs.append(os.path.join(cls.work, "patterns_%s.hdf" % unit))
            subprocess.run([ARGS.program, "-inst", unit, "-tlm", tlm, "-edr", edrs[-1]],
                           stdout=subprocess.DEVNULL, check=True)
        # A quaternion text file is no EDR: reported, and the others still done.
        quats = os.path.join(cls.work, "patterns_quats.txt")
        subprocess.run([ARGS.program, "-inst", "acs", "-tlm", tlm, "-edr", quats],
                       stdout=subprocess.DEVNULL, check=True)
        cls.png_dir = os.path.join(cls.work, "png")
        cls.result = subprocess.run([ARGS.tool, quats] + edrs + ["-o", cls.png_dir], capture_output=True, text=True)

    @staticmethod
    def not_finite(k, data):
        """MEC housekeeping floats that no plot can show: infinity in
        gim_bg_level (offset 20) of record 1, NaN in proton_temp_curr (40) of
        record 2; the panels still show the other records."""
        if k == 1:
            struct.pack_into(">f", data, 20, float("inf"))
        if k == 2:
            struct.pack_into(">f", data, 40, float("nan"))

    def png(self, p):
        return os.path.join(self.png_dir, "patterns_%s_%s.png" % (p.unit, p.vdata))

    def test_one_png_per_product_and_the_text_file_refused(self):
        self.assertEqual(self.result.returncode, 1, self.result.stderr)
        self.assertIn("patterns_quats.txt: cannot read as an EDR", self.result.stderr)
        self.assertEqual(sorted(self.result.stdout.split()), sorted(self.png(p) for p in self.products))
        self.assertEqual(sorted(os.listdir(self.png_dir)), sorted(os.path.basename(self.png(p)) for p in self.products))
        self.assertTrue(self.products, "the build has no record module")

    def test_size_and_title(self):
        first, last = ep.PRODUCTS[0].time(0), ep.PRODUCTS[0].time(RECORDS - 1)
        for p in self.products:
            with self.subTest(product=p.vdata):
                self.assertGreater(os.path.getsize(self.png(p)), 5000)
                with Image.open(self.png(p)) as im:
                    w, h = im.size
                    title = im.text["Title"]
                self.assertTrue(600 <= w <= 3000 and 350 <= h <= 3000, (w, h))
                self.assertIn(p.vdata, title)
                self.assertIn("patterns_%s.hdf" % p.unit, title)
                self.assertIn("SCLK %.3f to %.3f s, %d records" % (first, last, RECORDS), title)

    def test_plot_areas_are_drawn(self):
        for p in self.products:
            with self.subTest(product=p.vdata), Image.open(self.png(p)) as im:
                rgb = np.asarray(im.convert("RGB"))  # rows from the top, then columns
                info = json.loads(im.text["Comment"])
                if p.counts:
                    self.assertEqual(info["kind"], "spectrogram")
                    self.assertEqual(len(info["areas"]), 1)
                    self.check_spectrogram(rgb, info["areas"][0]["box"], p.counts[0])
                else:
                    self.assertEqual(info["kind"], "fields")
                    self.assertEqual([a["name"] for a in info["areas"]], p.hk_fields)
                    for area in info["areas"]:
                        self.assertGreater(self.coloured_pixels(rgb, area["box"]), 30, area["name"])

    def coloured_pixels(self, rgb, box):
        x0, y0, x1, y1 = box
        return int(coloured(rgb[y0 + 2:y1 - 2, x0 + 2:x1 - 2]).sum())

    def check_spectrogram(self, rgb, box, levels):
        x0, y0, x1, y1 = box
        inner = (x1 - x0 - 4) * (y1 - y0 - 4)
        self.assertGreater(self.coloured_pixels(rgb, box), 0.9 * inner)
        row_height = (y1 - y0) / levels
        for x in (x0 + (x1 - x0) // 4, (x0 + x1) // 2, x1 - (x1 - x0) // 4):
            lum = [luminance(rgb[int(y1 - (level + 0.5) * row_height), x]) for level in range(levels)]
            for level in range(1, levels):
                self.assertGreater(lum[level], lum[level - 1], "level %d at x %d" % (level, x))


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    unittest.main(argv=argv, verbosity=2)
