"""End-to-end tests of hlc_edr_batch --engine slurm on a real Slurm: a
single-node cluster on 127.0.0.1 that tools/slurm/test_cluster.sh starts
in this test's work folder (its own configuration, MUNGE key and socket,
state and free ports, so that other suites can run beside it) and stops
at the end, with nothing of it left running. The batches reach it through
SLURM_CONF, as Slurm's clients do.
Tried: good and cut TLM files, a restart that runs only what is not done,
a run that Slurm ends at its time limit, an interrupt that cancels the job
array, a killed batch whose array still runs, and what sbatch is given.
The whole file is skipped, saying why, only when the cluster cannot start."""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import edr_patterns as ep  # noqa: E402
import test_batch as tb  # noqa: E402

ARGS = None
CLUSTER = None  # the cluster's folder while it runs
SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      "tools", "slurm", "test_cluster.sh")
PROGRESS = re.compile(r"slurm job array (\d+): (\d+) pending, (\d+) running, (\d+) done, (\d+) failed of (\d+)$")


def setUpModule():
    global CLUSTER
    folder = os.path.join(ARGS.workdir, "slurm-cluster")
    env = {k: v for k, v in os.environ.items() if not k.startswith("SLURM_")}
    started = subprocess.run(["bash", SCRIPT, "start", folder], env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
    if started.returncode != 0:
        raise unittest.SkipTest("the test cluster cannot start: " + started.stderr.strip().replace("\n", " | "))
    CLUSTER = folder
    os.environ["SLURM_CONF"] = started.stdout.strip().split("=", 1)[1]


def tearDownModule():
    if CLUSTER is not None:
        subprocess.run(["bash", SCRIPT, "stop", CLUSTER], stdin=subprocess.DEVNULL, timeout=300)


def slurm_batch(*args, limit=600):
    return tb.batch("--engine", "slurm", *args, limit=limit)


def start_batch(work, *args):
    """A batch in the background, its output in work/batch.out."""
    with open(os.path.join(work, "batch.out"), "wb") as out:
        return subprocess.Popen([ARGS.tool, "--program", ARGS.program, "--dump", ARGS.dump, "--engine", "slurm"]
                                + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=out)


def progress(stderr):
    """The progress lines a batch printed, as tuples of numbers."""
    return [tuple(int(n) for n in m.groups()) for m in map(PROGRESS.search, stderr.splitlines()) if m]


def jobs_of_cluster():
    """Every job the cluster has not finished, as squeue lists them."""
    return subprocess.run(["squeue", "--noheader", "--array", "--format", "%i %T"], capture_output=True,
                          text=True, check=True).stdout.split("\n")[:-1]


def wait_for_no_jobs(limit=300):
    end = time.monotonic() + limit
    while jobs_of_cluster():
        if time.monotonic() > end:
            raise AssertionError("jobs left: %s" % jobs_of_cluster())
        time.sleep(0.2)


def job_field(job, field):
    out = subprocess.run(["scontrol", "--oneliner", "show", "job", job], capture_output=True, text=True).stdout
    return re.findall(r"(?:^|\s)%s=(\S*)" % field, out)


class GoodAndCutFiles(unittest.TestCase):
    """Every unit of three files (every product; some units only; cut
    short) as one job array: the same rows as through GNU parallel, then a
    restart that runs only the runs that failed."""

    @classmethod
    def setUpClass(cls):
        cls.work = ep.fresh_dir(os.path.join(ARGS.workdir, "slurm-every-kind"))
        cls.expected = tb.make_files(cls.work)
        cls.tlms = list(dict.fromkeys(t for t, _ in cls.expected))
        cls.out = os.path.join(cls.work, "out")
        cls.first = slurm_batch("-o", cls.out, *cls.tlms)
        cls.rows = tb.read_summary(cls.out)

    def test_rows_outcomes_records_and_warnings(self):
        self.assertEqual(self.first.returncode, 1, self.first.stderr)
        self.assertEqual([(r["tlm"], r["unit"]) for r in self.rows], list(self.expected))
        for r in self.rows:
            outcome, status, counts, warnings = self.expected[(r["tlm"], r["unit"])]
            with self.subTest(tlm=os.path.basename(r["tlm"]), unit=r["unit"]):
                self.assertEqual((r["outcome"], r["exit_status"], r["warnings"]),
                                 (outcome, str(status), str(warnings)))
                self.assertEqual({c: r[c] for c in tb.COLUMNS if r[c] != ""},
                                 {c: str(n) for c, n in counts.items()})
                if outcome == "failed":
                    self.assertEqual(r["error"], tb.first_error(r["log"]))
                    self.assertTrue(r["error"].startswith("ERROR: "), r["error"])
                    self.assertEqual(r["output"], "")
                else:
                    self.assertEqual(r["error"], "")
                if outcome == "ok":
                    self.assertEqual(r["output"], os.path.join(self.out, tb.output_name(r["tlm"], r["unit"])))
                    self.assertTrue(os.path.isfile(r["output"]))

    def test_progress_while_the_array_runs_ends_with_every_task(self):
        shown = progress(self.first.stderr)
        self.assertTrue(shown, self.first.stderr)
        failed = sum(1 for r in self.rows if r["outcome"] == "failed")
        self.assertEqual(shown[-1][1:], (0, 0, len(self.rows) - failed, failed, len(self.rows)))
        self.assertEqual(len({s[0] for s in shown}), 1)  # one job array
        self.assertIn("%d runs: " % len(self.rows), self.first.stdout)

    def test_a_restart_runs_only_what_failed(self):
        again = slurm_batch("-o", self.out, *self.tlms)
        self.assertEqual(again.returncode, 1, again.stderr)
        failed = [(r["tlm"], r["unit"]) for r in self.rows if r["outcome"] == "failed"]
        self.assertEqual(progress(again.stderr)[-1][1:], (0, 0, 0, len(failed), len(failed)))
        rows = tb.read_summary(self.out)
        self.assertEqual([(r["tlm"], r["unit"], r["skipped"]) for r in rows],
                         [(r["tlm"], r["unit"], "0" if (r["tlm"], r["unit"]) in failed else "1") for r in self.rows])
        self.assertEqual([r["outcome"] for r in rows], [r["outcome"] for r in self.rows])
        # Nothing left to run: no job array at all.
        last = slurm_batch("-o", self.out, self.tlms[0])
        self.assertEqual(last.returncode, 0, last.stderr)
        self.assertEqual(progress(last.stderr), [])


class OneFolderEach(unittest.TestCase):
    """A work folder per test, with c.tlm: two Concentrator records."""

    def setUp(self):
        self.work = ep.fresh_dir(os.path.join(ARGS.workdir, "slurm-" + self._testMethodName))
        self.regular, self.data = ep.con_file(self.work, ARGS.tlmbuild)
        self.out = os.path.join(self.work, "out")


class SlurmEndsAndCancels(OneFolderEach):
    """Runs that block reading their TLM files, FIFOs, until the test feeds
    them, ended by Slurm or by the batch."""

    def fifos(self, *names):
        made = [os.path.join(self.work, n) for n in names]
        for path in made:
            os.mkfifo(path)
        return made

    def test_a_run_past_its_time_limit_fails_with_slurms_reason(self):
        # --timeout 1 is a time limit of a minute, Slurm's unit; Slurm ends
        # the task within its next check, one SIGTERM to each process,
        # on which the run finishes its log.
        tlm, = self.fifos("a.tlm")
        held = os.open(tlm, os.O_RDWR)  # a writer that never writes
        try:
            run = slurm_batch("-u", "con", "--timeout", "1", "-o", self.out, tlm)
        finally:
            os.close(held)
        self.assertEqual(run.returncode, 1, run.stderr)
        row, = tb.read_summary(self.out)
        self.assertEqual((row["outcome"], row["exit_status"], row["error"]),
                         ("failed", "143", "Slurm: time limit (TIMEOUT, TimeLimit)"))
        self.assertEqual(tb.last_line(row["log"]), "ERROR: Interrupted by signal SIGTERM.")
        with open(row["log"], encoding="latin-1") as f:
            self.assertEqual(f.read().count("ERROR: "), 1)
        self.assertFalse(os.path.exists(os.path.join(self.out, "a_con.hdf")))
        array = str(progress(run.stderr)[-1][0])
        self.assertEqual(job_field(array, "TimeLimit"), ["00:01:00"])
        self.assertEqual(job_field(array, "JobState"), ["TIMEOUT"])

    def test_an_interrupt_cancels_the_array_and_ends_the_batch_by_its_signal(self):
        a, b = self.fifos("a.tlm", "b.tlm")
        run = start_batch(self.work, "-u", "con", "-j", "1", "-o", self.out, a, b)
        with open(a, "wb"):  # returns once the first task's hlc_edr reads
            run.send_signal(signal.SIGINT)
            self.assertEqual(run.wait(timeout=300), -signal.SIGINT)  # the limit ends a batch that hangs
        self.assertEqual(jobs_of_cluster(), [])  # nothing left running
        rows = tb.read_summary(self.out)
        self.assertEqual([(r["outcome"], r["error"]) for r in rows],
                         [("failed", "Slurm: cancelled (CANCELLED)"), ("not run", "")])
        self.assertEqual(rows[0]["exit_status"], "143")
        # One SIGTERM, from Slurm, on which the run finished its log.
        self.assertEqual(tb.last_line(rows[0]["log"]), "ERROR: Interrupted by signal SIGTERM.")
        self.assertFalse(os.path.exists(os.path.join(self.out, "b_con.log")))
        self.assertTrue(tb.lock_is_free(self.out))

    def test_a_killed_batch_leaves_the_folder_to_its_array_until_it_ends(self):
        a, = self.fifos("a.tlm")
        first = start_batch(self.work, "-u", "con", "-o", self.out, a)
        writer = open(a, "wb")  # returns once the task's hlc_edr reads
        first.kill()
        first.wait()
        refused = slurm_batch("-u", "con", "-o", self.out, a, limit=120)
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertEqual(len(refused.stderr.splitlines()), 1, refused.stderr)
        self.assertIn("is in use by the Slurm job array of an earlier batch", refused.stderr)
        writer.write(self.data)
        writer.close()
        wait_for_no_jobs()
        with open(os.path.join(self.out, "a_con.status")) as f:
            self.assertEqual(json.load(f)["outcome"], "ok")
        then = slurm_batch("-u", "con", "-o", self.out, self.regular)
        self.assertEqual(then.returncode, 0, then.stderr)
        with open(os.path.join(self.out, ".hlc_edr_batch.lock"), "rb") as f:
            record = f.read()
        self.assertRegex(record, rb"\Apid \d+ on [^\0]*\nslurm job array \d+\n\Z")  # the last batch's alone


class WhatSbatchIsGiven(OneFolderEach):

    def test_slurm_options_reach_sbatch_and_its_refusal_is_exit_2(self):
        run = slurm_batch("-u", "con,acs", "--slurm-option=--job-name=nightly", "--slurm-option=--nice=5",
                          "-o", self.out, self.regular)
        self.assertEqual(run.returncode, 0, run.stderr)
        array = str(progress(run.stderr)[-1][0])
        self.assertEqual(job_field(array, "JobName"), ["nightly", "nightly"])
        self.assertEqual(job_field(array, "Nice"), ["5", "5"])
        self.assertEqual([r["outcome"] for r in tb.read_summary(self.out)], ["ok", "no data"])
        bad = slurm_batch("--redo", "-u", "con", "--slurm-option=--partition=nosuch", "-o", self.out, self.regular)
        self.assertEqual(bad.returncode, 2, bad.stderr)
        self.assertIn("cannot submit the job array: ", bad.stderr)
        self.assertIn("partition", bad.stderr)

    def test_options_of_the_other_engine_are_usage_errors(self):
        for args in (("--engine", "slurm", "--sshlogin", ":"), ("--slurm-option=--nice=1",),
                     ("--engine", "nosuch")):
            with self.subTest(args=args):
                run = tb.batch(*args, "-o", self.out, self.regular)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertFalse(os.path.exists(self.out))


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    tb.ARGS = ARGS
    ep.without_system_programs()
    unittest.main(argv=argv, verbosity=2)
