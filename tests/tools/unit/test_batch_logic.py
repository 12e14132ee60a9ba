"""The batch's pure logic (hlc_edr.batch): reading what hlc_edr_dump prints
(the products, the listing of an EDR and its record times), the summary's
columns and rows, the report page's rows, links to files of any name and
the runs it puts first, finding the PNGs that the quick-look tool printed,
the units chosen, the exit status, and reading what Slurm says of the
tasks of a job array."""
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
from hlc_edr._tools import Epoch  # noqa: E402
from hlc_edr.batch import job, orchestrate, report, slurm  # noqa: E402

# Products as hlc_edr_dump --products names them: a few, in an order of
# their own, so that nothing can come from a list kept elsewhere.
PRODUCTS = ["gim_raw", "gim_diag", "con_hk", "xyz_new"]
HEAD = ["tlm", "unit", "outcome", "exit_status"]
TAIL = ["warnings", "warning_lines", "seconds", "quicklook_seconds", "tlm_bytes", "edr_bytes", "first_sclk",
        "last_sclk", "first_utc", "last_utc", "host", "output", "log", "skipped", "error", "quicklooks",
        "not_delivered", "work_file"]
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


class RecordTimes(unittest.TestCase):
    def test_the_first_and_last_record_of_an_edr_from_the_listing(self):
        # gim_diag has no records: its "-" times count for nothing.
        self.assertEqual(job.listing_times(LISTING), (123456778 + 16384 / 65536, 123456783 + 32768 / 65536))
        self.assertIsNone(job.listing_times(LISTING.splitlines()[0]))
        self.assertIsNone(job.listing_times("\n".join(LISTING.splitlines()[::2])))

    def test_the_lines_and_times_of_a_quaternion_text(self):
        folder = tempfile.mkdtemp(prefix="hlc_edr_quats.")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "q.txt")
        with open(path, "w") as f:
            f.write("0123456780:128 2.0e-01 4.0e-01 4.0e-01 8.0e-01\n"
                    "0123456786:064 5.0e-01 -5.0e-01 5.0e-01 5.0e-01\n")
        self.assertEqual(job.text_lines_and_times(path), (2, (123456780.5, 123456786.25)))
        open(path, "w").close()
        self.assertEqual(job.text_lines_and_times(path), (0, None))


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


class MorningRows(unittest.TestCase):
    """What the summary and the page show of a run beyond its counts."""

    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="hlc_edr_rows.")
        self.addCleanup(shutil.rmtree, self.out)
        self.ok = {"tlm": "/d/a.tlm", "unit": "con", "outcome": "ok", "warnings": 4, "con_hk": 2,
                   "warning_lines": ["WARNING: dropped <one>", "WARNING: dropped two", "WARNING: dropped 3"],
                   "first_sclk": 86400.5, "last_sclk": 86401.25, "tlm_bytes": 1234567, "edr_bytes": 999,
                   "seconds": 0.5, "quicklook_seconds": 2.25}
        self.cut = {"tlm": "/d/cut.tlm", "unit": "con", "outcome": "failed", "warnings": 0,
                    "error": "ERROR: Bad SFDU Length 9, Rec # 3", "tlm_bytes": 60}
        open(os.path.join(self.out, "cut_con.hdf.tmp"), "wb").close()

    def test_summary_of_warnings_times_and_what_was_not_delivered(self):
        epoch = Epoch("2000-01-01T12:00:00Z")
        ok, cut = (report.summary_row(r, self.out, epoch) for r in (self.ok, self.cut))
        self.assertEqual(ok["warning_lines"], "WARNING: dropped <one> | WARNING: dropped two | WARNING: dropped 3")
        self.assertEqual((ok["first_sclk"], ok["last_sclk"]), ("86400.500", "86401.250"))
        self.assertEqual((ok["first_utc"], ok["last_utc"]), ("2000-01-02 12:00:00.500", "2000-01-02 12:00:01.250"))
        self.assertEqual((ok["not_delivered"], ok["work_file"]), ("", ""))
        self.assertEqual((cut["not_delivered"], cut["work_file"]),
                         (os.path.join(self.out, "cut_con.hdf"), os.path.join(self.out, "cut_con.hdf.tmp")))
        self.assertEqual(report.summary_row(self.ok, self.out)["first_utc"], "")  # no epoch, no UTC
        gone = dict(self.cut, tlm="/d/b.tlm", outcome="not run")
        self.assertEqual([report.summary_row(gone, self.out)[k] for k in ("not_delivered", "work_file")],
                         [os.path.join(self.out, "b_con.hdf"), ""])

    def test_a_row_with_warnings_is_marked_and_escaped(self):
        page = report.page_row(self.out, self.ok, PRODUCTS, 7)
        self.assertIn('<tr class="run outcome-ok warned" id="run-7">', page)
        self.assertIn('<td class="outcome">ok, 4 warnings</td>', page)
        self.assertIn("<li>WARNING: dropped &lt;one&gt;</li>", page)
        self.assertIn("<li>&hellip; and 1 more</li>", page)
        self.assertIn('<td class="sizes">1.2 MB<br>999 B</td>', page)
        self.assertIn('<td class="seconds">0.50 s<br>2.25 s</td>', page)
        self.assertNotIn("UTC", page)
        self.assertIn("UTC 2000-01-02 12:00:00.500", report.page_row(self.out, self.ok, PRODUCTS, 7,
                                                                     Epoch("2000-01-01 12:00")))
        cut = report.page_row(self.out, self.cut, PRODUCTS, 8)
        self.assertIn("not delivered: cut_con.hdf", cut)
        self.assertIn('work file left: <a href="cut_con.hdf.tmp">cut_con.hdf.tmp</a>', cut)

    def test_the_runs_to_look_at_are_listed_first_and_linked_to_their_rows(self):
        rows = [self.ok, self.cut, dict(self.ok, quicklook_error="cannot <draw>"), dict(self.ok, warnings=0)]
        section = "".join(report.look_items(rows))
        self.assertEqual(section.count("<li>"), 2)
        self.assertIn('<a href="#run-1">cut.tlm con</a>: failed <span class="error">ERROR: Bad SFDU Length', section)
        self.assertIn('<a href="#run-2">a.tlm con</a>: quick-looks failed <span class="error">quick-look: '
                      'cannot &lt;draw&gt;</span>', section)
        self.assertEqual(report.look_items([self.ok]), [])
        # Numbered on from the runs of earlier pieces, as a live pass numbers them.
        self.assertIn('<a href="#run-11">cut.tlm con</a>', "".join(report.look_items(rows, 10)))
        headline = report.headline(report.page_counts(rows))
        self.assertIn("4 runs: ", headline)
        self.assertIn('<span class="warned">2 with warnings</span>', headline)
        self.assertIn('<span class="failed">1 failed</span>', headline)
        # Counts carried from piece to piece add up to those of all the rows.
        self.assertEqual(report.page_counts(rows[2:], report.page_counts(rows[:2])), report.page_counts(rows))


class WhatSlurmSays(unittest.TestCase):
    def test_task_indexes_in_slurms_notation(self):
        self.assertEqual(slurm.task_indexes("4"), [4])
        self.assertEqual(slurm.task_indexes("3-6"), [3, 4, 5, 6])
        self.assertEqual(slurm.task_indexes("[0-9:4%2]"), [0, 4, 8])
        self.assertEqual(slurm.task_indexes("1,3-4"), [1, 3, 4])
        self.assertEqual(slurm.task_indexes("N/A"), [])

    def test_the_error_of_a_task_that_slurm_ended(self):
        self.assertEqual(slurm.ended_by_slurm(("TIMEOUT", "TimeLimit")), "Slurm: time limit (TIMEOUT, TimeLimit)")
        self.assertEqual(slurm.ended_by_slurm(("OUT_OF_MEMORY", "None")), "Slurm: out of memory (OUT_OF_MEMORY)")
        self.assertEqual(slurm.ended_by_slurm(("NODE_FAIL", "NodeDown")), "Slurm: node failure (NODE_FAIL, NodeDown)")
        for end in (None, ("COMPLETED", "None"), ("FAILED", "NonZeroExitCode")):
            self.assertEqual(slurm.ended_by_slurm(end), "")

    def test_time_limits_in_whole_minutes(self):
        self.assertEqual([slurm.time_limit(s) for s in (0.5, 60, 61, 3600)], ["1", "1", "2", "60"])

    def test_rows_of_tasks(self):
        out = tempfile.mkdtemp(prefix="hlc_edr_tasks.")
        self.addCleanup(shutil.rmtree, out)
        status = {"tlm": "/d/a.tlm", "unit": "con", "outcome": "failed",
                  "error": "ERROR: Interrupted by signal SIGTERM.", "log": os.path.join(out, "a_con.log")}
        job.write_json(os.path.join(out, "a_con.status"), status)
        row = slurm.task_row(out, "/d/a.tlm", "con", "edr", ("TIMEOUT", "TimeLimit"))
        self.assertEqual((row["outcome"], row["error"]), ("failed", "Slurm: time limit (TIMEOUT, TimeLimit)"))
        job.write_json(os.path.join(out, "a_con.status"), dict(status, outcome="ok", error=""))
        row = slurm.task_row(out, "/d/a.tlm", "con", "edr+quicklook", ("TIMEOUT", "TimeLimit"))
        self.assertEqual((row["outcome"], row["quicklook_error"]), ("ok", "Slurm: time limit (TIMEOUT, TimeLimit)"))
        # No status: never started, or ended by Slurm once its log was begun.
        self.assertEqual(slurm.task_row(out, "/d/b.tlm", "con", "edr", ("CANCELLED", "None"))["outcome"], "not run")
        self.assertEqual(slurm.task_row(out, "/d/b.tlm", "con", "edr", None)["outcome"], "not run")
        open(os.path.join(out, "b_con.log"), "w").close()
        row = slurm.task_row(out, "/d/b.tlm", "con", "edr", ("NODE_FAIL", "None"))
        self.assertEqual((row["outcome"], row["error"]), ("failed", "Slurm: node failure (NODE_FAIL)"))
        row = slurm.task_row(out, "/d/b.tlm", "con", "edr", ("FAILED", "NonZeroExitCode"))
        self.assertEqual((row["outcome"], row["error"]), ("failed", "the task ended FAILED and left no result"))

    def test_a_lock_record_without_an_array_asks_slurm_nothing(self):
        self.assertFalse(slurm.array_runs("pid 12 on host since 2026-01-01 00:00:00"))
        self.assertFalse(slurm.array_runs(""))


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
