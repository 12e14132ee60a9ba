"""End-to-end tests of tools/hlc_edr_batch: real batches through GNU parallel
over builder TLM files (one holding every unit and APID, one with only some
units, one truncated), checking the outputs, the summary rows, the job log
and the exit status. Records are counted in what a run delivered: a run
that ended ok has a count for every product of its unit (0 where it wrote
no table), one that delivered nothing has none.
The batch is given the build's own programs (--program, --dump): none of
them is on the PATH of the batches run here, and the launchers' folder
holds none either, so that each build's suite runs that build's programs.
The batch's own safety is tried with real processes: jobs that block reading
FIFOs until the test feeds them, signals, kill -9 of the batch, full and
read-only file systems (tmpfs), and a real sshd on 127.0.0.1."""
import csv
import datetime
import fcntl
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import unittest
import urllib.parse

from pyhdf.HDF import HDF, HC
import pyhdf.VS  # noqa: F401

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import browser  # noqa: E402
import edr_patterns as ep  # noqa: E402

ARGS = None
PER_UNIT = {u: [p for p in ep.PRODUCTS if p.unit == u] for u in ep.UNITS}
COLUMNS = [p.module for p in ep.PRODUCTS] + ["acs_quats"]


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
        counts = {p.module: 3 for p in PER_UNIT[u]}
        if u == "acs":
            counts = {"acs_quats": 3}
        expected[(path, u)] = ("ok", 0, counts, warnings[u])

    # Only Concentrator and GIM housekeeping: the other units have no data.
    d = ep.Description()
    d.records(ep.BY_MODULE["con_hk"], range(2))
    d.records(ep.BY_MODULE["gim_hk"], range(2), per_packet=1)
    path = os.path.join(tlm, "some.tlm")
    d.build(ARGS.tlmbuild, path)
    for u in ep.UNITS:
        counts = {p.module: 0 for p in PER_UNIT[u]}
        if u == "con":
            expected[(path, u)] = ("ok", 0, dict(counts, con_hk=2), 0)
        elif u == "gim":
            expected[(path, u)] = ("ok", 0, dict(counts, gim_hk=2), 0)
        else:
            expected[(path, u)] = ("no data", 255, {}, 0)

    # Truncated in its third record: every run ends with the reader's error
    # and delivers nothing, so no records are counted (the con run's log
    # tells of the two records before the cut).
    d = ep.Description()
    d.records(ep.BY_MODULE["con_hk"], range(2), per_packet=1)
    d.quats(range(1))
    d.pkt(25, ep.BY_MODULE["con_hk"].record(5), trunc=60)
    path = os.path.join(tlm, "cut.tlm")
    d.build(ARGS.tlmbuild, path)
    for u in ep.UNITS:
        expected[(path, u)] = ("failed", 255, {}, 0)
    return expected


def batch(*args, limit=None, cwd=None):
    return subprocess.run([ARGS.tool, "--program", ARGS.program, "--dump", ARGS.dump] + list(args), cwd=cwd,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=limit)


def read_summary(outdir):
    with open(os.path.join(outdir, "summary.csv"), newline="") as f:
        return list(csv.DictReader(f))


def first_error(log):
    with open(log, encoding="latin-1") as f:
        return next((line.rstrip("\n") for line in f if line.startswith("ERROR: ")), "")


def last_line(log):
    with open(log, encoding="latin-1") as f:
        lines = f.read().splitlines()
    return lines[-1] if lines else ""


def lock_file(outdir):
    return os.path.join(outdir, ".hlc_edr_batch.lock")


def lock_is_free(outdir):
    with open(lock_file(outdir), "rb") as f:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False


def wait_for_lock(outdir):
    """Returns when no process holds the batch's lock any more."""
    with open(lock_file(outdir), "rb") as f:
        fcntl.flock(f, fcntl.LOCK_EX)


def wait_for_text(path, text, limit=120):
    """Returns when the file holds the text: a job's log once its hlc_edr
    has echoed its command line and waits for input (it writes its log out
    before it waits). The limit only ends a job that never gets there."""
    end = time.monotonic() + limit
    while True:
        try:
            with open(path) as f:
                if text in f.read():
                    return
        except FileNotFoundError:
            pass
        if time.monotonic() > end:
            raise AssertionError("%s never held %r" % (path, text))
        time.sleep(0.01)


def listing(folder):
    return {n: (st.st_size, st.st_mtime_ns) for n in os.listdir(folder)
            for st in [os.stat(os.path.join(folder, n))]}


def part_files(folder):
    return [n for _, _, names in os.walk(folder) for n in names if n.endswith(".part")]


def mount_tmpfs(test, path, options):
    """A tmpfs at path, unmounted when the test ends; skips the test when
    this machine does not let the test mount one."""
    os.makedirs(path)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                          capture_output=True, text=True)
    if done.returncode != 0:
        test.skipTest("cannot mount a tmpfs: " + done.stderr.strip())
    test.addCleanup(subprocess.run, ["umount", path])


def fill(folder, leave=0):
    """Fills the file system of folder, then frees leave bytes again."""
    filler = os.path.join(folder, "filler")
    with open(filler, "wb", buffering=0) as f:
        try:
            while True:
                f.write(bytes(4096))
        except OSError:
            pass
    os.truncate(filler, max(0, os.path.getsize(filler) - leave))


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

    def test_one_row_per_file_and_unit_in_order_with_lf_line_ends(self):
        self.assertEqual([(r["tlm"], r["unit"]) for r in self.rows],
                         [(t, u) for t in self.tlms for u in ep.UNITS])
        with open(os.path.join(self.out, "summary.csv"), "rb") as f:
            lines = f.read().split(b"\n")
        self.assertEqual((len(lines), lines[-1]), (len(self.rows) + 2, b""))
        self.assertFalse([line for line in lines if line.endswith(b"\r")])

    def test_columns_have_a_product_each_in_the_registrys_order(self):
        # Every product a column, in the order of the record modules'
        # registry (as hlc_edr_dump --products names them).
        with open(os.path.join(self.out, "summary.csv"), newline="") as f:
            header = next(csv.reader(f))
        registry = ["gem_hk", "gem_mancal", "gem_normal", "gem_raw", "gim_hk", "gim_mancal", "gim_normal",
                    "gim_raw", "gim_diag", "con_hk", "mec_hk", "mec_f1d"]
        self.assertEqual(sorted(registry), sorted(p.module for p in ep.PRODUCTS))
        self.assertEqual(header, ["tlm", "unit", "outcome", "exit_status"] + registry +
                         ["acs_quats", "warnings", "warning_lines", "seconds", "quicklook_seconds", "tlm_bytes",
                          "edr_bytes", "first_sclk", "last_sclk", "first_utc", "last_utc", "host", "output", "log",
                          "skipped", "error", "quicklooks", "not_delivered", "work_file"])

    def test_outcome_status_records_and_warnings_of_every_row(self):
        for r in self.rows:
            outcome, status, counts, warnings = self.expected[(r["tlm"], r["unit"])]
            with self.subTest(tlm=os.path.basename(r["tlm"]), unit=r["unit"]):
                self.assertEqual(r["outcome"], outcome)
                self.assertEqual(r["exit_status"], str(status))
                # A failed run names its first error; the truncated file's is the reader's.
                error = first_error(r["log"]) if outcome == "failed" else ""
                self.assertEqual(r["error"], error)
                if outcome == "failed":
                    self.assertTrue(error.startswith("ERROR: Bad SFDU Length" if "cut" in r["tlm"] else
                                                     "ERROR: "), error)
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

    def test_a_wrong_program_is_a_usage_error_before_any_run(self):
        other = os.path.join(self.work, "other")
        with open(other, "w") as f:
            f.write("#!/bin/sh\necho Usage: other FILE\nexit 1\n")
        os.chmod(other, 0o755)
        programs = {"--program": ARGS.program, "--dump": ARGS.dump}
        for option, real in programs.items():
            not_executable = os.path.join(self.work, os.path.basename(real))
            shutil.copy(real, not_executable)
            os.chmod(not_executable, 0o644)
            wrong = ((os.path.join(self.work, "missing"), "no such file"),
                     ("no-such-hlc-edr", "no such program on the PATH"),
                     (self.work, "is not a file"),
                     (not_executable, "is not executable"),
                     (other, "is not %s" % os.path.basename(real)))
            if option == "--dump":  # the generator is no dump: it lists no products
                wrong += ((ARGS.program, "is not hlc_edr_dump"),)
            for program, says in wrong:
                with self.subTest(option=option, program=os.path.basename(program)):
                    given = dict(programs, **{option: program})
                    run = subprocess.run([ARGS.tool, "-u", "con", "-o", self.out, self.tlm[0]] +
                                         [w for o, p in given.items() for w in (o, p)],
                                         capture_output=True, text=True)
                    self.assertEqual(run.returncode, 2)
                    self.assertIn("%s %s: %s" % (option, program, says), run.stderr)
                    self.assertFalse(os.path.exists(self.out))
        # Not named, each is looked for beside the launcher and on the PATH,
        # which hold neither; never in a build folder.
        beside = os.path.dirname(os.path.realpath(ARGS.tool))
        for option, name in (("--program", "hlc_edr"), ("--dump", "hlc_edr_dump")):
            with self.subTest(option=option, program="none"):
                given = {o: p for o, p in programs.items() if o != option}
                run = subprocess.run([ARGS.tool, "-u", "con", "-o", self.out, self.tlm[0]] +
                                     [w for o, p in given.items() for w in (o, p)],
                                     capture_output=True, text=True, cwd=os.path.dirname(ARGS.program))
                self.assertEqual(run.returncode, 2)
                self.assertEqual(run.stderr, "hlc_edr_batch: no %s beside %s or on the PATH (%s names one)\n"
                                 % (name, beside, option))
                self.assertFalse(os.path.exists(self.out))

    def test_an_edr_that_the_dump_cannot_list_has_no_record_counts(self):
        # A dump that names the products but refuses every EDR: the run is
        # ok, as hlc_edr says, and its row says why it has no counts.
        dump = os.path.join(self.work, "refusing_dump")
        with open(dump, "w") as f:
            f.write('#!/bin/sh\ntest "$1" = --products && exec "$0.real" --products\n'
                    'echo "ERROR: damaged table" >&2\nexit 1\n')
        os.chmod(dump, 0o755)
        os.symlink(ARGS.dump, dump + ".real")
        run = batch("--dump", dump, "-u", "con", "-o", self.out, self.tlm[0])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual([(r["outcome"], r["con_hk"], r["error"]) for r in read_summary(self.out)],
                         [("ok", "", "records not counted: hlc_edr_dump: ERROR: damaged table")])

    def test_usage_errors_exit_2(self):
        self.assertEqual(batch("-u", "xyz", "-o", self.out, self.tlm[0]).returncode, 2)
        other = os.path.join(self.work, "sub")
        os.makedirs(other)
        shutil.copy(self.tlm[0], other)
        clash = batch("-o", self.out, self.tlm[0], os.path.join(other, "a.tlm"))
        self.assertEqual(clash.returncode, 2)
        self.assertIn("share their output names", clash.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.out, "summary.csv")))


    def test_an_unusable_output_folder_is_one_message_and_exit_1(self):
        def a_file(folder):
            open(folder, "w").close()
            return "it is not a folder"

        def inside_a_file(folder):
            a_file(folder)
            return "Not a directory"

        def read_only(folder):
            if os.geteuid() == 0:
                mount_tmpfs(self, folder, "ro,size=64k")
                return "Read-only file system"
            os.makedirs(folder, mode=0o555)
            return "Permission denied"

        def full(folder):
            mount_tmpfs(self, folder, "size=64k")
            fill(folder)
            return "No space left on device"

        def full_after_the_lock(folder):  # one page left: the lock's
            mount_tmpfs(self, folder, "size=64k")
            fill(folder, leave=4096)
            return "No space left on device"

        for make, out, messages in ((a_file, "", 1), (inside_a_file, "sub", 1), (read_only, "", 1),
                                    (full, "", 1), (full_after_the_lock, "", None)):
            with self.subTest(folder=make.__name__):
                folder = os.path.join(self.work, make.__name__)
                reason = make(folder)
                run = batch("-u", "con,acs", "-o", os.path.join(folder, out), self.tlm[0])
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertNotIn("Traceback", run.stderr)
                lines = run.stderr.splitlines()
                self.assertRegex(lines[-1], "^hlc_edr_batch: cannot (use the output folder|write) .*%s$" % reason)
                if messages:
                    self.assertEqual(len(lines), messages, run.stderr)
                if os.path.isdir(folder):
                    self.assertEqual(part_files(folder), [])


class OneBatchPerFolder(unittest.TestCase):
    """The lock of the output folder, interrupts and --timeout, with jobs
    that block reading their TLM files, FIFOs, until the test feeds them."""

    def setUp(self):
        self.work = ep.fresh_dir(os.path.join(ARGS.workdir, "lock"))
        self.regular, self.data = ep.con_file(self.work, ARGS.tlmbuild)
        self.out = os.path.join(self.work, "out")

    def fifos(self, folder, *names):
        made = [os.path.join(folder, n) for n in names]
        for path in made:
            os.mkfifo(path)
        return made

    def start(self, *args):
        """A batch in the background; its output goes to files, so that
        processes it leaves behind hold no pipe of the test."""
        with open(os.path.join(self.work, "batch.out"), "wb") as out:
            return subprocess.Popen([ARGS.tool, "--program", ARGS.program, "--dump", ARGS.dump] + list(args),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out)

    def test_a_killed_batch_leaves_the_folder_to_its_jobs_until_they_end(self):
        tlms = self.fifos(self.work, "a.tlm", "b.tlm")
        args = ("-u", "con", "-j", "2", "-o", self.out) + tuple(tlms)
        first = self.start(*args)
        writers = [open(t, "wb") for t in tlms]  # each open returns once a job's hlc_edr reads
        first.kill()
        first.wait()
        for t in tlms:
            wait_for_text(os.path.join(self.out, os.path.basename(t)[0] + "_con.log"), "   edrf = ")
        before = listing(self.out)
        # Refused at once; a batch that were not would block on the FIFOs,
        # so the time limit only ends such a fault.
        again = batch(*args, limit=120)
        self.assertEqual(again.returncode, 2, again.stderr)
        self.assertEqual(len(again.stderr.splitlines()), 1, again.stderr)
        self.assertIn("is in use by another batch", again.stderr)
        self.assertEqual(listing(self.out), before)
        for w in writers:
            w.write(self.data)
            w.close()
        wait_for_lock(self.out)
        for t in tlms:
            base = os.path.join(self.out, os.path.basename(t)[0] + "_con")
            with open(base + ".status") as f:
                row = json.load(f)
            with open(base + ".log") as f:
                log = f.read()
            self.assertEqual((row["outcome"], row["con_hk"], row["error"]), ("ok", 2, ""))
            self.assertEqual((log.count("Command line:"), log.count("Program run completed successfully.")), (1, 1))
            self.assertEqual(vdata_records(base + ".hdf"), {"Concentrator_Housekeeping": 2})
        then = batch("-u", "con", "-o", self.out, self.regular)
        self.assertEqual(then.returncode, 0, then.stderr)

    def test_an_interrupt_ends_the_jobs_and_the_batch_by_its_signal(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                folder = ep.fresh_dir(os.path.join(self.work, number.name))
                out = os.path.join(folder, "out")
                a, b = self.fifos(folder, "a.tlm", "b.tlm")
                run = self.start("-u", "con", "-j", "1", "-o", out, a, b)
                with open(a, "wb"):
                    run.send_signal(number)
                    self.assertEqual(run.wait(timeout=120), -number)  # the limit ends a batch that hangs
                self.assertTrue(lock_is_free(out))  # no job is left running
                rows = read_summary(out)
                # The run is passed one SIGTERM, on which it finishes its log.
                error = "ERROR: Interrupted by signal SIGTERM."
                self.assertEqual(last_line(rows[0]["log"]), error)
                self.assertEqual([(r["outcome"], r["error"]) for r in rows], [("failed", error), ("not run", "")])
                self.assertEqual(rows[0]["exit_status"], "143")
                self.assertEqual([o for _, _, o in page_runs(read_page(os.path.join(out, "index.html")))],
                                 ["failed", "not run"])
                self.assertFalse(os.path.exists(os.path.join(out, "b_con.log")))

    def test_a_run_past_its_timeout_fails_with_that_reason(self):
        tlm, = self.fifos(self.work, "a.tlm")  # never fed: the run blocks
        run = batch("-u", "con", "--timeout", "1", "-o", self.out, tlm)
        self.assertEqual(run.returncode, 1, run.stderr)
        row, = read_summary(self.out)
        self.assertEqual((row["outcome"], row["error"]), ("failed", "timed out after 1 s"))
        self.assertTrue(lock_is_free(self.out))
        for bad in ("0", "-3", "x"):
            self.assertEqual(batch("--timeout", bad, "-o", self.out, tlm).returncode, 2)

    def test_runs_ended_at_their_timeout_are_signalled_once_and_finish_their_logs(self):
        # hlc_edr ends at once on a second signal, before its log is
        # finished; on its first it writes "ERROR: Interrupted by signal ..."
        # and ends by that signal. Its inputs are FIFOs that the test holds
        # open as a writer without writing, so each run waits in its read
        # until parallel's timeout ends its job: three batches of three runs.
        for attempt in range(3):
            with self.subTest(batch=attempt):
                folder = ep.fresh_dir(os.path.join(self.work, "timeout%d" % attempt))
                out = os.path.join(folder, "out")
                tlms = self.fifos(folder, "a.tlm", "b.tlm", "c.tlm")
                held = [os.open(t, os.O_RDWR) for t in tlms]  # a writer that never writes
                try:
                    run = batch("-u", "con", "-j", "3", "--timeout", "2", "-o", out, *tlms, limit=120)
                finally:
                    for fd in held:
                        os.close(fd)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertNotIn("Traceback", run.stderr)
                self.assertTrue(lock_is_free(out))  # no run is left behind
                rows = read_summary(out)
                self.assertEqual([(r["tlm"], r["outcome"], r["exit_status"], r["error"]) for r in rows],
                                 [(t, "failed", "143", "timed out after 2 s") for t in tlms])
                for r in rows:
                    with open(r["log"], encoding="latin-1") as f:
                        log = f.read()
                    self.assertEqual(last_line(r["log"]), "ERROR: Interrupted by signal SIGTERM.", log)
                    self.assertEqual(log.count("ERROR: "), 1, log)
                    with open(os.path.splitext(r["log"])[0] + ".status") as f:
                        self.assertEqual(json.load(f)["outcome"], "failed")
                    self.assertFalse(os.path.exists(os.path.join(out, output_name(r["tlm"], "con"))))

    def test_each_run_is_passed_one_signal_at_its_timeout_or_on_an_interrupt(self):
        # Which signals a run receives, told by a program in hlc_edr's place:
        # started without arguments it is hlc_edr (the batch checks its usage
        # text); a run logs each signal it receives, waits a second for any
        # other after the first, then ends as hlc_edr does.
        program = os.path.join(self.work, "counting_hlc_edr")
        with open(program, "w") as f:
            f.write("""#!/usr/bin/python3
import os, signal, sys, time
if len(sys.argv) == 1:
    os.execv(%r, [%r])
received = []
def note(number, frame):
    received.append(number)
    print("received " + signal.Signals(number).name, flush=True)
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(number, note)
print("waiting for a signal", flush=True)
while not received:
    time.sleep(0.05)
end = time.monotonic() + 1
while time.monotonic() < end:
    time.sleep(0.05)
print("ERROR: Interrupted by signal %%s." %% signal.Signals(received[0]).name, flush=True)
signal.signal(received[0], signal.SIG_DFL)
os.kill(os.getpid(), received[0])
""" % (ARGS.program, ARGS.program))
        os.chmod(program, 0o755)

        def tool(*args):
            return [ARGS.tool, "--program", program, "--dump", ARGS.dump, "-u", "con,acs", "-j", "2"] + list(args) + [
                self.regular]

        def signals_of(out):
            """Per run, the signals it received and its last line."""
            found = []
            for log in ("c_con.log", "c_quats.log"):
                with open(os.path.join(out, log)) as f:
                    found.append([line for line in f.read().splitlines() if line.startswith(("received", "ERROR"))])
            return found

        once = [["received SIGTERM", "ERROR: Interrupted by signal SIGTERM."]] * 2
        timed = os.path.join(self.work, "timed")
        run = subprocess.run(tool("--timeout", "2", "-o", timed), stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertEqual(signals_of(timed), once)
        self.assertEqual([(r["outcome"], r["error"]) for r in read_summary(timed)],
                         [("failed", "timed out after 2 s")] * 2)
        interrupted = os.path.join(self.work, "interrupted")
        background = self.start(*tool("-o", interrupted)[1:])  # its --program and --dump come last
        for log in ("c_con.log", "c_quats.log"):
            wait_for_text(os.path.join(interrupted, log), "waiting for a signal")
        background.send_signal(signal.SIGINT)
        self.assertEqual(background.wait(timeout=120), -signal.SIGINT)
        self.assertEqual(signals_of(interrupted), once)
        self.assertEqual([(r["outcome"], r["error"]) for r in read_summary(interrupted)],
                         [("failed", "ERROR: Interrupted by signal SIGTERM.")] * 2)


class SeveralMachines(unittest.TestCase):
    """A batch whose jobs run through a real sshd on 127.0.0.1: its own host
    key and configuration, an unprivileged port, login by key only."""

    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "ssh"))
        d = os.path.join(cls.work, "ssh")
        os.makedirs(d)
        for key in ("host_key", "id"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(d, key)], check=True)
        shutil.copy(os.path.join(d, "id.pub"), os.path.join(d, "authorized_keys"))
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        env_names = "LSAN_OPTIONS ASAN_OPTIONS UBSAN_OPTIONS"  # for the sanitizer build's runs
        with open(os.path.join(d, "sshd_config"), "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s/host_key\nPidFile none\n"
                    "AuthorizedKeysFile %s/authorized_keys\nPubkeyAuthentication yes\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                    "PermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\nAcceptEnv %s\n"
                    % (port, d, d, env_names))
        with open(os.path.join(d, "host_key.pub")) as f:
            host_key = " ".join(f.read().split()[:2])
        with open(os.path.join(d, "known_hosts"), "w") as f:
            f.write("[127.0.0.1]:%d %s\n" % (port, host_key))
        cls.config = os.path.join(d, "ssh_config")
        with open(cls.config, "w") as f:
            f.write("Host batch-test\n HostName 127.0.0.1\n Port %d\n User %s\n IdentityFile %s/id\n"
                    " IdentitiesOnly yes\n UserKnownHostsFile %s/known_hosts\n GlobalKnownHostsFile /dev/null\n"
                    " StrictHostKeyChecking yes\n BatchMode yes\n PasswordAuthentication no\n SendEnv %s\n"
                    % (port, pwd_name(), d, d, env_names))
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation
        cls.sshd = subprocess.Popen(["/usr/sbin/sshd", "-f", os.path.join(d, "sshd_config"), "-D", "-e"],
                                    stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        cls.log = []
        ready = threading.Event()

        def read_log():
            for line in cls.sshd.stderr:
                cls.log.append(line)
                if line.startswith("Server listening on 127.0.0.1"):
                    ready.set()
            ready.set()

        cls.reader = threading.Thread(target=read_log)
        cls.reader.start()
        ready.wait()
        if cls.sshd.poll() is not None:
            cls.reader.join()
            raise unittest.SkipTest("sshd did not start: " + "".join(cls.log).strip())

    @classmethod
    def tearDownClass(cls):
        cls.sshd.terminate()
        cls.sshd.wait()
        cls.reader.join()

    def test_a_batch_over_ssh(self):
        tlms = []
        for name, ks in (("a.tlm", range(2)), ("b.tlm", range(3))):
            d = ep.Description()
            d.records(ep.BY_MODULE["con_hk"], ks)
            d.quats(ks)
            tlms.append(os.path.join(self.work, name))
            d.build(ARGS.tlmbuild, tlms[-1])
        out = os.path.join(self.work, "out")
        login = "ssh -F %s batch-test" % self.config
        run = batch("-u", "con,acs", "--sshlogin", login, "-o", out, *tlms)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertEqual([(r["outcome"], r["con_hk"], r["acs_quats"]) for r in read_summary(out)],
                         [("ok", "2", ""), ("ok", "", "2"), ("ok", "3", ""), ("ok", "", "3")])
        self.assertEqual({j[1] for j in joblog_jobs(out)}, {login})
        self.assertIn("Accepted publickey for %s from 127.0.0.1" % pwd_name(), "".join(self.log))


def page_target(page, href):
    """The file a relative link of the page names."""
    return os.path.join(os.path.dirname(page), urllib.parse.unquote(href))


def read_page(page):
    with open(page, encoding="utf-8") as f:
        return browser.parse(f.read())


def page_runs(root):
    """(file, unit, outcome) of each run row of the report page."""
    return [tuple(r.all("td", c)[0].all_text() for c in ("file", "unit", "outcome"))
            for r in root.all("tr", "run")]


class ReportPage(unittest.TestCase):
    """index.html of a batch with --quicklook, as headless Chromium renders
    it from the file system: a row per run with its outcome and links, and
    thumbnails that have loaded and link to the quick-looks."""

    @classmethod
    def setUpClass(cls):
        cls.work = page_work("page")
        d = ep.Description()
        for m in ("con_hk", "gem_hk", "gem_normal"):
            d.records(ep.BY_MODULE[m], range(3))
        d.quats(range(3))
        odd = os.path.join(cls.work, 'odd <b>&"\'#.tlm')  # a name to escape, in HTML and in URLs
        d.build(ARGS.tlmbuild, odd)
        cut = cut_tlm(cls.work)
        cls.units = ("con", "gem", "mec", "acs")
        cls.expected = [("cut.tlm", u, "failed") for u in cls.units] + [
            (os.path.basename(odd), u, "no data" if u == "mec" else "ok") for u in cls.units]
        cls.out = os.path.join(cls.work, "out")
        cls.batch = batch("--quicklook", "-u", ",".join(cls.units), "-o", cls.out, cut, odd)
        cls.page = os.path.join(cls.out, "index.html")
        url = browser.file_url(cls.page)
        cls.dom = browser.dom(url, os.path.join(cls.work, "profile"))
        cls.screen = browser.screenshot(url, os.path.join(cls.work, "profile"),
                                        os.path.join(cls.work, "page.png"), 1400, 2000)

    def test_one_row_per_run_with_its_outcome(self):
        self.assertEqual(self.batch.returncode, 1, self.batch.stderr)
        self.assertEqual(page_runs(self.dom), self.expected)
        self.assertEqual(page_runs(read_page(self.page)), self.expected)
        for r in self.dom.all("tr", "run"):
            self.assertEqual(r.all("td", "error")[0].all_text().startswith("ERROR: Bad SFDU Length"),
                             r.all("td", "outcome")[0].all_text() == "failed")

    def test_links_reach_each_runs_log_and_output(self):
        rows = read_summary(self.out)
        for r, shown in zip(rows, self.dom.all("tr", "run")):
            with self.subTest(tlm=os.path.basename(r["tlm"]), unit=r["unit"]):
                links = {a.all_text(): page_target(self.page, a.attrs["href"]) for a in shown.all("a")}
                want = {"log": r["log"]}
                if r["outcome"] == "ok":
                    want["output"] = r["output"]
                if r["work_file"]:  # a failed run's work file, named by its link
                    want[os.path.basename(r["work_file"])] = r["work_file"]
                self.assertEqual(links, want)
                self.assertTrue(all(os.path.isfile(t) for t in links.values()))

    def test_every_thumbnail_has_loaded_and_links_to_its_quicklook(self):
        # One quick-look per product of each EDR that ended ok, named as the
        # quick-look tool names them.
        stem = os.path.splitext(self.expected[-1][0])[0]
        want = {"%s_con_Concentrator_Housekeeping.png" % stem, "%s_gem_GEM_Housekeeping.png" % stem,
                "%s_gem_GEM_Normal.png" % stem}
        images = self.dom.all("img")
        self.assertEqual(len(images), len(want))
        linked = set()
        for img in images:
            with self.subTest(img=img.attrs["alt"]):
                self.assertEqual(img.parent.tag, "a")
                png = page_target(self.page, img.parent.attrs["href"])
                self.assertTrue(os.path.isfile(png))
                linked.add(os.path.basename(png))
                thumb = browser.load(page_target(self.page, img.attrs["src"]))
                self.assertLessEqual(thumb.shape[:2], (180, 240))
                self.assertIsNotNone(browser.find(self.screen, thumb), "not drawn on the page")
        self.assertEqual(linked, want)
        self.assertEqual([r["quicklooks"] for r in read_summary(self.out)], ["", "", "", "", "1", "2", "", ""])

    def test_the_screenshot_is_not_blank(self):
        colours = np.unique(browser.packed(self.screen))
        self.assertGreater(len(colours), 100)
        self.assertGreater(np.mean(self.screen.min(axis=2) < 128), 0.002)  # dark pixels: text, lines

    def test_a_static_page_written_whole(self):
        root = read_page(self.page)
        self.assertEqual(root.all("script") + root.all("link") + root.all("iframe"), [])
        refs = [e.attrs[a] for e in root.all() for a in ("href", "src") if a in e.attrs]
        self.assertTrue(refs)
        self.assertEqual([r for r in refs if ":" in r or r.startswith("/")], [])
        self.assertEqual(part_files(self.out), [])


class MorningCheck(unittest.TestCase):
    """The report page as an operator reads it the morning after: the
    counts and the runs to look at above the table, each linked to its row
    (the failed runs last in the batch's order here), a run with warnings
    marked as such with its first warning lines, and per run the sizes,
    the record times (SCLK, and UTC with --sclk-epoch) and, for a failed
    run, what it did not deliver and the work file it left."""

    EPOCH = "2000-01-01T12:00:00Z"
    BAD_SIZES = 5  # Concentrator packets of a wrong size: a warning each

    @classmethod
    def setUpClass(cls):
        cls.work = page_work("morning")
        d = ep.Description()
        d.records(ep.BY_MODULE["con_hk"], range(3))
        d.records(ep.BY_MODULE["gem_hk"], range(2))
        for _ in range(cls.BAD_SIZES):
            d.pkt(25, bytes(51))
        cls.warned = os.path.join(cls.work, "warned.tlm")
        d.build(ARGS.tlmbuild, cls.warned)
        cls.cut = cut_tlm(cls.work)
        cls.out = os.path.join(cls.work, "out")
        cls.batch = batch("-u", "con,gem", "--sclk-epoch", cls.EPOCH, "-o", cls.out, cls.warned, cls.cut)
        cls.rows = read_summary(cls.out)
        cls.page = os.path.join(cls.out, "index.html")
        url = browser.file_url(cls.page)
        cls.dom = browser.dom(url, os.path.join(cls.work, "profile"))
        cls.screen = browser.screenshot(url, os.path.join(cls.work, "profile"),
                                        os.path.join(cls.work, "page.png"), 1400, 1000)

    def utc(self, sclk):
        t = datetime.datetime(2000, 1, 1, 12) + datetime.timedelta(seconds=sclk)
        return t.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (t.microsecond // 1000)

    def test_the_counts_and_the_failures_come_before_the_runs(self):
        self.assertEqual(self.batch.returncode, 1, self.batch.stderr)
        order = [e for e in self.dom.all() if e.tag == "table" or
                 set(e.classes()) & {"headline", "failures"}]
        self.assertEqual([e.tag for e in order], ["p", "section", "table"])
        self.assertTrue(order[0].text.startswith("4 runs: "), order[0].text)
        self.assertEqual([(s.all_text(), s.classes()) for s in order[0].all("span")],
                         [("2 ok", ["ok"]), ("1 with warnings", ["warned"]), ("0 no data", ["no-data"]),
                          ("2 failed", ["failed"]), ("0 not run", ["none"])])
        self.assertEqual(page_runs(self.dom), [("warned.tlm", "con", "ok, 5 warnings"), ("warned.tlm", "gem", "ok"),
                                               ("cut.tlm", "con", "failed"), ("cut.tlm", "gem", "failed")])

    def test_each_failure_links_to_its_row_with_its_first_error(self):
        items = self.dom.all("section", "failures")[0].all("li")
        self.assertEqual(len(items), 2)
        rows = {r.attrs["id"]: r for r in self.dom.all("tr", "run")}
        for item, unit in zip(items, ("con", "gem")):
            with self.subTest(unit=unit):
                log = os.path.join(self.out, "cut_%s.log" % unit)
                error = first_error(log)
                self.assertTrue(error.startswith("ERROR: Bad SFDU Length"), error)
                self.assertEqual(item.all("a")[0].all_text(), "cut.tlm " + unit)
                self.assertIn(error, item.all_text())
                row = rows[item.all("a")[0].attrs["href"].lstrip("#")]
                self.assertEqual([row.all("td", c)[0].all_text() for c in ("file", "unit", "outcome", "error")],
                                 ["cut.tlm", unit, "failed", error])

    def test_a_run_with_warnings_is_marked_with_its_first_warning_lines(self):
        with open(os.path.join(self.out, "warned_con.log"), encoding="latin-1") as f:
            logged = [line.rstrip("\n") for line in f if line.startswith("WARNING: ")]
        self.assertEqual(len(logged), self.BAD_SIZES)
        row = self.dom.all("tr", "run")[0]
        self.assertIn("warned", row.classes())
        shown = [li.all_text() for li in row.all("td", "warnings")[0].all("li")]
        self.assertEqual(shown, logged[:3] + ["\u2026 and %d more" % (self.BAD_SIZES - 3)])
        self.assertEqual(self.rows[0]["warning_lines"], " | ".join(logged[:3]))
        self.assertEqual([r["warnings"] for r in self.rows], [str(self.BAD_SIZES), "0", "0", "0"])

    def test_sizes_and_record_times_of_each_run(self):
        con, gem = ep.BY_MODULE["con_hk"], ep.BY_MODULE["gem_hk"]
        times = {("warned.tlm", "con"): (con.time(0), con.time(2)), ("warned.tlm", "gem"): (gem.time(0), gem.time(1))}
        for r in self.rows:
            key = (os.path.basename(r["tlm"]), r["unit"])
            with self.subTest(run=key):
                self.assertEqual(r["tlm_bytes"], str(os.path.getsize(r["tlm"])))
                if key in times:
                    first, last = times[key]
                    self.assertEqual(r["edr_bytes"], str(os.path.getsize(r["output"])))
                    self.assertEqual((r["first_sclk"], r["last_sclk"]), ("%.3f" % first, "%.3f" % last))
                    self.assertEqual((r["first_utc"], r["last_utc"]), (self.utc(first), self.utc(last)))
                else:
                    self.assertEqual([r[c] for c in ("edr_bytes", "first_sclk", "last_sclk", "first_utc")],
                                     ["", "", "", ""])
        shown = self.dom.all("tr", "run")[0].all("td", "times")[0].all_text()
        self.assertIn("UTC " + self.utc(con.time(0)), shown)
        self.assertIn("SCLK %.3f" % con.time(0), shown)

    def test_a_failed_run_names_what_it_did_not_deliver_and_the_work_file_it_left(self):
        # The Concentrator run kept two records before the cut, in its work
        # file; the GEM run kept nothing, so it never made one.
        con, gem = self.rows[2:]
        self.assertEqual((con["not_delivered"], con["work_file"]),
                         (os.path.join(self.out, "cut_con.hdf"), os.path.join(self.out, "cut_con.hdf.tmp")))
        self.assertTrue(os.path.isfile(con["work_file"]))
        self.assertFalse(os.path.exists(con["not_delivered"]))
        self.assertEqual((gem["not_delivered"], gem["work_file"]), (os.path.join(self.out, "cut_gem.hdf"), ""))
        self.assertFalse(os.path.exists(os.path.join(self.out, "cut_gem.hdf.tmp")))
        files = self.dom.all("tr", "run")[2].all("td", "files")[0]
        self.assertIn("not delivered: cut_con.hdf", files.all_text())
        self.assertEqual([page_target(self.page, a.attrs["href"]) for a in files.all("a")],
                         [con["log"], con["work_file"]])
        self.assertEqual([r["not_delivered"] for r in self.rows[:2]], ["", ""])

    def test_the_screenshot_shows_the_failures_box_on_its_first_screen(self):
        self.assertGreater(len(np.unique(browser.packed(self.screen))), 20)
        self.assertGreater(np.mean(self.screen.min(axis=2) < 128), 0.002)  # dark pixels: text, lines
        box = np.all(self.screen[:700] == (0xff, 0xf4, 0xf4), axis=2)  # the failures' background
        self.assertGreater(box.sum(), 10000)


class QuicklooksOfEarlierRuns(unittest.TestCase):
    def test_drawn_without_running_again_and_a_failure_reported(self):
        work = ep.fresh_dir(os.path.join(ARGS.workdir, "draw"))
        tlms = []
        for name in ("a.tlm", "b.tlm"):
            d = ep.Description()
            d.records(ep.BY_MODULE["con_hk"], range(2))
            tlms.append(os.path.join(work, name))
            d.build(ARGS.tlmbuild, tlms[-1])
        out = os.path.join(work, "out")
        first = batch("-u", "con", "-o", out, *tlms)
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(read_page(os.path.join(out, "index.html")).all("img"), [])
        edr = [r["output"] for r in read_summary(out)]
        os.truncate(edr[1], 0)  # b's EDR damaged after its run
        before = os.stat(edr[0]).st_mtime_ns
        then = batch("--quicklook", "-u", "con", "-o", out, *tlms)
        self.assertEqual(then.returncode, 1, then.stderr)
        rows = read_summary(out)
        self.assertEqual([(r["outcome"], r["skipped"], r["quicklooks"]) for r in rows],
                         [("ok", "1", "1"), ("ok", "1", "0")])
        self.assertEqual(rows[0]["error"], "")
        self.assertTrue(rows[1]["error"].startswith("quick-look: "), rows[1]["error"])
        self.assertEqual(os.stat(edr[0]).st_mtime_ns, before)
        self.assertEqual(len(joblog_jobs(out)), 4)
        page = read_page(os.path.join(out, "index.html"))
        self.assertEqual(len(page.all("img")), 1)
        self.assertEqual(len(page.all("p", "quicklook-error")), 1)


class RerunThatFails(unittest.TestCase):
    """A TLM file converted once, then changed so that its runs fail: hlc_edr
    leaves the EDR of the earlier run untouched and tells its failure by its
    exit status alone, so the batch must not count that EDR as this run's."""

    def test_a_failed_run_over_an_earlier_edr_delivers_nothing_plain_or_redone(self):
        work = ep.fresh_dir(os.path.join(ARGS.workdir, "rerun"))
        tlm = os.path.join(work, "a.tlm")
        d = ep.Description()
        d.records(ep.BY_MODULE["con_hk"], range(3), per_packet=1)
        d.quats(range(3))
        d.build(ARGS.tlmbuild, tlm)
        out = os.path.join(work, "out")
        first = batch("--quicklook", "-u", "con,acs", "-o", out, tlm)
        self.assertEqual(first.returncode, 0, first.stdout + first.stderr)
        self.assertEqual([(r["outcome"], r["output"], r["quicklooks"]) for r in read_summary(out)],
                         [("ok", os.path.join(out, "a_con.hdf"), "1"), ("ok", os.path.join(out, "a_quats.txt"), "")])
        earlier = {}
        for name in ("a_con.hdf", "a_quats.txt"):
            with open(os.path.join(out, name), "rb") as f:
                earlier[name] = f.read()

        # The same file cut short in its third record, with another size and
        # modification time: every run ends "ERROR: Bad SFDU Length ...", 255.
        d = ep.Description()
        d.records(ep.BY_MODULE["con_hk"], range(2), per_packet=1)
        d.pkt(25, ep.BY_MODULE["con_hk"].record(5), trunc=60)
        d.build(ARGS.tlmbuild, tlm)
        os.utime(tlm, ns=(1, 1))
        quicklooks = os.path.join(out, "quicklook", "a_con")
        n_jobs = len(joblog_jobs(out))
        for how in ([], ["--redo"], []):
            with self.subTest(options=" ".join(how) or "plain"):
                run = batch(*(how + ["--quicklook", "-u", "con,acs", "-o", out, tlm]))
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                n_jobs += 2  # both runs again: a failed run is never taken as done
                self.assertEqual(len(joblog_jobs(out)), n_jobs)
                rows = read_summary(out)
                for r in rows:
                    self.assertEqual((r["outcome"], r["exit_status"], r["output"], r["quicklooks"], r["skipped"]),
                                     ("failed", "255", "", "", "0"), r["unit"])
                    self.assertTrue(r["error"].startswith("ERROR: Bad SFDU Length"), r["error"])
                    with open(os.path.splitext(r["log"])[0] + ".status") as f:
                        status = json.load(f)
                    self.assertEqual((status["outcome"], status["exit_status"], status["output"]),
                                     ("failed", 255, ""))
                    self.assertFalse(status.get("quicklooks"))
                # The earlier EDR and text are still there, as hlc_edr left them ...
                for name, data in earlier.items():
                    with open(os.path.join(out, name), "rb") as f:
                        self.assertEqual(f.read(), data, name)
                # ... but neither the page nor the quick-looks show them.
                self.assertFalse(os.path.isdir(quicklooks) and os.listdir(quicklooks))
                page = read_page(os.path.join(out, "index.html"))
                self.assertEqual(page_runs(page), [("a.tlm", "con", "failed"), ("a.tlm", "acs", "failed")])
                self.assertEqual([a.all_text() for a in page.all("a") if a.parent.tag == "td"], ["log", "log"])
                self.assertEqual(page.all("img"), [])


# Names of TLM files the batch must take as they are, and how the summary
# and the page show them: bytes that are not UTF-8 and control characters
# escaped, the rest as it is.
ODD_NAMES = ((b"x\xff.tlm", "x\\xff.tlm"), (b"two\nlines.tlm", "two\\nlines.tlm"), (b"-x.tlm", "-x.tlm"))


def href_target(folder, href):
    """The file that a relative link of the page in folder names: its
    percent-encoded bytes decoded, as a browser does."""
    return os.path.join(os.fsencode(folder), urllib.parse.unquote_to_bytes(href))


class AnyFileName(unittest.TestCase):
    """TLM files whose names are not UTF-8, hold a newline or begin with "-",
    given by relative names after "--": every run, its summary row, its
    status and its links on the page."""

    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "names"))
        d = ep.Description()
        d.records(ep.BY_MODULE["con_hk"], range(2))
        d.quats(range(2))
        cls.names = [os.fsdecode(raw) for raw, _ in ODD_NAMES]
        for name in cls.names:
            d.build(ARGS.tlmbuild, os.path.join(cls.work, name))
        cls.out = os.path.join(cls.work, "out")

    def expected_rows(self, skipped):
        """Per run in order, its summary row and the real paths of its
        output and log (bytes)."""
        rows = []
        for raw, shown in ODD_NAMES:
            stem, real = shown[:-len(".tlm")], os.path.join(os.fsencode(self.out), raw[:-len(b".tlm")])
            for unit, tail, records in (("con", "_con", ("2", "")), ("acs", "_quats", ("", "2"))):
                output = ".hdf" if unit == "con" else ".txt"
                rows.append(({"tlm": os.path.join(self.work, shown), "unit": unit, "outcome": "ok",
                              "exit_status": "0", "con_hk": records[0], "acs_quats": records[1],
                              "output": os.path.join(self.out, stem + tail + output),
                              "log": os.path.join(self.out, stem + tail + ".log"),
                              "error": "", "skipped": skipped},
                             real + tail.encode() + output.encode(), real + tail.encode() + b".log"))
        return rows

    def check_batch(self, run, skipped):
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertNotIn("Traceback", run.stdout + run.stderr)
        self.assertEqual(part_files(self.out), [])
        self.assertTrue(os.path.isfile(os.path.join(self.out, "index.html")))
        runs = self.expected_rows(skipped)
        want = [w for w, _, _ in runs]
        rows = read_summary(self.out)
        self.assertEqual([{k: r[k] for k in w} for r, w in zip(rows, want)], want)
        self.assertEqual(len(rows), len(want))
        # The outputs under the real names, holding what the rows count, and
        # the status files keep the real names whole.
        for i, name in enumerate(self.names):
            stem = os.path.splitext(name)[0]
            # pyhdf takes only names it can encode as UTF-8: read through a link.
            link = os.path.join(ep.fresh_dir(os.path.join(self.work, "link")), "%d.hdf" % i)
            os.symlink(os.path.join(self.out, stem + "_con.hdf"), link)
            self.assertEqual(vdata_records(link), {"Concentrator_Housekeeping": 2})
            with open(os.path.join(self.out, stem + "_quats.txt"), "rb") as f:
                self.assertEqual(len(f.read().splitlines()), 2)
            for unit in ("con", "quats"):
                with open(os.path.join(self.out, "%s_%s.status" % (stem, unit)), encoding="utf-8") as f:
                    status = json.load(f)
                self.assertEqual((status["tlm"], status["outcome"]), (os.path.join(self.work, name), "ok"))
        # Each run's row on the page, its name shown as in the summary, its
        # links to the real log and output.
        page = read_page(os.path.join(self.out, "index.html"))
        self.assertEqual(page_runs(page), [(os.path.basename(w["tlm"]), w["unit"], "ok") for w in want])
        for shown, (_, output, log) in zip(page.all("tr", "run"), runs):
            links = {a.all_text(): href_target(self.out, a.attrs["href"]) for a in shown.all("a")}
            self.assertEqual(links, {"log": log, "output": output})
            self.assertTrue(all(os.path.isfile(t) for t in links.values()), links)
        for a in page.all("a"):
            self.assertTrue(os.path.exists(href_target(self.out, a.attrs["href"])), a.attrs["href"])

    def test_runs_rows_outputs_and_links_of_every_name(self):
        first = batch("-u", "con,acs", "-o", self.out, "--", *self.names, cwd=self.work)
        self.check_batch(first, "0")
        # Over the same files again: every run was done, whatever its name,
        # and no job is started.
        joblog = os.path.join(self.out, "parallel.joblog")
        size = os.path.getsize(joblog)
        again = batch("-u", "con,acs", "-o", self.out, "--", *self.names, cwd=self.work)
        self.check_batch(again, "1")
        self.assertEqual(os.path.getsize(joblog), size)

    def test_quicklooks_of_names_of_any_bytes(self):
        # The quick-look tool prints the path of each PNG it wrote, one a
        # line; a name with a newline is still one PNG, and one whose bytes
        # are not UTF-8 is drawn with them escaped in its title.
        out = os.path.join(self.work, "drawn")
        names = self.names
        run = batch("--quicklook", "-u", "con", "-o", out, "--", *names, cwd=self.work)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertNotIn("Traceback", run.stdout + run.stderr)
        self.assertEqual([(r["outcome"], r["quicklooks"], r["error"]) for r in read_summary(out)],
                         [("ok", "1", "")] * len(names))
        page = read_page(os.path.join(out, "index.html"))
        images = page.all("img")
        self.assertEqual(len(images), len(names))
        for img, name in zip(images, names):
            stem = os.fsencode(os.path.splitext(name)[0])
            png = href_target(out, img.parent.attrs["href"])
            self.assertEqual(png, os.path.join(os.fsencode(out), b"quicklook", stem + b"_con",
                                               stem + b"_con_Concentrator_Housekeeping.png"))
            self.assertTrue(os.path.isfile(png))
            self.assertTrue(os.path.isfile(href_target(out, img.attrs["src"])))
        self.assertEqual(part_files(out), [])


def page_work(name):
    """A fresh work folder for a test of the page in Chromium, which it
    skips where there is no Chromium."""
    if browser.chromium() is None:
        raise unittest.SkipTest("no chromium on this machine (tools/setup.sh installs it)")
    return ep.fresh_dir(os.path.join(ARGS.workdir, name))


def cut_tlm(folder):
    """cut.tlm in folder: two Concentrator records, then a packet cut short
    by the end of the file (a fatal "Bad SFDU Length")."""
    d = ep.Description()
    d.records(ep.BY_MODULE["con_hk"], range(2), per_packet=1)
    d.pkt(25, ep.BY_MODULE["con_hk"].record(5), trunc=60)
    path = os.path.join(folder, "cut.tlm")
    d.build(ARGS.tlmbuild, path)
    return path


def pwd_name():
    import pwd
    return pwd.getpwuid(os.geteuid()).pw_name


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    # The batches run here find no program of the system on the PATH.
    ep.without_system_programs()
    unittest.main(argv=argv, verbosity=2)
