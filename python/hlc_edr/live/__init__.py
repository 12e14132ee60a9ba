"""hlc_edr_live: telemetry as it arrives, cut into pieces, each piece run
through hlc_edr as the batch runs a TLM file, its EDRs published while the
stream goes on.

  hlc_edr_live -o OUTDIR [--every SECONDS] [--every-records N] [--idle SECONDS]
               [-u gem,gim,con,mec,acs] [--quicklook] [--program HLC_EDR]
               [--dump HLC_EDR_DUMP] [INPUT]

INPUT is standard input (none or "-"), a FIFO (read until its last writer
has closed it) or a regular file, which is followed as it grows, as
tail -F follows one: a file that does not exist yet is waited for, one
replaced by a new file under its name (another inode) is read to its end
and the new one from its start, and one truncated is read again from its
start. The input ends at its end (standard input, a FIFO), after --idle
SECONDS without a new byte, or at SIGINT, SIGTERM or SIGHUP.

The stream is a sequence of SFDU records, framed by the length in their
labels. A piece closes when it is due (--every: SECONDS after its first
record arrived; --every-records: once it holds N records; the default is
--every 60) at a place between two records where no segmented record of
any APID is open (a first or middle segment whose last has not come yet),
so that every record of every product lies whole in one piece. Each piece
is written under a work name and renamed into OUTDIR as
piece_NNNNNN_YYYYMMDDTHHMMSSZ.tlm, numbered in arrival order (the time is
that of its closing, UTC).

Each piece then goes through the batch's work (see hlc_edr_batch): for
each unit, hlc_edr, its EDR (piece_..._U.hdf, piece_..._quats.txt for
acs), log and status, its records counted by hlc_edr_dump and, with
--quicklook, its quick-looks; summary.csv and index.html are written anew
after each piece. The page reloads itself in the browser while the pass
runs. Pieces are processed in order, one at a time, while the next one is
received.

At the end of the input, after --idle or at a signal, the open piece is
closed at its last complete record and processed with the rest, and the
program ends (by the signal, where there was one: a second signal changes
nothing). Bytes of a record that did not arrive whole (a writer that died
in the middle of one, a file replaced while its last record was being
written) are dropped with one line "WARNING: dropped partial SFDU record";
the records before them are processed.

One batch or live pass at a time writes to an output folder (the batch's
lock, .hlc_edr_batch.lock). A pass started again with the same output
folder goes on after the last piece published: it first processes what the
pieces already there still lack, numbers its pieces after them and, when
it follows the same file as before (same inode), reads on from where the
last piece ended.

Messages go to standard output, each line beginning "hlc_edr_live: ": one
per piece processed with the outcome per unit, and one at the end; why the
pass cannot start goes to standard error.

Exit status: 0 when no run failed, 1 when any run failed, a quick-look
failed or the output folder cannot be used, 2 for a usage error or when
another batch or pass holds the output folder; by the signal that ended
the input, where there was one.
"""
import argparse
import sys
import textwrap

from hlc_edr.batch import JOB_MODE, JOB_WORDS
from hlc_edr.batch.job import run_job
from hlc_edr.batch.orchestrate import Refused, positive_seconds
from hlc_edr.live.run import Signals, live, positive_count, say


def parse(argv):
    ap = argparse.ArgumentParser(
        prog="hlc_edr_live", formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 2)[2],
        description=textwrap.fill("Reads telemetry as it arrives (standard input, a FIFO, or a growing file followed as "
                    "tail -F does), cuts it into pieces between whole records, and runs each piece "
                    "through hlc_edr as hlc_edr_batch runs a TLM file, with the batch's summary and report "
                    "page brought up to date after each piece.", 79))
    ap.add_argument("input", nargs="?", help="a FIFO or a file to follow; standard input when none or -")
    ap.add_argument("-o", "--outdir", required=True, help="output folder (created if missing)")
    ap.add_argument("--every", type=positive_seconds, metavar="SECONDS",
                    help="close a piece this many seconds after its first record (default 60 unless "
                         "--every-records is given)")
    ap.add_argument("--every-records", type=positive_count, metavar="N", help="close a piece once it holds N records")
    ap.add_argument("--idle", type=positive_seconds, metavar="SECONDS", help="end after this many seconds without a new byte")
    ap.add_argument("-u", "--units", help="comma-separated units (default: every unit)")
    ap.add_argument("--quicklook", action="store_true", help="also draw the quick-looks of every EDR")
    ap.add_argument("--program", help="the hlc_edr program (default: the one in this launcher's folder, "
                                      "else the one on the PATH)")
    ap.add_argument("--dump", help="the hlc_edr_dump program (default: the one in this launcher's folder, "
                                   "else the one on the PATH)")
    return ap.parse_args(argv)


def main(argv):
    """hlc_edr_live with the arguments argv; returns the exit status, or
    ends the process by the signal that ended its input. In the batch's job
    mode it runs one job, as the batch's launcher does."""
    if len(argv) == JOB_WORDS + 1 and argv[0] == JOB_MODE:
        return run_job(*argv[1:])
    args = parse(argv)
    signals = Signals()
    try:
        status = live(args, signals)
    except Refused as e:
        for line in str(e).split("\n"):
            say(line, sys.stderr)
        status = e.status
    return signals.finish(status)

