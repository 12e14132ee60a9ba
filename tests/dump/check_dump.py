#!/usr/bin/python3
"""Checks what hlc_edr_dump gives for one EDR against a statement of its
contents: the listing, every product as CSV (csv module) and JSON Lines (json
module with the non-standard constants refused, and jq), the stored
descriptions, and the netCDF-4 export read back with netCDF4-python (its
default masking), xarray (the record time, decoded datetimes with
--sclk-epoch) and ncdump (every value, and the header, line by line as this
statement makes it); every export (groups, with an epoch, each product
--flat) through the CF check (units that udunits2 parses, flags whose
masks, values and meanings agree and whose masks of several bits are
enumerations with flag_values, fill values outside the valid ranges,
coordinates that exist) and the ACDD attributes of each product (identity,
time coverage, date_created, history); the flat exports through xarray
without a group and CDO (cdo sinfo).

    check_dump.py DUMP EXPECTED.json WORKDIR

EXPECTED.json: {"edr": path, "version": the project's, "products": [{"module", "instrument",
"title", "vgroup", "vdata", "records", "spins", "spin_dim", "description",
"fields": [{"name", "type", "dims", "shape", "sds" (the SDS name or null),
"long_name", "units", "comment", "valid" ([min, max] or null),
"flag_masks", "flag_values", "flag_meanings", "values": one flat list per record, last
index fastest, float32 values as their bit patterns}]}]}. Prints every
difference; exit status 1 if any.
"""
import ctypes
import csv
import datetime
import io
import itertools
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys

import netCDF4
import numpy
import xarray

DTYPES = {"uint8": numpy.uint8, "uint16": numpy.uint16, "uint32": numpy.uint32,
          "float32": numpy.float32, "int32": numpy.int32, "int64": numpy.int64}
TYPE_MAX = {"uint8": 255, "uint16": 65535, "uint32": 4294967295}
EPOCH_GIVEN, EPOCH = "2000-01-01T13:30:00+01:30", datetime.datetime(2000, 1, 1, 12, 0, 0)
problems = []
VERSION = None  # the project's, from the statement


def problem(text):
    if len(problems) < 60:
        problems.append(text)


def run(*args):
    r = subprocess.run(list(args), capture_output=True)
    if r.returncode != 0 or r.stderr:
        problem(f"{' '.join(args[1:])}: status {r.returncode}, stderr {r.stderr[:300]!r}")
    return r.stdout.decode()


def bits(x):
    return struct.unpack(">I", struct.pack(">f", x))[0]


def is_nan_bits(b):
    return (b & 0x7F800000) == 0x7F800000 and (b & 0x7FFFFF) != 0


def non_finite_word(b):
    """How text spells a non-finite float32 of bits b; None for a finite one."""
    if is_nan_bits(b):
        return "NaN"
    if b == 0x7F800000:
        return "Infinity"
    if b == 0xFF800000:
        return "-Infinity"
    return None


def same_float(got, want, where):
    try:
        ok = bits(got) == want
    except (OverflowError, TypeError, struct.error):
        ok = False
    if not ok:
        problem(f"{where}: {got!r}, expected the float32 of bits {want:#010x}")


def same_value(ftype, value, want, where, json_words=False):
    """A value parsed from text (an int, a float or, in JSON, the string of a
    non-finite float) against its statement."""
    if ftype != "float32":
        if type(value) is not int or value != want:
            problem(f"{where}: {value!r}, expected {want}")
        return
    word = non_finite_word(want)
    if json_words:
        if type(value) is int:  # jq writes some float values without a '.'
            value = float(value)
        if word is not None:
            if value != word:
                problem(f"{where}: {value!r}, expected the string {word!r}")
        elif type(value) is not float:
            problem(f"{where}: {value!r} is not a number")
        else:
            same_float(value, want, where)
        return
    if type(value) is not float:
        problem(f"{where}: {value!r} is not a float")
    elif word == "NaN":
        if not math.isnan(value):
            problem(f"{where}: {value!r}, expected NaN")
    else:
        same_float(value, want, where)


def flat_names(f):
    if not f["shape"]:
        return [f["name"]]
    return [f["name"] + "".join(f"[{i}]" for i in index)
            for index in itertools.product(*(range(n) for n in f["shape"]))]


def csv_value(ftype, text, where):
    if ftype != "float32":
        if not re.fullmatch(r"[0-9]+", text):
            problem(f"{where}: {text!r} is not an integer")
            return None
        return int(text)
    if not (re.search(r"[.e]", text) or text in ("NaN", "Infinity", "-Infinity")):
        problem(f"{where}: float {text!r} has neither '.' nor an exponent")
    return float(text)


def check_csv(dump, edr, p):
    rows = list(csv.reader(io.StringIO(run(dump, edr, p["module"]), newline="")))
    header = [n for f in p["fields"] for n in flat_names(f)]
    if not rows or rows[0] != header:
        problem(f"{p['module']} CSV header: {rows[0][:8] if rows else None}..., "
                f"expected {header[:8]}...")
        return
    if len(rows) - 1 != p["records"]:
        problem(f"{p['module']} CSV: {len(rows) - 1} records, expected {p['records']}")
    for r, row in enumerate(rows[1:]):
        if len(row) != len(header):
            problem(f"{p['module']} CSV record {r}: {len(row)} columns, expected {len(header)}")
            continue
        column = 0
        for f in p["fields"]:
            for want in f["values"][r]:
                where = f"{p['module']} CSV record {r} {header[column]}"
                same_value(f["type"], csv_value(f["type"], row[column], where), want, where)
                column += 1


def flatten(value, shape, where):
    if not shape:
        return [value]
    if not isinstance(value, list) or len(value) != shape[0]:
        problem(f"{where}: not a list of {shape[0]}")
        return [None] * math.prod(shape)
    return [v for item in value for v in flatten(item, shape[1:], where)]


def strict_json(line):
    """A JSON text as RFC 8259 has it: NaN, Infinity and -Infinity refused."""
    def refuse(word):
        raise ValueError(f"{word} is not JSON")
    return json.loads(line, parse_constant=refuse)


def from_jq(value, ftype):
    """A value that jq wrote out ({"n": text} for a number), as Python's."""
    if isinstance(value, list):
        return [from_jq(v, ftype) for v in value]
    if isinstance(value, dict) and list(value) == ["n"]:
        try:
            return float(value["n"]) if ftype == "float32" else int(value["n"])
        except ValueError:
            return value["n"]
    return value


def check_jsonl(dump, edr, p):
    text = run(dump, edr, p["module"], "--format", "jsonl")
    lines = text.splitlines()
    if len(lines) != p["records"]:
        problem(f"{p['module']} JSON Lines: {len(lines)} records, expected {p['records']}")
    # jq reads the same values: each number as jq holds it, written out as
    # text by jq itself ({"n": "-0"}: as JSON, -0 would be an integer).
    jq = subprocess.run(["jq", "-c", 'walk(if type == "number" then {n: tostring} else . end)'],
                        input=text, capture_output=True, text=True)
    jq_lines = jq.stdout.splitlines() if jq.returncode == 0 else []
    if jq.returncode != 0 or len(jq_lines) != len(lines):
        problem(f"{p['module']} jq: status {jq.returncode}, {jq.stderr[:200]!r}")
    names = [f["name"] for f in p["fields"]]
    for source, texts in (("JSON", lines), ("jq", jq_lines)):
        for r, line in enumerate(texts[:p["records"]]):
            try:
                record = strict_json(line)
            except ValueError as e:
                problem(f"{p['module']} {source} record {r}: not strict JSON: {e}")
                continue
            if list(record) != names:
                problem(f"{p['module']} {source} record {r}: keys {list(record)[:6]}..., "
                        f"expected {names[:6]}...")
                continue
            for f in p["fields"]:
                where = f"{p['module']} {source} record {r} {f['name']}"
                value = record[f["name"]]
                if source == "jq":
                    value = from_jq(value, f["type"])
                got = flatten(value, f["shape"], where)
                for i, (g, want) in enumerate(zip(got, f["values"][r])):
                    same_value(f["type"], g, want, f"{where} element {i}", json_words=True)


def check_describe(dump, edr, p):
    text = run(dump, edr, p["module"], "--describe")
    if text != p["description"]:
        problem(f"{p['module']} --describe: {len(text)} characters, first difference at "
                f"{next((i for i, (a, b) in enumerate(zip(text, p['description'])) if a != b), None)}")


def sclk(p, r, spin):
    f = {f["name"]: f for f in p["fields"]}
    return f["sclk_seconds"]["values"][r][spin], f["sclk_subseconds"]["values"][r][spin]


def record_time(p, r, spin=0):
    seconds, subseconds = sclk(p, r, spin)
    return seconds + subseconds / 65536


def check_listing(dump, edr, products):
    lines = run(dump, edr).splitlines()
    want = [["product", "records", "first_seconds", "first_subseconds", "last_seconds",
             "last_subseconds"]]
    for p in products:
        first, last = sclk(p, 0, 0), sclk(p, p["records"] - 1, 0)
        want.append([p["module"], str(p["records"]), str(first[0]), str(first[1]),
                     str(last[0]), str(last[1])])
    got = [line.split() for line in lines]
    if got != want:
        problem(f"listing: {got}, expected {want}")


# ---- the netCDF-4 export ------------------------------------------------------

def encoding(f):
    """How the export stores a field, by the rule it states: (type in the
    file, _FillValue or None, widened). No value that a record can hold may
    read as missing, except those outside a stated range."""
    t, valid = f["type"], f["valid"]
    if t == "float32":
        return "float32", "NaN", False
    if valid is not None and valid[1] < TYPE_MAX[t]:
        return t, TYPE_MAX[t], False
    if valid is not None and valid[0] > 0:
        return t, 0, False
    if t == "uint8":
        return t, None, False
    return ("int32" if t == "uint16" else "int64"), None, True


def flag_values(f):
    """flag_values as the export states them: given whenever one flag is a
    state of an enumeration (its value is not its mask)."""
    if any(v != m for m, v in zip(f["flag_masks"], f["flag_values"])):
        return f["flag_values"]
    return None


def outside(f, want):
    """Whether a stored value is one that readers that mask may mask: outside
    the stated range, or a NaN."""
    if f["type"] == "float32":
        if is_nan_bits(want):
            return True
        want = struct.unpack(">f", struct.pack(">I", want))[0]
    return f["valid"] is not None and not f["valid"][0] <= want <= f["valid"][1]


def check_attributes(p, f, v):
    spins, spin_dim = p["spins"], p["spin_dim"]
    where = f"{p['module']} netCDF {f['name']}"
    t, fill, widened = encoding(f)
    if v.dtype != DTYPES[t]:
        problem(f"{where}: type {v.dtype}, expected {t}")
    want = {"long_name": f["long_name"], "units": f["units"], "comment": f["comment"],
            "flag_meanings": f["flag_meanings"] or None,
            "hdf4_type": f["type"] if widened else None,
            "hdf4_object": f"SDS {f['sds']}" if f["sds"] else f"Vdata {p['vdata']} field {f['name']}"}
    attrs = {a: v.getncattr(a) for a in v.ncattrs()}
    for name, value in want.items():
        if attrs.get(name) != value:
            problem(f"{where}: attribute {name} {attrs.get(name)!r}, expected {value!r}")
    coords = attrs.get("coordinates", "").split()
    if "sclk" not in coords or (spins > 1 and (spin_dim in f["dims"]) != ("spin_sclk" in coords)):
        problem(f"{where}: coordinates {coords}")
    typed = {"valid_range": f["valid"], "flag_masks": f["flag_masks"] or None,
             "flag_values": flag_values(f)}
    if fill != "NaN":
        typed["_FillValue"] = fill
    for name, value in typed.items():
        got = attrs.get(name)
        if value is None and got is not None:
            problem(f"{where}: attribute {name} {got!r}, expected none")
        elif value is not None and (got is None or numpy.asarray(got).dtype != v.dtype or
                                    list(numpy.atleast_1d(got)) != list(numpy.atleast_1d(value))):
            problem(f"{where}: attribute {name} {got!r}, expected {value} of type {v.dtype}")
    if fill == "NaN" and not (isinstance(attrs.get("_FillValue"), numpy.floating) and
                              numpy.isnan(attrs["_FillValue"])):
        problem(f"{where}: _FillValue {attrs.get('_FillValue')!r}, expected NaN")


def check_values(m, f, v, records):
    """Every value with netCDF4-python's default masking, then unmasked."""
    where = f"{m} netCDF {f['name']}"
    if list(v.shape) != [records, *f["shape"]]:
        problem(f"{where}: shape {v.shape}")
        return
    want = numpy.array(f["values"], dtype=numpy.uint32 if f["type"] == "float32" else numpy.int64)
    masked = numpy.ma.getmaskarray(v[:]).reshape(records, -1)
    expected_mask = numpy.vectorize(lambda x: outside(f, int(x)), otypes=[bool])(want)
    bad = numpy.argwhere(masked != expected_mask)
    if bad.size:
        r, i = bad[0]
        problem(f"{where}: record {r} element {i} (value {want[r][i]}) masked {masked[r][i]}, "
                f"expected {expected_mask[r][i]}")
    v.set_auto_mask(False)
    raw = v[:].reshape(records, -1)
    got = raw.view(numpy.uint32) if f["type"] == "float32" else raw.astype(numpy.int64)
    bad = numpy.argwhere(got != want)
    if bad.size:
        r, i = bad[0]
        problem(f"{where}: record {r} element {i}: {got[r][i]}, expected {want[r][i]}")


def check_netcdf4(out, products, version):
    with netCDF4.Dataset(out) as nc:
        if nc.data_model != "NETCDF4":
            problem(f"netCDF data model {nc.data_model}")
        g = {a: nc.getncattr(a) for a in nc.ncattrs()}
        want = {"Conventions": "CF-1.10", "title": "Halcyon EDR " + os.path.basename(products[0]["edr"]),
                "source": "hlc_edr_dump " + version, "source_edr": products[0]["edr"],
                "products": " ".join(p["module"] for p in products)}
        for name, value in want.items():
            if g.get(name) != value:
                problem(f"netCDF global attribute {name} {g.get(name)!r}, expected {value!r}")
        check_making(g, version, f"{products[0]['edr']} --netcdf {out}", "netCDF root")
        if list(nc.groups) != [p["module"] for p in products]:
            problem(f"netCDF groups {list(nc.groups)}")
        for p in products:
            m = p["module"]
            if m not in nc.groups:
                continue
            grp = nc[m]
            ga = {a: grp.getncattr(a) for a in grp.ncattrs()}
            for name in ("title", "vgroup", "vdata", "description"):
                key = name if name in ("title", "description") else "hdf4_" + name
                if ga.get(key) != p[name]:
                    problem(f"{m} netCDF group attribute {key} differs")
            check_product_attributes(ga, p, version, f"{p['edr']} --netcdf {out}", epoch=False)
            if not grp.dimensions["record"].isunlimited() or len(grp.dimensions["record"]) != p["records"]:
                problem(f"{m} netCDF record dimension")
            names = {f["name"] for f in p["fields"]} | {"sclk"} | ({"spin_sclk"} if p["spins"] > 1 else set())
            if set(grp.variables) != names:
                problem(f"{m} netCDF variables {sorted(grp.variables)}, expected {sorted(names)}")
            for f in p["fields"]:
                if f["name"] in grp.variables:
                    v = grp[f["name"]]
                    if v.dimensions != ("record", *f["dims"]):
                        problem(f"{m} netCDF {f['name']} dimensions {v.dimensions}")
                    if v.filters().get("zlib") is not True or v.filters().get("shuffle") is not True \
                            or v.chunking() == "contiguous" or v.chunking()[1:] != f["shape"]:
                        problem(f"{m} netCDF {f['name']}: filters {v.filters()}, chunks {v.chunking()}")
                    check_attributes(p, f, v)
                    check_values(m, f, v, p["records"])


def check_xarray(out, products, epoch):
    """The record time as each product's coordinate; units and long names;
    with an epoch, the CF time decoded to datetimes."""
    for p in products:
        m, n = p["module"], p["records"]
        with xarray.open_dataset(out, group=m) as ds:
            for f in p["fields"]:
                a = ds[f["name"]].attrs
                if a.get("long_name") != f["long_name"] or a.get("units") != f["units"]:
                    problem(f"{m} xarray {f['name']}: long_name {a.get('long_name')!r}, units {a.get('units')!r}")
            want = [record_time(p, r) for r in range(n)]
            try:
                by_time = ds.swap_dims(record="sclk")
            except ValueError as e:
                problem(f"{m} xarray swap_dims(record='sclk'): {e}")
                continue
            if list(by_time["sclk"].values) != want or by_time["sclk"].attrs.get("units") != "s":
                problem(f"{m} xarray sclk {list(by_time['sclk'].values)}, expected {want}")
            if p["spins"] > 1:
                spin = ds["spin_sclk"]
                got = spin.values.tolist()
                if spin.dims != ("record", p["spin_dim"]) or "spin_sclk" not in ds.coords or \
                        got != [[record_time(p, r, s) for s in range(p["spins"])] for r in range(n)]:
                    problem(f"{m} xarray spin_sclk {spin.dims} {got}")
            if epoch:
                t = ds.swap_dims(record="time")["time"]
                expected = [numpy.datetime64(EPOCH) + numpy.timedelta64(round(x * 1e9), "ns") for x in want]
                if t.dtype.kind != "M" or any(abs(a - b) > numpy.timedelta64(1, "us")
                                              for a, b in zip(t.values, expected)):
                    problem(f"{m} xarray time {t.dtype} {t.values[:2]}, expected {expected[:2]}")
            elif "time" in ds.variables:
                problem(f"{m}: a time variable without --sclk-epoch")


def ncdump_values(text):
    """The values of every variable of every group in ncdump's output:
    (group, variable) -> list of words."""
    values, group = {}, None
    for block in re.split(r"\n(?=\s*group: )", text):
        g = re.match(r"\s*group: (\w+)", block)
        group = g.group(1) if g else group
        data = block.split("data:", 1)
        if len(data) < 2:
            continue
        for name, words in re.findall(r"(\w+) =\s*(.*?)\s*;", data[1].split("} // group")[0], re.S):
            values[(group, name)] = [w.strip() for w in words.replace("\n", " ").split(",")]
    return values


def check_ncdump(out, products):
    """Every value through ncdump: integers as themselves, "_" only where a
    value lies outside its stated range, float32 values to the bit."""
    header = run("ncdump", "-h", out)
    for p in products:
        m = p["module"]
        part = header.split(f"group: {m} {{", 1)[-1].split(f"}} // group {m}")[0]
        if "record = UNLIMITED" not in part or "// group attributes:" not in part or \
                not re.search(r"\n\s*:description = ", part.split("// group attributes:")[-1]):
            problem(f"{m} ncdump -h: no unlimited record or no group description")
    values = ncdump_values(run("ncdump", "-p", "9,17", out))
    for p in products:
        for f in p["fields"]:
            words = values.get((p["module"], f["name"]))
            flat = [x for rec in f["values"] for x in rec]
            where = f"{p['module']} ncdump {f['name']}"
            if words is None or len(words) != len(flat):
                problem(f"{where}: {len(words or [])} values, expected {len(flat)}")
                continue
            for i, (w, want) in enumerate(zip(words, flat)):
                if w == "_":
                    if not outside(f, want):
                        problem(f"{where} element {i}: _ for {want}")
                elif f["type"] != "float32":
                    if w != str(want):
                        problem(f"{where} element {i}: {w}, expected {want}")
                elif non_finite_word(want) == "NaN" or w in ("NaNf", "NaN"):
                    problem(f"{where} element {i}: {w} for bits {want:#010x}")
                else:
                    same_float(float(w.rstrip("f").replace("Infinity", "inf")), want, f"{where} element {i}")



# ---- the product's ACDD attributes ----------------------------------------------

def check_making(attrs, version, command, where):
    """date_created (ISO 8601 UTC, within ten minutes) and history: that
    time, the program and its version, and the command line."""
    created = attrs.get("date_created", "")
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", created) or abs(
            datetime.datetime.now(datetime.timezone.utc) - datetime.datetime.strptime(
                created, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)).total_seconds() > 600:
        problem(f"{where}: date_created {created!r}")
    history = attrs.get("history", "")
    if not history.startswith(f"{created} hlc_edr_dump {version}: ") or command not in history:
        problem(f"{where}: history {history!r}, expected the time, hlc_edr_dump {version} and ...{command}...")


def utc(t):
    """SCLK time t after the export's epoch, as ISO 8601 UTC to the microsecond."""
    return (EPOCH + datetime.timedelta(seconds=t)).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def coverage(p, epoch):
    """The product's time coverage: the earliest and latest record time."""
    times = [record_time(p, r) for r in range(p["records"])]
    first, last = min(times), max(times)
    clock = [f"SCLK {first:.6f}", f"SCLK {last:.6f}"]
    start, end = (utc(first), utc(last)) if epoch else clock
    return [("time_coverage_start", start), ("time_coverage_end", end),
            ("sclk_coverage_start", clock[0]), ("sclk_coverage_end", clock[1])]


def product_attributes(p, epoch):
    """The group attributes of a product that the statement fixes, in their
    order (date_created and history are the run's: check_making)."""
    return ([("title", p["title"]), ("product", p["module"]), ("instrument", p["instrument"])] +
            coverage(p, epoch) +
            [("hdf4_vgroup", p["vgroup"]), ("hdf4_vdata", p["vdata"]), ("description", p["description"])])


def check_product_attributes(attrs, p, version, command, epoch):
    where = f"{p['module']} netCDF attributes"
    for name, value in product_attributes(p, epoch):
        if attrs.get(name) != value:
            problem(f"{where}: {name} {str(attrs.get(name))[:80]!r}, expected {value[:80]!r}")
    check_making(attrs, version, command, where)


# ---- the CF check -------------------------------------------------------------

class Udunits:
    """udunits2 through ctypes, the library that the layout test parses the
    descriptors' units with."""

    def __init__(self):
        self.lib = ctypes.CDLL("libudunits2.so.0")
        self.lib.ut_set_error_message_handler.argtypes = [ctypes.c_void_p]
        self.lib.ut_set_error_message_handler(ctypes.cast(self.lib.ut_ignore, ctypes.c_void_p))
        self.lib.ut_read_xml.restype = ctypes.c_void_p
        self.lib.ut_read_xml.argtypes = [ctypes.c_char_p]
        self.lib.ut_parse.restype = ctypes.c_void_p
        self.lib.ut_parse.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib.ut_free.argtypes = [ctypes.c_void_p]
        self.system = self.lib.ut_read_xml(None)
        if not self.system:
            problem("udunits2 read no unit system")

    def parses(self, units):
        unit = self.lib.ut_parse(self.system, units.encode(), 0)  # UT_ASCII
        self.lib.ut_free(unit)
        return bool(unit)


UDUNITS = None


def check_cf(path, label):
    """Every variable of every group: units that udunits2 parses; flags
    whose masks, values and meanings agree in number and type, every value
    within its mask, every single bit set in its value and no mask of several
    bits without flag_values; a _FillValue of the variable's type outside its
    valid_range; coordinates that are variables of the group."""
    global UDUNITS
    UDUNITS = UDUNITS or Udunits()
    with netCDF4.Dataset(path) as nc:
        groups = [nc] + list(nc.groups.values())
        for g in groups:
            for v in g.variables.values():
                where = f"{label} CF {g.path} {v.name}"
                a = {k: v.getncattr(k) for k in v.ncattrs()}
                if "units" in a and not UDUNITS.parses(a["units"]):
                    problem(f"{where}: udunits2 does not parse units {a['units']!r}")
                masks, values, meanings = a.get("flag_masks"), a.get("flag_values"), a.get("flag_meanings")
                if masks is not None or values is not None or meanings is not None:
                    words = (meanings or "").split()
                    masks = [] if masks is None else list(numpy.atleast_1d(masks))
                    values = None if values is None else list(numpy.atleast_1d(values))
                    if not words or len(masks) != len(words) or (values is not None and len(values) != len(words)):
                        problem(f"{where}: {len(masks)} flag_masks, {values and len(values)} flag_values, "
                                f"{len(words)} flag_meanings")
                        continue
                    for name in ("flag_masks", "flag_values"):
                        if name in a and numpy.asarray(a[name]).dtype != v.dtype:
                            problem(f"{where}: {name} of type {numpy.asarray(a[name]).dtype}, not {v.dtype}")
                    for k, mask in enumerate(masks):
                        mask = int(mask)
                        several = bin(mask).count("1") > 1
                        if several and values is None:
                            problem(f"{where}: flag {words[k]} has the mask {mask:#x} of several bits "
                                    "without flag_values")
                        if values is not None:
                            value = int(values[k])
                            if value & ~mask or (not several and value != mask):
                                problem(f"{where}: flag {words[k]} value {value:#x} for mask {mask:#x}")
                fill = a.get("_FillValue")
                if fill is not None:
                    if numpy.asarray(fill).dtype != v.dtype:
                        problem(f"{where}: _FillValue of type {numpy.asarray(fill).dtype}, not {v.dtype}")
                    valid = a.get("valid_range")
                    if valid is not None and not numpy.isnan(fill) and valid[0] <= fill <= valid[1]:
                        problem(f"{where}: _FillValue {fill} inside valid_range {list(valid)}")
                for name in a.get("coordinates", "").split():
                    if name not in g.variables:
                        problem(f"{where}: coordinate {name} is no variable of the group")


# ---- ncdump -h as this statement makes it ---------------------------------------------

NC_TYPES = {"uint8": ("ubyte", "UB"), "uint16": ("ushort", "US"), "uint32": ("uint", "U"),
            "float32": ("float", "f"), "int32": ("int", ""), "int64": ("int64", "LL")}


def cdl_text(value):
    escaped = (value.replace("\\", "\\\\").replace('"', '\\"').replace("'", "\\'")
               .replace("\n", "\\n").replace("\t", "\\t"))
    return f'"{escaped}"'


def cdl_number(v, t):
    if t != "float32":
        return f"{v}{NC_TYPES[t][1]}"
    if v == "NaN":
        return "NaNf"
    text = f"{float(v):.7g}"
    return text + ("" if re.search(r"[.e]", text) else ".") + "f"


def cdl_numbers(values, t):
    return ", ".join(cdl_number(v, t) for v in values)


SCLK_COMMENT = ("spacecraft clock (SCLK) time as the records hold it: sclk_seconds + sclk_subseconds / "
                "65536; no epoch applied")


def cdl_product(p, epoch, indent):
    """The dimensions and variables of a product, and its attributes that
    the statement fixes, as ncdump -h prints them."""
    spins, spin_dim = p["spins"], p["spin_dim"]
    sizes, order = {}, ["record"]
    if spins > 1:
        order.append(spin_dim)
        sizes[spin_dim] = spins
    for f in p["fields"]:
        for d, n in zip(f["dims"], f["shape"]):
            sizes[d] = n
            if d not in order:
                order.append(d)
    lines = [f"{indent}dimensions:", f"{indent}\trecord = UNLIMITED ; // ({p['records']} currently)"]
    lines += [f"{indent}\t{d} = {sizes[d]} ;" for d in order[1:]]
    lines.append(f"{indent}variables:")

    def variable(decl, name, attrs):
        lines.append(f"{indent}\t{decl} ;")
        for key, value in attrs:
            lines.append(f"{indent}\t\t{name}:{key} = {value} ;")

    times = "sclk time" if epoch else "sclk"
    variable("double sclk(record)", "sclk", [
        ("long_name", cdl_text("SCLK time of the record")), ("units", cdl_text("s")),
        ("comment", cdl_text(SCLK_COMMENT + ("; of the first spin: the start of the record" if spins > 1 else "")))])
    if spins > 1:
        variable(f"double spin_sclk(record, {spin_dim})", "spin_sclk", [
            ("long_name", cdl_text("SCLK time of the start of each spin")), ("units", cdl_text("s")),
            ("comment", cdl_text(SCLK_COMMENT))])
    if epoch:
        variable("double time(record)", "time", [
            ("standard_name", cdl_text("time")), ("long_name", cdl_text("time of the record from its SCLK time")),
            ("units", cdl_text("seconds since 2000-01-01 12:00:00")), ("calendar", cdl_text("standard")),
            ("axis", cdl_text("T")),
            ("comment", cdl_text("the SCLK epoch given to the reader (hlc_edr_dump --sclk-epoch, sclk_epoch in "
                                 "Python) plus sclk seconds: a linear conversion that applies no "
                                 "clock correction"))])
    for f in p["fields"]:
        t, fill, widened = encoding(f)
        attrs = [("long_name", cdl_text(f["long_name"]))]
        if f["units"] is not None:
            attrs.append(("units", cdl_text(f["units"])))
        if f["valid"] is not None:
            attrs.append(("valid_range", cdl_numbers(f["valid"], t)))
        if fill is not None:
            attrs.append(("_FillValue", cdl_numbers([fill], t)))
        if f["flag_masks"]:
            attrs.append(("flag_masks", cdl_numbers(f["flag_masks"], t)))
            if flag_values(f):
                attrs.append(("flag_values", cdl_numbers(f["flag_values"], t)))
            attrs.append(("flag_meanings", cdl_text(f["flag_meanings"])))
        if f["comment"] is not None:
            attrs.append(("comment", cdl_text(f["comment"])))
        per_spin = spins > 1 and f["dims"][:1] == [spin_dim]
        attrs.append(("coordinates", cdl_text(times + (" spin_sclk" if per_spin else ""))))
        attrs.append(("hdf4_object", cdl_text(f"SDS {f['sds']}" if f["sds"]
                                              else f"Vdata {p['vdata']} field {f['name']}")))
        if widened:
            attrs.append(("hdf4_type", cdl_text(f["type"])))
        dims = ", ".join(["record"] + f["dims"])
        variable(f"{NC_TYPES[t][0]} {f['name']}({dims})", f["name"], attrs)
    group = [f"{indent}\t\t:{k} = {cdl_text(v)} ;" for k, v in product_attributes(p, epoch)]
    return lines, group


def expected_header(name, products, epoch, flat):
    """ncdump -h of an export, without its date_created and history lines."""
    edr = products[0]["edr"]
    modules = cdl_text(" ".join(p["module"] for p in products))
    root = [f'\t\t:Conventions = "CF-1.10" ;']
    if flat:
        lines, group = cdl_product(products[0], epoch, "")
        root += [f'\t\t:source = {cdl_text("hlc_edr_dump " + VERSION)} ;', f"\t\t:source_edr = {cdl_text(edr)} ;"]
        return [f"netcdf {name} {{"] + lines + ["", "// global attributes:"] + root + group + \
            [f"\t\t:products = {modules} ;", "}"]
    root += [f'\t\t:title = {cdl_text("Halcyon EDR " + os.path.basename(edr))} ;',
             f'\t\t:source = {cdl_text("hlc_edr_dump " + VERSION)} ;', f"\t\t:source_edr = {cdl_text(edr)} ;",
             f"\t\t:products = {modules} ;"]
    out = [f"netcdf {name} {{", "", "// global attributes:"] + root
    for p in products:
        lines, group = cdl_product(p, epoch, "  ")
        out += ["", f"group: {p['module']} {{"] + lines + ["", "  // group attributes:"] + group + \
            [f"  }} // group {p['module']}"]
    return out + ["}"]


def check_header(path, products, epoch, flat):
    got = [line for line in run("ncdump", "-h", path).splitlines()
           if not re.match(r"\s*:(history|date_created) = ", line)]
    name = os.path.splitext(os.path.basename(path))[0]
    want = expected_header(name, products, epoch, flat)
    if got != want:
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        problem(f"ncdump -h {os.path.basename(path)} line {at + 1}: {(got[at] if at < len(got) else None)!r:.200}, "
                f"expected {(want[at] if at < len(want) else None)!r:.200}")


# ---- one product at the root: --flat ----------------------------------------------

def check_flat(dump, edr, products, workdir, version):
    """Each product alone at the root, with and without an epoch: no groups,
    its variables and attributes at the root, every value; xarray opens it
    without a group, CDO reads it."""
    cdo = shutil.which("cdo")
    if cdo is None:
        problem("cdo is not installed (tools/setup.sh --tests)")
    for p in products:
        m = p["module"]
        for epoch in (False, True):
            out = os.path.join(workdir, f"flat_{m}{'_epoch' if epoch else ''}.nc")
            run(dump, edr, m, "--netcdf", out, "--flat", *(("--sclk-epoch", EPOCH_GIVEN) if epoch else ()))
            with netCDF4.Dataset(out) as nc:
                if nc.groups:
                    problem(f"{m} --flat: groups {list(nc.groups)}")
                names = ({f["name"] for f in p["fields"]} | {"sclk"} | ({"spin_sclk"} if p["spins"] > 1 else set())
                         | ({"time"} if epoch else set()))
                if set(nc.variables) != names:
                    problem(f"{m} --flat: variables {sorted(nc.variables)}, expected {sorted(names)}")
                attrs = {a: nc.getncattr(a) for a in nc.ncattrs()}
                check_product_attributes(attrs, p, version, f"{edr} {m} --netcdf {out} --flat", epoch)
                for name, value in (("Conventions", "CF-1.10"), ("source", "hlc_edr_dump " + version),
                                    ("source_edr", edr), ("products", m)):
                    if attrs.get(name) != value:
                        problem(f"{m} --flat: attribute {name} {attrs.get(name)!r}, expected {value!r}")
                for f in p["fields"]:
                    if f["name"] in nc.variables:
                        check_attributes(p, f, nc[f["name"]])
                        check_values(m, f, nc[f["name"]], p["records"])
            check_cf(out, f"{m} --flat")
            check_header(out, [p], epoch, flat=True)
            with xarray.open_dataset(out) as ds:
                want = [record_time(p, r) for r in range(p["records"])]
                if list(ds.swap_dims(record="sclk")["sclk"].values) != want or \
                        set(f["name"] for f in p["fields"]) - set(ds.variables):
                    problem(f"{m} --flat: xarray without a group reads {sorted(ds.variables)[:6]}...")
                if epoch and ds["time"].dtype.kind != "M":
                    problem(f"{m} --flat: xarray time of type {ds['time'].dtype}")
            if cdo is not None:
                r = subprocess.run([cdo, "sinfo", out], capture_output=True, text=True)
                if r.returncode != 0 or "File format : NetCDF4" not in r.stdout or \
                        (epoch and "RefTime =  2000-01-01 12:00:00" not in r.stdout):
                    problem(f"{m} --flat: cdo sinfo status {r.returncode}: {r.stdout[:200]!r} {r.stderr[-300:]!r}")


def check_netcdf(dump, edr, products, workdir, version):
    for p in products:
        p["edr"] = edr
    out = os.path.join(workdir, "export.nc")
    run(dump, edr, "--netcdf", out)
    check_netcdf4(out, products, version)
    check_xarray(out, products, epoch=False)
    check_ncdump(out, products)
    check_cf(out, "export")
    check_header(out, products, epoch=False, flat=False)
    with_epoch = os.path.join(workdir, "export-epoch.nc")
    run(dump, edr, "--netcdf", with_epoch, "--sclk-epoch", EPOCH_GIVEN)
    check_xarray(with_epoch, products, epoch=True)
    check_cf(with_epoch, "export with an epoch")
    check_header(with_epoch, products, epoch=True, flat=False)
    with netCDF4.Dataset(with_epoch) as nc:
        for p in products:
            if p["module"] in nc.groups:
                g = nc[p["module"]]
                check_product_attributes({a: g.getncattr(a) for a in g.ncattrs()}, p, version,
                                         f"{edr} --netcdf {with_epoch} --sclk-epoch", epoch=True)
    check_flat(dump, edr, products, workdir, version)


def main():
    global VERSION
    dump, expected, workdir = sys.argv[1:4]
    with open(expected) as f:
        statement = json.load(f)
    VERSION = statement["version"]
    edr, products = statement["edr"], statement["products"]
    check_listing(dump, edr, products)
    for p in products:
        check_csv(dump, edr, p)
        check_jsonl(dump, edr, p)
        check_describe(dump, edr, p)
    check_netcdf(dump, edr, products, workdir, statement["version"])
    for text in problems:
        print(text)
    print(f"{len(products)} products checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
