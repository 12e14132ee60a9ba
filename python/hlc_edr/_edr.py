"""An EDR as Python reads it: the file opened with HDF4's H, V and SD
interfaces for as long as it is used, and each product's table opened
through its record module only for the length of one read, since a module
serves one file at a time for the whole process. A product is absent when
the file holds none of its objects, and damaged when it holds some that its
module refuses (the module compares every table and SDS with what the file
stores before anything is read); then EdrError says which product of which
file, and why, in the module's words.

HDF4 trusts the sizes and places that a file's headers give, and a damaged
file can make it loop or crash while it opens the file's interfaces (a loop
in SDstart on an SD Vgroup that names a member twice, a fault in
Vinitialize), which no check ahead of it foresees and nothing in a process
can bound. So, before an HDF4 file is opened here the first time, the same
opening (the H, V, SD and AN interfaces, and every product's table and
description through its module) is done in a child process of its own,
bounded in processor time as hlc_edr_dump bounds its reading process: a
file whose opening the child does not finish, or on which it crashes, is
damaged (EdrError), and the process has not touched it. A file that opens
in the child (by its device, inode, size and modification time) is opened
directly afterwards. The records themselves are read in the process: the
module has checked the tables they lie in by then. Where no child can be
made (fork fails), the file is opened without that check."""
import ctypes
import os
import resource
import signal
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

# The processor time that the child's opening of a file may take: far more
# than any sound EDR needs (as hlc_edr_dump's bound on its reading process).
OPENING_CPU_SECONDS = 60
OPENING_BYTES_PER_CPU_SECOND = 1 << 20
# The files whose opening a child finished: (device, inode, size, mtime).
_opened_in_child = set()


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
        if signature:
            _open_in_child(lib, encoded, st, self.name)
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


def _open_in_child(lib, encoded, st, name):
    """Opens the file in a child process first (see above), once per file;
    EdrError when the child does not finish or crashes."""
    key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    if key in _opened_in_child:
        return
    seconds = OPENING_CPU_SECONDS + st.st_size // OPENING_BYTES_PER_CPU_SECOND
    # No other thread is inside HDF4 or a record module while the process
    # forks: the child finds their state whole.
    with L.LOCK:
        try:
            pid = os.fork()
        except OSError:
            return
        if pid == 0:
            _child_opening(lib, encoded, seconds)
    try:
        status = os.waitpid(pid, 0)[1]
    except BaseException:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        if number in (signal.SIGXCPU, signal.SIGKILL):
            raise EdrError("%s is damaged: HDF4 did not finish opening it in %d s of processor time"
                           % (name, seconds))
        raise EdrError("%s is damaged: HDF4 ended by %s opening it" % (name, signal.Signals(number).name))
    if os.WEXITSTATUS(status) != 0:
        # The child ends by _exit(0) whatever the opening gave; another
        # status is a fault that a sanitizer or the interpreter reported.
        raise EdrError("%s is damaged: opening it failed (exit status %d)" % (name, os.WEXITSTATUS(status)))
    _opened_in_child.add(key)


def _child_opening(lib, encoded, seconds):
    """In the child: opens the file as Edr and the record modules do, its
    output discarded, within `seconds` of processor time (under the
    process's own limit); ends the child, by _exit."""
    try:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_DFL)
        soft, hard = resource.getrlimit(resource.RLIMIT_CPU)
        cap = lambda limit, value: value if limit == resource.RLIM_INFINITY else min(limit, value)  # noqa: E731
        hard = cap(hard, seconds + 1)
        resource.setrlimit(resource.RLIMIT_CPU, (min(cap(soft, seconds), hard), hard))
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        file = lib.Hopen(encoded, L.DFACC_READ, 0)
        if file != -1 and lib.Vstart(file) != -1:
            sd = lib.SDstart(encoded, L.DFACC_READ)
            for p in lib.products:
                p.init_rd(file, sd, b"r")
                p.close_rd()
                an = lib.ANstart(file)
                if an != -1:
                    p.rd_Vgrp_desc(file, an)
    finally:
        os._exit(0)


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
