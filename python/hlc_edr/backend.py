"""EDRs opened directly in xarray: one product of an EDR is one Dataset,
variable for variable the group of that product in hlc_edr_dump's netCDF
export (the same names, dimensions, types, values and attributes), since both
are made from the record library's one CF encoding of the product
(hlc_edr_cf_describe):

    xarray.open_dataset("gem.hdf", engine="hlc_edr", group="gem_normal")
    hlc_edr.open_dataset("gem.hdf", "gem_normal", sclk_epoch="2000-01-01T12:00:00Z")
    hlc_edr.open_mfdataset(["b.hdf", "a.hdf"], "con_hk")   # joined in time order

The group is the product's module name; an EDR of one product needs none.
With an SCLK epoch the dataset has the CF time "time" and its time coverage
in UTC, as the export has with --sclk-epoch.

Values are read lazily: a variable's values are read when they are used,
only the records asked for (a slice, or a list of positions), through the
record library's bulk read a block at a time, and converted to the stored
type with numpy a column at a time. The record times, from which the
dataset's time coverage comes, are read when the dataset is opened. A
record module serves one file at a time for the whole process, so every read
opens the product's table, reads and closes it, holding the library's lock;
the EDR itself stays open until the dataset is closed.

A read of a Vdata field brings the whole Vdata record from the file, every
field of it: the other fields' values of the same records are kept (up to
CACHE_BYTES) and handed over once, when they are asked for next, so that
loading a whole product, or a slice of every variable, reads the table
once; they are let go when other records are read, so that a reader going
through a product a slice at a time (the quick-look) holds one slice's.
"""
import datetime
import glob
import importlib.metadata
import os

import numpy
import xarray
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.backends.common import AbstractDataStore
from xarray.backends.store import StoreBackendEntrypoint
from xarray.core import indexing

from . import _edr
from . import _library as L
from ._edr import EdrError

__all__ = ["open_dataset", "open_mfdataset", "products", "EdrError", "HlcEdrBackendEntrypoint"]

# The most bytes of values read with others and kept until asked for.
CACHE_BYTES = 512 << 20
# The time coverage is found this many records at a time.
COVERAGE_RECORDS = 1 << 16


def _utc(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _version():
    try:
        return importlib.metadata.version("hlc_edr")
    except importlib.metadata.PackageNotFoundError:
        return None


class Variable:
    """One variable of a product's CF description."""

    def __init__(self, v, records):
        self.name = v.name.decode()
        self.dtype = L.NC_TYPES[v.type]
        self.source = v.source
        self.member = v.member
        self.dims = tuple(v.dims[i].decode() for i in range(v.ndims))
        self.shape = (records,) + tuple(v.shape[i] for i in range(1, v.ndims))
        self.attrs = L.attributes(v.nattributes, v.attributes)


def _outer(array, key):
    """array[key] with each axis indexed on its own (slices, integers and
    integer arrays alike), as xarray's outer indexing means it."""
    for axis in reversed(range(len(key))):
        k = key[axis]
        if isinstance(k, slice) and k == slice(None):
            continue
        array = array[(slice(None),) * axis + (k,)]
    return array


def _positions(key, n):
    """An integer array of record positions, negatives counted from the end."""
    positions = numpy.asarray(key, dtype=numpy.int64).reshape(-1)
    positions = numpy.where(positions < 0, positions + n, positions)
    if positions.size and (positions.min() < 0 or positions.max() >= n):
        raise IndexError("record positions out of range for %d records" % n)
    return positions


class Source:
    """One product of one EDR, open: its record times, its CF description
    and the reading of its members."""

    def __init__(self, path, module, epoch=None):
        lib = L.library()
        self.p = p = lib.product(module)
        self.module = module
        self.epoch = epoch
        self.edr = edr = _edr.Edr(path)
        try:
            with L.LOCK:
                self.count = n = edr.require_table(p)
                try:
                    ks, kss = p.sclk_seconds, p.sclk_subseconds
                    seconds = numpy.empty((n,) + _edr.member_shape(p.members[ks]), _edr.member_dtype(p.members[ks]))
                    subseconds = numpy.empty((n,) + _edr.member_shape(p.members[kss]),
                                             _edr.member_dtype(p.members[kss]))
                    _edr.Reader(edr, p, n).range(0, n, {ks: seconds, kss: subseconds})
                finally:
                    with L.ModuleOutput():
                        p.close_rd()
                self.description = edr.description(p)
        except BaseException:
            edr.close()
            raise
        # The record times as the records hold them, each spin's; the
        # earliest and the latest record time (of the first spin) give the
        # time coverage.
        spins = int(numpy.prod(_edr.member_shape(p.members[ks]), dtype=numpy.int64))
        self.seconds, self.subseconds = seconds.reshape(n, spins), subseconds.reshape(n, spins)
        self.coverage = None
        for a in range(0, n, COVERAGE_RECORDS):
            t = self.spin_sclk(slice(a, a + COVERAGE_RECORDS))[:, 0]
            low, high = float(t.min()), float(t.max())
            self.coverage = (low, high) if self.coverage is None else (
                min(self.coverage[0], low), max(self.coverage[1], high))
        version = _version()
        self.date_created = _utc(edr.mtime)
        self.history = "%s hlc_edr%s Python backend: %s, product %s" % (
            _utc(datetime.datetime.now(datetime.timezone.utc).timestamp()),
            " " + version if version else "", edr.name, module)
        with self.describe() as cf:
            self.dims = {}
            for i in range(cf.ndims):
                d = cf.dims[i]
                self.dims[d.name.decode()] = n if d.size == 0 else d.size
            self.variables = [Variable(cf.variables[i], n) for i in range(cf.nvariables)]
            self.attrs = L.attributes(cf.nattributes, cf.attributes)
        self.stored = {v.member: v.dtype for v in self.variables if v.source == L.SOURCE_MEMBER}
        self.fields = [k for k in range(p.nmembers) if p.members[k].sds is None]
        self._cache = {}
        self._cache_bytes = 0

    def describe(self, coverage=None, **settings):
        """The product's CF description with this source's settings (those
        given replacing them)."""
        values = dict(epoch=self.epoch, description=self.description, date_created=self.date_created,
                      history=self.history)
        values.update(settings)
        return L.Description(self.p, coverage=coverage or self.coverage, **values)

    def close(self):
        with L.LOCK:
            self._cache.clear()
            self._cache_bytes = 0
            self.edr.close()

    # ---- reading ----

    def _with_table(self, read):
        """read(reader) with the product's table open."""
        with L.LOCK:
            n = self.edr.require_table(self.p)
            try:
                if n != self.count:
                    raise EdrError("%s: product %s changed: %d records, %d when it was opened"
                                   % (self.edr.name, self.module, n, self.count))
                return read(_edr.Reader(self.edr, self.p, n))
            finally:
                with L.ModuleOutput():
                    self.p.close_rd()

    def _empty(self, k, records):
        return numpy.empty((records,) + _edr.member_shape(self.p.members[k]), self.stored[k])

    def _range(self, k, start, stop):
        """Member k of records start to stop - 1, in its stored type."""
        if stop <= start:
            return self._empty(k, 0)
        span = (start, stop)
        with L.LOCK:
            hit = self._cache.pop((k, span), None)
            if hit is not None:
                self._cache_bytes -= hit.nbytes
                return hit
            # Kept are the values of the records of the latest read only:
            # those of other records, which the reader has passed by, go.
            if any(kept != span for _, kept in self._cache):
                self._cache = {key: v for key, v in self._cache.items() if key[1] == span}
                self._cache_bytes = sum(v.nbytes for v in self._cache.values())
            targets = {k: self._empty(k, stop - start)}
            if self.p.members[k].sds is None:
                # The block read brings every field: keep the others too.
                others = [f for f in self.fields if f != k and (f, span) not in self._cache]
                size = sum((stop - start) * self.p.members[f].order * self.stored[f].itemsize for f in others)
                if self._cache_bytes + size <= CACHE_BYTES:
                    targets.update((f, self._empty(f, stop - start)) for f in others)
            self._with_table(lambda reader: reader.range(start, stop, targets))
            for f, values in targets.items():
                if f != k:
                    self._cache[(f, span)] = values
                    self._cache_bytes += values.nbytes
            return targets[k]

    def _gather(self, k, positions):
        """Member k of the records at those positions (any order, repeats
        allowed), in its stored type."""
        unique, inverse = numpy.unique(positions, return_inverse=True)
        values = self._empty(k, len(unique))
        if len(unique):
            self._with_table(lambda reader: reader.positions(unique, {k: values}))
        return values if len(unique) == len(positions) and (numpy.diff(positions) > 0).all() else values[inverse]

    def records(self, k, key):
        """Member k of the records that key (an integer, a slice or integer
        positions) selects, in its stored type; an integer drops the record
        axis."""
        n = self.count
        if isinstance(key, (int, numpy.integer)):
            return self._gather(k, _positions([key], n))[0]
        if isinstance(key, slice):
            start, stop, step = key.indices(n)
            if step == 1:
                return self._range(k, start, stop)
            return self._gather(k, numpy.arange(start, stop, step))
        return self._gather(k, _positions(key, n))

    def spin_sclk(self, rkey):
        """The record time of every spin of the records that rkey selects,
        as the library forms it (hlc_edr_cf_sclk): seconds + subseconds /
        65536, in float64 (each integer exact in it)."""
        sclk = self.subseconds[rkey].astype(numpy.float64)
        numpy.divide(sclk, 65536.0, out=sclk)
        numpy.add(sclk, self.seconds[rkey], out=sclk)
        return sclk

    def read(self, var, key):
        """The values of variable var that an outer-indexing key selects."""
        rkey, rest = key[0], tuple(key[1:])
        if var.source in (L.SOURCE_SCLK, L.SOURCE_TIME):
            spins = self.spin_sclk(rkey)
            return spins[..., 0] if spins.shape[-1] == 1 else spins[..., 0].copy()
        if var.source == L.SOURCE_SPIN_SCLK:
            values = self.spin_sclk(rkey)
        else:
            values = self.records(var.member, rkey)
        return _outer(values, rest if isinstance(rkey, (int, numpy.integer)) else (slice(None),) + rest)


class LazyArray(BackendArray):
    """Read lazily with outer indexing: _raw takes, per dimension, an
    integer, a slice of positive step or sorted integer positions."""

    def __getitem__(self, key):
        # xarray's own decomposition of a slice of negative step into one of
        # positive step misses by one where the slice's span is a multiple
        # of its step ([::-3] of 5000 items): such slices go as positions.
        if isinstance(key, (indexing.BasicIndexer, indexing.OuterIndexer)) and any(
                isinstance(k, slice) and k.step is not None and k.step < 0 for k in key.tuple):
            key = indexing.OuterIndexer(tuple(
                numpy.arange(*k.indices(n)) if isinstance(k, slice) and k.step is not None and k.step < 0 else k
                for k, n in zip(key.tuple, self.shape)))
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER, self._raw)


class EdrArray(LazyArray):
    """A variable of one source."""

    def __init__(self, source, var):
        self.source, self.var = source, var
        self.shape = var.shape
        self.dtype = var.dtype

    def _raw(self, key):
        return self.source.read(self.var, key)


class ConcatArray(LazyArray):
    """A variable of several sources joined along the record dimension."""

    def __init__(self, parts, var):
        self.parts = []  # (first record, records, EdrArray)
        offset = 0
        for part in parts:
            self.parts.append((offset, part.shape[0], part))
            offset += part.shape[0]
        self.shape = (offset,) + var.shape[1:]
        self.dtype = var.dtype

    def _raw(self, key):
        rkey, rest = key[0], tuple(key[1:])
        total = self.shape[0]
        if isinstance(rkey, (int, numpy.integer)):
            r = int(rkey) + total if rkey < 0 else int(rkey)
            for first, n, part in self.parts:
                if first <= r < first + n:
                    return part._raw((r - first,) + rest)
            raise IndexError("record %d out of range for %d records" % (rkey, total))
        if isinstance(rkey, slice):
            start, stop, step = rkey.indices(total)
            if step == 1:
                pieces = [part._raw((slice(max(start, first) - first, min(stop, first + n) - first, 1),) + rest)
                          for first, n, part in self.parts if max(start, first) < min(stop, first + n)]
                if not pieces:
                    return self.parts[0][2]._raw((slice(0, 0, 1),) + rest)
                return numpy.concatenate(pieces, axis=0) if len(pieces) > 1 else pieces[0]
            positions = numpy.arange(start, stop, step)
        else:
            positions = _positions(rkey, total)
        out = None
        for first, n, part in self.parts:
            inside = (positions >= first) & (positions < first + n)
            if not inside.any():
                continue
            values = part._raw((positions[inside] - first,) + rest)
            if out is None:
                out = numpy.empty((len(positions),) + values.shape[1:], values.dtype)
            out[inside] = values
        return out if out is not None else self.parts[0][2]._raw((positions[:0],) + rest)


class EdrStore(AbstractDataStore):
    """One product of one or more EDRs, as xarray's decoding takes it."""

    def __init__(self, sources, attrs):
        self.sources = sources
        first = sources[0]
        total = sum(s.count for s in sources)
        self.dims = dict(first.dims, record=total)
        self.attrs = attrs
        self.variables = {}
        for i, var in enumerate(first.variables):
            parts = [EdrArray(s, s.variables[i]) for s in sources]
            array = parts[0] if len(parts) == 1 else ConcatArray(parts, var)
            encoding = {"original_shape": array.shape, "dtype": var.dtype}
            if len(sources) == 1:
                encoding["source"] = first.edr.name
            self.variables[var.name] = xarray.Variable(var.dims, indexing.LazilyIndexedArray(array),
                                                       dict(var.attrs), encoding)

    def get_dimensions(self):
        return dict(self.dims)

    def get_attrs(self):
        return dict(self.attrs)

    def get_variables(self):
        return dict(self.variables)

    def get_encoding(self):
        return {"unlimited_dims": {"record"}}

    def close(self):
        for s in self.sources:
            s.close()


# ---- opening ------------------------------------------------------------------------

def _epoch(sclk_epoch):
    return None if sclk_epoch is None else L.cf_epoch(sclk_epoch)


def _only_product(path):
    found = products(path)
    if len(found) == 1:
        return next(iter(found))
    raise ValueError("%s holds %s: name one with group=PRODUCT"
                     % (os.fsdecode(path), "the products " + ", ".join(found) if found else "no product"))


def _open_store(path, group, sclk_epoch):
    epoch = _epoch(sclk_epoch)
    module = group if group is not None else _only_product(path)
    source = Source(path, module, epoch)
    return EdrStore([source], source.attrs)


DECODERS = ("mask_and_scale", "decode_times", "concat_characters", "decode_coords", "use_cftime",
            "decode_timedelta", "drop_variables")


class HlcEdrBackendEntrypoint(BackendEntrypoint):
    """xarray's engine "hlc_edr": one product of a Halcyon EDR (HDF4) as a
    Dataset, group=PRODUCT (its module name), sclk_epoch=ISO 8601 time."""

    description = "Halcyon EDR files (HDF4): one product as a Dataset, group=PRODUCT, sclk_epoch=TIME"
    open_dataset_parameters = ("filename_or_obj",) + DECODERS + ("group", "sclk_epoch")

    def open_dataset(self, filename_or_obj, *, mask_and_scale=True, decode_times=True, concat_characters=True,
                     decode_coords=True, use_cftime=None, decode_timedelta=None, drop_variables=None,
                     group=None, sclk_epoch=None):
        store = _open_store(os.fspath(filename_or_obj), group, sclk_epoch)
        try:
            return StoreBackendEntrypoint().open_dataset(
                store, mask_and_scale=mask_and_scale, decode_times=decode_times,
                concat_characters=concat_characters, decode_coords=decode_coords, use_cftime=use_cftime,
                decode_timedelta=decode_timedelta, drop_variables=drop_variables)
        except BaseException:
            store.close()
            raise

    def guess_can_open(self, filename_or_obj):
        try:
            path = os.fspath(filename_or_obj)
            if not os.path.isfile(path):
                return False
            with open(path, "rb") as f:
                return f.read(4) == _edr.HDF4_SIGNATURE
        except (TypeError, OSError):
            return False


def open_dataset(path, product, sclk_epoch=None, **xarray_kwargs):
    """Product `product` (a module name: "gem_normal", ...) of the EDR at
    path as an xarray Dataset, read lazily; with sclk_epoch (the UTC time of
    SCLK 0, an ISO 8601 text or a datetime) the CF time "time" too. Other
    keywords go to xarray.open_dataset (decode_times, mask_and_scale, ...).
    Close it (or use it in a with statement) to close the file."""
    return xarray.open_dataset(path, engine=HlcEdrBackendEntrypoint, group=product, sclk_epoch=sclk_epoch,
                               **xarray_kwargs)


def open_mfdataset(paths, product, sclk_epoch=None, **decoders):
    """Product `product` of several EDRs (a list of paths, or a glob
    pattern) as one Dataset, their records joined along "record" in time
    order: the files ordered by their earliest record time (SCLK), each
    file's records in the file's order, files without records of the
    product last. The time coverage is the whole; the other attributes are
    those of the earliest file, with every file's history. Read lazily like
    open_dataset; keywords as xarray's decoding takes them."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        pattern = os.fspath(paths)
        paths = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
    paths = list(paths)
    if not paths:
        raise OSError("no EDR to open")
    epoch = _epoch(sclk_epoch)
    sources = []
    try:
        for path in paths:
            sources.append(Source(path, product, epoch))
        sources.sort(key=lambda s: (0, s.coverage[0]) if s.coverage else (1, 0.0))
        timed = [s.coverage for s in sources if s.coverage]
        coverage = (min(c[0] for c in timed), max(c[1] for c in timed)) if timed else None
        with sources[0].describe(coverage=coverage, history="\n".join(s.history for s in sources)) as cf:
            attrs = L.attributes(cf.nattributes, cf.attributes)
        store = EdrStore(sources, attrs)
        unknown = set(decoders) - set(DECODERS)
        if unknown:
            raise TypeError("open_mfdataset() got unexpected keywords: %s" % ", ".join(sorted(unknown)))
        return StoreBackendEntrypoint().open_dataset(store, **decoders)
    except BaseException:
        for s in sources:
            s.close()
        raise


def products(path):
    """The products of the EDR at path and their record counts, in the
    registry's order: {"gem_hk": 120, "gem_normal": 30, ...}. Raises
    EdrError for a file that cannot be read or a damaged product."""
    lib = L.library()
    edr = _edr.Edr(path)
    found = {}
    try:
        with L.LOCK:
            for p in lib.products:
                n = edr.open_table(p)
                if n is None:
                    continue
                with L.ModuleOutput():
                    p.close_rd()
                found[p.module.decode()] = n
    finally:
        edr.close()
    return found
