"""One job of a batch, as GNU parallel starts it on whichever machine: a
run of hlc_edr, its log and status, the records of the EDR it delivered
(counted by hlc_edr_dump) and the EDR's quick-looks."""
import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

from hlc_edr._tools import INTERRUPTS, end_by_signal, shown, signal_name, write_atomically
from hlc_edr.quaternions import record_time

NO_DATA = "ERROR: Output EDR or text file was not created."
DONE = ("ok", "no data")
# The unit whose output is the quaternion text, and the column of its records.
TEXT_UNIT = "acs"
TEXT_RECORDS = "acs_quats"
THUMBNAIL_SIZE = (240, 180)  # the bounds of a thumbnail on the report page, pixels
LOCK_NAME = ".hlc_edr_batch.lock"
LOCK_FD_ENV = "HLC_EDR_BATCH_LOCK_FD"
PR_SET_PDEATHSIG = 1  # prctl(2): the signal a process gets when its parent ends
MODULE_NAME = re.compile(r"[A-Za-z0-9]+_[A-Za-z0-9_]+\Z")
WARNING_LINES_KEPT = 3  # the first warnings of a run that its row shows
SUBSECONDS = 65536  # units of a second of a record's sclk_subseconds


def say(message):
    print("hlc_edr_batch: " + shown(message), file=sys.stderr)


def unit_of(module):
    """The unit of a product: its module name up to the first "_"."""
    return module.split("_", 1)[0]


def base_name(tlm, unit):
    stem = os.path.splitext(os.path.basename(tlm))[0]
    return stem + ("_quats" if unit == TEXT_UNIT else "_" + unit)


def paths(outdir, tlm, unit):
    base = os.path.join(outdir, base_name(tlm, unit))
    output = base + (".txt" if unit == TEXT_UNIT else ".hdf")
    return output, base + ".log", base + ".status"


def quicklook_folder(outdir, tlm, unit):
    return os.path.join(outdir, "quicklook", base_name(tlm, unit))


def tlm_signature(tlm):
    try:
        st = os.stat(tlm)
    except OSError:
        return None
    return [st.st_size, st.st_mtime_ns]


def read_log(log_path):
    """Warnings, whether the file held nothing of the unit, the first
    "ERROR: " line and the first few warning lines, from a run's log."""
    warnings = 0
    no_data = False
    error = ""
    first_warnings = []
    try:
        with open(log_path, "rb") as f:
            for line in f:
                line = os.fsdecode(line.rstrip(b"\n"))  # the bytes kept whole, as names are
                if line.startswith("WARNING: "):
                    warnings += 1
                    if len(first_warnings) < WARNING_LINES_KEPT:
                        first_warnings.append(line.rstrip())
                elif line.startswith("ERROR: "):
                    no_data = no_data or line == NO_DATA
                    error = error or line.rstrip()
    except OSError:
        pass
    return warnings, no_data, error, first_warnings


def parse_products(text):
    """The module names that hlc_edr_dump --products prints, one a line, in
    the registry's order; ValueError for anything else."""
    names = text.split()
    if not names or not all(MODULE_NAME.match(n) for n in names) or len(set(names)) != len(names):
        raise ValueError("not a list of module names")
    return names


def parse_listing(text):
    """Records per product from hlc_edr_dump's listing of an EDR: a header
    line, then per product its module name, its record count and the times
    of its first and last record. ValueError for anything else."""
    lines = text.splitlines()
    if not lines or lines[0].split()[:2] != ["product", "records"]:
        raise ValueError("no listing header")
    counts = {}
    for line in lines[1:]:
        fields = line.split()
        if len(fields) < 2 or not MODULE_NAME.match(fields[0]) or not fields[1].isdigit():
            raise ValueError("not a listing line: %r" % line)
        counts[fields[0]] = int(fields[1])
    return counts


def listing_times(text):
    """The spacecraft clock seconds of the first record and of the last of
    an EDR (over its products), from hlc_edr_dump's listing; None for an
    EDR without records."""
    firsts, lasts = [], []
    for line in text.splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 6 and all(f.isdigit() for f in fields[1:6]) and int(fields[1]) > 0:
            firsts.append(int(fields[2]) + int(fields[3]) / SUBSECONDS)
            lasts.append(int(fields[4]) + int(fields[5]) / SUBSECONDS)
    return (min(firsts), max(lasts)) if firsts else None


def text_lines_and_times(path):
    """The lines of a quaternion text, and the times of its first line and
    of its last (quaternions.record_time), None when it has none."""
    count, first, last = 0, None, None
    with open(path, "rb") as f:
        for line in f:
            count += 1
            try:
                t = record_time(line.split(None, 1)[0].decode("ascii"))
            except (IndexError, ValueError):  # UnicodeDecodeError too
                continue
            first = t if first is None else first
            last = t
    return count, (first, last) if first is not None else None


def first_error(text, fallback):
    """The first "ERROR: " line of a program's messages, else fallback."""
    return next((line.strip() for line in text.splitlines() if line.startswith("ERROR: ")), fallback)


def inherited_lock(outdir):
    """The descriptor of the batch's lock if this job inherited it (on the
    batch's own machine), to pass on to the programs the job runs."""
    try:
        fd = int(os.environ.get(LOCK_FD_ENV, ""))
        held, there = os.fstat(fd), os.stat(os.path.join(outdir, LOCK_NAME))
    except (ValueError, OSError):
        return ()
    return (fd,) if (held.st_dev, held.st_ino) == (there.st_dev, there.st_ino) else ()


class JobSignals:
    """SIGINT, SIGTERM and SIGHUP of a job (parallel ending it at --timeout
    or on an interrupt), passed on to the program the job runs, also to one
    it starts afterwards, each program signalled once: a second signal ends
    hlc_edr at once, before it has finished its log. parallel signals the
    job's process group, so every program runs in a group of its own, which
    only the job signals; a program whose job is killed is killed with it.
    A Slurm task (forward False) is ended by Slurm, which signals every
    process of the task itself (all that it tracks: the task's process
    group at least), so there each program stays in the task's group and
    the job passes nothing on: it only remembers the signal."""

    def __init__(self, forward=True):
        self.child = None
        self.passed = False  # whether the child has been passed a signal
        self.received = []
        self.forward_to_child = forward
        self.job = os.getpid()
        try:
            self.prctl = ctypes.CDLL(None, use_errno=True).prctl
        except (OSError, AttributeError):  # not Linux: no end with the job
            self.prctl = None
        for number in INTERRUPTS:
            signal.signal(number, self.forward)

    def forward(self, number, frame):
        self.received.append(number)
        self.pass_on()

    def pass_on(self):
        """The first signal received, to the child once; none to a child
        that has ended."""
        if self.forward_to_child and self.child is not None and self.received and not self.passed:
            self.passed = True
            self.child.send_signal(self.received[0])

    def in_child(self):
        """In the child before it runs the program: its end tied to the job,
        the ending signals at their defaults and no longer blocked."""
        if self.prctl is not None:
            self.prctl(PR_SET_PDEATHSIG, ctypes.c_ulong(signal.SIGKILL))
        if os.getppid() != self.job:  # the job has already gone
            os._exit(128 + signal.SIGKILL)
        for number in INTERRUPTS:
            signal.signal(number, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, INTERRUPTS)

    def start(self, *args, **kwargs):
        # Blocked until the child is known, so that a signal arriving
        # meanwhile is passed on to it, once.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTS)
        try:
            child = subprocess.Popen(*args, process_group=0 if self.forward_to_child else None,
                                     preexec_fn=self.in_child, **kwargs)
            self.child, self.passed = child, False
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        self.pass_on()
        return child

    def finish(self, status):
        """Ends the job by the signal it received, which parallel's job log
        shows (a timeout as Exitval -1), else with status."""
        return end_by_signal(self.received[0]) if self.received else status


class Job:
    """What every job of a batch shares: the programs, the products and the
    output folder."""

    def __init__(self, program, dump, quicklook, products, outdir, forward=True):
        self.program, self.dump, self.quicklook = program, dump, quicklook
        self.products = [p for p in products.split(",") if p]
        self.outdir = outdir
        self.signals = JobSignals(forward)

    def records(self, output, unit):
        """Records per product of the unit in the EDR that a run delivered,
        from hlc_edr_dump's listing of it (every product of the unit, 0 for
        those the EDR has no table of), what went wrong ("" when nothing
        did: then no count), and the times of its first and last record
        (listing_times)."""
        try:
            p = self.signals.start([self.dump, "--", output], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, pass_fds=inherited_lock(self.outdir))
            listing, messages = p.communicate()
        except OSError as e:
            return {}, "cannot run %s: %s" % (self.dump, e.strerror), None
        if p.returncode != 0:
            rc = p.returncode
            return {}, "hlc_edr_dump: " + first_error(os.fsdecode(messages), "ended by %s" % signal_name(-rc)
                                                      if rc < 0 else "exit status %d" % rc), None
        try:
            listed = parse_listing(os.fsdecode(listing))
        except ValueError as e:
            return {}, "hlc_edr_dump: %s" % e, None
        counts = {m: 0 for m in self.products if unit_of(m) == unit}
        counts.update(listed)
        return counts, "", listing_times(os.fsdecode(listing))

    def run_edr(self, tlm, unit):
        """One run of hlc_edr: its status row."""
        output, log, status = paths(self.outdir, tlm, unit)
        if os.path.exists(status):
            os.remove(status)
        signature = tlm_signature(tlm)
        start = time.monotonic()
        error = ""
        with open(log, "wb") as f:
            try:
                rc = self.signals.start([self.program, "-inst", unit, "-tlm", tlm, "-edr", output],
                                        stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                                        pass_fds=inherited_lock(self.outdir)).wait()
            except OSError as e:
                error = "hlc_edr_batch: cannot run %s: %s" % (self.program, e.strerror)
                f.write(os.fsencode(error + "\n"))
                rc = 127
        seconds = time.monotonic() - start
        warnings, no_data, logged_error, warning_lines = read_log(log)
        counts = {}
        times = None
        if rc == 0 and os.path.exists(output):
            outcome = "ok"
            if unit == TEXT_UNIT:
                counts[TEXT_RECORDS], times = text_lines_and_times(output)
            else:
                counts, not_counted, times = self.records(output, unit)
                error = "records not counted: " + not_counted if not_counted else ""
        elif rc > 0 and no_data:
            outcome = "no data"
            if os.path.exists(output):  # left from an earlier run of another file version
                os.remove(output)
        else:
            outcome = "failed"
            error = error or logged_error or (
                "ended by %s" % signal_name(-rc) if rc < 0 else "exit status %d" % rc)
        if rc < 0:  # killed by a signal: report it as the shell does
            rc = 128 - rc
        row = {"tlm": tlm, "unit": unit, "outcome": outcome, "exit_status": rc, "warnings": warnings,
               "seconds": round(seconds, 3), "host": socket.gethostname(),
               "output": output if outcome == "ok" else "", "log": log, "tlm_signature": signature,
               "error": error, "warning_lines": warning_lines,
               "tlm_bytes": signature[0] if signature else "",
               "edr_bytes": os.path.getsize(output) if outcome == "ok" else ""}
        if times:
            row["first_sclk"], row["last_sclk"] = times
        row.update(counts)
        return row

    def draw_quicklooks(self, output, folder):
        """The quick-looks of an EDR drawn into folder (emptied first), as
        [[png, thumbnail, width, height], ...], and what went wrong ("" when
        nothing did); the tool's messages go to folder/quicklook.log."""
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "thumbs"))
        messages = os.path.join(folder, "quicklook.log")
        # The tool prints the names of the PNGs as they are, bytes that are
        # not UTF-8 too.
        env = dict(os.environ, PYTHONIOENCODING=":surrogateescape")
        with open(messages, "wb") as f:
            try:
                p = self.signals.start([self.quicklook, "-o", folder, "--", output],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=f,
                                       pass_fds=inherited_lock(self.outdir), env=env)
                printed = p.communicate()[0]
                rc = p.returncode
            except OSError as e:
                return [], "cannot run %s: %s" % (self.quicklook, e.strerror)
        pngs, named_all = printed_pngs(printed, folder)
        drawn = [[png] + thumbnail(png, folder) for png in pngs]
        if rc == 0:
            return drawn, "" if named_all else "a PNG it named was not written"
        with open(messages, "rb") as f:
            first = next((os.fsdecode(line.strip()) for line in f if line.strip()), "")
        return drawn, first or ("ended by %s" % signal_name(-rc) if rc < 0 else "exit status %d" % rc)

    def run(self, tlm, unit, mode):
        """The job by its mode: a run of hlc_edr ("edr"), the run and the
        quick-looks of its EDR ("edr+quicklook"), or the quick-looks of the
        EDR of an earlier run ("quicklook"). Records the result in the
        status file; returns the exit status."""
        status = paths(self.outdir, tlm, unit)[2]
        folder = quicklook_folder(self.outdir, tlm, unit)
        try:
            row = load_status(status) if mode == "quicklook" else self.run_edr(tlm, unit)
            if row is None:
                say("%s: no result of an earlier run to draw the quick-looks of" % status)
                return self.signals.finish(1)
            if mode != "edr" and row["outcome"] == "ok" and unit != TEXT_UNIT:
                start = time.monotonic()
                row["quicklooks"], row["quicklook_error"] = self.draw_quicklooks(row["output"], folder)
                row["quicklook_seconds"] = round(time.monotonic() - start, 3)
            elif mode != "quicklook":  # what an earlier run drew shows an EDR that is no longer there
                shutil.rmtree(folder, ignore_errors=True)
            write_json(status, row)
        except OSError as e:
            say("cannot write %s: %s" % (e.filename or self.outdir, e.strerror))
            return self.signals.finish(1)
        return self.signals.finish(0 if row["outcome"] in DONE and not row.get("quicklook_error") else 1)


def run_job(program, dump, quicklook, products, outdir, tlm, unit, mode):
    """One job, called by GNU parallel through the launcher's job mode."""
    return Job(program, dump, quicklook, products, outdir).run(tlm, unit, mode)


def run_task(task_list):
    """One task of a Slurm job array, as the job array's script starts it:
    the job of the list (written by the batch, see write_task_list) at the
    task's index, SLURM_ARRAY_TASK_ID."""
    try:
        with open(task_list, "r", encoding="utf-8") as f:
            batch = json.load(f)
        tlm, unit, mode = batch["jobs"][int(os.environ["SLURM_ARRAY_TASK_ID"])]
    except (OSError, ValueError, KeyError, IndexError, TypeError) as e:
        say("%s: no job for this task (%s)" % (task_list, e))
        return 1
    return Job(batch["program"], batch["dump"], batch["quicklook"], ",".join(batch["products"]), batch["outdir"],
               forward=False).run(tlm, unit, mode)


def write_task_list(path, program, dump, quicklook, products, outdir, jobs):
    """The jobs of a job array, [tlm, unit, mode] each, its task i the i-th,
    with what all share, for run_task. Names that are not UTF-8 keep their
    bytes (as escaped surrogates, which JSON carries)."""
    write_json(path, {"program": program, "dump": dump, "quicklook": quicklook, "products": list(products),
                      "outdir": outdir, "jobs": [list(j) for j in jobs]})


def thumbnail(png, folder):
    """[thumbnail, width, height] of a PNG, made with Pillow; without Pillow,
    or for a PNG it cannot read, ["", 0, 0], and the page scales the PNG."""
    try:
        from PIL import Image
        with Image.open(png) as im:
            im.thumbnail(THUMBNAIL_SIZE)
            rgba = im.convert("RGBA")
        small = Image.alpha_composite(Image.new("RGBA", rgba.size, "white"), rgba).convert("RGB")
        path = os.path.join(folder, "thumbs", os.path.basename(png))
        small.save(path)
        return [path, small.width, small.height]
    except Exception:  # a thumbnail is a convenience: the PNG itself stands in for it
        return ["", 0, 0]


def printed_pngs(printed, folder):
    """The PNGs in folder whose paths the quick-look tool printed, one a
    line, in the order printed, and whether every line it printed is one
    of them. A name may hold a newline itself, so the output is not split
    into lines: each PNG's line is looked for where a line begins, the
    longer ones first, and no two of them overlap."""
    try:
        pngs = [os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".png")]
    except OSError:
        pngs = []
    found = []  # (where its line begins, where it ends, the PNG)
    for png in sorted(pngs, key=len, reverse=True):
        line = os.fsencode(png) + b"\n"
        at = printed.find(line)
        while at >= 0 and ((at > 0 and printed[at - 1:at] != b"\n") or
                           any(b < at + len(line) and at < e for b, e, _ in found)):
            at = printed.find(line, at + 1)
        if at >= 0 and os.path.isfile(png):
            found.append((at, at + len(line), png))
    found.sort()
    rest = printed  # what is left once the lines of the PNGs found are taken out
    for b, e, _ in reversed(found):
        rest = rest[:b] + rest[e:]
    return [png for _, _, png in found], not rest.strip()


def write_json(path, obj):
    write_atomically(path, lambda f: f.write(json.dumps(obj) + "\n"), encoding="utf-8")


def load_status(status):
    try:
        with open(status, "r", encoding="utf-8") as f:
            row = json.load(f)
        return row if isinstance(row, dict) else None
    except (OSError, ValueError):
        return None


def already_done(outdir, tlm, unit):
    """The row of a run that an earlier invocation finished (ok or no data)
    over the same, unchanged file, with its output still there; else None."""
    output, _, status = paths(outdir, tlm, unit)
    row = load_status(status)
    if row is None or row.get("outcome") not in DONE:
        return None
    if row.get("tlm_signature") != tlm_signature(tlm) or row.get("tlm") != tlm:
        return None
    if row["outcome"] == "ok" and not os.path.exists(output):
        return None
    return row


def lacks_quicklooks(row):
    """Whether an EDR that ended ok has no complete set of quick-looks."""
    if row["outcome"] != "ok" or row["unit"] == TEXT_UNIT:
        return False
    drawn = row.get("quicklooks")
    return (not isinstance(drawn, list) or bool(row.get("quicklook_error")) or
            not all(isinstance(q, list) and q and os.path.isfile(q[0]) for q in drawn))
