"""The batch's jobs as one Slurm job array: submitted with sbatch, followed
with squeue while it runs, cancelled with scancel on an interrupt, and the
end of every task read back from Slurm (scontrol, else sacct), so that a
task that Slurm ended (time limit, memory, node failure) is a failed run
with Slurm's reason. The cluster is the one Slurm's clients find in the
environment: SLURM_CONF, else the site's default configuration."""
import math
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

from hlc_edr.batch.job import DONE, load_status, paths, say, write_task_list

# The folder, in the output folder, of the job arrays' task lists and of
# what Slurm kept of each task's own messages (SLURM_FOLDER/ID_TASK.out).
SLURM_FOLDER = "slurm"
# How long a query of Slurm may take, and how often the batch asks.
QUERY_SECONDS = 60
POLL_SECONDS = 0.5
# How long the batch waits for a squeue that cannot tell about the array.
SILENCE_SECONDS = 600
# States in which Slurm itself ended a task (what it ran did not end by
# itself), and the words the error column gives them.
ENDED_BY_SLURM = {
    "TIMEOUT": "time limit",
    "OUT_OF_MEMORY": "out of memory",
    "NODE_FAIL": "node failure",
    "BOOT_FAIL": "node failed to boot",
    "PREEMPTED": "preempted",
    "DEADLINE": "deadline",
    "CANCELLED": "cancelled",
}
# States of a task that has not ended.
LIVE = {"PENDING", "RUNNING", "CONFIGURING", "COMPLETING", "SUSPENDED", "REQUEUED", "RESIZING", "SIGNALING",
        "STAGE_OUT", "STOPPED", "REQUEUE_HOLD", "REQUEUE_FED", "RESV_DEL_HOLD", "SPECIAL_EXIT"}
ARRAY_RECORD = re.compile(r"(?:^|\s)slurm job array (\d+)")


class SlurmRefused(Exception):
    """Slurm cannot take the batch: a message (exit status 2)."""


def run_client(args):
    """A Slurm client's exit status, standard output and first line of
    messages; (None, "", why) when it cannot be run or does not answer."""
    try:
        p = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=QUERY_SECONDS)
    except OSError as e:
        return None, "", "cannot run %s: %s" % (args[0], e.strerror)
    except subprocess.TimeoutExpired:
        return None, "", "%s did not answer within %d s" % (args[0], QUERY_SECONDS)
    messages = os.fsdecode(p.stderr).strip().splitlines()
    return p.returncode, os.fsdecode(p.stdout), messages[0] if messages else "exit status %d" % p.returncode


def unknown_job(message):
    return "Invalid job id" in message


def live_tasks(array):
    """{task index: state} of the array's tasks that have not ended, {} when
    none is left, None when squeue cannot tell now."""
    rc, out, message = run_client(["squeue", "--noheader", "--array", "--jobs", array, "--format", "%K %T"])
    if rc != 0:
        return {} if rc is not None and unknown_job(message) else None
    live = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 2:
            for i in task_indexes(fields[0]):
                live[i] = fields[1]
    return live


def array_runs(record):
    """Whether the job array that a lock file names (its last holder's
    record) still has tasks that have not ended: a batch killed while its
    array runs leaves the folder to the array. False when the record names
    none, or Slurm cannot be asked."""
    m = ARRAY_RECORD.search(record)
    if not m:
        return False
    live = live_tasks(m.group(1))
    return bool(live)


def task_indexes(text):
    """The task indexes of Slurm's notation: "4", "3-9", "1,3-5:2", "[0-9%2]"."""
    text = text.strip("[]").split("%")[0]
    indexes = []
    for part in text.split(","):
        m = re.fullmatch(r"(\d+)(?:-(\d+)(?::(\d+))?)?", part)
        if m:
            first = int(m.group(1))
            last = int(m.group(2)) if m.group(2) else first
            indexes += range(first, last + 1, int(m.group(3) or 1))
    return indexes


def ended_tasks(array):
    """{task index: (state, reason)} of the array's tasks as Slurm knows
    them: scontrol while it keeps the jobs (MinJobAge after their end),
    else the accounting (sacct), where there is one."""
    ends = {}
    rc, out, _ = run_client(["scontrol", "--oneliner", "show", "job", array])
    if rc == 0:
        for line in out.splitlines():
            task = re.search(r"(?:^|\s)ArrayTaskId=(\S+)", line)
            state = re.search(r"(?:^|\s)JobState=(\S+)", line)
            reason = re.search(r"(?:^|\s)Reason=(\S+)", line)
            if task and state:
                for i in task_indexes(task.group(1)):
                    ends[i] = (state.group(1), reason.group(1) if reason else "")
    if ends:
        return ends
    rc, out, _ = run_client(["sacct", "--noheader", "--parsable2", "--allocations", "--jobs", array,
                             "--format", "JobID,State,Reason"])
    if rc == 0:
        for line in out.splitlines():
            fields = line.split("|")
            if len(fields) >= 2 and "_" in fields[0]:
                for i in task_indexes(fields[0].split("_", 1)[1]):
                    ends[i] = (fields[1].split()[0] if fields[1] else "", fields[2] if len(fields) > 2 else "")
    return ends


def ended_by_slurm(end):
    """The error column's words for a task that Slurm ended, else ""."""
    if end is None or end[0] not in ENDED_BY_SLURM:
        return ""
    state, reason = end
    text = "Slurm: %s (%s" % (ENDED_BY_SLURM[state], state)
    return text + (", %s)" % reason if reason and reason not in ("None", state) else ")")


def time_limit(seconds):
    """sbatch's --time for a run's seconds: Slurm counts whole minutes."""
    return "%d" % max(1, math.ceil(seconds / 60))


def task_row(outdir, tlm, unit, mode, end):
    """The summary row of a task of this invocation: its status, or what
    Slurm says of a task that left none; a task that Slurm ended is a
    failed run with Slurm's reason (or, when its EDR had been delivered, a
    quick-look that failed)."""
    _, log, status = paths(outdir, tlm, unit)
    row = load_status(status)
    by_slurm = ended_by_slurm(end)
    if row is None:
        row = {"tlm": tlm, "unit": unit, "outcome": "not run", "exit_status": "", "output": "",
               "log": log if os.path.exists(log) else ""}
        if by_slurm and os.path.exists(log):
            row.update(outcome="failed", error=by_slurm)
        elif end is not None and end[0] not in ("PENDING", "CANCELLED"):
            row.update(outcome="failed", error=by_slurm or "the task ended %s and left no result" % end[0])
    elif by_slurm and row["outcome"] != "ok":
        row.update(outcome="failed", error=by_slurm)
    elif by_slurm and mode != "edr" and not row.get("quicklooks"):
        row["quicklook_error"] = by_slurm
    row["skipped"] = 1 if mode == "quicklook" else 0
    return row


class Progress:
    """The array's progress on standard error, a line when it changes (on a
    terminal, one line drawn over)."""

    def __init__(self, array, count):
        self.array, self.count, self.last = array, count, None
        self.tty = sys.stderr.isatty()

    def show(self, live, finished):
        pending = sum(1 for s in live.values() if s == "PENDING")
        done = sum(1 for ok in finished.values() if ok)
        text = "hlc_edr_batch: slurm job array %s: %d pending, %d running, %d done, %d failed of %d" % (
            self.array, pending, len(live) - pending, done, len(finished) - done, self.count)
        if text != self.last:
            print(("\r" + text) if self.tty else text, end="" if self.tty else "\n", file=sys.stderr, flush=True)
            self.last = text

    def end(self):
        if self.tty and self.last:
            print(file=sys.stderr)


def note_finished(finished, outdir, jobs, live):
    """Adds to finished, {task index: whether it is done}, the tasks that
    are no longer pending or running, by the status files they wrote; each
    task's file is read once."""
    for i, (t, u, _) in enumerate(jobs):
        if i not in live and i not in finished:
            row = load_status(paths(outdir, t, u)[2])
            finished[i] = row is not None and row.get("outcome") in DONE and not row.get("quicklook_error")
    return finished


def run_array(args, jobs, outdir, lock_fd, interrupts):
    """Runs the jobs as one Slurm job array and waits for its end, showing
    its progress; an interrupt cancels it. Returns the rows of the jobs,
    in their order."""
    folder = os.path.join(outdir, SLURM_FOLDER)
    os.makedirs(folder, exist_ok=True)
    fd, task_list = tempfile.mkstemp(prefix="tasks-", suffix=".json", dir=folder)
    os.close(fd)
    try:
        write_task_list(task_list, args.program, args.dump, args.quicklook_tool, args.products, outdir, jobs)
        array = submit(args, len(jobs), outdir, task_list)
        record_array(lock_fd, array)
        progress = Progress(array, len(jobs))
        cancelled = False
        finished = {}
        answered = time.monotonic()
        while True:
            if interrupts.signal and not cancelled:
                run_client(["scancel", array])
                cancelled = True
            live = live_tasks(array)
            if live is not None:
                answered = time.monotonic()
                progress.show(live, note_finished(finished, outdir, jobs, live))
                if not live:
                    break
            elif time.monotonic() - answered > SILENCE_SECONDS:
                progress.end()
                say("squeue has not answered for %d s: the results of job array %s that are not in yet "
                    "are not counted; a restart runs them again once it has ended" % (SILENCE_SECONDS, array))
                break
            time.sleep(POLL_SECONDS)
        progress.end()
        ends = ended_tasks(array)
    finally:
        os.remove(task_list)
    for name in os.listdir(folder):  # what a task printed, kept only when it printed something
        path = os.path.join(folder, name)
        if name.endswith(".out") and os.path.getsize(path) == 0:
            os.remove(path)
    return [task_row(outdir, t, u, mode, ends.get(i)) for i, (t, u, mode) in enumerate(jobs)]


def submit(args, count, outdir, task_list):
    """The job array's id, from sbatch; raises SlurmRefused when sbatch
    cannot be run or refuses the array."""
    array = "0-%d" % (count - 1) + ("%%%s" % args.jobs if args.jobs else "")
    script = "exec %s" % " ".join(shlex.quote(w) for w in (sys.executable, args.launcher, "--run-task", task_list))
    cmd = ["sbatch", "--parsable", "--array", array, "--job-name", "hlc_edr_batch", "--chdir", outdir,
           "--output", os.path.join(outdir, SLURM_FOLDER, "%A_%a.out"), "--no-requeue"]
    if args.timeout:
        cmd += ["--time", time_limit(args.timeout)]
    cmd += args.slurm_option + ["--wrap", script]
    rc, out, message = run_client(cmd)
    if rc != 0:
        raise SlurmRefused("cannot submit the job array: %s" % message)
    array = out.strip().split(";")[0]
    if not array.isdigit():
        raise SlurmRefused("cannot submit the job array: sbatch printed %r" % out.strip())
    return array


def record_array(lock_fd, array):
    """Adds the job array to the lock file's record of its holder."""
    try:
        os.lseek(lock_fd, 0, os.SEEK_END)
        os.write(lock_fd, ("slurm job array %s\n" % array).encode())
    except OSError:
        pass
