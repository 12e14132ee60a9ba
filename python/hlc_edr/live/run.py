"""The live pass: its command line, the stream read and cut into pieces in
the main thread, and the pieces processed in order by a worker thread as
the batch's jobs, with the batch's summary and page after each piece."""
import argparse
import os
import queue
import signal
import subprocess
import sys
import threading
import time

from hlc_edr._tools import end_by_signal, on_interrupts, shown
from hlc_edr.batch import report
from hlc_edr.batch.job import LOCK_FD_ENV, TEXT_UNIT, already_done, load_status, paths
from hlc_edr.batch.orchestrate import (Refused, find_programs, job_command, job_row, lock_outdir,
                                       tally_counts, tally_words)
from hlc_edr.live.framing import Framer
from hlc_edr.live.pieces import Pieces, load_position, published
from hlc_edr.live.source import open_source

PROG = "hlc_edr_live"
DEFAULT_EVERY = 60.0
PAGE_REFRESH = 10  # seconds between reloads of the page in the operator's browser
LONG_WAIT = 3600.0
# The rows of summary.csv and of the page's table, piece after piece.
SUMMARY_ROWS = ".live_summary_rows.csv"
PAGE_ROWS = ".live_page_rows.html"
LOOK_ROWS = ".live_look_rows.html"  # the page's list of the runs to look at


def say(message, stream=None):
    print("%s: %s" % (PROG, shown(message)), file=stream or sys.stdout, flush=True)


def positive_count(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError("%r is not a whole number above 0" % text)
    return n


class Signals:
    """SIGINT, SIGTERM and SIGHUP: the first one ends the input; the pass
    then closes its piece, processes what it holds and ends by that signal.
    The wakeup descriptor makes the main loop's waits return at once."""

    def __init__(self):
        self.received = None
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_w, False)
        os.set_blocking(self.wake_r, False)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)
        on_interrupts(self.handle)

    def handle(self, number, frame):
        self.received = self.received or number

    def drain(self):
        try:
            while os.read(self.wake_r, 512):
                pass
        except BlockingIOError:
            pass

    def finish(self, status):
        return status if self.received is None else end_by_signal(self.received)


class Worker:
    """Processes the published pieces in order, each unit of a piece as one
    job of the batch (hlc_edr, its log and status, its records counted,
    quick-looks on request), then writes summary.csv and index.html."""

    def __init__(self, args, lock_fd):
        self.args = args
        self.lock_fd = lock_fd
        self.queue = queue.Queue()
        self.thread = threading.Thread(target=self.loop, name="pieces", daemon=True)
        self.failure = None
        # The rows of the pieces processed stay on disk, as summary.csv and
        # the page show them, so that memory does not grow with the pass;
        # only their counts are kept.
        self.earlier_summary = os.path.join(args.outdir, SUMMARY_ROWS)
        self.earlier_page = os.path.join(args.outdir, PAGE_ROWS)
        self.earlier_looks = os.path.join(args.outdir, LOOK_ROWS)
        for path in (self.earlier_summary, self.earlier_page, self.earlier_looks):
            open(path, "w").close()
        self.counts = tally_counts([], args.quicklook)
        self.page_counts = report.page_counts([])
        self.runs = 0
        self.looked = 0

    def start(self):
        self.thread.start()

    def put(self, tlm, units):
        self.queue.put((tlm, units))

    def finish(self):
        """Waits until every piece put has been processed."""
        self.queue.put(None)
        while self.thread.is_alive():
            self.thread.join(0.5)

    def loop(self):
        while True:
            item = self.queue.get()
            if item is None:
                return
            tlm, units = item
            try:
                self.process(tlm, units)
            except OSError as e:
                self.failure = self.failure or "cannot write %s: %s" % (e.filename or self.args.outdir,
                                                                         e.strerror)
                say(self.failure)
            except Exception as e:  # noqa: BLE001 -- one piece's fault must not stop the pieces after it
                self.failure = self.failure or "%s: %s" % (os.path.basename(tlm), e)
                say(self.failure)

    def run_job(self, tlm, unit, mode):
        a = self.args
        cmd = job_command(a, a.outdir) + [tlm, unit, mode]
        env = dict(os.environ, **{LOCK_FD_ENV: str(self.lock_fd)})
        try:
            # A group of its own: an interrupt at the terminal ends the
            # input, not the piece being processed.
            p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, pass_fds=(self.lock_fd,), env=env,
                                 process_group=0)
            rc = p.wait()
        except OSError as e:
            say("cannot start a job: %s" % e.strerror)
            rc = None
        return job_row(a.outdir, tlm, unit, mode, rc, None)

    def process(self, tlm, units):
        a = self.args
        start = time.monotonic()
        rows = []
        for unit in a.units:
            if unit in units:
                row = self.run_job(tlm, unit, units[unit])
            else:
                row = load_status(paths(a.outdir, tlm, unit)[2]) or job_row(a.outdir, tlm, unit, "edr", None, None)
                row["skipped"] = 1
            rows.append(row)
        with open(self.earlier_summary, "a", newline="", encoding="utf-8") as f:
            report.summary_writer(f, a.products).writerows(report.summary_row(r, a.outdir) for r in rows)
        with open(self.earlier_page, "a", encoding="utf-8") as f:
            f.write(report.page_lines(a.outdir, rows, a.products, self.runs))
        looks = report.look_items(rows, self.runs)
        with open(self.earlier_looks, "a", encoding="utf-8") as f:
            f.write("".join(looks))
        for k, n in tally_counts(rows, a.quicklook).items():
            self.counts[k] = self.counts.get(k, 0) + n
        self.page_counts = report.page_counts(rows, self.page_counts)
        self.looked += len(looks)
        self.runs += len(rows)
        self.report()
        say("%s: %s (%.1f s)" % (os.path.basename(tlm), ", ".join(
            "%s %s" % (r["unit"], r["outcome"]) for r in rows), time.monotonic() - start))

    def report(self):
        a = self.args
        text, _ = tally_words(self.counts, self.runs, a.quicklook)
        report.write_summary(os.path.join(a.outdir, "summary.csv"), [], a.products, earlier=self.earlier_summary)
        report.write_index(os.path.join(a.outdir, "index.html"), a.outdir, [], text, a.products,
                           title="hlc_edr live pass: %s" % os.path.basename(a.outdir),
                           refresh=None if a.ended else PAGE_REFRESH,
                           earlier=report.Earlier(self.earlier_page, self.earlier_looks, self.runs, self.looked,
                                                  self.page_counts))

    def status(self):
        text, status = tally_words(self.counts, self.runs, self.args.quicklook)
        return text, 1 if self.failure else status


def pending_units(args, tlm):
    """{unit: job mode} of what a piece of an earlier run still needs."""
    need = {}
    for unit in args.units:
        done = already_done(args.outdir, tlm, unit)
        if done is None:
            need[unit] = "edr+quicklook" if args.quicklook else "edr"
        elif args.quicklook and unit != TEXT_UNIT and done.get("outcome") == "ok" and not done.get("quicklooks"):
            need[unit] = "quicklook"
    return need


def receive(args, source, framer, pieces, signals):
    """Reads the stream until its end, the idle limit or a signal, cutting
    it into pieces; returns why it ended."""
    last_bytes = time.monotonic()
    while signals.received is None:
        now = time.monotonic()
        limits = [LONG_WAIT]
        if args.idle is not None:
            limits.append(last_bytes + args.idle - now)
        if pieces.started is not None and args.every is not None and not pieces.due(now):
            # Once due, a piece that cannot end yet waits for the next record.
            limits.append(pieces.started + args.every - now)
        ready = source.wait(max(0.0, min(limits)), signals.wake_r)
        signals.drain()
        if signals.received is not None:
            break
        # Standard input may block: it is read only when it has something.
        data, ended = source.read() if ready else (b"", False)
        change = source.switched()
        if change:
            dropped(framer, "the input file was " + change)
            say("%s was %s: read from its start" % (args.input, change))
        now = time.monotonic()
        if data:
            last_bytes = now
            records = framer.feed(data)
            if records:
                position = source.position()
                # Where the input stood after each record: the last one ends
                # where the bytes of the incomplete record held begin.
                ends = []
                end = source.offset - framer.partial()[0]
                for r in reversed(records):
                    ends.append(end)
                    end -= len(r)
                for r, e in zip(records, reversed(ends)):
                    pos = dict(position)
                    pos["stream_offset" if "stream_offset" in pos else "offset"] = e
                    pieces.add(r, pos, now)
        pieces.tick(now)
        if ended:
            return "end of input" + (" (%s)" % source.error if getattr(source, "error", None) else "")
        if args.idle is not None and now - last_bytes >= args.idle:
            return "no new bytes for %g s" % args.idle
    return "signal %s" % signal.Signals(signals.received).name


def dropped(framer, why):
    held, size = framer.drop_partial()
    if held:
        print("WARNING: dropped partial SFDU record, %d of %s bytes: %s" %
              (held, size if size is not None else "a label's 20", why), flush=True)


def live(args, signals):
    args.units = find_programs(args)
    args.outdir = os.path.abspath(args.outdir)
    args.ended = False
    if args.every is None and args.every_records is None:
        args.every = DEFAULT_EVERY
    lock_fd = lock_outdir(args.outdir)

    worker = Worker(args, lock_fd)
    earlier = published(args.outdir)
    for _, tlm in earlier:  # pieces of an earlier run, with what they still need
        worker.put(tlm, pending_units(args, tlm))
    resume = load_position(earlier[-1][1]) if earlier else None
    pieces = Pieces(args.outdir, earlier[-1][0] + 1 if earlier else 1, args.every, args.every_records,
                    lambda tlm: worker.put(tlm, {u: "edr+quicklook" if args.quicklook else "edr"
                                                 for u in args.units}))
    pieces.discard_work()
    try:
        source = open_source(args.input, resume)
    except OSError as e:
        raise Refused("cannot read %s: %s" % (shown(args.input), e.strerror), 1)
    worker.start()
    if earlier:
        say("going on after %s" % os.path.basename(earlier[-1][1]))
    framer = Framer()
    failure = None
    try:
        why = receive(args, source, framer, pieces, signals)
        dropped(framer, "the input ended within it" if not signals.received else "cut by " + why)
        pieces.close()  # the open piece, to its last complete record
    except OSError as e:  # the output folder full or gone: what was published is still processed
        failure = "cannot write %s: %s" % (e.filename or args.outdir, e.strerror)
        why = "stopped"
        say(failure)
    worker.finish()
    args.ended = True
    try:
        worker.report()
    except OSError as e:
        failure = failure or "cannot write %s: %s" % (e.filename, e.strerror)
        say(failure)
    text, status = worker.status()
    status = 1 if failure else status
    say("%s; %s; summary %s, report %s" % (why, text, shown(os.path.join(args.outdir, "summary.csv")),
                                         shown(os.path.join(args.outdir, "index.html"))))
    return status
