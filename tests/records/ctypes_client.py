#!/usr/bin/python3
"""The record library from Python through ctypes, as a Python client (an
xarray backend) uses it: the layout descriptors (hlc_edr_layout.h), the bulk
read read_block (every product's whole table, one column per member) and the
CF encoding (hlc_edr_cf.h) make an xarray Dataset of each product of EDRs
that hlc_edr writes from the sample telemetry; each must be, variable by
variable (name, dimensions, stored type, every value to the bit, every
attribute), the product as hlc_edr_dump --flat exports it with the same
epoch, and xarray decodes its time to datetimes.

    ctypes_client.py LIBHLC_EDR HLC_EDR HLC_EDR_DUMP SAMPLE_TLM WORKDIR

with the package hlc_edr (python/) on PYTHONPATH: the structures are its
declarations, the Dataset and every expectation this client's own.

Prints every difference and a closing line "N passed, N failed"; exit
status 1 if any failed.
"""
import ctypes
import os
import subprocess
import sys

import netCDF4
import numpy
import xarray

# The structures of hlc_edr_layout.h and hlc_edr_cf.h, and the loading of the
# library, are the package's (python/hlc_edr/_library.py), which finds the
# library that HLC_EDR_LIBRARY names.
from hlc_edr import _library as L

c_void_p = ctypes.c_void_p
EPOCH = b"2000-01-01 12:00:00"
HDF_TYPES, NC_TYPES = L.MEMBER_TYPES, L.NC_TYPES
MEMBER, SCLK, SPIN_SCLK, TIME = L.SOURCE_MEMBER, L.SOURCE_SCLK, L.SOURCE_SPIN_SCLK, L.SOURCE_TIME
NC_CHAR = L.NC_CHAR

failures, passed = [], 0


def check(ok, text):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(text)


def library(path):
    os.environ[L.ENVIRONMENT] = path
    lib = L.library().cdll
    # The one function that the package leaves to its clients.
    lib.hlc_edr_cf_sclk.restype = ctypes.c_double
    lib.hlc_edr_cf_sclk.argtypes = [ctypes.c_uint32, ctypes.c_uint16]
    return lib


def read_columns(lib, p, path):
    """Every member of every record of the product, one numpy array each."""
    hdf = L.library()
    f = hdf.Hopen(path.encode(), L.DFACC_READ, 0)
    hdf.Vstart(f)
    sd = hdf.SDstart(path.encode(), L.DFACC_READ)
    n = p.init_rd(f, sd, b"r")
    columns = []
    for k in range(p.nmembers):
        m = p.members[k]
        shape = tuple(m.dims[d].size for d in range(m.rank))
        columns.append(numpy.empty((max(n, 0),) + shape, dtype=HDF_TYPES[m.type]))
    pointers = (c_void_p * p.nmembers)(*[c.ctypes.data for c in columns])
    status = p.read_block(0, n, pointers)
    p.close_rd()
    hdf.SDend(sd)
    hdf.Vend(f)
    hdf.Hclose(f)
    check(n > 0 and status == 0, f"{p.module.decode()}: init_rd {n}, read_block {status}")
    return columns


def attributes(count, array):
    out = {}
    for i in range(count):
        a = array[i]
        if a.type == NC_CHAR:
            out[a.name.decode()] = a.text.decode()
        else:
            values = numpy.array([a.values[k] for k in range(a.count)], dtype=NC_TYPES[a.type])
            out[a.name.decode()] = values
    return out


def dataset(lib, p, columns):
    """The product as an xarray Dataset, by its CF description."""
    seconds, subseconds = columns[p.sclk_seconds], columns[p.sclk_subseconds]
    sclk = numpy.vectorize(lib.hlc_edr_cf_sclk, otypes=[numpy.float64])
    spin_times = sclk(seconds, subseconds).reshape(len(seconds), -1)
    times = spin_times[:, 0]
    settings = L.CfSettings(epoch=EPOCH, has_coverage=1, sclk_first=times.min(), sclk_last=times.max())
    d = L.library().cf_describe(ctypes.byref(p), ctypes.byref(settings))
    try:
        cf = d.contents
        variables = {}
        for k in range(cf.nvariables):
            v = cf.variables[k]
            dims = tuple(v.dims[i].decode() for i in range(v.ndims))
            values = {MEMBER: lambda: columns[v.member], SCLK: lambda: times, SPIN_SCLK: lambda: spin_times,
                      TIME: lambda: times}[v.source]()
            variables[v.name.decode()] = xarray.Variable(dims, values.astype(NC_TYPES[v.type]),
                                                         attributes(v.nattributes, v.attributes))
        return xarray.Dataset(variables, attrs=attributes(cf.nattributes, cf.attributes))
    finally:
        L.library().cf_free(d)


def same_values(a, b):
    a, b = numpy.asarray(a), numpy.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.kind == "f":
        return numpy.array_equal(a.view(f"u{a.dtype.itemsize}"), b.view(f"u{b.dtype.itemsize}"))
    return numpy.array_equal(a, b)


def compare(ours, export, module):
    """Our Dataset against the dump's flat export, read raw."""
    with netCDF4.Dataset(export) as nc:
        nc.set_auto_maskandscale(False)
        check(list(ours.variables) == list(nc.variables),
              f"{module}: variables {list(ours.variables)}, the export's {list(nc.variables)}")
        for name, v in ours.variables.items():
            if name not in nc.variables:
                continue
            e = nc[name]
            check(v.dims == e.dimensions, f"{module} {name}: dimensions {v.dims}, {e.dimensions}")
            check(same_values(v.values, e[:]), f"{module} {name}: values or type differ ({v.dtype}, {e.dtype})")
            theirs = {a: e.getncattr(a) for a in e.ncattrs()}
            check(list(v.attrs) == list(theirs), f"{module} {name}: attributes {list(v.attrs)}, {list(theirs)}")
            for a, value in v.attrs.items():
                ok = value == theirs.get(a) if isinstance(value, str) else same_values(
                    value, numpy.atleast_1d(theirs.get(a)))
                check(ok, f"{module} {name}: attribute {a} {value!r}, the export's {theirs.get(a)!r}")
        theirs = {a: nc.getncattr(a) for a in nc.ncattrs()}
        for a, value in ours.attrs.items():
            check(value == theirs.get(a), f"{module}: attribute {a} {value!r}, the export's {theirs.get(a)!r}")
    decoded = xarray.decode_cf(ours)
    check(decoded["time"].dtype.kind == "M", f"{module}: time decodes to {decoded['time'].dtype}")


def main():
    lib_path, program, dump, tlm, workdir = sys.argv[1:6]
    lib = library(lib_path)
    os.makedirs(workdir, exist_ok=True)
    products = 0
    for unit in ("gem", "gim", "con", "mec"):
        edr = os.path.join(workdir, f"sample_{unit}.hdf")
        if os.path.exists(edr):
            os.remove(edr)
        subprocess.run([program, "-inst", unit, "-tlm", tlm, "-edr", edr], check=True, stdout=subprocess.DEVNULL)
        listing = subprocess.run([dump, edr], check=True, capture_output=True, text=True).stdout
        for line in listing.splitlines()[1:]:
            module = line.split()[0]
            p = L.library().product(module)
            export = os.path.join(workdir, f"{module}.nc")
            subprocess.run([dump, edr, module, "--netcdf", export, "--flat", "--sclk-epoch", "2000-01-01T12:00:00Z"],
                           check=True)
            compare(dataset(lib, p, read_columns(lib, p, edr)), export, module)
            products += 1
    check(products == 12, f"{products} products in the sample, not 12")
    for text in failures:
        print(text)
    print(f"{passed} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
