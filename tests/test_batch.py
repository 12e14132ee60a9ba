"""End-to-end tests of tools/hlc_edr_batch: real batches through GNU parallel
over builder TLM files (one holding every unit and APID, one with only some
units, one truncated), checking the outputs, the summary rows, the job log
and the exit status. Outcomes are expected from the products that the build
has (--modules): a unit none of whose products is built yet writes no table
("ERROR: Output EDR file is empty.") and so fails."""
import csv
import os
import shutil
import socket
import subprocess
import sys
import unittest

from pyhdf.HDF import HDF, HC
import pyhdf.VS  # noqa: F401

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import edr_patterns as ep  # noqa: E402

ARGS = None
PER_UNIT = {u: [p for p in ep.PRODUCTS if p.unit == u] for u in ep.UNITS}
COLUMNS = [p.module for p in ep.PRODUCTS] + ["acs_quats"]


def built(unit):
    return unit == "acs" or any(p.module in ARGS.modules for p in PER_UNIT[unit])


def make_files(workdir):
    """The three TLM files and, per file and unit, what a run of it gives."""
    tlm = os.path.join(workdir, "tlm")
    os.makedirs(tlm)
    expected = {}

    # Every unit and APID: 3 records of every product (fixed records two to a
    # packet), 3 quaternions; one filled packet, which every run warns about,
    # and per unit one more fault: a bad size, or for GEM an orphan last
    # segment (two warnings).
    d = ep.Description()
    for p in ep.PRODUCTS:
        d.records(p, range(3))
    d.quats(range(3))
    d.pkt(25, ep.BY_MODULE["con_hk"].record(9), fill=1)
    d.pkt(25, bytes(51))
    d.pkt(29, bytes(65))
    d.pkt(24, bytes(140))
    d.pkt(31, bytes(100), flags=2, sec=ep.T0 + 5000)
    d.pkt(27, bytes(39))
    path = os.path.join(tlm, "every unit.tlm")
    d.build(ARGS.tlmbuild, path)
    warnings = {"gem": 3, "gim": 2, "con": 2, "mec": 2, "acs": 2}
    for u in ep.UNITS:
        counts = {p.module: (3 if p.module in ARGS.modules else 0) for p in PER_UNIT[u]}
        if u == "acs":
            counts = {"acs_quats": 3}
        expected[(path, u)] = ("ok" if built(u) else "failed", 0 if built(u) else 255, counts, warnings[u])

    # Only Concentrator and GIM housekeeping: the other units have no data.
    d = ep.Description()
    d.records(ep.BY_MODULE["con_hk"], range(2))
    d.records(ep.BY_MODULE["gim_hk"], range(2), per_packet=1)
    path = os.path.join(tlm, "some.tlm")
    d.build(ARGS.tlmbuild, path)
    for u in ep.UNITS:
        counts = {p.module: 0 for p in PER_UNIT[u]} if u != "acs" else {"acs_quats": 0}
        if u == "con":
            expected[(path, u)] = ("ok", 0, dict(counts, con_hk=2), 0)
        elif u == "gim":
            ok = "gim_hk" in ARGS.modules
            expected[(path, u)] = ("ok" if ok else "failed", 0 if ok else 255,
                                   dict(counts, gim_hk=2 if ok else 0), 0)
        else:
            expected[(path, u)] = ("no data", 255, counts, 0)

    # Truncated in its third record: every run ends with the reader's error.
    d = ep.Description()
    d.records(ep.BY_MODULE["con_hk"], range(2), per_packet=1)
    d.quats(range(1))
    d.pkt(25, ep.BY_MODULE["con_hk"].record(5), trunc=60)
    path = os.path.join(tlm, "cut.tlm")
    d.build(ARGS.tlmbuild, path)
    for u in ep.UNITS:
        counts = {p.module: 0 for p in PER_UNIT[u]} if u != "acs" else {"acs_quats": 0}
        if u == "con" and "con_hk" in ARGS.modules:
            counts["con_hk"] = 2
        expected[(path, u)] = ("failed", 255, counts, 0)
    return expected


def batch(*args):
    return subprocess.run([ARGS.tool, "--program", ARGS.program] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)


def read_summary(outdir):
    with open(os.path.join(outdir, "summary.csv"), newline="") as f:
        return list(csv.DictReader(f))


def joblog_jobs(outdir):
    with open(os.path.join(outdir, "parallel.joblog")) as f:
        return [line.split("\t") for line in f if not line.startswith("Seq\t")]


def vdata_records(hdf_path):
    """Records per Vdata name, read with pyhdf."""
    f = HDF(hdf_path, HC.READ)
    vs = f.vstart()
    try:
        return {info[0]: info[3] for info in vs.vdatainfo() if info[1] == "tlm_edr_data"}
    finally:
        vs.end()
        f.close()


def output_name(tlm, unit):
    stem = os.path.splitext(os.path.basename(tlm))[0]
    return stem + ("_quats.txt" if unit == "acs" else "_%s.hdf" % unit)


class BatchOverEveryKindOfFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "every-kind"))
        cls.expected = make_files(cls.work)
        cls.tlms = list(dict.fromkeys(t for t, _ in cls.expected))
        cls.out = os.path.join(cls.work, "out")
        cls.first = batch("-j", "2", "-o", cls.out, *cls.tlms)
        cls.rows = read_summary(cls.out)

    def test_one_row_per_file_and_unit_in_order(self):
        self.assertEqual([(r["tlm"], r["unit"]) for r in self.rows],
                         [(t, u) for t in self.tlms for u in ep.UNITS])

    def test_outcome_status_records_and_warnings_of_every_row(self):
        for r in self.rows:
            outcome, status, counts, warnings = self.expected[(r["tlm"], r["unit"])]
            with self.subTest(tlm=os.path.basename(r["tlm"]), unit=r["unit"]):
                self.assertEqual(r["outcome"], outcome)
                self.assertEqual(r["exit_status"], str(status))
                self.assertEqual(r["warnings"], str(warnings))
                for column in COLUMNS:
                    self.assertEqual(r[column], str(counts[column]) if column in counts else "", column)
                self.assertGreaterEqual(float(r["seconds"]), 0.0)
                self.assertLess(float(r["seconds"]), 60.0)
                self.assertEqual(r["skipped"], "0")

    def test_outputs_hold_what_the_rows_count(self):
        for r in self.rows:
            name = os.path.join(self.out, output_name(r["tlm"], r["unit"]))
            log = os.path.join(self.out, output_name(r["tlm"], r["unit"]).rsplit(".", 1)[0] + ".log")
            with self.subTest(output=os.path.basename(name)):
                self.assertEqual(r["log"], log)
                self.assertTrue(os.path.getsize(log) > 0)
                if r["outcome"] != "ok":
                    self.assertFalse(os.path.exists(name))
                    self.assertEqual(r["output"], "")
                    continue
                self.assertEqual(r["output"], name)
                _, _, counts, _ = self.expected[(r["tlm"], r["unit"])]
                if r["unit"] == "acs":
                    with open(name) as f:
                        self.assertEqual(len(f.readlines()), counts["acs_quats"])
                    continue
                found = vdata_records(name)
                for p in PER_UNIT[r["unit"]]:
                    if counts[p.module]:
                        self.assertEqual(found.get(p.vdata), counts[p.module], p.vdata)
                    else:
                        self.assertNotIn(p.vdata, found)

    def test_exit_status_1_and_a_job_log_line_per_run(self):
        self.assertEqual(self.first.returncode, 1, self.first.stderr)
        jobs = joblog_jobs(self.out)
        self.assertEqual(len(jobs), len(self.rows))
        failed = sum(1 for r in self.rows if r["outcome"] == "failed")
        self.assertEqual(sum(1 for j in jobs if j[6] != "0"), failed)  # Exitval column

    def test_second_run_repeats_only_the_failed_runs(self):
        before = {r["output"]: os.stat(r["output"]).st_mtime_ns for r in self.rows if r["output"]}
        n_jobs = len(joblog_jobs(self.out))
        again = batch("-o", self.out, *self.tlms)
        self.assertEqual(again.returncode, 1, again.stderr)
        rows = read_summary(self.out)
        failed = [(r["tlm"], r["unit"]) for r in self.rows if r["outcome"] == "failed"]
        for r in rows:
            with self.subTest(tlm=os.path.basename(r["tlm"]), unit=r["unit"]):
                self.assertEqual(r["skipped"], "0" if (r["tlm"], r["unit"]) in failed else "1")
                self.assertEqual(r["outcome"], self.expected[(r["tlm"], r["unit"])][0])
        self.assertEqual(len(joblog_jobs(self.out)), n_jobs + len(failed))
        self.assertEqual(before, {o: os.stat(o).st_mtime_ns for o in before})


class CleanBatchAndRestart(unittest.TestCase):
    """A batch without failures: exit 0; an interrupted one restarts where it stopped."""

    def setUp(self):
        self.work = ep.fresh_dir(os.path.join(ARGS.workdir, "restart"))
        self.tlm = []
        for name, ks in (("a.tlm", range(2)), ("b.tlm", range(3))):
            d = ep.Description()
            d.records(ep.BY_MODULE["con_hk"], ks)
            d.quats(ks)
            self.tlm.append(os.path.join(self.work, name))
            d.build(ARGS.tlmbuild, self.tlm[-1])
        self.out = os.path.join(self.work, "out")

    def test_exit_0_restart_and_redo(self):
        first = batch("-u", "con,acs", "-o", self.out, *self.tlm)
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        self.assertEqual([r["outcome"] for r in read_summary(self.out)], ["ok"] * 4)
        self.assertEqual([r["con_hk"] for r in read_summary(self.out)], ["2", "", "3", ""])
        # As if the batch had been stopped during b.tlm's acs run, after a's
        # con output had been lost.
        os.remove(os.path.join(self.out, "b_quats.status"))
        os.remove(os.path.join(self.out, "a_con.hdf"))
        again = batch("-u", "con,acs", "-o", self.out, *self.tlm)
        self.assertEqual(again.returncode, 0, again.stdout + again.stderr)
        self.assertEqual([r["skipped"] for r in read_summary(self.out)], ["0", "1", "1", "0"])
        self.assertTrue(os.path.exists(os.path.join(self.out, "a_con.hdf")))
        self.assertEqual(len(joblog_jobs(self.out)), 6)
        # A TLM file that changed since its runs is run again.
        d = ep.Description()
        d.records(ep.BY_MODULE["con_hk"], range(4))
        d.build(ARGS.tlmbuild, self.tlm[0])
        os.utime(self.tlm[0], ns=(1, 1))
        third = batch("-u", "con", "-o", self.out, *self.tlm)
        self.assertEqual(third.returncode, 0, third.stderr)
        self.assertEqual([(r["skipped"], r["con_hk"]) for r in read_summary(self.out)], [("0", "4"), ("1", "3")])
        redo = batch("--redo", "-u", "con,acs", "-o", self.out, *self.tlm)
        self.assertEqual(redo.returncode, 0, redo.stderr)
        self.assertEqual([r["skipped"] for r in read_summary(self.out)], ["0"] * 4)
        self.assertEqual(len(joblog_jobs(self.out)), 11)

    def test_sshlogin_is_passed_to_parallel(self):
        # ":" is parallel's name for the local machine.
        run = batch("-u", "con", "--sshlogin", ":", "-j", "1", "-o", self.out, self.tlm[0])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(read_summary(self.out)[0]["host"], socket.gethostname())
        self.assertEqual([j[1] for j in joblog_jobs(self.out)], [":"])

    def test_a_program_that_cannot_run_fails_every_run(self):
        run = subprocess.run([ARGS.tool, "--program", os.path.join(self.work, "missing"), "-u", "con",
                              "-o", self.out, self.tlm[0]], capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        row = read_summary(self.out)[0]
        self.assertEqual((row["outcome"], row["exit_status"]), ("failed", "127"))

    def test_usage_errors_exit_2(self):
        self.assertEqual(batch("-u", "xyz", "-o", self.out, self.tlm[0]).returncode, 2)
        other = os.path.join(self.work, "sub")
        os.makedirs(other)
        shutil.copy(self.tlm[0], other)
        clash = batch("-o", self.out, self.tlm[0], os.path.join(other, "a.tlm"))
        self.assertEqual(clash.returncode, 2)
        self.assertIn("share their output names", clash.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.out, "summary.csv")))


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    unittest.main(argv=argv, verbosity=2)
