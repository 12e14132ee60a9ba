#!/usr/bin/python3
"""Checks what hlc_edr_dump gives for one EDR against a statement of its
contents: the listing, every product as CSV (csv module) and JSON Lines (json
module), the stored descriptions, and the netCDF-4 export read back with
xarray (dimensions, types, the sclk coordinate and every value).

    check_dump.py DUMP EXPECTED.json WORKDIR

EXPECTED.json: {"edr": path, "products": [{"module", "records", "spins",
"spin_dim", "description", "fields": [{"name", "type", "dims", "shape",
"values": one flat list per record, last index fastest, float32 values as
their bit patterns}]}]}. Prints every difference; exit status 1 if any.
"""
import csv
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
          "float32": numpy.float32}
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


def same_value(ftype, text_value, want, where):
    """A value parsed from text (an int, or a float) against its statement."""
    if ftype != "float32":
        if type(text_value) is not int or text_value != want:
            problem(f"{where}: {text_value!r}, expected {want}")
        return
    if type(text_value) is not float:
        problem(f"{where}: {text_value!r} is not a float")
    elif is_nan_bits(want):
        if not math.isnan(text_value):
            problem(f"{where}: {text_value!r}, expected NaN")
    else:
        try:
            got = bits(text_value)
        except OverflowError:
            got = None
        if got != want:
            problem(f"{where}: {text_value!r}, expected the float32 of bits {want:#010x}")


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
            for i, want in enumerate(f["values"][r]):
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


def check_jsonl(dump, edr, p):
    lines = run(dump, edr, p["module"], "--format", "jsonl").splitlines()
    if len(lines) != p["records"]:
        problem(f"{p['module']} JSON Lines: {len(lines)} records, expected {p['records']}")
    names = [f["name"] for f in p["fields"]]
    for r, line in enumerate(lines[:p["records"]]):
        record = json.loads(line)
        if list(record) != names:
            problem(f"{p['module']} JSON record {r}: keys {list(record)[:6]}..., expected {names[:6]}...")
            continue
        for f in p["fields"]:
            where = f"{p['module']} JSON record {r} {f['name']}"
            got = flatten(record[f["name"]], f["shape"], where)
            for i, (g, want) in enumerate(zip(got, f["values"][r])):
                same_value(f["type"], g, want, f"{where} element {i}")


def check_describe(dump, edr, p):
    text = run(dump, edr, p["module"], "--describe")
    if text != p["description"]:
        problem(f"{p['module']} --describe: {len(text)} characters, first difference at "
                f"{next((i for i, (a, b) in enumerate(zip(text, p['description'])) if a != b), None)}")


def sclk(p, r, spin):
    f = {f["name"]: f for f in p["fields"]}
    return f["sclk_seconds"]["values"][r][spin], f["sclk_subseconds"]["values"][r][spin]


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


def check_netcdf(dump, edr, products, workdir):
    out = os.path.join(workdir, "export.nc")
    run(dump, edr, "--netcdf", out)
    with netCDF4.Dataset(out) as nc:
        if sorted(nc.groups) != sorted(p["module"] for p in products):
            problem(f"netCDF groups {sorted(nc.groups)}")
        if nc.data_model != "NETCDF4":
            problem(f"netCDF data model {nc.data_model}")
    for p in products:
        m = p["module"]
        with xarray.open_dataset(out, group=m) as ds:
            if ds.attrs.get("description") != p["description"]:
                problem(f"{m} netCDF description attribute differs")
            if ds.sizes.get("record") != p["records"]:
                problem(f"{m} netCDF record dimension {ds.sizes.get('record')}")
            names = [f["name"] for f in p["fields"]]
            if sorted(ds.data_vars) != sorted(names):
                problem(f"{m} netCDF variables {sorted(ds.data_vars)}, expected {sorted(names)}")
            # The record time, a coordinate of the records.
            want_dims = ("record",) + ((p["spin_dim"],) if p["spins"] > 1 else ())
            if "sclk" not in ds.coords:
                problem(f"{m} netCDF: sclk is not a coordinate")
            else:
                t = ds["sclk"]
                if t.dims != want_dims or t.dtype != numpy.float64:
                    problem(f"{m} netCDF sclk {t.dims} {t.dtype}, expected {want_dims} float64")
                got = t.values.reshape(p["records"], p["spins"])
                for r in range(p["records"]):
                    for s in range(p["spins"]):
                        seconds, subseconds = sclk(p, r, s)
                        if got[r, s] != seconds + subseconds / 65536:
                            problem(f"{m} netCDF sclk[{r}][{s}] {got[r, s]!r}")
            for f in p["fields"]:
                if f["name"] not in ds.variables:
                    continue
                v = ds[f["name"]]
                where = f"{m} netCDF {f['name']}"
                if v.dims != ("record", *f["dims"]):
                    problem(f"{where} dimensions {v.dims}, expected {('record', *f['dims'])}")
                if v.dtype != DTYPES[f["type"]]:
                    problem(f"{where} type {v.dtype}, expected {f['type']}")
                    continue
                if list(v.shape) != [p["records"], *f["shape"]]:
                    problem(f"{where} shape {v.shape}")
                    continue
                values = v.values.reshape(p["records"], -1)
                if f["type"] == "float32":
                    values = values.view(numpy.uint32)  # every bit, NaN payloads too
                for r in range(p["records"]):
                    want = numpy.array(f["values"][r], dtype=values.dtype)
                    bad = numpy.flatnonzero(values[r] != want)
                    if bad.size:
                        i = bad[0]
                        problem(f"{where} record {r} element {i}: {values[r][i]}, expected {want[i]}")
                for dim, size in zip(f["dims"], f["shape"]):
                    if ds.sizes[dim] != size:
                        problem(f"{m} netCDF dimension {dim} {ds.sizes[dim]}, expected {size}")


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
    check_netcdf(dump, edr, products, workdir)
    for text in problems:
        print(text)
    print(f"{len(products)} products checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
