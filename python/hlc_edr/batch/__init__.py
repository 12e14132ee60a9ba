"""hlc_edr_batch: runs hlc_edr for every chosen unit on every TLM file given,
through GNU parallel or as a Slurm job array, and writes a summary of the
runs.

  hlc_edr_batch -o OUTDIR [-u gem,gim,con,mec,acs] [-j N] [--timeout SECONDS]
                [--engine parallel|slurm] [--slurm-option OPT]...
                [--sshlogin LOGIN]... [--sshloginfile FILE]... [--program HLC_EDR]
                [--dump HLC_EDR_DUMP] [--redo] [--quicklook] [--sclk-epoch EPOCH] TLM...

The programs: hlc_edr (--program) and hlc_edr_dump (--dump) are the ones
the options name, else those in the folder of the hlc_edr_batch launcher
(the installed bin/ folder holds them all), else those on the PATH; so is
hlc_edr_quicklook, without an option. hlc_edr_dump --products names the
products, in the registry's order: they are the summary's record columns,
and the unit of each is its module name up to the first "_" (gem_hk: gem);
the units are those and acs, the quaternion text.

For a TLM file NAME.tlm and a unit U the run writes, in OUTDIR:
  NAME_U.hdf         the EDR (for acs: NAME_quats.txt, the quaternion text)
  NAME_U.log         the run's log (standard output and standard error)
  NAME_U.status      the run's result, one JSON object (the summary row)
  quicklook/NAME_U/  with --quicklook, the EDR's quick-looks (PNG), their
                     thumbnails in thumbs/ and the quick-look tool's messages
and the batch as a whole:
  summary.csv        one row per TLM file and unit of this invocation
  index.html         the report page: the counts, the runs to look at
                     (failed, not run, quick-looks failed) linked to their
                     rows, then the summary as a table with links to each
                     run's log and output (or what it did not deliver and
                     the work file it left), and the thumbnails of the
                     quick-looks linked to the PNGs; static HTML and CSS
  parallel.joblog    GNU parallel's job log, appended to by every invocation
  slurm/             with --engine slurm: the job array's task list while it
                     runs, and what Slurm kept of each task's messages
  .hlc_edr_batch.lock  locked while a batch or any job it started runs

Besides the outcome and records, a row has the first three warning lines,
the seconds of the run and of its quick-looks, the sizes of the TLM file and
of the EDR, the SCLK seconds of the EDR's first and last record (and their
UTC with --sclk-epoch, the UTC of SCLK 0), and for a run that failed or did
not run the output it did not deliver and the work file it left, if any.

Outcomes: "ok" (exit status 0), "no data" (the file holds nothing of that
unit: "ERROR: Output EDR or text file was not created."), "failed" (any other
error, a run ended by a signal or by --timeout) and "not run" (the job never
started, for instance after an interrupt). The records of a run that ended
ok are those of each product in hlc_edr_dump's listing of the EDR (0 for a
product of the unit that the EDR holds no table of; for acs the lines of the
text); a run that delivered nothing has no record counts. Warnings are the
log lines that begin "WARNING: ". The "error" column of a failed run holds
the first line of its log that begins "ERROR: ", else what ended it ("timed
out after 5 s", "ended by SIGKILL", "exit status 3"); an ok run whose EDR
hlc_edr_dump cannot list has "records not counted: ..." there.

With --quicklook each job that ends ok also draws the quick-looks of its EDR
with hlc_edr_quicklook (which reads it through the record library that it
finds, HLC_EDR_LIBRARY in the batch's environment among others), and
thumbnails of them with Pillow; the "quicklooks" column counts them, and a quick-look
that failed shows in the "error" column as "quick-look: ..." and makes the
exit status 1.
An EDR of an earlier invocation that has no quick-looks yet gets them
without being made again.

A run that ended "ok" or "no data" is not repeated by a later invocation over
the same files while its TLM file is unchanged (same size and modification
time) and, for "ok", its output is still there; --redo runs everything again.
So an interrupted batch restarts where it stopped.

A TLM file may have any name: its bytes need not be UTF-8, and it may hold a
newline or begin with "-" (give such a name after "--" or as "./-x.tlm";
the batch hands every program absolute paths). summary.csv and index.html
show names and log lines as UTF-8 text, with every byte that is not UTF-8
and every control character escaped ("\\xff", "\\n", "\\t"); the status
files keep the names whole, and the page's links percent-encode the bytes
of the real file names.

One batch at a time writes to an output folder: the lock file is held by the
batch, by GNU parallel and by every job, so a second batch, or a restart
while the jobs of a killed batch still run, is refused (exit status 2).
SIGINT, SIGTERM or SIGHUP end parallel and its running jobs (each recorded
as failed), the summary is written, and the batch ends by that signal.
A run is signalled once: it runs in a process group of its own, which
parallel's signals (at --timeout or on an interrupt) do not reach; its job
passes the first signal it receives on to it and no other, so that the run
can finish its log ("ERROR: Interrupted by signal SIGTERM."). Only a job
that has not ended 5 s later is killed, and its run with it.

Jobs run as many at a time as the machine has cores unless -j says otherwise.
--sshlogin and --sshloginfile go to GNU parallel as they are, to spread the
jobs over several machines; every machine must see the programs, the
launchers and this package, the TLM files and OUTDIR under the same paths
(a shared file system), and ":" stands for the local machine. On a
terminal parallel shows a progress bar.

With --engine slurm the jobs are one job array on the cluster that Slurm's
clients find (SLURM_CONF, else the site's configuration): each task does a
job's work; -j limits the tasks running at once, --timeout is each task's
time limit (whole minutes), --slurm-option goes to sbatch. The batch shows
the array's progress, cancels it on an interrupt, and names Slurm's reason
for a task that Slurm ended ("Slurm: time limit (TIMEOUT, TimeLimit)"). Its
tasks do not hold the lock: the array's number is written in the lock file,
and a batch that names an array Slurm still runs keeps the folder (exit
status 2 for another batch). Every node must see the programs, this package
and the folders under the same paths.

Exit status: 0 when no run failed, 1 when any run failed or did not run, a
quick-look failed, or the output folder cannot be used (full, not writable,
not a folder), 2 for a usage error (no hlc_edr or hlc_edr_dump to be found,
a --program that is not hlc_edr or a --dump that is not hlc_edr_dump among
them), when another batch holds the output folder, when GNU parallel
cannot be started or when sbatch refuses the job array.
"""
from hlc_edr.batch.job import run_job, run_task
from hlc_edr.batch.orchestrate import main as run_batch

# The job mode of the launcher, in which GNU parallel starts every job:
# --run-job PROGRAM DUMP QUICKLOOK PRODUCTS OUTDIR TLM UNIT MODE.
JOB_MODE = "--run-job"
JOB_WORDS = 8
# The task mode, in which each task of a Slurm job array runs its job:
# --run-task TASK_LIST.
TASK_MODE = "--run-task"


def main(argv):
    """hlc_edr_batch with the arguments argv; returns the exit status, or
    ends the process by the signal that interrupted it."""
    if len(argv) == JOB_WORDS + 1 and argv[0] == JOB_MODE:
        return run_job(*argv[1:])
    if len(argv) == 2 and argv[0] == TASK_MODE:
        return run_task(argv[1])
    return run_batch(argv)
