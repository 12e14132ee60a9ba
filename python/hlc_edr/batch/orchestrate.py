"""The batch as a whole: its command line, the programs it runs, the lock
of the output folder, the jobs through GNU parallel (or as a Slurm job
array), their rows and the report at the end."""
import argparse
import fcntl
import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time

from hlc_edr._tools import Epoch, ProgramError, end_by_signal, find_program, launcher_folder, on_interrupts, shown
from hlc_edr.batch import report, slurm
from hlc_edr.batch.job import (LOCK_FD_ENV, LOCK_NAME, TEXT_UNIT, already_done, base_name, lacks_quicklooks,
                               load_status, parse_products, paths, say, unit_of)

# The first words of hlc_edr's usage text, which it prints when started
# without arguments.
USAGE_SIGNATURE = b"Halcyon EDR Generator (hlc_edr)"
# How parallel ends a job at --timeout or on an interrupt: one SIGTERM to
# the job, which passes it on to its run; a KILL only after the grace
# period, ample for the run to finish its log and the job to record it.
TERM_SEQUENCE = "TERM,5000,KILL,25"


class Refused(Exception):
    """The batch cannot go on: a message and the exit status."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def probe(path, label, *args):
    """What a program prints on standard output when started with args (b""
    when it does not end within a minute), or raises Refused (usage) when
    it cannot be run."""
    try:
        return subprocess.run([path] + list(args), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60).stdout
    except OSError as e:
        raise Refused("%s: cannot be run: %s" % (label, e.strerror), 2)
    except subprocess.TimeoutExpired:
        return b""


def check_program(given, beside):
    """The absolute path of the hlc_edr to run, or raises Refused (usage)
    saying why there is none or this one cannot be: missing, not
    executable, or a program whose usage text is not hlc_edr's."""
    try:
        path = find_program("hlc_edr", "--program", given, beside)
    except ProgramError as e:
        raise Refused(str(e), 2)
    label = "--program " + given if given is not None else path
    if USAGE_SIGNATURE not in probe(path, label):
        raise Refused("%s: is not hlc_edr (started without arguments, it does not print the usage text "
                      "of the Halcyon EDR Generator)" % label, 2)
    return path


def check_dump(given, beside):
    """The absolute path of the hlc_edr_dump to run and the products it
    names (hlc_edr_dump --products: the module names in the registry's
    order), or raises Refused (usage)."""
    try:
        path = find_program("hlc_edr_dump", "--dump", given, beside)
    except ProgramError as e:
        raise Refused(str(e), 2)
    label = "--dump " + given if given is not None else path
    try:
        products = parse_products(os.fsdecode(probe(path, label, "--products")))
    except ValueError:
        raise Refused("%s: is not hlc_edr_dump (hlc_edr_dump --products does not list the products)"
                      % label, 2)
    return path, products


def check_quicklook(beside):
    """The hlc_edr_quicklook beside this batch's launcher, else the one on
    the PATH, or raises Refused (usage)."""
    try:
        return find_program("hlc_edr_quicklook", "--quicklook", None, beside)
    except ProgramError as e:
        raise Refused(str(e).replace(" (--quicklook names one)", ""), 2)


def choose_units(text, units):
    """The units a -u list names, each once, in its order; all when None."""
    if text is None:
        return list(units)
    chosen = [u.strip() for u in text.split(",") if u.strip()]
    if not chosen or any(u not in units for u in chosen):
        raise Refused("-u: units are a comma-separated list of %s" % ",".join(units), 2)
    return list(dict.fromkeys(chosen))


def positive_seconds(text):
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError("%r is not a number of seconds above 0" % text)
    return seconds


def sclk_epoch(text):
    try:
        return Epoch(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a UTC time YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm]" % text)
    except OSError as e:  # the record library, which reads it, cannot be loaded
        raise argparse.ArgumentTypeError("%r cannot be read: %s" % (text, e))


def lock_outdir(outdir):
    """Creates the output folder if needed and takes its lock; returns the
    lock's descriptor. parallel and every job inherit it, so the lock lasts
    as long as any of them runs, even when the batch itself was killed."""
    if os.path.lexists(outdir) and not os.path.isdir(outdir):
        raise Refused("cannot use the output folder %s: it is not a folder" % outdir, 1)
    lock = os.path.join(outdir, LOCK_NAME)
    try:
        os.makedirs(outdir, exist_ok=True)
        fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)
    except OSError as e:
        raise Refused("cannot use the output folder %s: %s" % (outdir, e.strerror), 1)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        holder = os.read(fd, 200).decode("utf-8", "replace").strip()
        os.close(fd)
        raise Refused("%s is in use by another batch (%s) or by the jobs it left running; nothing was done"
                      % (outdir, holder or "starting"), 2)
    # The tasks of a Slurm job array do not hold the lock: a batch killed
    # while its array runs leaves the array's record, which Slurm is asked about.
    try:
        holder = os.read(fd, 400).decode("utf-8", "replace").strip()
    except OSError:
        holder = ""
    if slurm.array_runs(holder):
        os.close(fd)
        raise Refused("%s is in use by the Slurm job array of an earlier batch (%s), which still runs; "
                      "nothing was done" % (outdir, holder.replace("\n", "; ")), 2)
    # Who holds the lock, for the message above. Writing it also tells at
    # once when the folder is full.
    try:
        os.ftruncate(fd, 0)
        os.lseek(fd, 0, os.SEEK_SET)
        os.write(fd, ("pid %d on %s since %s\n" % (os.getpid(), socket.gethostname(),
                                                    time.strftime("%Y-%m-%d %H:%M:%S"))).encode())
    except OSError as e:
        os.close(fd)
        raise Refused("cannot use the output folder %s: %s" % (outdir, e.strerror), 1)
    return fd


class Interrupts:
    """SIGINT, SIGTERM and SIGHUP of the batch: remembered, and passed to
    parallel's process group as SIGTERM, on which parallel ends its jobs."""

    def __init__(self):
        self.signal = None
        self.group = None
        on_interrupts(self.handle)

    def handle(self, number, frame):
        self.signal = self.signal or number
        self.end_group()

    def end_group(self):
        if self.group is not None:
            try:
                os.killpg(self.group, signal.SIGTERM)
            except ProcessLookupError:
                pass

    def started(self, group):
        self.group = group
        if self.signal:
            self.end_group()

    def finish(self, status):
        """Ends the batch by the signal that interrupted it, else with status."""
        return status if self.signal is None else end_by_signal(self.signal)


def job_command(args, outdir):
    """A job's command but for its TLM file, unit and mode: the launcher
    again, in its job mode, with this batch's programs and products."""
    return [sys.executable, args.launcher, "--run-job", args.program, args.dump, args.quicklook_tool,
            ",".join(args.products), outdir]


def run_parallel(args, jobs, outdir, lock_fd, interrupts):
    """Runs the jobs through GNU parallel in a process group of its own;
    returns parallel's exit status. Each job is the launcher again, in its
    job mode, with this batch's programs and products."""
    with tempfile.TemporaryDirectory(prefix="hlc_edr_batch.") as tmp:
        lists = []
        for i, name in enumerate(("tlm", "unit", "mode")):
            lists.append(os.path.join(tmp, name))
            with open(lists[-1], "wb") as f:
                f.write(b"".join(os.fsencode(job[i]) + b"\0" for job in jobs))
        cmd = ["parallel", "--will-cite", "--null", "--joblog", "+" + os.path.join(outdir, "parallel.joblog"),
               "--termseq", TERM_SEQUENCE]
        if args.jobs:
            cmd += ["--jobs", args.jobs]
        if args.timeout:
            cmd += ["--timeout", "%g" % args.timeout]
        for login in args.sshlogin:
            cmd += ["--sshlogin", login]
        for login_file in args.sshloginfile:
            cmd += ["--sshloginfile", login_file]
        if sys.stderr.isatty():
            cmd.append("--bar")
        # parallel quotes the replacement strings; the fixed words are quoted here.
        cmd.append(" ".join(shlex.quote(w) for w in job_command(args, outdir)) + " {1} {2} {3}")
        cmd += ["::::", lists[0], "::::+", lists[1], "::::+", lists[2]]
        env = dict(os.environ, **{LOCK_FD_ENV: str(lock_fd)})
        try:
            p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, pass_fds=(lock_fd,), env=env,
                                 process_group=0)
        except OSError as e:
            raise Refused("cannot start GNU parallel: %s" % e.strerror, 2)
        interrupts.started(p.pid)
        return p.wait()


def joblog_exits(joblog, offset):
    """Exit value per job number of the job log's lines from offset on:
    the lines of this invocation, as the lock keeps other batches out."""
    exits = {}
    try:
        with open(joblog, "rb") as f:
            f.seek(offset)
            for line in f:
                fields = line.split(b"\t")
                if len(fields) > 6 and fields[0].isdigit():
                    exits[int(fields[0])] = int(fields[6])
    except (OSError, ValueError):
        pass
    return exits


def job_row(outdir, tlm, unit, mode, exit_value, timeout):
    """The summary row of a job of this invocation: its status, or what the
    job log says of a job that left none."""
    _, log, status = paths(outdir, tlm, unit)
    row = load_status(status)
    timed_out = exit_value == -1 and timeout
    if row is None:
        row = {"tlm": tlm, "unit": unit, "outcome": "not run", "exit_status": "", "output": "",
               "log": log if os.path.exists(log) else ""}
        if exit_value is not None:
            row.update(outcome="failed", error="the job ended with exit status %d and left no result"
                       % exit_value)
    if timed_out and row["outcome"] != "ok":
        row.update(outcome="failed", error="timed out after %g s" % timeout)
    elif timed_out and mode != "edr" and row["unit"] != TEXT_UNIT:
        row["quicklook_error"] = "timed out after %g s" % timeout
    row["skipped"] = 1 if mode == "quicklook" else 0
    return row


def tally_counts(rows, quicklook):
    """Runs per outcome, runs skipped and quick-looks failed among rows."""
    counts = {k: 0 for k in ("ok", "no data", "failed", "not run")}
    for row in rows:
        counts[row["outcome"]] = counts.get(row["outcome"], 0) + 1
    counts["skipped"] = sum(r["skipped"] for r in rows)
    counts["no quicklooks"] = sum(1 for r in rows if r.get("quicklook_error")) if quicklook else 0
    return counts


def tally_words(counts, runs, quicklook):
    """The line that sums up a batch of these counts, and its exit status."""
    text = "%d runs: %d ok, %d no data, %d failed, %d not run (%d done before)" % (
        runs, counts["ok"], counts["no data"], counts["failed"], counts["not run"], counts["skipped"])
    if quicklook:
        text += "; quick-looks failed for %d EDRs" % counts["no quicklooks"]
    return text, 0 if counts["failed"] == counts["not run"] == counts["no quicklooks"] == 0 else 1


def tally_text(rows, runs, quicklook):
    """The line that sums up a batch, and its exit status."""
    return tally_words(tally_counts(rows, quicklook), runs, quicklook)


def find_programs(args):
    """Sets in args the launcher, the programs that the jobs run (--program,
    --dump, the quick-look with --quicklook: by option, beside the launcher
    or on the PATH) and the products; gives the units chosen (-u)."""
    beside = launcher_folder()
    args.launcher = os.path.realpath(sys.argv[0])
    args.program = check_program(args.program, beside)
    args.dump, args.products = check_dump(args.dump, beside)
    args.quicklook_tool = check_quicklook(beside) if args.quicklook else ""
    return choose_units(args.units, list(dict.fromkeys([unit_of(p) for p in args.products] + [TEXT_UNIT])))


def batch(args, interrupts):
    """The batch after its command line; returns the exit status."""
    units = find_programs(args)
    outdir = os.path.abspath(args.outdir)
    tlms = list(dict.fromkeys(os.path.abspath(t) for t in args.tlm))
    by_base = {}
    for t in tlms:
        by_base.setdefault(base_name(t, "con"), []).append(t)
    clashes = [v for v in by_base.values() if len(v) > 1]
    if clashes:
        raise Refused("\n".join("these TLM files would share their output names: %s" % " ".join(v)
                                for v in clashes), 2)
    lock_fd = lock_outdir(outdir)

    pairs = [(t, u) for t in tlms for u in units]
    rows = {}
    jobs = []
    for t, u in pairs:
        done = None if args.redo else already_done(outdir, t, u)
        if done is None:
            jobs.append((t, u, "edr+quicklook" if args.quicklook else "edr"))
        elif args.quicklook and lacks_quicklooks(done):
            jobs.append((t, u, "quicklook"))
        else:
            done["skipped"] = 1
            rows[(t, u)] = done

    joblog = os.path.join(outdir, "parallel.joblog")
    offset = os.path.getsize(joblog) if os.path.exists(joblog) else 0
    if jobs and not interrupts.signal:
        try:  # what an earlier run of these jobs left is not this invocation's result
            for t, u, mode in jobs:
                status = paths(outdir, t, u)[2]
                if mode != "quicklook" and os.path.exists(status):
                    os.remove(status)
        except OSError as e:
            raise Refused("cannot use the output folder %s: %s" % (outdir, e.strerror), 1)
        if args.engine == "slurm":
            try:
                ran = slurm.run_array(args, jobs, outdir, lock_fd, interrupts)
            except slurm.SlurmRefused as e:
                raise Refused(str(e), 2)
            except OSError as e:
                raise Refused("cannot use the output folder %s: %s" % (outdir, e.strerror), 1)
            rows.update(((t, u), row) for (t, u, _), row in zip(jobs, ran))
        else:
            run_parallel(args, jobs, outdir, lock_fd, interrupts)
    exits = joblog_exits(joblog, offset)  # none from the jobs of a job array
    for seq, (t, u, mode) in enumerate(jobs, 1):
        rows.setdefault((t, u), job_row(outdir, t, u, mode, exits.get(seq), args.timeout))
    rows = [rows[pair] for pair in pairs]

    text, status = tally_text(rows, len(pairs), args.quicklook)
    summary = os.path.join(outdir, "summary.csv")
    index = os.path.join(outdir, "index.html")
    try:
        report.write_summary(summary, rows, args.products, outdir, args.sclk_epoch)
        report.write_index(index, outdir, rows, text, args.products, args.sclk_epoch)
    except OSError as e:
        raise Refused("cannot write %s: %s" % (e.filename, e.strerror), 1)
    print("hlc_edr_batch: %s; summary %s, report %s" % (text, shown(summary), shown(index)))
    return status


def main(argv):
    ap = argparse.ArgumentParser(
        prog="hlc_edr_batch",
        description="Runs hlc_edr for every chosen unit on every TLM file through GNU parallel or Slurm. "
                    "hlc_edr, hlc_edr_dump and hlc_edr_quicklook are the ones the options name, else "
                    "those in this launcher's folder, else those on the PATH.")
    ap.add_argument("tlm", nargs="+", help="TLM files")
    ap.add_argument("-o", "--outdir", required=True, help="output folder (created if missing)")
    ap.add_argument("-u", "--units", help="comma-separated units (default: every unit: those of the products "
                                          "that hlc_edr_dump --products names, and acs)")
    ap.add_argument("-j", "--jobs", help="jobs at a time per machine (default: one per core); with Slurm, "
                                         "tasks of the job array at a time (default: as many as Slurm gives)")
    ap.add_argument("--timeout", type=positive_seconds,
                    help="seconds a run may take; parallel ends a longer one, which counts as failed; with "
                         "Slurm, each task's time limit, in whole minutes")
    ap.add_argument("--engine", choices=("parallel", "slurm"), default="parallel",
                    help="what runs the jobs: GNU parallel (the default), or Slurm, as one job array "
                         "submitted with sbatch to the cluster that SLURM_CONF or the site names")
    ap.add_argument("--slurm-option", action="append", default=[], metavar="OPT",
                    help="passed to sbatch, as --slurm-option=--partition=P (repeatable)")
    ap.add_argument("-S", "--sshlogin", action="append", default=[], help="passed to GNU parallel")
    ap.add_argument("--sshloginfile", action="append", default=[], help="passed to GNU parallel")
    ap.add_argument("--program", help="the hlc_edr program (default: the one in this launcher's folder, "
                                      "else the one on the PATH)")
    ap.add_argument("--dump", help="the hlc_edr_dump program, which names the products and counts the records "
                                   "of each EDR, and which the quick-looks read through (default: the one in "
                                   "this launcher's folder, else the one on the PATH)")
    ap.add_argument("--redo", action="store_true", help="run again what an earlier invocation finished")
    ap.add_argument("--quicklook", action="store_true",
                    help="also draw the quick-looks of every EDR that ended ok (hlc_edr_quicklook)")
    ap.add_argument("--sclk-epoch", type=sclk_epoch, metavar="EPOCH",
                    help="the UTC of spacecraft clock 0 (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm]), as "
                         "hlc_edr_dump --sclk-epoch takes it: the summary and the page give record times in "
                         "UTC too")
    args = ap.parse_args(argv)
    if args.engine == "slurm" and (args.sshlogin or args.sshloginfile):
        ap.error("--sshlogin and --sshloginfile are GNU parallel's: Slurm chooses the machines")
    if args.engine != "slurm" and args.slurm_option:
        ap.error("--slurm-option needs --engine slurm")
    interrupts = Interrupts()
    try:
        status = batch(args, interrupts)
    except Refused as e:
        for line in str(e).split("\n"):
            say(line)
        status = e.status
    return interrupts.finish(status)
