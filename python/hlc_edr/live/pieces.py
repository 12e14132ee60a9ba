"""The pieces of a stream: records written to the open piece's work file as
they arrive, the piece closed at a place where no record is open, and
published under a name that sorts in arrival order."""
import json
import os
import re
import time

from hlc_edr._tools import write_atomically
from hlc_edr.live.framing import AUTHORITY, Segments

PIECE_NAME = "piece_%06d_%s.tlm"
PIECE_PATTERN = re.compile(r"piece_(\d{6,})_\d{8}T\d{6}Z\.tlm\Z")
COPY_CHUNK = 1 << 16


def piece_number(name):
    m = PIECE_PATTERN.match(name)
    return int(m.group(1)) if m else None


def published(outdir):
    """The pieces in the output folder, [(number, path)], in order."""
    found = [(piece_number(n), os.path.join(outdir, n)) for n in os.listdir(outdir)]
    return sorted(p for p in found if p[0] is not None)


def position_file(tlm):
    """Where the input stood after a piece's last record: a hidden file
    beside the piece, written before the piece is published."""
    folder, name = os.path.split(tlm)
    return os.path.join(folder, "." + os.path.splitext(name)[0] + ".pos")


def load_position(tlm):
    try:
        with open(position_file(tlm), encoding="utf-8") as f:
            pos = json.load(f)
        return pos if isinstance(pos, dict) else None
    except (OSError, ValueError):
        return None


class Boundary:
    """A place between two records of the open piece: its byte offset in
    the piece, the records before it, where the input stood there, and when
    the record after it arrived (the start of the piece that follows)."""

    def __init__(self, offset, records, position, arrived):
        self.offset, self.records, self.position, self.arrived = offset, records, position, arrived


class Pieces:
    """The open piece and the closing of pieces. publish(path) is called
    with each piece once it has its final name."""

    def __init__(self, outdir, first_number, every, every_records, publish):
        self.outdir = outdir
        self.number = first_number
        self.every, self.every_records = every, every_records
        self.publish = publish
        self.segments = Segments()
        self.work = None        # the open piece's work file, once it has a record
        self.size = 0
        self.records = 0
        self.started = None     # when the open piece's first record arrived
        self.position = None    # where the input stood after the latest record
        self.cut = None         # the latest boundary where the piece may end
        self.closed_here = True  # no record open at the end of the data

    def work_name(self, number):
        return os.path.join(self.outdir, ".piece_%06d.part" % number)

    def add(self, record, position, now):
        """Appends one whole record that arrived at now; position is where
        the input stands after it. Closes the piece when it is due."""
        if self.work is None:
            self.work = open(self.work_name(self.number), "w+b")
            self.started = now
        elif self.closed_here and record.startswith(AUTHORITY):
            self.cut = Boundary(self.size, self.records, self.position, now)
        self.work.write(record)
        self.size += len(record)
        self.records += 1
        self.position = position
        self.closed_here = self.segments.take(record)
        self.tick(now)

    def due(self, now):
        if self.records == 0:
            return False
        return ((self.every_records is not None and self.records >= self.every_records) or
                (self.every is not None and now - self.started >= self.every))

    def tick(self, now):
        """Closes the open piece if it is due and may end somewhere: at the
        end of the data if no record is open there, else at the latest
        boundary where none was."""
        if not self.due(now):
            return
        if self.closed_here:
            self.close()
        elif self.cut is not None:
            self.close(self.cut)

    def close(self, at=None):
        """Publishes the open piece up to the boundary at (all of it when
        None); what follows the boundary opens the next piece."""
        if self.work is None:
            return
        at = at or Boundary(self.size, self.records, self.position, None)
        rest = None
        if at.offset < self.size:
            rest = open(self.work_name(self.number + 1), "w+b")
            self.work.seek(at.offset)
            while True:
                chunk = self.work.read(COPY_CHUNK)
                if not chunk:
                    break
                rest.write(chunk)
            self.work.truncate(at.offset)
        self.work.close()
        final = os.path.join(self.outdir, PIECE_NAME % (self.number, time.strftime("%Y%m%dT%H%M%SZ",
                                                                                   time.gmtime())))
        pos = dict(at.position or {}, records=at.records, bytes=at.offset)
        write_atomically(position_file(final), lambda f: f.write(json.dumps(pos) + "\n"), encoding="utf-8")
        os.replace(self.work_name(self.number), final)
        self.number += 1
        self.work = rest
        self.size -= at.offset
        self.records -= at.records
        self.started = at.arrived if rest is not None else None
        self.cut = None
        self.publish(final)

    def discard_work(self):
        """Removes the work files an earlier run left unpublished."""
        for n in os.listdir(self.outdir):
            if re.match(r"\.piece_\d+\.part\Z", n):
                os.remove(os.path.join(self.outdir, n))
