#!/usr/bin/python3
"""Checks what hlc_edr_dump gives for one EDR against a statement of its
contents: the listing, every product as CSV (csv module) and JSON Lines (json
module with the non-standard constants refused, and jq), the stored
descriptions, and the netCDF-4 export read back with netCDF4-python (its
default masking), xarray (the record time, decoded datetimes with
--sclk-epoch) and ncdump (every value, and the header).

    check_dump.py DUMP EXPECTED.json WORKDIR

EXPECTED.json: {"edr": path, "version": the project's, "products": [{"module",
"title", "vgroup", "vdata", "records", "spins", "spin_dim", "description",
"fields": [{"name", "type", "dims", "shape", "sds" (the SDS name or null),
"long_name", "units", "comment", "valid" ([min, max] or null),
"flag_masks", "flag_meanings", "values": one flat list per record, last
index fastest, float32 values as their bit patterns}]}]}. Prints every
difference; exit status 1 if any.
"""
import csv
import datetime
import io
import itertools
import json
import math
import os
import re
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
    typed = {"valid_range": f["valid"], "flag_masks": f["flag_masks"] or None}
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
        when = re.match(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) (.*)", g.get("history", ""))
        if not when or abs(datetime.datetime.now(datetime.timezone.utc) - datetime.datetime.strptime(
                when.group(1), "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)).total_seconds() > 600 \
                or not when.group(2).endswith(f"{products[0]['edr']} --netcdf {out}"):
            problem(f"netCDF history {g.get('history')!r}")
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


def check_netcdf(dump, edr, products, workdir, version):
    for p in products:
        p["edr"] = edr
    out = os.path.join(workdir, "export.nc")
    run(dump, edr, "--netcdf", out)
    check_netcdf4(out, products, version)
    check_xarray(out, products, epoch=False)
    check_ncdump(out, products)
    with_epoch = os.path.join(workdir, "export-epoch.nc")
    run(dump, edr, "--netcdf", with_epoch, "--sclk-epoch", EPOCH_GIVEN)
    check_xarray(with_epoch, products, epoch=True)


def main():
    dump, expected, workdir = sys.argv[1:4]
    with open(expected) as f:
        statement = json.load(f)
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
