"""An EDR as Python reads it: the file opened with HDF4's H, V and SD
interfaces for as long as it is used, and each product's table opened
through its record module only for the length of one read, since a module
serves one file at a time for the whole process. A product is absent when
the file holds none of its objects, and damaged when it holds some that its
module refuses (the module compares every table and SDS with what the file
stores before anything is read); then EdrError says which product of which
file, and why, in the module's words."""
import ctypes
import os
import weakref

import numpy

from . import _library as L

# Reads go to the library a block at a time: about this many bytes of a
# product's records per read_block call, which HDF4 and the library pass
# over several times while the block stays in the processor's cache.
BLOCK_BYTES = 256 << 10
# Records that lie apart by at most this many bytes are read in one block
# with those between them, rather than by a call each.
GAP_BYTES = 64 << 10

HDF4_SIGNATURE = b"\x0e\x03\x13\x01"


class EdrError(Exception):
    """An EDR that cannot be read: not a regular file, not HDF4, damaged, or
    without the product asked for. The message names the file (and the
    product)."""


def _name(path):
    return os.fsdecode(path)


class Edr:
    """The EDR at `path`, open with the H, V and SD interfaces until
    close() (or until it is collected)."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.name = _name(self.path)
        try:
            st = os.stat(self.path)
        except OSError as e:
            raise EdrError("cannot open %s: %s" % (self.name, e.strerror)) from None
        # HDF4's own open of a FIFO would wait for a writer forever.
        if not os.path.isfile(self.path):
            raise EdrError("%s is not a regular file" % self.name)
        try:
            with open(self.path, "rb") as f:
                signature = f.read(4) == HDF4_SIGNATURE
        except OSError as e:
            raise EdrError("cannot open %s: %s" % (self.name, e.strerror)) from None
        self.size = st.st_size
        self.mtime = st.st_mtime
        lib = L.library()
        encoded = os.fsencode(self.path)
        with L.ModuleOutput():
            self.file = lib.Hopen(encoded, L.DFACC_READ, 0)
            if self.file == -1:
                raise EdrError("%s %s" % (self.name, "is a damaged or truncated HDF4 file" if signature
                                          else "is not an HDF4 file"))
            if lib.Vstart(self.file) == -1:
                lib.Hclose(self.file)
                raise EdrError("%s: the HDF4 Vgroup interface cannot be started on it" % self.name)
            # Without the SD interface, products without SDS are still readable.
            self.sd = lib.SDstart(encoded, L.DFACC_READ)
        self._closer = weakref.finalize(self, _close, lib, self.file, self.sd)

    def close(self):
        self._closer()

    @property
    def closed(self):
        return not self._closer.alive

    def present(self, p):
        """Whether the file holds any object of product p, by name."""
        lib = L.library()
        with L.ModuleOutput():
            if lib.Vfind(self.file, p.vgroup) > 0 or lib.VSfind(self.file, p.vdata) > 0:
                return True
            for k in range(p.nmembers):
                sds = p.members[k].sds
                if sds is not None and self.sd != -1 and lib.SDnametoindex(self.sd, sds) != -1:
                    return True
        return False

    def damaged(self, p, why):
        return EdrError("%s: product %s is damaged: %s" % (self.name, p.module.decode(), why))

    def open_table(self, p):
        """Opens product p's table for reading (the caller holds LOCK and
        closes it with p.close_rd()): its record count, or None when the
        file holds no such product. Raises EdrError when it is damaged."""
        if self.closed:
            raise ValueError("%s is closed" % self.name)
        with L.ModuleOutput() as out:
            n = p.init_rd(self.file, self.sd, b"r")
        # A product not in the file makes its module report the missing
        # table; one whose table exists but is empty opens silently with 0.
        if n > 0 or (n == 0 and not out.report):
            return n
        with L.ModuleOutput():
            p.close_rd()
        if not self.present(p):
            return None
        why = ("the HDF4 SD interface cannot be started on the file" if self.sd == -1 and p.nsds > 0
               else out.first_failure() or "its tables cannot be opened")
        raise self.damaged(p, why)

    def require_table(self, p):
        """open_table, with a product that the file lacks as EdrError."""
        n = self.open_table(p)
        if n is None:
            raise EdrError("%s has no product %s" % (self.name, p.module.decode()))
        return n

    def description(self, p):
        """The product's stored description text, as its module reads it.
        Raises EdrError when it cannot be read."""
        lib = L.library()
        with L.ModuleOutput(quiet_stdout=True) as out:
            ctypes.memset(p.desc, 0, p.desc_size)
            an = lib.ANstart(self.file)
            if an != -1:
                p.rd_Vgrp_desc(self.file, an)  # ends the AN interface
            text = ctypes.string_at(p.desc, p.desc_size).split(b"\0", 1)[0]
        if not text:
            why = out.first_failure()
            raise self.damaged(p, "its description cannot be read" + (" (%s)" % why if why else ""))
        return text.decode("utf-8", "surrogateescape")


def _close(lib, file, sd):
    with L.LOCK:
        if sd != -1:
            lib.SDend(sd)
        lib.Vend(file)
        lib.Hclose(file)


# ---- reading records ----------------------------------------------------------------

def member_dtype(m):
    return L.MEMBER_TYPES[m.type]


def member_shape(m):
    return tuple(m.dims[d].size for d in range(m.rank))


def record_bytes(p, members):
    """Bytes that a block read holds per record for these members: the
    packed Vdata record (which HDF4 reads whole whenever a field is wanted)
    and each wanted SDS member's slab."""
    fields = any(p.members[k].sds is None for k in members)
    return (p.packed_size if fields else 0) + sum(p.members[k].size for k in members
                                                  if p.members[k].sds is not None)


class Reader:
    """Reads members of product p from an open table into arrays of any
    number type (the values converted as numpy converts them), a block at a
    time. The caller holds LOCK with the table open. What the module says
    is kept over all the blocks of one read, whose first failure ends it."""

    def __init__(self, edr, p, count):
        self.edr, self.p, self.count = edr, p, count
        self._read_block = p.read_block
        self._pointers = (ctypes.c_void_p * p.nmembers)()

    def _block_records(self, members):
        return max(1, BLOCK_BYTES // max(1, record_bytes(self.p, members)))

    def _failed(self, out, start, n):
        return self.edr.damaged(self.p, "records %d to %d cannot be read (%s)"
                                % (start, start + n - 1, out.first_failure() or "read_block failed"))

    def range(self, start, stop, targets):
        """Records start to stop - 1 into targets: member index -> array of
        stop - start records. A target of the member's type, C-contiguous,
        is read into in place; any other through a block of the member's
        type, converted."""
        if stop <= start:
            return
        members = sorted(targets)
        block = self._block_records(members)
        # Per member: the address of its first record and the bytes of a
        # record where it is read in place (0 bytes into a block of its own,
        # which is converted into the target after each read).
        plan = []
        for k in members:
            m = self.p.members[k]
            target, dtype, shape = targets[k], member_dtype(m), member_shape(m)
            if target.dtype == dtype and target.flags.c_contiguous:
                plan.append((k, target.ctypes.data, dtype.itemsize * int(numpy.prod(shape, dtype=numpy.int64)),
                             None))
            else:
                scratch = numpy.empty((min(block, stop - start),) + shape, dtype)
                plan.append((k, scratch.ctypes.data, 0, scratch))
        converted = [(targets[k], scratch) for k, _, _, scratch in plan if scratch is not None]
        pointers, read_block = self._pointers, self._read_block
        failed = None
        with L.ModuleOutput() as out:
            for b0 in range(start, stop, block):
                n = min(block, stop - b0)
                for k, base, row, _ in plan:
                    pointers[k] = base + (b0 - start) * row
                if read_block(b0, n, pointers) != 0:
                    failed = (b0, n)
                    break
                for target, scratch in converted:
                    target[b0 - start:b0 - start + n] = scratch[:n]
        if failed:
            raise self._failed(out, *failed)

    def positions(self, positions, targets):
        """The records at sorted, distinct positions into targets: member
        index -> array of len(positions) records. Neighbouring positions
        are read together, with the records between them, a block at a
        time; far ones each by a call of its own."""
        members = sorted(targets)
        if len(positions) == 0:
            return
        block = self._block_records(members)
        gap = max(1, GAP_BYTES // max(1, record_bytes(self.p, members)))
        # Runs: each starts where the next wanted record is far from the last.
        breaks = numpy.flatnonzero(numpy.diff(positions) > gap) + 1
        starts = numpy.concatenate(([0], breaks))
        ends = numpy.concatenate((breaks, [len(positions)]))
        scratch = {k: numpy.empty((block,) + member_shape(self.p.members[k]), member_dtype(self.p.members[k]))
                   for k in members}
        pointers, read_block = self._pointers, self._read_block
        for k in members:
            pointers[k] = scratch[k].ctypes.data
        failed = None
        with L.ModuleOutput() as out:
            for a, z in zip(starts.tolist(), ends.tolist()):
                # Records positions[a] ... positions[z - 1], in blocks.
                i = a
                while i < z and not failed:
                    first = int(positions[i])
                    j = min(int(numpy.searchsorted(positions, first + block)), z)
                    n = int(positions[j - 1]) - first + 1
                    if read_block(first, n, pointers) != 0:
                        failed = (first, n)
                        break
                    rows = positions[i:j] - first
                    for k in members:
                        targets[k][i:j] = scratch[k][rows]
                    i = j
                if failed:
                    break
        if failed:
            raise self._failed(out, *failed)
