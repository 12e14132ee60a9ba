"""The stream cut into records and pieces: SFDU records framed by the
length in their labels, each packet's segmentation followed per APID, and
the places where a piece may end.

An SFDU record is a 20-byte label whose bytes 18-19 give the length L of
the body that follows (big-endian); the record is 20 + L bytes. Its CCSDS
packet lies at 28 + A (A: bytes 22-23), behind three length-prefixed header
blocks from byte 24, the third of which holds the fill flag. hlc_edr passes
over, without reading its segmentation, a record over 32768 bytes, one
whose header blocks or packet header lie beyond its end, a filled packet
and one whose length field does not fit the record; so does the framer.

A record of a segmented product arrives as a first segment (sequence flags
1), middle segments (0) and a last one (2), matched by packet time; a piece
never ends while a first or middle segment of any APID waits for its last,
so that every record is whole in one piece. hlc_edr checks "KWRZ" at the
head of each file it reads, so a piece also begins only with a record that
starts so (or with whatever comes after a cut made at the end of the data
received)."""
import struct

LABEL = 20
RECORD_LIMIT = 32768  # hlc_edr's packet buffer: a longer record is passed over
AUTHORITY = b"KWRZ"
FIRST, MIDDLE, LAST = 1, 0, 2
# An APID whose record stays open over this many records after its latest
# segment is taken as having lost its last segment: it no longer holds back
# the end of a piece. The segments of one record come close together.
STALE_RECORDS = 1000


def be16(data, at):
    return struct.unpack_from(">H", data, at)[0]


def record_size(label):
    """The size of the record a label (at least 20 bytes) begins."""
    return LABEL + be16(label, 18)


def segmentation(record):
    """(APID, sequence flags) of the packet of a whole record, or None for
    a record that hlc_edr passes over before reading its packet."""
    size = len(record)
    if size > RECORD_LIMIT or size < 28:
        return None
    block2 = 28 + be16(record, 26)
    if block2 + 4 > size:
        return None
    block3 = block2 + 4 + be16(record, block2 + 2)
    if block3 + 10 > size:
        return None
    packet = 28 + be16(record, 22)
    if packet + 11 > size:
        return None
    if record[block3 + 4] & 0x80:  # filled by the ground system
        return None
    user_data = be16(record, packet + 4) - 4
    if user_data < 0 or packet + 11 + user_data > size:
        return None
    return be16(record, packet) & 0x7FF, record[packet + 2] >> 6


class Segments:
    """Which APIDs have a record open: a first segment taken, its last not
    yet come."""

    def __init__(self):
        self.open = {}  # APID -> number of the record of its latest segment
        self.seen = 0

    def take(self, record):
        """Follows one whole record; returns whether no record of any APID
        is open after it."""
        self.seen += 1
        seg = segmentation(record)
        if seg is not None:
            apid, flags = seg
            if flags == FIRST or (flags == MIDDLE and apid in self.open):
                self.open[apid] = self.seen
            elif flags == LAST:
                self.open.pop(apid, None)
        for apid in [a for a, at in self.open.items() if self.seen - at > STALE_RECORDS]:
            del self.open[apid]
        return not self.open


class Framer:
    """Bytes in, whole records out, in the order received; at most one
    record (and the bytes of the latest read) held."""

    def __init__(self):
        self.pending = bytearray()

    def feed(self, data):
        """The records that data completes."""
        self.pending += data
        records = []
        at = 0
        while len(self.pending) - at >= LABEL:
            size = record_size(memoryview(self.pending)[at:at + LABEL])
            if len(self.pending) - at < size:
                break
            records.append(bytes(self.pending[at:at + size]))
            at += size
        if at:
            del self.pending[:at]
        return records

    def partial(self):
        """(bytes held of an incomplete record, the size its label gives or
        None while the label itself is incomplete); (0, None) if none."""
        n = len(self.pending)
        return n, (record_size(self.pending) if n >= LABEL else None)

    def drop_partial(self):
        held = self.partial()
        self.pending = bytearray()
        return held
