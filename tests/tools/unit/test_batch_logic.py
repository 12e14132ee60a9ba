"""The batch's pure logic (hlc_edr.batch): reading what hlc_edr_dump prints
(the products, the listing of an EDR), the summary's columns and rows, the
report page's links to files of any name, finding the PNGs that the
quick-look tool printed, the units chosen and the exit status."""
import csv
import html
import os
import shutil
import sys
import tempfile
import unittest
import urllib.parse

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
                                "python"))
from hlc_edr.batch import job, orchestrate, report  # noqa: E402

# Products as hlc_edr_dump --products names them: a few, in an order of
# their own, so that nothing can come from a list kept elsewhere.
PRODUCTS = ["gim_raw", "gim_diag", "con_hk", "xyz_new"]
HEAD = ["tlm", "unit", "outcome", "exit_status"]
TAIL = ["warnings", "seconds", "host", "output", "log", "skipped", "error", "quicklooks"]
# The listing of an EDR: a header, then per product its module name, its
# records and the SCLK times of its first and last record ("-" for none).
LISTING = """product      records first_seconds first_subseconds  last_seconds  last_subseconds
gim_raw            3     123456778            16384     123456783            32768
gim_diag           0             -                -             -                -
"""


def fs(raw):
    return os.fsdecode(raw)


class WhatTheDumpPrints(unittest.TestCase):
    def test_products_in_their_order(self):
        self.assertEqual(job.parse_products("\n".join(PRODUCTS) + "\n"), PRODUCTS)
        for text in ("", "\n", LISTING, "usage: hlc_edr_dump EDR    list the products\n", "con_hk\ncon_hk\n",
                     "hk\n", "con-hk\n"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                job.parse_products(text)

    def test_the_unit_of_a_product_is_its_name_up_to_the_first_underscore(self):
        self.assertEqual([job.unit_of(p) for p in PRODUCTS + ["gem_hk", "mec_f1d"]],
                         ["gim", "gim", "con", "xyz", "gem", "mec"])

    def test_records_per_product_from_the_listing(self):
        self.assertEqual(job.parse_listing(LISTING), {"gim_raw": 3, "gim_diag": 0})
        self.assertEqual(job.parse_listing(LISTING.splitlines()[0]), {})
        for text in ("", LISTING.split("\n", 1)[1], LISTING + "gim_hk  many\n", LISTING + "ERROR: damaged\n"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                job.parse_listing(text)


class Summary(unittest.TestCase):
    def test_a_record_column_per_product_in_the_dumps_order_then_the_quaternions(self):
        self.assertEqual(report.columns(PRODUCTS), HEAD + PRODUCTS + ["acs_quats"] + TAIL)

    def test_rows_as_text_with_counts_only_where_records_were_counted(self):
        folder = tempfile.mkdtemp(prefix="hlc_edr_summary.")
        self.addCleanup(shutil.rmtree, folder)
        tlm = fs(b"/data/x\xff\n.tlm")
        rows = [
            {"tlm": tlm, "unit": "gim", "outcome": "ok", "exit_status": 0, "gim_raw": 3, "gim_diag": 0,
             "warnings": 1, "error": "", "skipped": 0,
             "quicklooks": [["a.png", "", 0, 0], ["b.png", "", 0, 0]], "quicklook_error": ""},
            {"tlm": tlm, "unit": "con", "outcome": "failed", "exit_status": 255, "warnings": 0,
             "error": fs(b"ERROR: Bad SFDU Length in x\xff\tcut"), "skipped": 0},
            {"tlm": tlm, "unit": "acs", "outcome": "ok", "exit_status": 0, "acs_quats": 7, "skipped": 1,
             "quicklooks": [], "quicklook_error": fs(b"cannot read EDR /data/x\xff_con.hdf: cut\nshort")},
        ]
        path = os.path.join(folder, "summary.csv")
        report.write_summary(path, rows, PRODUCTS)
        with open(path, newline="", encoding="utf-8") as f:
            table = list(csv.reader(f))
        self.assertEqual(table[0], report.columns(PRODUCTS))
        got = [dict(zip(table[0], r)) for r in table[1:]]
        self.assertEqual([r["tlm"] for r in got], ["/data/x\\xff\\n.tlm"] * 3)
        self.assertEqual([[r[c] for c in PRODUCTS + ["acs_quats"]] for r in got],
                         [["3", "0", "", "", ""], ["", "", "", "", ""], ["", "", "", "", "7"]])
        self.assertEqual([r["error"] for r in got],
                         ["", "ERROR: Bad SFDU Length in x\\xff\\tcut",
                          "quick-look: cannot read EDR /data/x\\xff_con.hdf: cut\\nshort"])
        self.assertEqual([r["quicklooks"] for r in got], ["2", "", "0"])
        self.assertEqual(os.listdir(folder), ["summary.csv"])

    def test_the_page_lists_the_records_of_the_runs_unit(self):
        row = {"tlm": fs(b"/d/odd <b>&\xff.tlm"), "unit": "gim", "outcome": "ok", "gim_raw": 3, "gim_diag": 0,
               "con_hk": 5, "acs_quats": 2}
        page = report.page_row("/d/out", row, PRODUCTS)
        self.assertIn('<td class="records">gim_raw 3</td>', page)
        self.assertIn('<td class="file"><span title="/d/odd &lt;b&gt;&amp;\\xff.tlm">odd &lt;b&gt;&amp;\\xff.tlm'
                      '</span></td>', page)


class PageLinks(unittest.TestCase):
    """Links relative to the output folder that name the real files: their
    bytes percent-encoded, whatever the name holds."""

    def test_links_of_odd_names(self):
        out = "/data/out dir"
        names = [b"x\xff_con.log", b"two\nlines_con.hdf", b"odd <b>&\"'#_con.log", b"100%?.png", b"-x_quats.txt",
                 b"quicklook/x\xff_con/thumbs/x\xff_con_GIM_Raw.png"]
        for name in names:
            with self.subTest(name=name):
                url = report.page_url(out, fs(os.fsencode(out) + b"/" + name))
                self.assertRegex(url, r"\A[A-Za-z0-9/%._~-]+\Z")  # nothing an attribute or a URL reads otherwise
                self.assertEqual(urllib.parse.unquote_to_bytes(html.unescape(url)), name)


class PrintedPngs(unittest.TestCase):
    """The PNGs the quick-look tool named, one a line, in the order named;
    a name may hold a newline."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="hlc_edr_pngs.")
        self.addCleanup(shutil.rmtree, self.folder)
        self.pngs = {}
        for name in (b"s_con_A.png", b"b.png", b"a\nb.png", b"x\xff.png"):
            path = os.path.join(os.fsencode(self.folder), name)
            open(path, "wb").close()
            self.pngs[name] = fs(path)
        open(os.path.join(self.folder, "quicklook.log"), "wb").close()

    def line(self, name):
        return os.fsencode(self.pngs[name]) + b"\n"

    def test_named_in_order_and_a_name_with_a_newline_is_one_png(self):
        printed = self.line(b"x\xff.png") + self.line(b"a\nb.png") + self.line(b"s_con_A.png")
        self.assertEqual(job.printed_pngs(printed, self.folder),
                         ([self.pngs[b"x\xff.png"], self.pngs[b"a\nb.png"], self.pngs[b"s_con_A.png"]], True))

    def test_a_line_that_names_no_png_there(self):
        missing = os.fsencode(os.path.join(self.folder, "gone.png")) + b"\n"
        for extra in (missing, b"drawn\n", self.line(b"b.png")[:-5] + b"\n"):
            with self.subTest(extra=extra):
                found, named_all = job.printed_pngs(self.line(b"b.png") + extra, self.folder)
                self.assertEqual((found, named_all), ([self.pngs[b"b.png"]], False))


class ChoicesAndExitStatus(unittest.TestCase):
    def test_units_chosen(self):
        units = ["gim", "con", "xyz", "acs"]
        self.assertEqual(orchestrate.choose_units(None, units), units)
        self.assertEqual(orchestrate.choose_units(" acs ,con,acs", units), ["acs", "con"])
        for text in ("", ",", "gem", "con,gem"):
            with self.subTest(text=text), self.assertRaises(orchestrate.Refused) as e:
                orchestrate.choose_units(text, units)
            self.assertEqual(e.exception.status, 2)

    def test_exit_status_1_for_any_run_failed_not_run_or_without_its_quicklooks(self):
        def rows(*outcomes, quicklook_error=""):
            return [{"outcome": o, "skipped": 0, "quicklook_error": quicklook_error} for o in outcomes]

        self.assertEqual(orchestrate.tally_text(rows("ok", "no data"), 2, False),
                         ("2 runs: 1 ok, 1 no data, 0 failed, 0 not run (0 done before)", 0))
        self.assertEqual(orchestrate.tally_text(rows("ok", "failed"), 2, False)[1], 1)
        self.assertEqual(orchestrate.tally_text(rows("ok", "not run"), 2, False)[1], 1)
        self.assertEqual(orchestrate.tally_text(rows("ok", quicklook_error="cut"), 1, True),
                         ("1 runs: 1 ok, 0 no data, 0 failed, 0 not run (0 done before); "
                          "quick-looks failed for 1 EDRs", 1))


if __name__ == "__main__":
    unittest.main(verbosity=2)
