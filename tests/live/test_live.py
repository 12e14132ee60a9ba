"""End-to-end tests of tools/hlc_edr_live: real FIFOs and files fed by writers
at set times, the pass's pieces and EDRs read back with pyhdf and compared
with one run of hlc_edr over the whole stream, product by product.

What the design says and these tests hold it to:
- an SFDU record is a 20-byte label and the body whose length its bytes
  18-19 give; a piece holds whole records only, and a record of a product
  that arrives in segments (first, middles, last) lies whole in one piece;
- the records of all pieces' EDRs, in piece order, are those of one run of
  hlc_edr over the whole stream, for every product and unit;
- EDRs appear while the stream still runs;
- at SIGTERM or the end of the input, the open piece is processed and the
  pass ends (by the signal); a record cut off by a writer that died is one
  "WARNING: dropped partial SFDU record" line and costs nothing else;
- a followed file is read on through its replacement and its truncation;
- a pass started again on its folder goes on after its last piece;
- one pass or batch at a time holds a folder.
Waits are for conditions, with generous deadlines; nothing is timed."""
import csv
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import unittest

import numpy as np
from pyhdf.HDF import HDF, HC
from pyhdf.SD import SD, SDC
import pyhdf.VS  # noqa: F401

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import edr_patterns as ep  # noqa: E402

ARGS = None
DEADLINE = 120  # seconds: only a pass that never gets there meets it
UNIT_OUTPUT = {u: ("_quats.txt" if u == "acs" else "_%s.hdf" % u) for u in ep.UNITS}


# ---- the stream ----------------------------------------------------------------

split_records = ep.split_records
interleaved = ep.interleaved


def build(description, path):
    return ep.built(description, ARGS.tlmbuild, path)


def pipe_unread(fd):
    """Bytes written to a pipe that its reader has not taken yet."""
    buf = fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
    return struct.unpack("i", buf)[0]


def wait_for(condition, what, limit=DEADLINE):
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("never came: " + what)
        time.sleep(0.02)


# ---- the pass and its results ---------------------------------------------------

def start_live(test, outdir, *args, source=None, stdin=None):
    """A pass over source (standard input when None), killed when the test
    ends should it still run then."""
    cmd = [ARGS.tool, "--program", ARGS.program, "--dump", ARGS.dump, "-o", outdir] + list(args)
    if source is not None:
        cmd.append(source)
    proc = subprocess.Popen(cmd, stdin=stdin if stdin is not None else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    test.addCleanup(end, proc)
    return proc


def end(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout):
        if stream is not None:
            stream.close()


def finish(proc):
    out = proc.communicate(timeout=DEADLINE)[0]
    return proc.returncode, out.decode("utf-8", "replace")


def pieces(outdir):
    """The pass's pieces, in the order of their names."""
    if not os.path.isdir(outdir):
        return []
    return sorted(os.path.join(outdir, n) for n in os.listdir(outdir)
                  if n.startswith("piece_") and n.endswith(".tlm"))


def joined(paths):
    data = b""
    for p in paths:
        with open(p, "rb") as f:
            data += f.read()
    return data


def outputs(outdir, unit):
    out = []
    for p in pieces(outdir):
        path = p[:-len(".tlm")] + UNIT_OUTPUT[unit]
        if os.path.exists(path):
            out.append(path)
    return out


def edr_tables(path):
    """{table name: array of its records} of an EDR: every Vdata of class
    tlm_edr_data (its records as tuples) and every SDS (first dimension:
    records), read with pyhdf."""
    tables = {}
    f = HDF(path, HC.READ)
    vs = f.vstart()
    try:
        for name, cls, _, n, *_ in vs.vdatainfo():
            if cls != "tlm_edr_data":
                continue
            vd = vs.attach(name)
            try:
                tables["vdata " + name] = [tuple(map(tuple_of, r)) for r in (vd.read(n) if n else [])]
            finally:
                vd.detach()
    finally:
        vs.end()
        f.close()
    sd = SD(path, SDC.READ)
    try:
        for name in sd.datasets():
            tables["sds " + name] = list(np.asarray(sd.select(name).get()))
    finally:
        sd.end()
    return tables


def tuple_of(value):
    return tuple(value) if isinstance(value, list) else value


def unit_records(paths, unit):
    """The records of a unit's outputs, concatenated in order per table."""
    joined = {}
    for path in paths:
        if unit == "acs":
            with open(path, "rb") as f:
                joined.setdefault("quaternion lines", []).extend(f.read().splitlines())
            continue
        for name, rows in edr_tables(path).items():
            joined.setdefault(name, []).extend(rows)
    return joined


def warnings(text):
    return [line for line in text.splitlines() if line.startswith("WARNING: ")]


def one_run(tlm, unit, workdir):
    """The records of one hlc_edr run over a whole TLM file ({} when it
    holds nothing of the unit), and its warnings."""
    out = os.path.join(workdir, os.path.basename(tlm) + UNIT_OUTPUT[unit])
    run = subprocess.run([ARGS.program, "-inst", unit, "-tlm", tlm, "-edr", out], capture_output=True)
    return (unit_records([out], unit) if run.returncode == 0 else {},
            warnings(run.stdout.decode("latin-1")))


def read_summary(outdir):
    with open(os.path.join(outdir, "summary.csv"), newline="") as f:
        return list(csv.DictReader(f))


def logs(outdir, unit):
    """The logs of a unit's runs over the pieces, in piece order."""
    suffix = "_%s.log" % ("quats" if unit == "acs" else unit)
    text = ""
    for n in sorted(os.listdir(outdir)):
        if n.startswith("piece_") and n.endswith(suffix):
            with open(os.path.join(outdir, n), encoding="latin-1") as f:
                text += f.read()
    return text


class LiveCase(unittest.TestCase):
    def setUp(self):
        self.work = ep.fresh_dir(os.path.join(ARGS.workdir, self.id().rsplit(".", 2)[-2] + "." +
                                              self._testMethodName))
        self.out = os.path.join(self.work, "out")

    def assertSameRecords(self, stream, units):
        """The pieces' outputs of each unit together hold exactly the
        records of one run over the whole stream, table by table, and the
        pieces' runs warn of what that run warns of: no segment was
        dropped as an orphan because of a piece's end."""
        whole = os.path.join(self.work, "whole.tlm")
        with open(whole, "wb") as f:
            f.write(stream)
        for unit in units:
            with self.subTest(unit=unit):
                expected, warned = one_run(whole, unit, self.work)
                self.assertEqual(warnings(logs(self.out, unit)), warned)
                got = unit_records(outputs(self.out, unit), unit)
                self.assertEqual(sorted(got), sorted(expected))
                for name in expected:
                    self.assertEqual(len(got[name]), len(expected[name]), name)
                    for a, b in zip(got[name], expected[name]):
                        if isinstance(a, np.ndarray):
                            np.testing.assert_array_equal(a, b, err_msg=name)
                        else:
                            self.assertEqual(a, b, name)

    def assertWholePieces(self):
        """Every piece is a sequence of whole records."""
        for p in pieces(self.out):
            with open(p, "rb") as f:
                data = f.read()
            self.assertEqual(b"".join(split_records(data)), data)
            self.assertTrue(data.startswith(b"KWRZ"), p)


# ---- the cases -------------------------------------------------------------------

class FifoPass(LiveCase):
    """A writer feeds a FIFO a record every few milliseconds; every product
    and unit, their segments interleaved."""

    def test_pieces_published_during_the_stream_equal_one_run_over_it(self):
        stream = build(interleaved(range(6)), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        per_round = len(records) // 6
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        live = start_live(self, self.out, "--every-records", str(per_round // 3), source=fifo)
        fd = os.open(fifo, os.O_WRONLY)
        half = len(records) // 2
        for r in records[:half]:
            os.write(fd, r)
            time.sleep(0.002)
        # The stream still runs: the first EDRs come out before it goes on.
        wait_for(lambda: outputs(self.out, "gem"), "an EDR while the stream runs")
        self.assertIsNone(live.poll())
        # The page of a pass that runs reloads itself in the browser.
        wait_for(lambda: os.path.exists(os.path.join(self.out, "index.html")), "the page while the stream runs")
        with open(os.path.join(self.out, "index.html"), encoding="utf-8") as f:
            self.assertIn('<meta http-equiv="refresh"', f.read())
        # One pass or batch per folder: another is refused while this one runs.
        second = start_live(self, self.out, "--idle", "1", source=os.devnull)
        rc, text = finish(second)
        self.assertEqual(rc, 2, text)
        self.assertIn("in use", text)
        batch = subprocess.run([os.path.join(os.path.dirname(ARGS.tool), "hlc_edr_batch"), "--program", ARGS.program,
                                "--dump", ARGS.dump, "-o", self.out, os.path.join(self.work, "stream.tlm")],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=DEADLINE)
        self.assertEqual(batch.returncode, 2, batch.stderr)
        self.assertIn("in use", batch.stderr)
        for r in records[half:]:
            os.write(fd, r)
            time.sleep(0.002)
        os.close(fd)
        rc, text = finish(live)
        self.assertEqual(rc, 0, text)
        self.assertNotIn("WARNING", text)
        n = len(pieces(self.out))
        self.assertGreaterEqual(n, 4, text)
        self.assertWholePieces()
        self.assertSameRecords(stream, ep.UNITS)
        # The summary: a row per piece and unit, in piece order, and the page.
        rows = read_summary(self.out)
        self.assertEqual([(r["tlm"], r["unit"]) for r in rows], [(p, u) for p in pieces(self.out) for u in ep.UNITS])
        self.assertEqual({r["outcome"] for r in rows} - {"ok", "no data"}, set())
        for p in ep.PRODUCTS:
            self.assertEqual(sum(int(r[p.module] or 0) for r in rows), 6, p.module)
        with open(os.path.join(self.out, "index.html"), encoding="utf-8") as f:
            page = f.read()
        for p in pieces(self.out):
            self.assertIn(os.path.basename(p)[:-4] + "_gem.log", page)
        self.assertNotIn("http-equiv=\"refresh\"", page)  # the pass has ended: the page stays
        self.assertEqual([n for n in os.listdir(self.out) if n.endswith(".part")], [])

    def test_a_segmented_record_open_when_a_piece_is_due_waits_for_its_last_segment(self):
        # Pieces due after every record, GEM normal and GIM raw records in
        # segments that overlap: no piece may end inside either record.
        products = [ep.BY_MODULE[m] for m in ("gem_normal", "gim_raw", "gem_hk")]
        stream = build(interleaved(range(4), products, quats=False), os.path.join(self.work, "s.tlm"))
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        live = start_live(self, self.out, "--every-records", "1", "-u", "gem,gim", source=fifo)
        with open(fifo, "wb") as f:
            f.write(stream)
        rc, text = finish(live)
        self.assertEqual(rc, 0, text)
        self.assertEqual(len(pieces(self.out)), 4)  # one a round: only there is no record open
        self.assertWholePieces()
        self.assertSameRecords(stream, ("gem", "gim"))


class Endings(LiveCase):
    def feed_and_wait(self, fd, data):
        """Writes data to the FIFO and returns once the pass has read it."""
        os.write(fd, data)
        wait_for(lambda: pipe_unread(fd) == 0, "the pass reading what was written")

    def test_sigterm_mid_stream_processes_every_complete_record_and_ends_by_it(self):
        stream = build(interleaved(range(3)), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        # Cut inside the last round: records of some APIDs are open there.
        sent = records[:len(records) - 5]
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        live = start_live(self, self.out, "--every", "1000", source=fifo)
        fd = os.open(fifo, os.O_WRONLY)
        for r in sent:
            self.feed_and_wait(fd, r)
        live.send_signal(signal.SIGTERM)
        rc, text = finish(live)
        os.close(fd)
        self.assertEqual(rc, -signal.SIGTERM, text)
        self.assertNotIn("WARNING", text)
        self.assertEqual(len(pieces(self.out)), 1)
        with open(pieces(self.out)[0], "rb") as f:
            self.assertEqual(f.read(), b"".join(sent))
        self.assertSameRecords(b"".join(sent), ep.UNITS)

    def test_a_writer_dying_mid_record_costs_only_that_record(self):
        stream = build(interleaved(range(2), quats=False), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        whole = b"".join(records[:-1])
        cut = records[-1][:len(records[-1]) // 2]
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        live = start_live(self, self.out, "--every-records", "7", "-u", "gem,gim,mec,con", source=fifo)
        # A writer of its own that the test kills once the pass has read
        # what it wrote, the record it was writing half done.
        writer = subprocess.Popen([sys.executable, "-c",
                                   "import os, sys, time\n"
                                   "fd = os.open(sys.argv[1], os.O_WRONLY)\n"
                                   "os.write(fd, sys.stdin.buffer.read())\n"
                                   "print('written', flush=True)\n"
                                   "time.sleep(600)\n", fifo],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(end, writer)
        writer.stdin.write(whole + cut)
        writer.stdin.close()
        self.assertEqual(writer.stdout.readline(), b"written\n")
        reader_side = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # only to see the pipe's fill
        wait_for(lambda: pipe_unread(reader_side) == 0, "the pass reading what was written")
        os.close(reader_side)
        writer.kill()
        writer.wait()
        writer.stdout.close()
        rc, text = finish(live)
        self.assertEqual(rc, 0, text)
        warnings = [line for line in text.splitlines() if line.startswith("WARNING")]
        self.assertEqual(len(warnings), 1, text)
        self.assertTrue(warnings[0].startswith("WARNING: dropped partial SFDU record, %d of %d bytes"
                                               % (len(cut), len(records[-1]))), warnings[0])
        self.assertEqual(joined(pieces(self.out)), whole)
        self.assertSameRecords(whole, ("gem", "gim", "mec", "con"))


class FollowedFile(LiveCase):
    """A regular file followed as it grows, is replaced and truncated."""

    def test_growth_replacement_and_truncation_are_followed(self):
        stream = build(interleaved(range(6), quats=False), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        # Three parts that end between rounds, where no record is open, so
        # that each is published whole once due. The third part is the
        # shortest: the truncated file is seen to be shorter than what was
        # read of it, whenever the pass looks.
        per_round = len(records) // 6
        a, b = 3 * per_round, 5 * per_round
        parts = [b"".join(records[:a]), b"".join(records[a:b]), b"".join(records[b:])]
        self.assertLess(len(parts[2]), len(parts[1]))
        path = os.path.join(self.work, "pass.tlm")
        live = start_live(self, self.out, "--every", "0.3", "--idle", "2", "-u", "gem,gim", source=path)

        def published(n):
            return lambda: sum(os.path.getsize(p) for p in pieces(self.out)) == n

        # Growing, a record written in two goes, the pass looking meanwhile.
        with open(path, "wb") as f:
            for i, r in enumerate(records[:a]):
                f.write(r[:30])
                f.flush()
                if i % 10 == 0:
                    time.sleep(0.05)
                f.write(r[30:])
                f.flush()
        wait_for(published(len(parts[0])), "the first part published")
        # Replaced: a new file renamed over the name.
        tmp = os.path.join(self.work, "pass.tlm.new")
        with open(tmp, "wb") as f:
            f.write(parts[1])
        os.rename(tmp, path)
        wait_for(published(len(parts[0]) + len(parts[1])), "the second part published")
        # Truncated and written again from the start.
        with open(path, "r+b") as f:
            f.truncate(0)
            f.write(parts[2])
        rc, text = finish(live)
        self.assertEqual(rc, 0, text)
        self.assertNotIn("WARNING", text)
        self.assertWholePieces()
        self.assertSameRecords(stream, ("gem", "gim"))

    def test_a_restart_goes_on_after_the_last_piece(self):
        stream = build(interleaved(range(4), quats=False), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        half = len(records) // 2
        path = os.path.join(self.work, "pass.tlm")
        with open(path, "wb") as f:
            f.write(b"".join(records[:half]))
        rc, text = finish(start_live(self, self.out, "--idle", "1", "-u", "gem", source=path))
        self.assertEqual(rc, 0, text)
        first = pieces(self.out)
        self.assertEqual(len(first), 1)
        # More of the file, and one result of the first pass lost.
        with open(path, "ab") as f:
            f.write(b"".join(records[half:]))
        status = first[0][:-4] + "_gem.status"
        os.remove(status)
        rc, text = finish(start_live(self, self.out, "--idle", "1", "-u", "gem", source=path))
        self.assertEqual(rc, 0, text)
        self.assertTrue(os.path.exists(status))
        every = pieces(self.out)
        self.assertEqual(every[0], first[0])
        self.assertEqual(len(every), 2)
        self.assertLess(os.path.basename(every[0]), os.path.basename(every[1]))
        self.assertEqual(joined(every), stream)
        self.assertSameRecords(stream, ("gem",))
        rows = read_summary(self.out)
        self.assertEqual([(r["tlm"], r["outcome"]) for r in rows], [(p, "ok") for p in every])

    def test_a_pass_killed_outright_is_taken_up_after_its_last_piece(self):
        stream = build(interleaved(range(4), quats=False), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        per_round = len(records) // 4
        written = b"".join(records[:per_round * 5 // 2])  # two rounds and half the third
        path = os.path.join(self.work, "pass.tlm")
        with open(path, "wb") as f:
            f.write(written)
        live = start_live(self, self.out, "--every-records", str(per_round), "-u", "gem", source=path)
        wait_for(lambda: len(pieces(self.out)) == 2, "two pieces published")
        live.kill()
        live.wait()
        # Runs that the pass started may still hold the folder; then it is free.
        with open(os.path.join(self.out, ".hlc_edr_batch.lock"), "rb") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
        with open(path, "ab") as f:
            f.write(stream[len(written):])
        rc, text = finish(start_live(self, self.out, "--every-records", str(per_round), "--idle", "1", "-u", "gem",
                                     source=path))
        self.assertEqual(rc, 0, text)
        names = [os.path.basename(p)[:12] for p in pieces(self.out)]
        self.assertEqual(names, ["piece_%06d" % n for n in (1, 2, 3, 4)])
        self.assertEqual(joined(pieces(self.out)), stream)
        self.assertEqual([n for n in os.listdir(self.out) if n.endswith(".part")], [])
        self.assertSameRecords(stream, ("gem",))


class StandardInput(LiveCase):
    def test_standard_input_to_its_end(self):
        stream = build(interleaved(range(2), quats=True), os.path.join(self.work, "stream.tlm"))
        with open(os.path.join(self.work, "stream.tlm"), "rb") as f:
            live = start_live(self, self.out, "-u", "acs,con", stdin=f)
            rc, text = finish(live)
        self.assertEqual(rc, 0, text)
        self.assertEqual(len(pieces(self.out)), 1)  # due only after a minute
        self.assertSameRecords(stream, ("acs", "con"))

    def test_an_always_on_standard_input_publishes_by_time_and_ends_at_sigterm(self):
        # The writer keeps its end open: the first round is published when
        # due although nothing more comes; SIGTERM publishes the second.
        stream = build(interleaved(range(2), quats=True), os.path.join(self.work, "stream.tlm"))
        records = split_records(stream)
        first = b"".join(records[:len(records) // 2])
        live = start_live(self, self.out, "-u", "acs,gim", "--every", "0.5", stdin=subprocess.PIPE)
        live.stdin.write(first)
        live.stdin.flush()
        wait_for(lambda: len(pieces(self.out)) == 1, "the first piece while the writer waits")
        live.stdin.write(stream[len(first):])
        live.stdin.flush()
        wait_for(lambda: pipe_unread(live.stdin.fileno()) == 0, "the pass reading what was written")
        live.send_signal(signal.SIGTERM)
        out = live.stdout.read()
        live.wait(timeout=DEADLINE)
        self.assertEqual(live.returncode, -signal.SIGTERM, out)
        self.assertEqual(joined(pieces(self.out)[:1]), first)
        self.assertEqual(joined(pieces(self.out)), stream)
        self.assertSameRecords(stream, ("acs", "gim"))


if __name__ == "__main__":
    ARGS, argv = ep.tool_test_args()
    ep.without_system_programs()
    unittest.main(argv=argv, verbosity=2)
