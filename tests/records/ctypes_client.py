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

c_char_p, c_int32, c_double, c_size_t, c_void_p = (ctypes.c_char_p, ctypes.c_int32, ctypes.c_double,
                                                   ctypes.c_size_t, ctypes.c_void_p)
MAX_RANK, MAX_FLAGS = 3, 32
EPOCH = b"2000-01-01 12:00:00"


class Dim(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("size", c_int32)]


class Member(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("type", c_int32), ("rank", c_int32), ("dims", Dim * MAX_RANK),
                ("order", c_int32), ("offset", c_size_t), ("size", c_size_t), ("sds", c_char_p),
                ("packed_offset", c_size_t), ("long_name", c_char_p), ("units", c_char_p),
                ("comment", c_char_p), ("has_valid_range", c_int32), ("valid_min", c_double),
                ("valid_max", c_double), ("nflags", c_int32), ("flag_masks", ctypes.c_uint32 * MAX_FLAGS),
                ("flag_values", ctypes.c_uint32 * MAX_FLAGS), ("flag_meanings", c_char_p)]


class Product(ctypes.Structure):
    _fields_ = [(n, c_char_p) for n in ("module", "record", "title", "header", "vgroup", "vgroup_class",
                                        "vdata", "field_list")] + [
        ("record_size", c_size_t), ("packed_size", c_size_t), ("nmembers", c_int32),
        ("members", ctypes.POINTER(Member)), ("nfields", c_int32), ("nsds", c_int32), ("spins", c_int32),
        ("sclk_seconds", c_int32), ("sclk_subseconds", c_int32),
        ("init_rd", ctypes.CFUNCTYPE(c_int32, c_int32, c_int32, c_char_p)),
        ("read", ctypes.CFUNCTYPE(c_int32, c_void_p, c_int32)), ("close_rd", ctypes.CFUNCTYPE(None)),
        ("rd_Vgrp_desc", ctypes.CFUNCTYPE(None, c_int32, c_int32)), ("desc", c_void_p),
        ("desc_size", c_size_t), ("init_wr", c_void_p), ("write", c_void_p), ("close_wr", c_void_p),
        ("read_block", ctypes.CFUNCTYPE(c_int32, c_int32, c_int32, ctypes.POINTER(c_void_p))),
        ("instrument", c_char_p)]


class CfAttribute(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("type", c_int32), ("count", c_int32), ("text", c_char_p),
                ("values", ctypes.POINTER(c_double))]


class CfDimension(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("size", c_int32)]


class CfVariable(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("type", c_int32), ("source", c_int32), ("member", c_int32),
                ("ndims", c_int32), ("dims", c_char_p * (1 + MAX_RANK)), ("shape", c_int32 * (1 + MAX_RANK)),
                ("nattributes", c_int32), ("attributes", ctypes.POINTER(CfAttribute))]


class CfProduct(ctypes.Structure):
    _fields_ = [("product", ctypes.POINTER(Product)), ("ndims", c_int32),
                ("dims", ctypes.POINTER(CfDimension)), ("nvariables", c_int32),
                ("variables", ctypes.POINTER(CfVariable)), ("nattributes", c_int32),
                ("attributes", ctypes.POINTER(CfAttribute))]


class CfSettings(ctypes.Structure):
    _fields_ = [("epoch", c_char_p), ("description", c_char_p), ("date_created", c_char_p),
                ("history", c_char_p), ("has_coverage", c_int32), ("sclk_first", c_double),
                ("sclk_last", c_double)]


# numpy types of the descriptors' number types (HDF4's codes) and of the
# CF encoding's (netCDF's codes).
HDF_TYPES = {21: numpy.uint8, 23: numpy.uint16, 25: numpy.uint32, 5: numpy.float32}
NC_TYPES = {4: numpy.int32, 5: numpy.float32, 6: numpy.float64, 7: numpy.uint8, 8: numpy.uint16,
            9: numpy.uint32, 10: numpy.int64}
MEMBER, SCLK, SPIN_SCLK, TIME = 0, 1, 2, 3
NC_CHAR = 2

failures, passed = [], 0


def check(ok, text):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(text)


def library(path):
    lib = ctypes.CDLL(path)
    lib.hlc_edr_find_product.restype = ctypes.POINTER(Product)
    lib.hlc_edr_find_product.argtypes = [c_char_p]
    lib.hlc_edr_cf_describe.restype = ctypes.POINTER(CfProduct)
    lib.hlc_edr_cf_describe.argtypes = [ctypes.POINTER(Product), ctypes.POINTER(CfSettings)]
    lib.hlc_edr_cf_free.argtypes = [ctypes.POINTER(CfProduct)]
    lib.hlc_edr_cf_sclk.restype = c_double
    lib.hlc_edr_cf_sclk.argtypes = [ctypes.c_uint32, ctypes.c_uint16]
    # HDF4, which the library links.
    lib.Hopen.argtypes = [c_char_p, ctypes.c_int, ctypes.c_int16]
    lib.SDstart.argtypes = [c_char_p, c_int32]
    return lib


def read_columns(lib, p, path):
    """Every member of every record of the product, one numpy array each."""
    f = lib.Hopen(path.encode(), 1, 0)  # DFACC_READ
    lib.Vinitialize(f)  # Vstart
    sd = lib.SDstart(path.encode(), 1)
    n = p.init_rd(f, sd, b"r")
    columns = []
    for k in range(p.nmembers):
        m = p.members[k]
        shape = tuple(m.dims[d].size for d in range(m.rank))
        columns.append(numpy.empty((max(n, 0),) + shape, dtype=HDF_TYPES[m.type]))
    pointers = (c_void_p * p.nmembers)(*[c.ctypes.data for c in columns])
    status = p.read_block(0, n, pointers)
    p.close_rd()
    lib.SDend(sd)
    lib.Vfinish(f)  # Vend
    lib.Hclose(f)
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
    settings = CfSettings(epoch=EPOCH, has_coverage=1, sclk_first=times.min(), sclk_last=times.max())
    d = lib.hlc_edr_cf_describe(p, ctypes.byref(settings))
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
        lib.hlc_edr_cf_free(d)


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
            p = lib.hlc_edr_find_product(module.encode()).contents
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
