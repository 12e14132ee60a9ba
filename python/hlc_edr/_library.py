"""The record library libhlc_edr through ctypes: its product descriptors
(hlc_edr_layout.h), its CF encoding of every product (hlc_edr_cf.h), and the
few HDF4 calls that open an EDR for the record modules.

The library is found, on first use, as follows (unless a tool's option names
one): the file that the environment variable HLC_EDR_LIBRARY names; else
beside the installed package, in the prefix's lib/ (the package lives in PREFIX/lib/python3.N/dist-packages/hlc_edr);
else by the dynamic loader's own search for its soname. A build tree is never
looked into.

HDF4's calls are looked up through the library's own handle, which reaches
the HDF4 libraries that it links (on Debian libmfhdf.so.0 and libdf.so.0), so
that the identifiers that Python opens are those of the very HDF4 that the
record modules call.

The record modules keep process-wide state (one open table per module, one
description buffer): every call into them is made holding LOCK.
"""
import ctypes
import ctypes.util
import glob
import os
import re
import sys
import tempfile
import threading

import numpy

c_char_p, c_int32, c_double, c_size_t, c_void_p = (ctypes.c_char_p, ctypes.c_int32, ctypes.c_double,
                                                   ctypes.c_size_t, ctypes.c_void_p)

MAX_RANK = 3   # HLC_EDR_MAX_RANK
MAX_FLAGS = 32  # HLC_EDR_MAX_FLAGS
EPOCH_SIZE = 64  # HLC_EDR_CF_EPOCH_SIZE
ENVIRONMENT = "HLC_EDR_LIBRARY"

# Every call into the record modules, and every HDF4 call, holds this lock.
LOCK = threading.RLock()


# ---- the structures of hlc_edr_layout.h and hlc_edr_cf.h --------------------------

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
        ("instrument", c_char_p), ("flush_wr", c_void_p)]


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


# numpy types of the descriptors' number types (HDF4's DFNT_ codes) and of the
# CF encoding's (netCDF's NC_ codes).
MEMBER_TYPES = {21: numpy.dtype(numpy.uint8), 23: numpy.dtype(numpy.uint16),
                25: numpy.dtype(numpy.uint32), 5: numpy.dtype(numpy.float32)}
NC_TYPES = {4: numpy.dtype(numpy.int32), 5: numpy.dtype(numpy.float32), 6: numpy.dtype(numpy.float64),
            7: numpy.dtype(numpy.uint8), 8: numpy.dtype(numpy.uint16), 9: numpy.dtype(numpy.uint32),
            10: numpy.dtype(numpy.int64)}
NC_CHAR = 2
# Where a variable's values come from (HLC_EDR_CF_MEMBER ... HLC_EDR_CF_TIME).
SOURCE_MEMBER, SOURCE_SCLK, SOURCE_SPIN_SCLK, SOURCE_TIME = 0, 1, 2, 3

# HDF4's constants for the calls made here.
DFACC_READ = 1


class LibraryError(OSError):
    """The record library cannot be found or loaded."""


# ---- finding the library ------------------------------------------------------------

SONAME = re.compile(r"libhlc_edr\.so\.\d+$")


def _prefix_libraries():
    """The library with its soname in the lib/ folders of the prefix that the
    package is installed in, if it is installed in one."""
    package = os.path.dirname(os.path.abspath(__file__))
    site = os.path.dirname(package)
    python = os.path.dirname(site)
    if os.path.basename(site) not in ("dist-packages", "site-packages") or \
            not re.fullmatch(r"python3(\.\d+)?", os.path.basename(python)):
        return []
    lib = os.path.dirname(python)
    folders = [lib]
    multiarch = getattr(sys.implementation, "_multiarch", None)
    if multiarch:
        folders.append(os.path.join(lib, multiarch))
    return sorted(p for folder in folders for p in glob.glob(os.path.join(folder, "libhlc_edr.so.*"))
                  if SONAME.search(p))


def library_path():
    """The path or soname of the library to load; raises LibraryError when
    there is none."""
    given = os.environ.get(ENVIRONMENT)
    if given:
        return given
    near = _prefix_libraries()
    if near:
        return near[-1]
    found = ctypes.util.find_library("hlc_edr")
    if found:
        return found
    raise LibraryError("the record library libhlc_edr is not installed beside the hlc_edr package nor "
                       "known to the dynamic loader; %s may name it" % ENVIRONMENT)


def _declare(function, restype, argtypes):
    function.restype = restype
    function.argtypes = argtypes
    return function


class Library:
    """The loaded library: its registry, its CF encoding and HDF4's calls."""

    def __init__(self, path):
        try:
            self.cdll = lib = ctypes.CDLL(path)
        except OSError as e:
            raise LibraryError("cannot load the record library %s: %s" % (path, e)) from None
        self.path = path
        self.find_product = _declare(lib.hlc_edr_find_product, ctypes.POINTER(Product), [c_char_p])
        self.cf_describe = _declare(lib.hlc_edr_cf_describe, ctypes.POINTER(CfProduct),
                                    [ctypes.POINTER(Product), ctypes.POINTER(CfSettings)])
        self.cf_free = _declare(lib.hlc_edr_cf_free, None, [ctypes.POINTER(CfProduct)])
        self.cf_epoch = _declare(lib.hlc_edr_cf_epoch, c_int32, [c_char_p, c_char_p, c_size_t])
        registry = (ctypes.POINTER(Product) * 12).in_dll(lib, "hlc_edr_products")
        self.products = [registry[i].contents for i in range(len(registry))]
        # HDF4 (Vstart and Vend are macros of Vinitialize and Vfinish).
        self.Hopen = _declare(lib.Hopen, c_int32, [c_char_p, ctypes.c_int, ctypes.c_int16])
        self.Hclose = _declare(lib.Hclose, ctypes.c_int, [c_int32])
        self.Vstart = _declare(lib.Vinitialize, ctypes.c_int, [c_int32])
        self.Vend = _declare(lib.Vfinish, ctypes.c_int, [c_int32])
        self.SDstart = _declare(lib.SDstart, c_int32, [c_char_p, c_int32])
        self.SDend = _declare(lib.SDend, ctypes.c_int, [c_int32])
        self.ANstart = _declare(lib.ANstart, c_int32, [c_int32])
        self.Vfind = _declare(lib.Vfind, c_int32, [c_int32, c_char_p])
        self.VSfind = _declare(lib.VSfind, c_int32, [c_int32, c_char_p])
        self.SDnametoindex = _declare(lib.SDnametoindex, c_int32, [c_int32, c_char_p])

    def product(self, module):
        """The descriptor of the product of that module; ValueError if none."""
        found = self.find_product(module.encode()) if isinstance(module, str) else None
        if not found:
            raise ValueError("no product %r: the products are %s"
                             % (module, ", ".join(p.module.decode() for p in self.products)))
        return found.contents


_library = None


def library(path=None):
    """The record library, loaded once: the one at path when it is given
    (a tool's option), else the one that library_path() finds. A path that
    is not the one loaded already is a LibraryError."""
    global _library
    with LOCK:
        if _library is None:
            _library = Library(path or library_path())
        elif path and path != _library.path:
            raise LibraryError("the record library %s is loaded already; %s cannot be loaded too"
                               % (_library.path, path))
        return _library


# ---- what the modules print -------------------------------------------------------

_libc = ctypes.CDLL(None)
_libc.fflush.argtypes = [c_void_p]


class ModuleOutput:
    """While alive (holding LOCK): what the record modules write on standard
    error (their failures and HDF4's error stack) is kept, readable as
    `report` afterwards, and what they print on standard output (their
    listing of a description) with quiet_stdout is discarded. The scratch
    file is the process's own, reused."""

    _scratch = None

    def __init__(self, quiet_stdout=False):
        self.quiet_stdout = quiet_stdout
        self.report = ""

    def __enter__(self):
        LOCK.acquire()
        try:
            if ModuleOutput._scratch is None:
                fd, name = tempfile.mkstemp(prefix="hlc_edr_report_")
                os.unlink(name)
                ModuleOutput._scratch = fd
            scratch = ModuleOutput._scratch
            os.ftruncate(scratch, 0)
            os.lseek(scratch, 0, os.SEEK_SET)
            for stream in (sys.stdout, sys.stderr):
                if stream is not None:
                    stream.flush()
            _libc.fflush(None)
            self.saved = [(2, os.dup(2))]
            os.dup2(scratch, 2)
            if self.quiet_stdout:
                self.saved.append((1, os.dup(1)))
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, 1)
                os.close(null)
        except BaseException:
            LOCK.release()
            raise
        return self

    def __exit__(self, *exc):
        try:
            _libc.fflush(None)
            for fd, saved in reversed(self.saved):
                os.dup2(saved, fd)
                os.close(saved)
            scratch = ModuleOutput._scratch
            os.lseek(scratch, 0, os.SEEK_SET)
            chunks = []
            while True:
                chunk = os.read(scratch, 1 << 16)
                if not chunk:
                    break
                chunks.append(chunk)
            self.report = b"".join(chunks).decode("utf-8", "replace")
        finally:
            LOCK.release()
        return False

    def first_failure(self):
        """The first failure that a module reported, without its file name
        ("init_acc_gem_normal -> SDnametoindex: Couldn't find ..."), or ""."""
        at = self.report.find("ERROR in  ")
        if at < 0:
            return ""
        line = self.report[at:].split("\n", 1)[0]
        arrow = line.find(" -> ")
        return line if arrow < 0 else line[arrow + 4:]


# ---- the CF encoding ----------------------------------------------------------------

def attributes(count, array):
    """Attributes of the CF description as netCDF4-python reads them back
    from a file: a text as str, one number as a numpy scalar of its type,
    several as a numpy array."""
    out = {}
    for i in range(count):
        a = array[i]
        name = a.name.decode()
        if a.type == NC_CHAR:
            out[name] = a.text.decode("utf-8", "surrogateescape")
        else:
            values = numpy.ctypeslib.as_array(a.values, (a.count,)).astype(NC_TYPES[a.type])
            out[name] = values[0] if a.count == 1 else values
    return out


def cf_epoch(epoch):
    """The CF reference time of an SCLK epoch: an ISO 8601 text as
    hlc_edr_dump --sclk-epoch takes it, or a datetime.datetime (one without a
    time zone is UTC) or numpy.datetime64. ValueError if it is none."""
    text = epoch
    if isinstance(epoch, numpy.datetime64):
        text = numpy.datetime_as_string(epoch, unit="auto")
    elif hasattr(epoch, "isoformat"):
        text = epoch.isoformat()
    if not isinstance(text, str):
        raise ValueError("sclk_epoch %r is no ISO 8601 time" % (epoch,))
    out = ctypes.create_string_buffer(EPOCH_SIZE)
    if "\0" in text or not library().cf_epoch(text.encode(), out, EPOCH_SIZE):
        raise ValueError("sclk_epoch %r is no ISO 8601 time (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm])"
                         % (epoch,))
    return out.value.decode()


class Description:
    """A product's CF description (hlc_edr_cf_describe), released on exit."""

    def __init__(self, product, epoch=None, description=None, date_created=None, history=None,
                 coverage=None):
        enc = lambda s: None if s is None else s.encode("utf-8", "surrogateescape")  # noqa: E731
        self._settings = CfSettings(epoch=enc(epoch), description=enc(description),
                                    date_created=enc(date_created), history=enc(history),
                                    has_coverage=coverage is not None,
                                    sclk_first=coverage[0] if coverage else 0.0,
                                    sclk_last=coverage[1] if coverage else 0.0)
        self._product = product
        self._pointer = None

    def __enter__(self):
        lib = library()
        self._pointer = lib.cf_describe(ctypes.byref(self._product), ctypes.byref(self._settings))
        if not self._pointer:
            raise MemoryError("the CF description of %s could not be made" % self._product.module.decode())
        return self._pointer.contents

    def __exit__(self, *exc):
        library().cf_free(self._pointer)
        self._pointer = None
        return False
