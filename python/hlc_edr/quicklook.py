"""hlc_edr_quicklook: one PNG per product of an EDR, for a look at a glance.

  hlc_edr_quicklook EDR... -o DIR [--linear] [--dpi N] [--sclk-epoch EPOCH]
                    [--library LIBHLC_EDR]

Each EDR is read in place through the record library libhlc_edr, with the
package's xarray backend (hlc_edr.open_dataset): each product is a Dataset,
variable for variable the group of that product in hlc_edr_dump's netCDF
export, read in slices of records so that memory does not grow with the
number of records. The library is the one --library names, else the one
that HLC_EDR_LIBRARY names, else the one in the lib/ folder of the prefix
that the package is installed in, else the one that the dynamic loader
finds by its soname. A file that the library refuses (not an EDR, damaged,
one on which HDF4 loops or crashes while opening it: the package opens each
file in a child process bounded in processor time first) gives one line on
standard error naming it; the other EDRs are still drawn.
Everything drawn is taken from a product's variables and their CF
attributes, whatever holds them (edr_products: the backend's Datasets).
(--dump, which named the hlc_edr_dump that an earlier quick-look read
through, is still accepted and has no effect.)

Writes DIR/<EDR name>_<record name>.png per product (written under a
temporary name and renamed when complete) and prints each path.

- Products with counts (GEM and GIM manual/calibration, normal, raw and
  diagnostic; the MEC F1D distribution): a spectrogram, the values summed
  over every dimension but the level one, level against record time, with a
  logarithmic colour scale (--linear for a linear one). Zero counts have a
  colour of their own, records that are missing none, values that are not
  finite another, and values at the ceiling of their type (255 for 8 bits,
  65535 for 16: saturated) another. Counts that the records hold as
  received (8-bit codes, not expanded, as the variable's comment says) are
  labelled as received codes, not as counts.
- Housekeeping products: small multiples, one panel per field against record
  time (arrays: one line per element); status words (flag_masks,
  flag_values, flag_meanings) as rasters with one row per single-bit flag
  (on or off) and per state of an enumeration (its value); the ranges of
  bits of a status word that hold a number (a counter, a value, as the
  word's comment names them: "bits 0-7: Name, a count") as panels of their
  own with that number; event times (the MEC shock and CME times) as
  markers on a panel of their own.

Time is drawn as it was measured: a record covers the time from its start to
the start of the next record (for four-spin records, the four spins it
measured); a gap longer than 1.5 times the usual spacing of the records stays
blank; records with the same time are merged into one, with a note. When a
product has more records than its panel has pixel columns, each column shows
the minimum and maximum of its records (spectrograms and rasters: the mean).
The time axis is in seconds, minutes, hours or days after the SCLK second
that its label names; with --sclk-epoch it is in UTC, the epoch (the UTC of
SCLK 0, as hlc_edr_dump --sclk-epoch takes it) plus the SCLK seconds, with
no clock correction.

Labels take each variable's long_name and units from the product when it has
them, else the field's name. No text is drawn over another: a factor or an
offset that a value axis needs stands in its label ("x1e-8"), not over the
panel. Each PNG carries, in its "Comment" text chunk, a JSON object: its
kind, its time axis (origin, unit, limits, scale) and its plot areas in
pixels (left, top, right, bottom) with their labels, notes and legends, so
that scripts can find them.

SIGINT, SIGTERM and SIGHUP end the tool: a PNG being written is removed,
and it ends by that signal.

Exit status: 0 when every EDR was read, 1 when one could not be, 2 for a
usage error (options, an unusable output folder, no record library).
"""
import argparse
import contextlib
import datetime
import json
import math
import os
import re
import sys
import tempfile
import textwrap
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.colors  # noqa: E402
import matplotlib.dates  # noqa: E402
import matplotlib.lines  # noqa: E402
import matplotlib.patches  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import matplotlib.ticker  # noqa: E402
import matplotlib.transforms  # noqa: E402
import numpy as np  # noqa: E402

from hlc_edr import _library, backend  # noqa: E402
from hlc_edr._tools import Epoch, end_by_signal, on_interrupts, shown, write_atomically  # noqa: E402

PROG = "hlc_edr_quicklook"
GAP_FACTOR = 1.5          # a spacing above this many times the usual one is a gap
SLICE_BYTES = 8 << 20     # records are read in slices of about this many bytes
SLICE_RECORDS = 1 << 16   # and at most this many records
DIFF_SAMPLES = 100000     # spacings kept to find the usual one
# Counts and the MEC F1D distribution: the variable drawn as a spectrogram.
SPECTRUM_VARIABLES = ("counts", "f1d_ion_distr")
# What the level dimensions are, when the export does not say.
LEVEL_NAMES = {
    "GEM_CYCLE_LEVELS": "ESA level of the cycle",
    "GIM_CYCLE_LEVELS": "ESA level of the cycle",
    "GEM_SPIN_LEVELS": "voltage level",
    "GIM_SPIN_LEVELS": "voltage level",
    "MEC_F1D_ELEMENTS": "energy step",
}
# The other dimensions, in words.
DIM_WORDS = {
    "AZIMUTH_SECTORS": "azimuth sectors",
    "CEMS": "CEMs",
    "MASK_ELEMENTS": "CEM-azimuth mask elements",
    "SPINS": "spins",
}
# Fields that hold the times of events, in SCLK seconds (0: none).
EVENT_FIELDS = {"TIME_OF_SHOCK": "shock", "TIME_OF_CME": "CME"}
TIME_FIELDS = ("sclk", "sclk_seconds", "sclk_subseconds")
# What a panel says when there is nothing to draw.
EMPTY_NOTES = ("no records", "no finite value", "all counts are zero", "all values are zero")
# The comment of a uint8 variable that holds the 8-bit codes as received,
# not the counts they stand for.
RECEIVED_CODES = re.compile(r"\b(as received|not expanded|no expansion)\b", re.IGNORECASE)
# A range of bits of a status word that its comment names:
# "bits 0-7: Command_Status_Counter, a count", "bits 0-28: spare".
NAMED_BITS = re.compile(r"\bbits (\d+)-(\d+): ([A-Za-z][A-Za-z0-9_]*)(?:, ([^;]*))?")
UNUSED_BITS = ("spare", "reserved")
# The greatest value of the members' own types.
TYPE_CEILINGS = {"uint8": 255, "uint16": 65535, "uint32": 4294967295}

ZERO_COLOUR = "#c8c8c8"       # a count of zero
NOT_FINITE_COLOUR = "#e0007a"  # NaN or an infinity
SATURATED_COLOUR = "#ff5a00"   # a value at the ceiling of its type
MARKS = ((0, ZERO_COLOUR), (1, NOT_FINITE_COLOUR), (2, SATURATED_COLOUR))
MARK_COLOURS = matplotlib.colors.ListedColormap([c for _, c in MARKS])
LINE_COLOURS = plt.rcParams["axes.prop_cycle"].by_key()["color"]
# A flag raster: pale where records have the flag off, dark where all have
# it on; no record, no colour.
FLAG_COLOURS = matplotlib.colors.LinearSegmentedColormap.from_list("flags", ["#e3ebf4", "#08306b"])
TIME_UNITS = ((15 * 60, 1.0, "seconds"), (15 * 3600, 60.0, "minutes"),
              (10 * 86400, 3600.0, "hours"), (math.inf, 86400.0, "days"))
# Tick labels of a UTC axis, from years to fractions of a second, and where
# a tick starts a larger unit.
UTC_FORMATS = ["%Y", "%Y-%m", "%m-%d", "%H:%M", "%H:%M", "%H:%M:%S.%f"]
UTC_ZERO_FORMATS = ["", "%Y", "%Y-%m", "%m-%d", "%H:%M", "%H:%M:%S"]
# A value axis writes its numbers in at most this many characters, with a
# factor and an offset in its label where they need it.
TICK_CHARACTERS = 6

HELP = """\
Each EDR is read in place through the record library (hlc_edr.open_dataset).
Count products are spectrograms (level against time; zero, missing, not
finite and saturated values marked; 8-bit received codes labelled as such);
housekeeping products are panels of their fields, with status words as
rasters of their flags and enumeration states and panels of the counters and
values in their bits, and event times as markers. Time is SCLK, or UTC with
--sclk-epoch. Exit status 0 when every EDR was drawn, 1 when one could not be
read, 2 for a usage error."""


class Failure(Exception):
    """An EDR that cannot be read; the message is the reason."""


class OutputError(Exception):
    """The output folder cannot take the PNG files."""


# ---- where a product's variables come from -------------------------------------

class Variable:
    """A variable of a product, whatever holds it: its name, dimensions,
    shape, type and attributes, and var[a:b], the values of records a..b-1
    as a numpy array. dtype is the type that the product stores."""

    def __init__(self, name, dimensions, shape, dtype, attrs, read):
        self.name, self.dimensions, self.shape = name, tuple(dimensions), tuple(shape)
        self.dtype, self.attrs, self._read = np.dtype(dtype), attrs, read

    @property
    def ndim(self):
        return len(self.shape)

    def __getitem__(self, records):
        return self._read(records.start or 0, self.shape[0] if records.stop is None else records.stop)


class Group:
    """A product's variables (in the product's order), dimensions (name:
    size) and attributes."""

    def __init__(self, name, attrs, dimensions, variables):
        self.name, self.attrs, self.dimensions, self.variables = name, attrs, dimensions, variables


def xarray_group(ds, name):
    """A product from an xarray Dataset of it, decoded or not: the stored
    type and the attributes that decoding moves into the encoding
    (_FillValue, units, coordinates) are taken from there."""
    def reader(v):
        return lambda a, b: np.asarray(v[a:b].values)
    variables = {}
    for key, v in ds.variables.items():
        attrs = dict(v.attrs)
        for k in ("_FillValue", "units", "calendar", "coordinates"):
            if k in v.encoding and k not in attrs:
                attrs[k] = v.encoding[k]
        variables[key] = Variable(key, v.dims, v.shape, v.encoding.get("dtype", v.dtype), attrs, reader(v))
    return Group(name, dict(ds.attrs), dict(ds.sizes), variables)


def reason(e, edr):
    """What an EdrError says of the EDR, without the EDR's name where it
    begins with it (the tool's line names it)."""
    text, name = str(e), os.fsdecode(edr)
    for prefix in (name + ": ", name + " "):
        if text.startswith(prefix):
            return text[len(prefix):]
    cannot = "cannot open %s: " % name
    return "cannot open it: " + text[len(cannot):] if text.startswith(cannot) else text


@contextlib.contextmanager
def edr_products(edr, args):
    """The products of an EDR, one Group each in the registry's order, and
    the warnings of reading it: (warnings, products). The products' source
    is this function alone: the package's xarray backend, each product a
    Dataset (with the SCLK epoch args.sclk_epoch, when it is set) opened
    undecoded, its values as stored, the EDR read in place. Every product is
    opened (its tables checked, its record times read) before any is drawn,
    so that an EDR that the library refuses is refused whole (Failure)."""
    epoch = args.sclk_epoch.cf if args.sclk_epoch is not None else None
    datasets = []
    try:
        try:
            for module in backend.products(edr):
                datasets.append((module, backend.open_dataset(edr, module, sclk_epoch=epoch, decode_cf=False)))
        except backend.EdrError as e:
            raise Failure(reason(e, edr))
        yield [], (xarray_group(ds, module) for module, ds in datasets)
    finally:
        for _, ds in datasets:
            ds.close()


def attr(var, name):
    return var.attrs.get(name)


def text_attr(var, name):
    v = attr(var, name)
    if v is None:
        return None
    v = v.decode("utf-8", "replace") if isinstance(v, bytes) else str(v)
    return v.strip() or None


def slice_records(var, n):
    """Records per slice for reading var."""
    per = max(1, int(np.prod(var.shape[1:], dtype=np.int64)) * var.dtype.itemsize)
    return max(1, min(SLICE_RECORDS, SLICE_BYTES // per, n or 1))


def as_float(a):
    return np.asarray(a, dtype=np.float64)


def own_type(var):
    """The member's own type as the record holds it: hdf4_type where the
    product stores it widened, else the stored type."""
    return text_attr(var, "hdf4_type") or var.dtype.name


def ceiling_of(var):
    """The greatest value of an unsigned member's own type, or None."""
    return TYPE_CEILINGS.get(own_type(var))


def received_codes(var):
    """Whether the values are 8-bit codes as received: a uint8 member whose
    comment says that it is not expanded into the counts it stands for.
    (Wider members so described hold the counts themselves.)"""
    return own_type(var) == "uint8" and bool(RECEIVED_CODES.search(text_attr(var, "comment") or ""))


class Product:
    """One product of the EDR, named after its module."""

    def __init__(self, group):
        self.group = group
        self.module = group.name
        vg = text_attr(group, "hdf4_vgroup")
        record = vg[3:] if vg and vg.startswith("VG_") else self.module
        self.record = re.sub(r"[^A-Za-z0-9_]", "_", record)  # a part of a file name
        self.n = group.dimensions.get("record", 0)
        self.vars = group.variables

    def record_variables(self):
        """The variables of record fields, in file order, without the time and
        without coordinates."""
        coords = set(self.group.dimensions)
        for v in self.vars.values():
            c = text_attr(v, "coordinates")
            if c:
                coords.update(c.split())
        out = []
        for name, v in self.vars.items():
            if name in TIME_FIELDS or name in coords or not v.dimensions or v.dimensions[0] != "record":
                continue
            units = text_attr(v, "units") or ""
            if text_attr(v, "axis") == "T" or text_attr(v, "standard_name") == "time" or " since " in units:
                continue
            if v.dtype.kind not in "uif":
                continue
            out.append(v)
        return out

    def times(self, a, b):
        """Start times of records a..b-1 and, for four-spin records, their
        durations (NaN where the spin times do not give one)."""
        sec, sub = self.vars.get("sclk_seconds"), self.vars.get("sclk_subseconds")
        if sec is not None:
            t = as_float(sec[a:b])
            if sub is not None:
                t = t + as_float(sub[a:b]) / 65536.0
        elif "sclk" in self.vars:
            t = as_float(self.vars["sclk"][a:b])
        else:
            raise Failure("product %s has no record time" % self.module)
        if t.ndim == 1 or t.shape[1] == 1:
            return t.reshape(len(t)), None
        spins = t.shape[1]
        own = (t[:, -1] - t[:, 0]) * spins / (spins - 1)
        own[~(np.isfinite(own) & (own > 0))] = np.nan
        return t[:, 0].copy(), own


# ---- record times -------------------------------------------------------------

def cell_ends(s, own, after, c, gap):
    """Ends of the cells of time-ordered records with starts s: the next
    record's start, or after a gap the usual spacing c; for four-spin
    records their own duration (at most the gap limit), never past the next
    start. `after` is the start of the record that follows s, if any."""
    nxt = np.empty_like(s)
    nxt[:-1] = s[1:]
    nxt[-1] = np.inf if after is None else after
    step = nxt - s
    usual = c if c else 1.0
    e = nxt.copy() if gap is None else np.where(step <= gap, nxt, s + usual)
    if own is not None:
        dur = own if gap is None else np.minimum(own, gap)
        e = np.where(np.isnan(dur), e, s + dur)
        e = np.minimum(e, np.where(step > 0, nxt, np.inf))
    return np.where(np.isinf(e), s + usual, e)


class Timeline:
    """The record times of a product: the range, the usual spacing, gaps,
    duplicates and order. With few records, or records out of time order,
    it keeps every start and cell end (8 bytes each); otherwise it reads the
    times again slice by slice when asked, so that memory stays flat."""

    STEP = 4096  # records per slice of times

    def __init__(self, product, keep_limit):
        self.p, self.n = product, product.n
        self.starts = self.ends = self.order = None
        self.duplicates = self.gaps = 0
        self.ordered = True
        self.cadence = self.gap = None
        self.t_first = self.t_last = self.t_end = math.nan
        if not self.n:
            self.kept = False
            return
        diffs, own_last = self._scan(max(1, self.n // DIFF_SAMPLES))
        self.kept = self.n <= keep_limit or not self.ordered
        if self.kept:
            self._keep(keep_limit)
            return
        self._set_cadence(diffs, own_last)
        if self.gap is not None:
            self.gaps = sum(int((d > self.gap).sum()) for d, _ in self._spacings())
        own = None if own_last is None else np.array([own_last])
        self.t_end = float(cell_ends(np.array([self.t_last]), own, None, self.cadence, self.gap)[0])

    def _slices(self):
        for a in range(0, self.n, self.STEP):
            yield self.p.times(a, min(self.n, a + self.STEP))

    def _spacings(self):
        """(spacings from the previous record, durations) slice by slice."""
        prev = None
        for s, own in self._slices():
            yield (np.diff(s) if prev is None else np.diff(np.concatenate(([prev], s)))), (s, own)
            prev = s[-1]

    def _scan(self, stride):
        """One pass: order, range, repeated times and a sample of the spacings."""
        diffs, own_last = [], None
        self.t_first, self.t_last = math.inf, -math.inf
        for d, (s, own) in self._spacings():
            if self.ordered and (d < 0).any():
                self.ordered = False
            if self.ordered:
                self.duplicates += int((d == 0).sum())
                diffs.append(d[d > 0][::stride])
            self.t_first = min(self.t_first, float(s.min()))
            if s.max() >= self.t_last:
                i = int(np.argmax(s))
                self.t_last, own_last = float(s[i]), (None if own is None else own[i])
        return diffs, own_last

    def _set_cadence(self, diffs, own):
        positive = np.concatenate(diffs) if diffs else np.empty(0)
        if positive.size:
            self.cadence = float(np.median(positive))
        elif own is not None and np.isfinite(own):
            self.cadence = float(own)
        self.gap = GAP_FACTOR * self.cadence if self.cadence else None

    def _keep(self, keep_limit):
        parts = list(self._slices())
        s = np.concatenate([p[0] for p in parts])
        own = np.concatenate([p[1] for p in parts]) if parts[0][1] is not None else None
        del parts
        self.order = np.argsort(s, kind="stable")
        ordered = s[self.order]
        d = np.diff(ordered)
        self.duplicates = int((d == 0).sum())
        own_sorted = None if own is None else own[self.order]
        self._set_cadence([d[d > 0]], None if own is None else np.nanmedian(own) if np.isfinite(own).any() else None)
        if self.gap is not None:
            self.gaps = int((d > self.gap).sum())
        del d, own
        ends = np.empty_like(ordered)
        for a in range(0, self.n, SLICE_RECORDS):  # in slices: cell_ends needs room of its own
            b = min(self.n, a + SLICE_RECORDS)
            ends[a:b] = cell_ends(ordered[a:b], None if own_sorted is None else own_sorted[a:b],
                                  ordered[b] if b < self.n else None, self.cadence, self.gap)
        self.t_end = float(ends.max())
        self.starts, self.ends = s, np.empty_like(ends)
        self.ends[self.order] = ends
        if self.n > keep_limit:
            self.order = None  # only exact bins need it

    def cells(self, a, b):
        """Starts and cell ends of records a..b-1, in file order."""
        if self.kept:
            return self.starts[a:b], self.ends[a:b]
        s, own = self.p.times(a, min(self.n, b + 1))
        after = s[b - a] if len(s) > b - a else None
        s, own = s[:b - a], (None if own is None else own[:b - a])
        return s, cell_ends(s, own, after, self.cadence, self.gap)


class Bins:
    """Where each record lands on a panel: one bin per distinct record time
    (exact), or one per pixel column of the panel (decimated)."""

    def __init__(self, tl, columns, exact):
        self.tl = tl
        self.exact = exact
        self.x0, self.x1 = tl.t_first, tl.t_end
        if exact:
            s = tl.starts[tl.order]
            e = tl.ends[tl.order]
            first = np.flatnonzero(np.concatenate(([True], np.diff(s) > 0)))
            self.left = s[first]
            self.right = np.maximum.reduceat(e, first)
            rank = np.empty(tl.n, dtype=np.int64)
            rank[tl.order] = np.arange(tl.n)
            group = np.cumsum(np.concatenate(([True], np.diff(s) > 0))) - 1
            self.of_record = group[rank]
            self.size = len(first)
            self.covered = np.ones(self.size, dtype=bool)
        else:
            self.size = max(1, int(columns))
            self.width = (self.x1 - self.x0) / self.size or 1.0
            self.covered = np.zeros(self.size, dtype=bool)

    def assign(self, a, b):
        """First and last-plus-one bin of the cells of records a..b-1."""
        s, e = self.tl.cells(a, b)
        if self.exact:
            c0 = self.of_record[a:b]
            return s, c0, c0 + 1
        c0 = np.clip(np.floor((s - self.x0) / self.width), 0, self.size - 1).astype(np.int64)
        c1 = np.clip(np.ceil((e - self.x0) / self.width), 0, self.size).astype(np.int64)
        return s, c0, np.maximum(c1, c0 + 1)


def spread(c0, c1):
    """(record, bin) for every bin that a record's cell covers. Cells do not
    overlap, so there are at most as many pairs as records plus bins."""
    rep = c1 - c0
    idx = np.repeat(np.arange(len(c0)), rep)
    offset = np.arange(len(idx)) - np.repeat(np.cumsum(rep) - rep, rep)
    return idx, c0[idx] + offset


# ---- what a panel shows --------------------------------------------------------

class Field:
    """The numbers that a panel of values draws: a variable (every element
    of an array), or the range of bits low..high of a status word that
    holds a number (a counter, a value), which `meaning` names."""

    def __init__(self, var, bits=None, meaning=None, what=None):
        self.var, self.bits = var, bits
        self.elements = int(np.prod(var.shape[1:], dtype=np.int64))
        if bits is None:
            self.name = var.name
            self.integer = var.dtype.kind in "ui"
            # codes as received reach the ceiling of their type when saturated
            self.ceiling = ceiling_of(var) if received_codes(var) else None
        else:
            self.name = "%s bits %d-%d" % (var.name, bits[0], bits[1])
            self.meaning, self.what = meaning, what
            self.integer, self.ceiling = True, None

    def values(self, data):
        """The field's values in records `data` of the variable (records x
        elements): integers as they are, which are never NaN, else float64."""
        w = np.asarray(data)
        if self.bits is None:
            return (w if w.dtype.kind in "ui" else as_float(w)).reshape(len(w), self.elements)
        low, high = self.bits
        missing = ~np.isfinite(w) if w.dtype.kind == "f" else None  # a word read through a reader that masks
        v = ((np.where(missing, 0, w) if missing is not None else w).astype(np.int64) >> low) & \
            ((1 << (high - low + 1)) - 1)
        if missing is not None:
            v = np.where(missing, np.nan, v)
        return v.reshape(len(w), self.elements)

    def title(self):
        if self.bits is None:
            title = label_of(self.var, with_units=False)  # the units label the value axis
            if self.elements > 1:
                title = title.replace(self.var.name, "%s[0..%d]" % (self.var.name, self.elements - 1), 1)
            return title
        return "%s: %s%s" % (self.name, self.meaning, ", " + self.what if self.what else "")

    def units(self):
        return text_attr(self.var, "units") if self.bits is None else None


def bit_range(mask):
    """The lowest and the highest bit of a mask."""
    return (mask & -mask).bit_length() - 1, mask.bit_length() - 1


def bits_text(mask, value=None):
    """"bit 3", "bits 2-3 = 1" (the value of the range), "bit 4 = 0"."""
    low, high = bit_range(mask)
    where = "bit %d" % low if low == high else "bits %d-%d" % (low, high)
    if value is None or (low == high and value == mask):
        return where
    return "%s = %d" % (where, value >> low)


class StatusWord:
    """What a status word's attributes say of its bits:
    - rows, (mask, value, meaning): the flags, each on in a record where
      the word & mask == value: a single bit (value the mask, or 0 for a
      state of the bit clear) and each state of an enumeration (a range of
      bits whose values mean states, its mask repeated with each value);
    - numbers, Fields of the ranges of bits that hold a number: a mask of
      several bits that has no flag_values (no states), and the ranges that
      the comment names ("bits 0-7: Command_Status_Counter, a count")
      outside every flag, but for spare and reserved bits."""

    def __init__(self, var, masks, values, meanings):
        self.var, self.rows, self.numbers = var, [], []
        used = 0
        for mask, value, meaning in zip(masks, values, meanings):
            if mask <= 0:
                continue
            low, high = bit_range(mask)
            if value is None and low != high:
                if not mask & used:
                    self.numbers.append(Field(var, (low, high), meaning))
            else:
                self.rows.append((mask, mask if value is None else value, meaning))
            used |= mask
        for low, high, name, what in NAMED_BITS.findall(text_attr(var, "comment") or ""):
            low, high = int(low), int(high)
            what = re.split(r"[,(]", what)[0].strip()
            if high < low or high > 63:
                continue
            mask = (2 << high) - (1 << low)
            if mask & used or name.lower() in UNUSED_BITS or what.lower().startswith(UNUSED_BITS):
                continue
            used |= mask
            self.numbers.append(Field(var, (low, high), name, what))

    @staticmethod
    def of(var):
        """The status word that var is, or None: a variable of one value
        per record with flag_masks and flag_meanings (and flag_values, one
        per mask, where it has states)."""
        masks, meanings = attr(var, "flag_masks"), text_attr(var, "flag_meanings")
        if masks is None or not meanings or var.ndim != 1 or var.dtype.kind not in "uif":
            return None
        masks = [int(m) for m in np.atleast_1d(masks)]
        meanings = meanings.split()
        values = attr(var, "flag_values")
        values = [int(x) for x in np.atleast_1d(values)] if values is not None else [None] * len(masks)
        if not masks or len(masks) != len(meanings) or len(values) != len(masks):
            return None
        word = StatusWord(var, masks, values, meanings)
        return word if word.rows or word.numbers else None


# ---- what is accumulated per bin ------------------------------------------------

class Spectrum:
    """Per bin and level: the sum and number of finite values, the number
    of values that are not finite, and of those at the ceiling of their
    type (with a ceiling)."""

    def __init__(self, var, level_axis, bins, ceiling=None):
        self.var, self.axis, self.bins, self.ceiling = var, level_axis, bins, ceiling
        self.levels = var.shape[level_axis]
        shape = (bins.size, self.levels)
        self.sum, self.finite, self.other = np.zeros(shape), np.zeros(shape), np.zeros(shape)
        self.saturated = np.zeros(shape) if ceiling is not None else None

    def add(self, data, placed):
        _, idx, col = placed[id(self.bins)]
        other = tuple(i for i in range(1, data.ndim) if i != self.axis)
        if data.dtype.kind == "f":
            z = np.sum(data, axis=other, dtype=np.float64) if other else as_float(data)
        else:
            z = as_float(np.sum(data, axis=other, dtype=np.int64) if other else data)
        ok = np.isfinite(z)
        where = (col[:, None] * self.levels + np.arange(self.levels)).ravel()
        size = self.bins.size * self.levels
        self.sum += np.bincount(where, np.where(ok, z, 0.0)[idx].ravel(), size).reshape(self.sum.shape)
        self.finite += np.bincount(where, ok[idx].ravel(), size).reshape(self.sum.shape)
        self.other += np.bincount(where, (~ok)[idx].ravel(), size).reshape(self.sum.shape)
        if self.saturated is not None:
            at = data == self.ceiling
            at = np.sum(at, axis=other, dtype=np.int64) if other else at
            if at.any():
                self.saturated += np.bincount(where, at[idx].ravel(), size).reshape(self.sum.shape)


class Series:
    """Per bin and element of a Field: the least and greatest finite value
    of the records that start in it, how many values were not finite, and
    how many were at the field's ceiling."""

    def __init__(self, field, bins):
        self.field, self.var, self.bins = field, field.var, bins
        self.elements = field.elements
        shape = (bins.size, self.elements)
        self.min = np.full(shape, np.inf)
        self.max = np.full(shape, -np.inf)
        self.other = np.zeros(shape, dtype=np.int64)
        self.saturated = np.zeros(shape, dtype=np.int64) if field.ceiling is not None else None
        # the first and last value of each bin, which tell whether the
        # line falls or rises through it
        self.first = np.full(shape, np.nan)
        self.last = np.full(shape, np.nan)

    def add(self, data, placed):
        c0 = placed[id(self.bins)][0]
        v = self.field.values(data)
        if len(c0) > 1 and (np.diff(c0) < 0).any():
            order = np.argsort(c0, kind="stable")
            v, c0 = v[order], c0[order]
        first = np.flatnonzero(np.concatenate(([True], np.diff(c0) != 0)))
        cols = c0[first]
        if v.dtype.kind in "ui":  # every value finite
            self.min[cols] = np.minimum(self.min[cols], np.minimum.reduceat(v, first))
            self.max[cols] = np.maximum(self.max[cols], np.maximum.reduceat(v, first))
        else:
            ok = np.isfinite(v)
            self.min[cols] = np.minimum(self.min[cols], np.minimum.reduceat(np.where(ok, v, np.inf), first))
            self.max[cols] = np.maximum(self.max[cols], np.maximum.reduceat(np.where(ok, v, -np.inf), first))
            self.other[cols] += np.add.reduceat((~ok).astype(np.int64), first)
        if self.saturated is not None:
            self.saturated[cols] += np.add.reduceat((v == self.field.ceiling).astype(np.int64), first)
        ends = np.append(first[1:], len(v)) - 1
        fresh = np.isnan(self.first[cols])
        self.first[cols] = np.where(fresh, v[first], self.first[cols])
        self.last[cols] = v[ends]


class Flags:
    """Per bin and flag of a status word: the share of records in which the
    flag is on."""

    def __init__(self, word, bins):
        self.word, self.var, self.bins = word, word.var, bins
        self.masks = np.array([m for m, _, _ in word.rows], dtype=np.int64)
        self.values = np.array([v for _, v, _ in word.rows], dtype=np.int64)
        self.meanings = [m for _, _, m in word.rows]
        self.set = np.zeros((bins.size, len(self.masks)))
        self.records = np.zeros(bins.size)

    def add(self, data, placed):
        _, idx, col = placed[id(self.bins)]
        w = np.asarray(data).reshape(len(data))
        if w.dtype.kind == "f":  # a word read through a reader that masks
            w = np.where(np.isfinite(w), w, 0)
        on = (w.astype(np.int64)[:, None] & self.masks) == self.values
        where = (col[:, None] * len(self.masks) + np.arange(len(self.masks))).ravel()
        self.set += np.bincount(where, on[idx].ravel(), self.set.size).reshape(self.set.shape)
        self.records += np.bincount(col, minlength=self.bins.size)


class Events:
    """Times of events that the records carry: per pixel column the first
    event time in it, and how many fell outside the plotted time."""

    def __init__(self, var, kind, x0, x1, columns):
        self.var, self.kind = var, kind
        self.x0, self.columns = x0, columns
        self.width = (x1 - x0) / columns or 1.0
        self.x1 = x1
        self.first = np.full(columns, np.inf)
        self.before = self.after = 0
        self.earliest, self.latest = np.inf, -np.inf  # of those outside

    def add(self, data, placed=None):
        v = np.unique(as_float(data).ravel())
        v = v[np.isfinite(v) & (v != 0)]
        outside = v[(v < self.x0) | (v > self.x1)]
        self.before += int((outside < self.x0).sum())
        self.after += int((outside > self.x1).sum())
        if outside.size:
            self.earliest = min(self.earliest, float(outside.min()))
            self.latest = max(self.latest, float(outside.max()))
        v = v[(v >= self.x0) & (v <= self.x1)]
        col = np.clip(((v - self.x0) / self.width).astype(np.int64), 0, self.columns - 1)
        np.minimum.at(self.first, col, v)


def accumulate(product, tl, per_var, bin_sets):
    """One pass over the records: every variable in per_var, a slice at a
    time, into its accumulators (each variable read once per slice, however
    many panels draw it); bin_sets are the Bins in use."""
    if not per_var or not tl.n:
        return
    step = min(slice_records(v, tl.n) for v in per_var)
    for a in range(0, tl.n, step):
        b = min(tl.n, a + step)
        placed = {}
        for bins in bin_sets:
            s, c0, c1 = bins.assign(a, b)
            idx, col = spread(c0, c1)
            bins.covered[col] = True
            placed[id(bins)] = (c0, idx, col)
        for var, accs in per_var.items():
            data = var[a:b]
            for acc in accs:
                acc.add(data, placed)


# ---- labels -------------------------------------------------------------------

def label_of(var, with_name=True, with_units=True):
    """long_name and units of a variable; the field name when it has none."""
    name = var.name
    long_name = text_attr(var, "long_name")
    units = text_attr(var, "units")
    text = long_name or name
    if with_name and long_name and long_name != name:
        text = "%s: %s" % (name, long_name)
    if with_units and units and units != "1":
        text += " [%s]" % units
    return text


def wrapped(text, width, lines):
    """text in lines of at most width characters, at most `lines` of them."""
    out = textwrap.wrap(text, width)
    if len(out) > lines:
        out = out[:lines - 1] + [textwrap.shorten(" ".join(out[lines - 1:]), width, placeholder=" ...")]
    return "\n".join(out)


def level_label(product, dim, size):
    coord = product.vars.get(dim)
    name = (text_attr(coord, "long_name") if coord is not None else None) or LEVEL_NAMES.get(dim) or dim
    units = text_attr(coord, "units") if coord is not None else None
    return "%s (0-%d)%s" % (name, size - 1, " [%s]" % units if units else "")


def dim_words(dim, size):
    for key, words in DIM_WORDS.items():
        if dim.endswith(key):
            return "%d %s" % (size, words)
    return "%d %s" % (size, dim)


def duration(seconds):
    for limit, unit, word in TIME_UNITS:
        if seconds < limit or unit == 86400.0:
            return "%.3g %s" % (seconds / unit, {"seconds": "s", "minutes": "min", "hours": "h",
                                                 "days": "d"}[word])
    return "%.3g s" % seconds


def compact(value):
    """A number in few characters: 50000, 1.5e-07 as 1.5e-7, 1e+06 as 1e6."""
    return re.sub(r"e([+-])0*(\d)", lambda m: "e" + ("-" if m.group(1) == "-" else "") + m.group(2),
                  "%.10g" % value)


def value_axis(axis, integer):
    """Plain tick labels on a value axis whose limits are set, and what they
    leave out for the axis label: "x1e-8" (the labels are the values / 1e-8)
    and "+1e6" (the labels are the values - 1e6), or "". matplotlib would
    draw these as an offset text at the axis' end, over the panel's title;
    here they are chosen once, so that the drawing keeps them, and the
    offset text is hidden."""
    if integer:
        axis.set_major_locator(matplotlib.ticker.MaxNLocator(5, integer=True))
    locs = axis.get_majorticklocs()
    lo, hi = sorted(axis.get_view_interval())
    slack = (hi - lo) * 1e-9
    shown_locs = [x for x in locs if lo - slack <= x <= hi + slack] or list(locs)
    for use_offset in (False, True):
        probe = matplotlib.ticker.ScalarFormatter(useOffset=use_offset)
        probe.set_powerlimits((-3, 5))
        probe.set_axis(axis)
        probe.set_locs(locs)
        if max((len(probe(x)) for x in shown_locs), default=0) <= TICK_CHARACTERS:
            break
    magnitude, offset = probe.orderOfMagnitude, float(probe.offset)
    fixed = matplotlib.ticker.ScalarFormatter(useOffset=False)
    fixed.offset = offset  # kept: no offset of its own chosen while drawing
    if magnitude:
        fixed.set_powerlimits((magnitude, magnitude))
    else:
        fixed.set_scientific(False)
    axis.set_major_formatter(fixed)
    axis.offsetText.set_visible(False)
    parts = ["\u00d71e%d" % magnitude] if magnitude else []
    if offset:
        parts.append(("+" if offset > 0 else "") + compact(offset))
    return " ".join(parts), fixed


class TimeAxis:
    """Seconds, minutes, hours or days after a whole SCLK second; with an
    epoch, UTC: matplotlib's dates (days since its own epoch), the epoch
    plus the SCLK seconds."""

    def __init__(self, tl, epoch=None):
        self.epoch, self.t_first = epoch, tl.t_first
        span = tl.t_end - tl.t_first
        if epoch is None:
            self.origin = math.floor(tl.t_first)
            for limit, unit, word in TIME_UNITS:
                if span <= limit:
                    self.unit, self.word = unit, word
                    break
        else:
            base = matplotlib.dates.date2num(datetime.datetime(1970, 1, 1))  # in days
            self.origin = -(epoch.posix + base * 86400.0)
            self.unit, self.word = 86400.0, "days"
        self.lim = (self.x(tl.t_first), self.x(tl.t_end))

    def x(self, t):
        return (np.asarray(t, dtype=np.float64) - self.origin) / self.unit

    def label(self):
        if self.epoch is None:
            return "%s after SCLK %d" % (self.word, self.origin)
        return "UTC from %s (the epoch %s + SCLK seconds)" % (self.epoch.utc(self.t_first), self.epoch.cf)

    def json(self):
        out = {"origin": self.origin, "unit": self.word, "seconds_per_unit": self.unit,
               "xlim": [float(self.lim[0]), float(self.lim[1])], "scale": "SCLK"}
        if self.epoch is not None:
            out.update(scale="UTC", epoch=self.epoch.cf)
        return out

    def setup(self, ax, labels, wide=False):
        ax.set_xlim(*self.lim)
        if self.epoch is None:
            ax.xaxis.set_major_locator(matplotlib.ticker.MaxNLocator(5))
        else:
            locator = matplotlib.dates.AutoDateLocator(minticks=3, maxticks=8 if wide else 5)
            ax.xaxis.set_major_locator(locator)
            ax.xaxis.set_major_formatter(matplotlib.dates.ConciseDateFormatter(
                locator, formats=UTC_FORMATS, zero_formats=UTC_ZERO_FORMATS, show_offset=False))
        ax.tick_params(labelbottom=labels)

    def ticks(self, ax):
        """[x, label] of the labelled ticks of an axis set up, as drawn."""
        locs = ax.xaxis.get_majorticklocs()
        labels = ax.xaxis.get_major_formatter().format_ticks(locs)
        lo, hi = self.lim
        slack = (hi - lo) * 1e-9
        return [[float(x), text] for x, text in zip(locs, labels) if lo - slack <= x <= hi + slack]


def shown_name(path):
    """A file's name as text to draw and to store in the PNG (shown)."""
    return shown(os.path.basename(path))


def title_of(product, edr, tl, epoch=None):
    if not tl.n:
        return "%s  -  %s\n0 records" % (product.record, shown_name(edr))
    title = "%s  -  %s\nSCLK %.3f to %.3f s, %d record%s" % (
        product.record, shown_name(edr), tl.t_first, tl.t_last, tl.n, "" if tl.n == 1 else "s")
    if epoch is not None:
        title += "\nUTC %s to %s" % (epoch.utc(tl.t_first), epoch.utc(tl.t_last))
    return title


def title_lines(tl, epoch):
    """Lines of the figure's title."""
    return 3 if tl.n and epoch is not None else 2


def time_notes(tl, bins, what):
    notes = []
    if tl.duplicates:
        notes.append("%d record%s with a repeated time merged" % (tl.duplicates, "" if tl.duplicates == 1 else "s"))
    if not tl.ordered:
        notes.append("records out of time order, drawn by time")
    if tl.gaps:
        notes.append("%d gap%s longer than %s left blank" % (tl.gaps, "" if tl.gaps == 1 else "s", duration(tl.gap)))
    if not bins.exact:
        notes.append("%d records in %d columns (%s per column)" % (tl.n, bins.size, what))
    return notes


# ---- drawing ------------------------------------------------------------------

def box_of(ax, fig, dpi):
    width, height = fig.get_size_inches() * dpi
    b = ax.get_position()
    return [round(b.x0 * width), round((1 - b.y1) * height), round(b.x1 * width), round((1 - b.y0) * height)]


def column_edges(bins, axis):
    if bins.exact:
        return None
    return axis.x(bins.x0 + bins.width * np.arange(bins.size + 1))


def draw_cells(ax, bins, axis, z, rows, pixels, **kw):
    """Cells (bins x rows) of z, masked where nothing was measured; exact bins
    span their records' cells, with blank cells for the gaps between (those
    narrower than a pixel column, which no column could show, are left out)."""
    if bins.exact:
        least = (bins.x1 - bins.x0) / pixels
        edges, blocks = [bins.left[0]], []
        for k in range(bins.size):
            nxt = bins.left[k + 1] if k + 1 < bins.size else None
            if nxt is not None and nxt - bins.right[k] < least:
                edges.append(nxt)
                blocks.append(z[k])
                continue
            edges.append(bins.right[k])
            blocks.append(z[k])
            if nxt is not None:
                edges.append(nxt)
                blocks.append(np.ma.masked_all(z.shape[1]))
        x = axis.x(np.array(edges))
        grid = np.ma.vstack([np.ma.atleast_2d(b) for b in blocks])
    else:
        x = column_edges(bins, axis)
        grid = np.ma.array(z, mask=np.ma.getmaskarray(z) | ~bins.covered[:, None])
    return ax.pcolormesh(x, rows, grid.T, shading="flat", antialiased=False, **kw)


def legend_patches(fig, items, where):
    handles = [matplotlib.patches.Patch(facecolor=c, edgecolor="0.4", linewidth=0.5, label=t) for t, c in items]
    if handles:
        fig.legend(handles=handles, loc="lower right", bbox_to_anchor=where, fontsize=7, frameon=False,
                   handlelength=1.2)


def spectrogram(product, var, edr, tl, args):
    dpi, epoch = args.dpi, args.sclk_epoch
    # Places in inches from the foot; a line more of title is room more at the top.
    extra = 0.2 * (title_lines(tl, epoch) - 2)
    height = 5.2 + extra
    fig = plt.figure(figsize=(9, height), dpi=dpi)
    ax = fig.add_axes([0.09, 0.624 / height, 0.71, 3.692 / height])
    bar_ax = fig.add_axes([0.83, 1.144 / height, 0.022, 3.172 / height])
    level_axis = next((i for i, d in enumerate(var.dimensions) if d.endswith("_LEVELS")), var.ndim - 1)
    levels = var.shape[level_axis]
    meta = {"kind": "spectrogram", "areas": []}
    area = {"name": var.name, "kind": "spectrogram", "notes": [], "legend": []}
    ax.set_ylabel(level_label(product, var.dimensions[level_axis], levels), fontsize=9)
    ax.set_ylim(-0.5, levels - 0.5)
    ax.yaxis.set_major_locator(matplotlib.ticker.MaxNLocator(integer=True))
    summed = [dim_words(d, var.shape[i]) for i, d in enumerate(var.dimensions) if i not in (0, level_axis)]
    label = wrapped(label_of(var), 44, 3)
    # Codes as received are no counts, whatever their names say.
    codes = received_codes(var)
    how = ["8-bit received codes, not expanded" if codes else "",
           "summed over " + " and ".join(summed) if summed else ""]
    ceiling = ceiling_of(var)
    notes, norm_name, bar_label = [], None, None
    if not tl.n:
        area["notes"].append("no records")
        ax.set_xticks([])
        bar_ax.set_visible(False)
    else:
        axis = TimeAxis(tl, epoch)
        width = round(0.71 * 9 * dpi)
        bins = Bins(tl, width, exact=tl.kept and tl.n <= width)
        acc = Spectrum(var, level_axis, bins, ceiling)
        accumulate(product, tl, {var: [acc]}, [bins])
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = acc.sum / acc.finite
        finite = acc.finite > 0
        nonzero = finite & (mean != 0)
        bad = ~finite & (acc.other > 0)  # only values that are not finite
        saturated = acc.saturated > 0 if acc.saturated is not None else np.zeros_like(finite)
        rows = np.arange(levels + 1) - 0.5
        notes = time_notes(tl, bins, "mean")
        kinds = []
        if bad.any():
            kinds.append(("not finite", NOT_FINITE_COLOUR))
            n_bad = int(acc.other.sum())
            area["notes"].append("%d value%s not finite" % (n_bad, "" if n_bad == 1 else "s"))
        if saturated.any():
            kinds.append(("saturated (%d)" % ceiling, SATURATED_COLOUR))
            n_sat = int(acc.saturated.sum())
            area["notes"].append("%d value%s at %d (saturated)" % (n_sat, "" if n_sat == 1 else "s", ceiling))
        log = not args.linear
        if log and (finite & (mean < 0)).any():
            log = False
            area["notes"].append("negative values: linear colour scale")
        # Zeros have a colour of their own on a logarithmic scale, which
        # cannot show them, and when nothing else is drawn.
        zero = finite & (mean == 0) if log or not nonzero.any() else np.zeros_like(finite)
        if zero.any():
            kinds.insert(0, ("0", ZERO_COLOUR))
        if not finite.any():
            area["notes"].append("no finite value")
        elif not nonzero.any():
            area["notes"].append("all counts are zero" if var.name == "counts" else "all values are zero")
        else:
            shown = finite & (mean > 0) if log else finite
            lo, hi = float(mean[shown].min()), float(mean[shown].max())
            if log:
                norm = matplotlib.colors.LogNorm(vmin=lo if lo < hi else hi / 10, vmax=hi)
            else:
                norm = matplotlib.colors.Normalize(vmin=min(lo, 0.0), vmax=hi if hi > lo else lo + 1)
            mesh = draw_cells(ax, bins, axis, np.ma.array(mean, mask=~shown), rows, width, cmap="viridis", norm=norm)
            bar = fig.colorbar(mesh, cax=bar_ax)
            if not bins.exact:
                how.append("mean per column")
            how = ", ".join(h for h in how if h)
            bar_label = label + ("\n" + wrapped(how, 44, 3) if how else "")
            bar_ax.tick_params(labelsize=7, which="both")
            if log:
                bar_ax.yaxis.set_minor_formatter(matplotlib.ticker.LogFormatterSciNotation(minor_thresholds=(2, 0.5)))
            else:
                scale, bar.formatter = value_axis(bar_ax.yaxis, False)
                bar_label += "\n" + scale if scale else ""
            bar.set_label(bar_label, fontsize=8)
            norm_name = "log" if log else "linear"
        if not bar_label:
            bar_ax.set_visible(False)
        marks = np.ma.masked_all(mean.shape)
        for (value, _), where in zip(MARKS, (zero, bad, saturated)):
            marks[where] = value
        if marks.count():
            draw_cells(ax, bins, axis, marks, rows, width, cmap=MARK_COLOURS,
                       norm=matplotlib.colors.BoundaryNorm([-0.5, 0.5, 1.5, 2.5], len(MARKS)))
        kinds.append(("no record", "white"))
        legend_patches(fig, kinds, (0.99, 0.04))
        area["legend"] = [text for text, _ in kinds]
        axis.setup(ax, True, wide=True)
        ax.set_xlabel(axis.label(), fontsize=9)
        area["xticks"] = axis.ticks(ax)
        meta["time"] = axis.json()
        meta["mode"] = "records" if bins.exact else "decimated"
        meta["norm"] = norm_name
    for i, text in enumerate(area["notes"]):
        if text in EMPTY_NOTES:
            ax.text(0.5, 0.5, text, transform=ax.transAxes, ha="center", va="center", fontsize=12,
                    bbox=dict(facecolor="white", edgecolor="0.6", alpha=0.9))
        else:
            ax.text(0.99, 0.98 - 0.06 * i, text, transform=ax.transAxes, ha="right", va="top", fontsize=7,
                    bbox=dict(facecolor="white", edgecolor="none", alpha=0.8))
    fig.suptitle(title_of(product, edr, tl, epoch), fontsize=10, y=1 - 0.078 / height)
    if notes:
        fig.text(0.5, 1 - (0.7176 + extra) / height, "; ".join(notes), ha="center", fontsize=8, color="0.25")
    area.update(box=box_of(ax, fig, dpi), ylabel=ax.get_ylabel(), xlabel=ax.get_xlabel(), colorbar=bar_label)
    meta["areas"].append(area)
    meta["notes"] = notes
    return fig, meta


def envelope(x, lo, hi, falling, breaks):
    """A line through the least and greatest value of every bin (the
    greatest first where the values fall through the bin), broken where
    breaks[k] is true (before bin k)."""
    keep = np.isfinite(lo)
    pts_x = np.repeat(x, 2)
    pts_y = np.where(falling[:, None], np.column_stack([hi, lo]), np.column_stack([lo, hi])).ravel()
    pts_y = np.where(np.repeat(keep, 2), pts_y, np.nan)
    cut = np.flatnonzero(breaks) * 2
    return np.insert(pts_x, cut, np.nan), np.insert(pts_y, cut, np.nan)


def series_panel(ax, acc, bins, axis, meta_area):
    field = acc.field
    if bins.exact:
        x = axis.x(bins.left)
        # a gap before bin k: the spacing from bin k-1 exceeds the gap limit
        gap = bins.tl.gap
        breaks = np.concatenate(([False], np.diff(bins.left) > gap)) if gap else np.zeros(bins.size, bool)
        has = np.ones(bins.size, dtype=bool)
    else:
        x = axis.x(bins.x0 + bins.width * (np.arange(bins.size) + 0.5))
        has = np.isfinite(acc.min).any(axis=1) | (acc.other > 0).any(axis=1)
        # break where an uncovered column lies between two columns with samples
        uncovered = np.cumsum(~bins.covered)
        idx = np.flatnonzero(has)
        b = np.zeros(bins.size, dtype=bool)
        b[idx[1:]] = np.diff(uncovered[idx]) > 0
        breaks = b
    sel = np.flatnonzero(has)
    marker = dict(marker=".", markersize=3) if bins.exact and bins.size <= 60 else {}
    for j in range(acc.elements):
        lo, hi = acc.min[sel, j], acc.max[sel, j]
        lo = np.where(np.isfinite(lo), lo, np.nan)
        hi = np.where(np.isfinite(hi), hi, np.nan)
        with np.errstate(invalid="ignore"):
            falling = acc.last[sel, j] < acc.first[sel, j]
        px, py = envelope(x[sel], lo, hi, falling, breaks[sel])
        ax.plot(px, py, linewidth=0.9, color=LINE_COLOURS[j % len(LINE_COLOURS)], clip_on=False, **marker)
    ax.set_title(wrapped(field.title(), 46, 3), fontsize=6.5, y=1.0, pad=3)
    ax.tick_params(labelsize=6)
    ax.grid(True, linewidth=0.3)
    if acc.saturated is not None and acc.saturated.any():
        at = acc.saturated.sum(axis=1) > 0
        text = "saturated (%d)" % field.ceiling
        ax.plot(x[at], np.full(int(at.sum()), float(field.ceiling)), linestyle="none", marker="^", markersize=4,
                color=SATURATED_COLOUR, clip_on=False, label=text)
        ax.legend(loc="lower left", fontsize=6, frameon=False, handlelength=1, borderaxespad=0.2)
        n = int(acc.saturated.sum())
        meta_area["notes"].append("%d value%s at %d (saturated)" % (n, "" if n == 1 else "s", field.ceiling))
        meta_area["legend"] = [text]
    # The limits as the values set them, kept while the axis is labelled.
    ax.set_ylim(ax.get_ylim())
    scale, _ = value_axis(ax.yaxis, field.integer)
    units = field.units()
    units = wrapped(units, 18, 1) if units and units != "1" else ""
    if units or scale:
        ax.set_ylabel("\n".join(t for t in (units, scale) if t), fontsize=7)
    other = acc.other.sum(axis=1) > 0
    if other.any():
        trans = matplotlib.transforms.blended_transform_factory(ax.transData, ax.transAxes)
        ax.plot(x[other], np.full(int(other.sum()), 0.05), linestyle="none", marker="x", markersize=4,
                color=NOT_FINITE_COLOUR, transform=trans, clip_on=False)
        n = int(acc.other.sum())
        meta_area["notes"].append("%d value%s not finite (x)" % (n, "" if n == 1 else "s"))
    if not np.isfinite(acc.min).any():
        meta_area["notes"].append("no finite value")
    for k, text in enumerate(meta_area["notes"]):
        ax.text(0.98, 0.97 - 0.14 * k, text, transform=ax.transAxes, ha="right", va="top", fontsize=6,
                color=NOT_FINITE_COLOUR)
    meta_area.update(title=ax.get_title(), ylabel=ax.get_ylabel(), ylim=[float(v) for v in ax.get_ylim()])


def flag_panel(ax, acc, bins, axis, pixels):
    with np.errstate(invalid="ignore"):
        share = acc.set / acc.records[:, None]
    z = np.ma.array(share, mask=np.broadcast_to(~(acc.records > 0)[:, None], share.shape))
    rows = np.arange(len(acc.masks) + 1) - 0.5
    draw_cells(ax, bins, axis, z, rows, pixels, cmap=FLAG_COLOURS, vmin=0, vmax=1)
    ax.set_ylim(len(acc.masks) - 0.5, -0.5)
    ax.set_yticks(range(len(acc.masks)))
    ax.set_yticklabels(["%s (%s)" % (meaning, bits_text(m, v)) for m, v, meaning in acc.word.rows], fontsize=6)


def events_panel(ax, events, axis, area):
    ax.set_ylim(len(events) - 0.5, -0.5)
    ax.set_yticks(range(len(events)))
    ax.set_yticklabels(["%s (%s)" % (e.kind, e.var.name) for e in events], fontsize=7)
    seen = 0
    for row, e in enumerate(events):
        t = e.first[np.isfinite(e.first)]
        seen += len(t)
        ax.plot(axis.x(t), np.full(len(t), row), linestyle="none", marker="v", markersize=6,
                color=LINE_COLOURS[3 + row])
        if e.before or e.after:
            area["notes"].append("%s: %d time%s before and %d after the records' time (SCLK %d to %d)" % (
                e.kind, e.before, "" if e.before == 1 else "s", e.after, e.earliest, e.latest))
    if not seen:
        area["notes"].append("no event time within the records' time")
    ax.grid(True, axis="x", linewidth=0.3)


def classify(variables):
    """Panels of values (Fields: fields, and the numbers in status words'
    bits, in the record's order), status words with flags, event times."""
    series, words, events = [], [], []
    for v in variables:
        if v.name in EVENT_FIELDS or (text_attr(v, "long_name") or "").lower().startswith("time of"):
            events.append(v)
            continue
        word = StatusWord.of(v)
        if word is None:
            series.append(Field(v))
            continue
        if word.rows:
            words.append(word)
        series.extend(word.numbers)
    return series, words, events


def small_multiples(product, variables, edr, tl, args):
    dpi, epoch = args.dpi, args.sclk_epoch
    series, words, events = classify(variables) if tl.n else ([], [], [])
    # Fixed places (a layout engine would cost more than the drawing itself).
    pw, ph, left, right, across, down = 2.2, 1.2, 0.7, 0.3, 0.62, 0.62
    extra = 0.2 * (title_lines(tl, epoch) - 2)
    top, bottom, label_room = 1.05 + extra, 0.6, 2.6
    ncols = min(len(series), max(1, math.ceil(math.sqrt(1.5 * len(series))))) if series else 0
    nrows = math.ceil(len(series) / ncols) if ncols else 0
    width = max(8.0, left + right + ncols * pw + max(0, ncols - 1) * across)
    heights = [0.18 * len(w.rows) + 0.25 for w in words] + ([0.25 + 0.3 * len(events)] if events else [])
    grid_h = nrows * ph + max(0, nrows - 1) * down
    height = top + bottom + grid_h + sum(h + down for h in heights) + (0 if series or heights else 1.5)
    fig = plt.figure(figsize=(width, height), dpi=dpi)
    meta = {"kind": "fields", "areas": []}
    fig.suptitle(title_of(product, edr, tl, epoch), fontsize=10, y=1 - 0.1 / height)
    if not tl.n or not (series or words or events):
        ax = fig.add_axes([left / width, bottom / height, 1 - (left + right) / width, 1 - (top + bottom) / height])
        ax.set_xticks([])
        ax.set_yticks([])
        note = "no records" if not tl.n else "no field to draw"
        ax.text(0.5, 0.5, note, transform=ax.transAxes, ha="center", va="center", fontsize=12)
        meta["areas"].append({"name": product.record, "kind": "empty", "box": box_of(ax, fig, dpi), "notes": [note]})
        meta["notes"] = []
        return fig, meta
    axis = TimeAxis(tl, epoch)
    wp, wf = round(pw * dpi), round((width - label_room - right) * dpi)
    exact = tl.kept and tl.n <= wp
    bins_p = Bins(tl, wp, exact)
    bins_f = Bins(tl, wf, exact) if not exact and (words or events) else bins_p
    per_var, accs = {}, []
    for f in series:
        a = Series(f, bins_p)
        per_var.setdefault(f.var, []).append(a)
        accs.append(a)
    for w in words:
        a = Flags(w, bins_f)
        per_var.setdefault(w.var, []).append(a)
        accs.append(a)
    evs = []
    for v in events:
        e = Events(v, EVENT_FIELDS.get(v.name, v.name), tl.t_first, tl.t_end, wf)
        per_var.setdefault(v, []).append(e)
        evs.append(e)
    accumulate(product, tl, per_var, [bins_p] + ([bins_f] if bins_f is not bins_p else []))
    y = height - top
    axes_list = []
    for i, acc in enumerate(a for a in accs if isinstance(a, Series)):
        r, c = divmod(i, ncols)
        x0 = left + c * (pw + across)
        y0 = y - (r + 1) * ph - r * down
        ax = fig.add_axes([x0 / width, y0 / height, pw / width, ph / height])
        area = {"name": acc.field.name, "kind": "series", "notes": []}
        if acc.field.bits is not None:
            area.update(field=acc.var.name, bits=list(acc.field.bits))
        series_panel(ax, acc, bins_p, axis, area)
        labelled = i + ncols >= len(series)  # tick labels under the last of a column
        axis.setup(ax, labelled)
        if labelled:
            area["xticks"] = axis.ticks(ax)
        axes_list.append((ax, area))
    y -= grid_h
    wide = [a for a in accs if isinstance(a, Flags)] + ([evs] if evs else [])
    for h, item in zip(heights, wide):
        y -= down + h
        ax = fig.add_axes([label_room / width, y / height, (width - label_room - right) / width, h / height])
        if isinstance(item, Flags):
            area = {"name": item.var.name, "kind": "flags", "notes": [], "flags": item.meanings}
            flag_panel(ax, item, bins_f, axis, wf)
            ax.set_title(label_of(item.var) + " (share of records with each flag on)", fontsize=7, y=1.0, pad=3)
        else:
            area = {"name": "events", "kind": "events", "notes": [], "events": [e.var.name for e in item]}
            events_panel(ax, item, axis, area)
            ax.set_title("times of events", fontsize=7, y=1.0, pad=3)
            for k, text in enumerate(area["notes"]):
                ax.text(0.99, 0.9 - 0.3 * k, text, transform=ax.transAxes, ha="right", va="top", fontsize=6)
        ax.tick_params(axis="x", labelsize=6)
        axis.setup(ax, True, wide=True)
        area.update(title=ax.get_title(), xticks=axis.ticks(ax))
        axes_list.append((ax, area))
    fig.text(0.5, 0.2 / height, axis.label(), ha="center", va="bottom", fontsize=8)
    for ax, area in axes_list:
        area.update(box=box_of(ax, fig, dpi), xlabel=axis.label())
        meta["areas"].append(area)
    notes = time_notes(tl, bins_p, "least and greatest")
    if notes:
        fig.text(0.5, 1 - (0.62 + extra) / height, "; ".join(notes), ha="center", fontsize=7, color="0.25")
    meta["notes"] = notes
    meta["time"] = axis.json()
    meta["mode"] = "records" if exact else "decimated"
    return fig, meta


def save(fig, meta, path):
    """Writes the PNG whole or not at all (write_atomically)."""
    title = fig._suptitle.get_text() if fig._suptitle else ""
    metadata = {"Title": title.replace("\n", "; "), "Software": PROG, "Comment": json.dumps(meta)}
    try:
        write_atomically(path, lambda f: fig.savefig(f, format="png", dpi=fig.dpi, metadata=metadata),
                         binary=True)
    except OSError as e:
        raise OutputError("cannot write %s: %s" % (path, e.strerror or e))
    finally:
        plt.close(fig)


def figure_of(product, edr, args):
    """The quick-look of a product of the EDR edr, drawn with the options
    args (dpi, linear, sclk_epoch): the figure and what its PNG says of
    itself (the JSON of its "Comment")."""
    keep = round(2.2 * args.dpi)  # the narrowest panel, in pixel columns
    tl = Timeline(product, max(keep, round(0.71 * 9 * args.dpi)))
    spectrum = next((product.vars[n] for n in SPECTRUM_VARIABLES if n in product.vars), None)
    if spectrum is not None and spectrum.ndim >= 2:
        fig, meta = spectrogram(product, spectrum, edr, tl, args)
    else:
        fig, meta = small_multiples(product, product.record_variables(), edr, tl, args)
    meta["records"] = tl.n
    meta["duplicates"] = tl.duplicates
    meta["gaps"] = tl.gaps
    return fig, meta


def draw_product(product, edr, outdir, stem, args):
    fig, meta = figure_of(product, edr, args)
    path = os.path.join(outdir, "%s_%s.png" % (stem, product.record))
    save(fig, meta, path)
    return path


def quicklook(edr, args):
    """Draws every product of one EDR; returns whether all went well."""
    stem = os.path.splitext(os.path.basename(edr))[0]
    ok = True
    with edr_products(edr, args) as (warnings, products):
        for w in warnings:
            print("%s: %s: %s" % (PROG, edr, w), file=sys.stderr)
        for group in products:
            product = Product(group)
            try:
                path = draw_product(product, edr, args.outdir, stem, args)
            except OutputError:
                raise
            except Exception as e:  # noqa: BLE001  (one product's failure ends no other)
                plt.close("all")
                print("%s: %s: product %s not drawn: %s" % (PROG, edr, product.module, e), file=sys.stderr)
                ok = False
                continue
            print(path, flush=True)
    return ok


def usable_folder(path):
    try:
        os.makedirs(path, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=path, prefix="." + PROG + "."):
            pass
    except OSError as e:
        raise OutputError("cannot write PNG files in %s: %s" % (path, e.strerror or e))


class Interrupted(BaseException):
    """SIGINT, SIGTERM or SIGHUP: raised where the tool is, so that what it
    holds (a PNG being written, the EDR open) is let go on the way out."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def interrupted(number, frame):
    raise Interrupted(number)


def draw(argv):
    """The tool after its signals are set; returns the exit status."""
    ap = argparse.ArgumentParser(prog=PROG, description="One PNG per product of an EDR.", epilog=HELP,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("edr", nargs="+", help="EDR files (HDF4)")
    ap.add_argument("-o", "--outdir", required=True, help="folder for the PNG files (created if missing)")
    ap.add_argument("--linear", action="store_true", help="linear colour scale for the spectrograms")
    ap.add_argument("--dpi", type=int, default=80, help="resolution of the PNG files (default 80)")
    ap.add_argument("--sclk-epoch", metavar="EPOCH",
                    help="the UTC of SCLK 0, as hlc_edr_dump --sclk-epoch takes it (\"2000-01-01 12:00:00\", "
                         "2000-01-01T12:00:00Z, 2000-01-01T13:30+01:30): time axes in UTC, the epoch plus the "
                         "SCLK seconds with no clock correction (default: SCLK axes)")
    ap.add_argument("--library", metavar="LIBHLC_EDR",
                    help="the record library to read the EDRs through (default: the one that %s names, else "
                         "the one of the prefix that the hlc_edr package is installed in, else the one that "
                         "the dynamic loader finds)" % _library.ENVIRONMENT)
    # The hlc_edr_dump that an earlier quick-look read through: accepted,
    # with no effect, so that the commands that name one keep working.
    ap.add_argument("--dump", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if not 20 <= args.dpi <= 600:
        ap.error("--dpi must be between 20 and 600")
    status = 0
    try:
        try:
            _library.library(args.library)
        except _library.LibraryError as e:
            raise OutputError(str(e))
        if args.sclk_epoch is not None:
            try:
                args.sclk_epoch = Epoch(args.sclk_epoch)
            except ValueError:
                ap.error("--sclk-epoch %s is no ISO 8601 time (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])"
                         % args.sclk_epoch)
        usable_folder(args.outdir)
        for edr in args.edr:
            try:
                if not quicklook(edr, args):
                    status = 1
            except Failure as e:
                print("%s: cannot read EDR %s: %s" % (PROG, edr, e), file=sys.stderr)
                status = 1
    except OutputError as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 2
    return status


def main(argv):
    """hlc_edr_quicklook with the arguments argv; returns the exit status,
    or ends the process by the signal that interrupted it."""
    on_interrupts(interrupted)
    # Values that are not finite are counted and drawn, not warned about
    # (NaNs of any payload, from float32 records, among them).
    np.seterr(all="ignore")
    warnings.simplefilter("ignore")
    try:
        return draw(argv)
    except Interrupted as e:
        return end_by_signal(e.number)
    except BrokenPipeError:
        # the reader of the list of paths went away
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
