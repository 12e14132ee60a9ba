"""The live pass's framing and cutting (hlc_edr.live.framing and .pieces) on
records written here from the design of the SFDU record:
  label: control authority (4 bytes, "KWRZ"), 14 bytes, body length L (2);
  body: aggregation type (2), aggregation length A (2), three header blocks
  (type 2, length 2, body), of which block 3's body byte 0 bit 7 is the
  fill flag; a data block header (4); the CCSDS packet at 28 + A: APID (11
  bits of 2 bytes), sequence flags (top 2 bits) and count, length field
  (user-data bytes + 4), time (5 bytes), user data.
Sequence flags: 1 first segment, 0 middle, 2 last, 3 unsegmented."""
import json
import os
import shutil
import struct
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "python"))
from hlc_edr.live.framing import Framer, Segments  # noqa: E402
from hlc_edr.live.pieces import Pieces, position_file  # noqa: E402

FIRST, MIDDLE, LAST, WHOLE = 1, 0, 2, 3


def record(apid, flags, data=b"\x11" * 10, fill=False, authority=b"KWRZ", length=None, pad=0):
    blocks = b""
    for n in (2, 3):
        blocks += struct.pack(">HH", 0, n) + bytes(n)
    blocks += struct.pack(">HH", 0, 6) + bytes([0x80 if fill else 0, 0, 0, 0]) + struct.pack(">H", len(data) + 11)
    packet = struct.pack(">HHH", apid, (flags << 14) | 5, len(data) + 4 if length is None else length)
    packet += struct.pack(">IB", 1000, 0) + data
    body = struct.pack(">HH", 0, len(blocks)) + blocks + struct.pack(">HH", 0, len(packet)) + packet + bytes(pad)
    return authority + bytes(14) + struct.pack(">H", len(body)) + body


class Framing(unittest.TestCase):
    def test_records_come_whole_whatever_the_chunks(self):
        records = [record(25, WHOLE, bytes(range(52))), record(31, FIRST, bytes(3000)), record(31, LAST),
                   record(27, WHOLE, pad=7)]
        stream = b"".join(records)
        for chunk in (1, 2, 19, 20, 21, 333, len(stream)):
            f = Framer()
            got = []
            for i in range(0, len(stream), chunk):
                got += f.feed(stream[i:i + chunk])
            self.assertEqual(got, records, chunk)
            self.assertEqual(f.partial(), (0, None))

    def test_what_is_held_of_an_incomplete_record(self):
        r = record(25, WHOLE)
        f = Framer()
        self.assertEqual(f.feed(r + r[:10]), [r])
        self.assertEqual(f.partial(), (10, None))  # the label itself incomplete
        self.assertEqual(f.feed(r[10:30]), [])
        self.assertEqual(f.drop_partial(), (30, len(r)))
        self.assertEqual(f.partial(), (0, None))
        self.assertEqual(f.feed(r), [r])


class Segmentation(unittest.TestCase):
    def closed_after(self, records):
        s = Segments()
        return [s.take(r) for r in records]

    def test_a_record_is_open_from_its_first_segment_to_its_last(self):
        self.assertEqual(self.closed_after([record(31, FIRST), record(32, WHOLE), record(31, LAST)]),
                         [False, False, True])
        self.assertEqual(self.closed_after([record(34, FIRST), record(34, MIDDLE), record(34, MIDDLE),
                                            record(34, LAST)]), [False, False, False, True])

    def test_every_apid_must_be_closed(self):
        self.assertEqual(self.closed_after([record(31, FIRST), record(42, FIRST), record(31, LAST),
                                            record(42, MIDDLE), record(42, LAST)]),
                         [False, False, False, False, True])

    def test_orphans_leave_nothing_open(self):
        self.assertEqual(self.closed_after([record(31, LAST), record(34, MIDDLE), record(31, WHOLE)]),
                         [True, True, True])

    def test_packets_that_hlc_edr_passes_over_change_nothing(self):
        # Filled, over 32768 bytes, a length field beyond the record, a
        # header block chain beyond the record.
        overlong = record(31, FIRST, bytes(32768))
        beyond = record(31, FIRST, length=400)
        chain = bytearray(record(31, FIRST))
        struct.pack_into(">H", chain, 26, 60000)
        for r in (record(31, FIRST, fill=True), overlong, beyond, bytes(chain)):
            self.assertEqual(self.closed_after([r]), [True])
        self.assertEqual(self.closed_after([record(31, FIRST), record(31, LAST, fill=True)]), [False, False])

    def test_a_record_whose_last_segment_never_comes_is_given_up_after_a_thousand_records(self):
        got = self.closed_after([record(31, FIRST)] + [record(32, WHOLE)] * 1001)
        self.assertEqual(got[:1001], [False] * 1001)
        self.assertEqual(got[1001], True)


class Cutting(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="hlc_edr_live_pieces.")
        self.addCleanup(shutil.rmtree, self.out)
        self.published = []

    def pieces(self, every=None, every_records=None):
        return Pieces(self.out, 1, every, every_records, self.published.append)

    def contents(self):
        out = []
        for p in self.published:
            with open(p, "rb") as f:
                out.append(f.read())
        return out

    def test_due_pieces_end_at_the_latest_place_where_no_record_is_open(self):
        r = [record(32, WHOLE), record(31, FIRST), record(32, WHOLE), record(31, LAST), record(33, WHOLE)]
        p = self.pieces(every_records=2)
        for i, rec in enumerate(r):
            p.add(rec, {"offset": i}, now=0.0)
        p.close()
        # Due at the first segment: the piece ends before it; the next one
        # holds the whole record and ends after its last segment.
        self.assertEqual(self.contents(), [r[0], b"".join(r[1:4]), r[4]])
        names = [os.path.basename(n) for n in self.published]
        self.assertEqual(names, sorted(names))
        self.assertEqual([n[:12] for n in names], ["piece_000001", "piece_000002", "piece_000003"])
        with open(position_file(self.published[1])) as f:
            self.assertEqual(json.load(f)["offset"], 3)
        self.assertEqual([n for n in os.listdir(self.out) if n.endswith(".part")], [])

    def test_pieces_due_by_time(self):
        r = [record(32, WHOLE), record(31, FIRST), record(31, LAST)]
        p = self.pieces(every=10)
        p.add(r[0], {}, now=100.0)
        p.add(r[1], {}, now=105.0)
        p.tick(109.0)
        self.assertEqual(self.published, [])
        p.tick(110.0)  # due; the first segment's record is open: the piece ends before it
        self.assertEqual(self.contents(), [r[0]])
        p.tick(114.0)
        self.assertEqual(len(self.published), 1)  # the next piece began at 105
        p.tick(115.0)
        self.assertEqual(len(self.published), 1)  # due, but still open
        p.add(r[2], {}, now=116.0)
        self.assertEqual(self.contents(), [r[0], r[1] + r[2]])

    def test_a_piece_begins_only_with_a_kwrz_record(self):
        # hlc_edr checks the control authority of the first record of a
        # file: no piece may begin with a record of another one.
        r = [record(32, WHOLE), record(31, FIRST, authority=b"ABCD"), record(31, LAST)]
        p = self.pieces(every=1)
        p.add(r[0], {}, now=0.0)
        p.add(r[1], {}, now=0.0)
        p.tick(1.0)  # due, a record open, and no place to end before it
        self.assertEqual(self.published, [])
        p.add(r[2], {}, now=1.5)
        self.assertEqual(self.contents(), [b"".join(r)])

if __name__ == "__main__":
    unittest.main(verbosity=2)
