"""EDRs opened in xarray through the package hlc_edr (python/), with the
record library that HLC_EDR_LIBRARY names, on the files that make_edrs.py
wrote into --workdir. What is expected, as the design states it:

- every product of every EDR opened through the backend is the group of that
  product in hlc_edr_dump's --netcdf export of the same EDR (with the same
  SCLK epoch, or none): the same variables in the same order, dimensions,
  types, values to the bit (NaN payloads too) and attributes, read raw and
  as xarray decodes them. The group attributes date_created and history
  differ, and rightly: the export's say when and by which command the export
  was written; the backend's, when the EDR was written (its modification
  time) and that the backend opened it;
- a slice, a list of positions (any order, repeated) or one position reads
  the same values as a whole load, and reads only the records asked for;
- products() lists the products of a file and their record counts in the
  registry's order (that of hlc_edr_dump --products);
- open_mfdataset joins files given in any order in time order, with the
  time coverage of the whole;
- open_quaternions reads hlc_edr -inst acs's text: time = whole seconds +
  code / 256, the four components in the columns' order;
- a damaged EDR, a file that is no EDR and a product that the file lacks
  raise EdrError naming the file (and the product); nothing else escapes;
  files on which HDF4 itself loops or ends the process while opening them
  (the corpus's hdf4/ folder) are refused as damaged, the process unharmed,
  once the opening that a child process does first has used its processor
  time (set to 1 s here) or ended by a signal;
- the entry point registers xarray's engine "hlc_edr".

    test_backend.py --dump HLC_EDR_DUMP --corpus DUMP_CORPUS --workdir DIR [unittest args]
"""
import argparse
import concurrent.futures
import datetime
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import xarray as xr

import hlc_edr
from hlc_edr import _edr, backend

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_edrs  # noqa: E402

ARGS = None
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UNITS = make_edrs.UNITS
# Attributes of the product's group that are the export's own making.
OWN_MAKING = ("date_created", "history")


def w(name):
    return os.path.join(ARGS.workdir, name)


def registry():
    out = subprocess.run([ARGS.dump, "--products"], check=True, capture_output=True, text=True).stdout
    return out.split()


def export_groups(nc):
    """The product groups of an export, in its order, with their records."""
    import netCDF4
    with netCDF4.Dataset(nc) as d:
        return {name: len(g.dimensions["record"]) for name, g in d.groups.items()}


# Every EDR with each export of it: (EDR, export, epoch).
CASES = ([("sample_%s" % u, e) for u in UNITS for e in ("nc", "noepoch.nc")] +
         [("gen", "nc"), ("gen", "noepoch.nc"), ("gen", "epoch2.nc"), ("empty", "nc")] +
         [("%s_%s" % (t, u), "nc") for t in ("early", "late") for u in UNITS])
EPOCHS = {"nc": make_edrs.EPOCH, "noepoch.nc": None, "epoch2.nc": make_edrs.EPOCH2}


def bits(a):
    a = np.asarray(a)
    return a.view("u%d" % a.dtype.itemsize) if a.dtype.kind == "f" else a


def same(a, b):
    """The same type, shape and values, floats to the bit."""
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(bits(a), bits(b))


class Case(unittest.TestCase):
    def assert_same_dataset(self, ours, theirs, what, raw):
        self.assertEqual(list(ours.variables), list(theirs.variables), what)
        self.assertEqual(dict(ours.sizes), dict(theirs.sizes), what)
        self.assertEqual(set(ours.coords), set(theirs.coords), what)
        for name, v in ours.variables.items():
            e = theirs[name]
            where = "%s %s" % (what, name)
            self.assertEqual(v.dims, e.dims, where)
            self.assertEqual(v.dtype, e.dtype, where)
            if raw:
                self.assertTrue(same(v.values, e.values), where)
            else:
                self.assertTrue(np.array_equal(v.values, e.values, equal_nan=v.dtype.kind in "fc"), where)
            self.assertEqual(list(v.attrs), list(e.attrs), where)
            for a in v.attrs:
                self.assertTrue(same(v.attrs[a], e.attrs[a]), "%s attribute %s: %r, the export's %r"
                                % (where, a, v.attrs[a], e.attrs[a]))
            self.assertEqual(v.encoding.get("_FillValue") is None, e.encoding.get("_FillValue") is None, where)
        mine = {k: v for k, v in ours.attrs.items() if k not in OWN_MAKING}
        self.assertEqual(mine, {k: v for k, v in theirs.attrs.items() if k not in OWN_MAKING}, what)
        self.assertEqual(list(ours.attrs), list(theirs.attrs), what)


class ExportEquality(Case):
    def test_every_product_is_its_export_group(self):
        seen = set()
        for edr, export in CASES:
            for product in export_groups(w("%s.%s" % (edr, export))):
                seen.add(product)
                for raw in (True, False):
                    what = "%s %s (%s, %s)" % (edr, product, export, "raw" if raw else "decoded")
                    with self.subTest(what), \
                            hlc_edr.open_dataset(w(edr + ".hdf"), product, sclk_epoch=EPOCHS[export],
                                                 decode_cf=not raw) as ours, \
                            xr.open_dataset(w("%s.%s" % (edr, export)), group=product, decode_cf=not raw) as theirs:
                        self.assert_same_dataset(ours.load(), theirs.load(), what, raw)
                        self.assertEqual(ours.encoding["unlimited_dims"], {"record"})
        self.assertEqual(seen, set(registry()))

    def test_date_created_and_history_are_of_the_opening(self):
        path = w("gen.hdf")
        when = datetime.datetime.fromtimestamp(os.stat(path).st_mtime, datetime.timezone.utc)
        with hlc_edr.open_dataset(path, "gem_hk") as ds, xr.open_dataset(w("gen.nc"), group="gem_hk") as export:
            self.assertEqual(ds.attrs["date_created"], when.strftime("%Y-%m-%dT%H:%M:%SZ"))
            self.assertIn(path, ds.attrs["history"])
            self.assertIn("gem_hk", ds.attrs["history"])
            self.assertIn("hlc_edr_dump", export.attrs["history"])

    def test_epoch_forms(self):
        utc = datetime.timezone.utc
        for given in ("2000-01-01T12:00:00Z", "2000-01-01 13:00+01:00", datetime.datetime(2000, 1, 1, 12),
                      datetime.datetime(2000, 1, 1, 12, tzinfo=utc), np.datetime64("2000-01-01T12:00:00")):
            with self.subTest(given=given), hlc_edr.open_dataset(w("gen.hdf"), "con_hk", sclk_epoch=given,
                                                                 decode_times=False) as ds:
                self.assertEqual(ds["time"].attrs["units"], "seconds since 2000-01-01 12:00:00")
        for wrong in ("2000-02-30", "yesterday", "2000-01-01T24:00", 12):
            with self.subTest(wrong=wrong), self.assertRaises(ValueError):
                hlc_edr.open_dataset(w("gen.hdf"), "con_hk", sclk_epoch=wrong)


class LazyReads(Case):
    def setUp(self):
        # Small blocks, so that selections cross blocks in every product.
        self.saved = _edr.BLOCK_BYTES, _edr.GAP_BYTES
        _edr.BLOCK_BYTES, _edr.GAP_BYTES = 40000, 8000

    def tearDown(self):
        _edr.BLOCK_BYTES, _edr.GAP_BYTES = self.saved

    def test_selections_read_what_a_whole_load_reads(self):
        for product, n in hlc_edr.products(w("gen.hdf")).items():
            with hlc_edr.open_dataset(w("gen.hdf"), product, decode_cf=False) as whole:
                full = whole.load().copy(deep=True)
            selections = [slice(3, n - 5), slice(5, None, 7), slice(None, None, -3), slice(n // 2, n // 2),
                          [n - 1, 0, 2, 2, n // 3], n // 2, -1, []]
            for sel in selections:
                with self.subTest(product=product, sel=sel), \
                        hlc_edr.open_dataset(w("gen.hdf"), product, decode_cf=False) as ds:
                    part = ds.isel(record=sel)
                    for name in ds.variables:
                        expected = full[name].isel(record=sel)
                        self.assertTrue(same(part[name].values, expected.values), name)
                        inner = {d: [ds.sizes[d] - 1, 0] for d in part[name].dims if d != "record"}
                        if inner:
                            self.assertTrue(same(part[name].isel(inner).values, expected.isel(inner).values), name)

    def test_a_selection_reads_only_its_records(self):
        read = []
        original = _edr.Reader.__init__

        def spy(reader, edr, p, count):
            # Every read_block call of the reader: its records.
            original(reader, edr, p, count)
            read_block = reader._read_block

            def counted(start, n, pointers):
                read.append((start, n))
                return read_block(start, n, pointers)
            reader._read_block = counted

        _edr.Reader.__init__ = spy
        try:
            for product, n in hlc_edr.products(w("gen.hdf")).items():
                for sel, wanted in ((slice(n // 4, n // 2), set(range(n // 4, n // 2))),
                                    ([n - 1, 0, n // 2], {0, n // 2, n - 1})):
                    with self.subTest(product=product, sel=sel), hlc_edr.open_dataset(w("gen.hdf"), product) as ds:
                        read.clear()  # the record times, read on opening
                        ds.isel(record=sel).load()
                        self.assertEqual({r for start, k in read for r in range(start, start + k)}, wanted)
        finally:
            _edr.Reader.__init__ = original

    def test_files_of_one_product_read_in_turns_and_in_threads(self):
        def load(edr, product):
            with hlc_edr.open_dataset(w(edr + ".hdf"), product, sclk_epoch=make_edrs.EPOCH) as ds:
                return ds.load()

        jobs = [(edr, p) for edr in ("gen", "early_gem", "late_gem", "early_mec")
                for p in export_groups(w(edr + ".nc"))]
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            loaded = list(pool.map(lambda job: load(*job), jobs))
        for (edr, product), ours in zip(jobs, loaded):
            with self.subTest(edr=edr, product=product), \
                    xr.open_dataset(w(edr + ".nc"), group=product) as theirs:
                self.assert_same_dataset(ours, theirs.load(), product, raw=False)
        # Two files of one product, each read a part at a time, in turns.
        with hlc_edr.open_dataset(w("early_gem.hdf"), "gem_raw") as a, \
                hlc_edr.open_dataset(w("late_gem.hdf"), "gem_raw") as b:
            parts = [(a, slice(0, 2)), (b, slice(0, 3)), (a, slice(2, None)), (b, slice(3, None))]
            values = [ds["counts"].isel(record=sel).values for ds, sel in parts]
            for edr, pieces in (("early_gem", values[0::2]), ("late_gem", values[1::2])):
                with xr.open_dataset(w(edr + ".nc"), group="gem_raw") as theirs:
                    self.assertTrue(same(np.concatenate(pieces), theirs["counts"].values), edr)

    def test_a_closed_dataset_reads_nothing(self):
        ds = hlc_edr.open_dataset(w("gen.hdf"), "gem_normal")
        ds.close()
        with self.assertRaises(ValueError):
            ds["counts"].values


class Products(Case):
    def test_products_and_their_records_in_registry_order(self):
        order = registry()
        for edr, export in CASES:
            expected = export_groups(w("%s.%s" % (edr, export)))
            with self.subTest(edr=edr):
                found = hlc_edr.products(w(edr + ".hdf"))
                self.assertEqual(list(found.items()), list(expected.items()))
                self.assertEqual(list(found), [p for p in order if p in found])
        self.assertEqual(hlc_edr.products(w("gen.hdf")), {p: make_edrs.GEN_RECORDS[p] for p in order})
        self.assertEqual(hlc_edr.products(w("empty.hdf")), {p: 0 for p in order})


class MultiFile(Case):
    def test_files_join_in_time_order(self):
        for unit in UNITS:
            for product in export_groups(w("early_%s.nc" % unit)):
                with self.subTest(product=product), \
                        hlc_edr.open_mfdataset([w("late_%s.hdf" % unit), w("empty.hdf"), w("early_%s.hdf" % unit)],
                                               product, sclk_epoch=make_edrs.EPOCH) as ours, \
                        xr.open_dataset(w("early_%s.nc" % unit), group=product) as early, \
                        xr.open_dataset(w("late_%s.nc" % unit), group=product) as late:
                    joined = xr.concat([early.load(), late.load()], dim="record", combine_attrs="override")
                    ours = ours.load()
                    for name in joined.variables:
                        self.assertTrue(np.array_equal(ours[name].values, joined[name].values,
                                                       equal_nan=joined[name].dtype.kind == "f"), name)
                    self.assertTrue((np.diff(ours["sclk"].values) > 0).all())
                    self.assertEqual(ours.attrs["time_coverage_start"], early.attrs["time_coverage_start"])
                    self.assertEqual(ours.attrs["time_coverage_end"], late.attrs["time_coverage_end"])
                    self.assertEqual(ours.attrs["description"], early.attrs["description"])
                    # The parts read lazily, a selection across the files too.
                    k = early.sizes["record"]
                    across = ours.isel(record=[k, 0, k - 1])
                    self.assertTrue(np.array_equal(across["sclk"].values, joined["sclk"].values[[k, 0, k - 1]]))


class Quaternions(Case):
    def test_lines_read_as_time_and_components(self):
        ds = hlc_edr.open_quaternions(w("quats.txt"))
        self.assertEqual(ds["quaternion"].dims, ("record", "component"))
        self.assertEqual(ds["time"].dims, ("record",))
        for i, (t, q) in enumerate(make_edrs.QUATERNIONS):
            whole = float(np.trunc(t))
            code = round((t - whole) * 256)  # halves to even, as printf rounds them
            with self.subTest(record=i, time=t):
                self.assertEqual(ds["time"].values[i], whole + code / 256)
                np.testing.assert_allclose(ds["quaternion"].values[i], q, rtol=1e-10, atol=0)
        self.assertIn("1/256", ds["time"].attrs["comment"])
        self.assertEqual(ds["time"].attrs["units"], "s")
        self.assertIn("order", ds["quaternion"].attrs["comment"])
        with open(w("sample_quats.txt")) as f:
            lines = f.read().splitlines()
        sample = hlc_edr.open_quaternions(w("sample_quats.txt"))
        self.assertEqual(sample.sizes["record"], len(lines))
        whole, code = lines[0].split()[0].split(":")
        self.assertEqual(sample["time"].values[0], int(whole) + int(code) / 256)

    def test_a_line_that_is_no_record_is_named(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "q.txt")
            with open(w("quats.txt")) as f:
                good = f.read().splitlines()
            for bad in ("0600000000:000 1 2 3", "0600000000 1 2 3 4", "0600000000:0x0 1 2 3 4"):
                with open(path, "w") as f:
                    f.write("\n".join([good[0], bad] + good[1:]) + "\n")
                with self.subTest(bad=bad), self.assertRaisesRegex(ValueError, "q.txt"):
                    hlc_edr.open_quaternions(path)


class Damaged(Case):
    # Files of the dump's corpus of damaged EDRs, and the product damaged.
    REFUSED = {"gem_normal-field-name": "gem_normal", "gem_normal-sds-name": "gem_normal",
               "gem_mancal-sds-type": "gem_mancal", "mec_f1d-vdata-size": "mec_f1d",
               "con-vdata-offsets": "con_hk", "con-vdata-order": "con_hk"}

    def test_a_refused_product_raises_naming_product_and_file(self):
        for name, product in self.REFUSED.items():
            path = os.path.join(ARGS.corpus, name)
            pattern = "%s: product %s is damaged: .+" % (re.escape(path), product)
            with self.subTest(name):
                with self.assertRaisesRegex(hlc_edr.EdrError, pattern):
                    hlc_edr.open_dataset(path, product)
                with self.assertRaisesRegex(hlc_edr.EdrError, pattern):
                    hlc_edr.products(path)
                with self.assertRaisesRegex(hlc_edr.EdrError, pattern):
                    hlc_edr.open_mfdataset([w("gen.hdf"), path], product)

    # Files of the corpus on which HDF4 loops (SDstart walking an SD Vgroup
    # that names a member twice) or ends the process (a version object
    # longer than its buffer) while it opens them.
    HDF4_FAULTS = {"gim_normal-cdf-loop": "HDF4 did not finish opening it in 1 s of processor time",
                   "con-version-length": "HDF4 ended by SIGABRT opening it"}

    def setUp(self):
        saved = _edr.OPENING_CPU_SECONDS
        _edr.OPENING_CPU_SECONDS = 1
        self.addCleanup(setattr, _edr, "OPENING_CPU_SECONDS", saved)

    def test_every_damaged_file_reads_or_raises(self):
        paths = glob.glob(os.path.join(ARGS.corpus, "*")) + glob.glob(os.path.join(ARGS.corpus, "hdf4", "*"))
        for path in sorted(paths):
            if not os.path.isfile(path):
                continue
            with self.subTest(os.path.relpath(path, ARGS.corpus)):
                try:
                    for product in hlc_edr.products(path):
                        with hlc_edr.open_dataset(path, product) as ds:
                            ds.load()
                except hlc_edr.EdrError as e:
                    self.assertIn(path, str(e))

    def test_files_on_which_hdf4_loops_or_crashes_are_refused(self):
        for name, why in self.HDF4_FAULTS.items():
            path = os.path.join(ARGS.corpus, "hdf4", name)
            expected = "^%s is damaged: %s$" % (re.escape(path), re.escape(why))
            with self.subTest(name):
                with self.assertRaisesRegex(hlc_edr.EdrError, expected):
                    hlc_edr.products(path)
                with self.assertRaisesRegex(hlc_edr.EdrError, expected):
                    hlc_edr.open_dataset(path, "gim_normal")
                with self.assertRaisesRegex(hlc_edr.EdrError, expected):
                    hlc_edr.open_mfdataset([w("gen.hdf"), path], "gim_normal")
        # The process goes on reading sound files.
        self.assertTrue(hlc_edr.products(w("gen.hdf")))

    def test_what_is_no_edr_of_the_product(self):
        with tempfile.TemporaryDirectory() as d:
            text = os.path.join(d, "notes.txt")
            with open(text, "w") as f:
                f.write("no EDR\n")
            cases = [(os.path.join(d, "missing.hdf"), "gem_hk", "cannot open .*missing.hdf"),
                     (d, "gem_hk", "is not a regular file"), (text, "gem_hk", "notes.txt is not an HDF4 file"),
                     (w("sample_con.hdf"), "gem_hk", "sample_con.hdf has no product gem_hk")]
            for path, product, message in cases:
                with self.subTest(path), self.assertRaisesRegex(hlc_edr.EdrError, message):
                    hlc_edr.open_dataset(path, product)
        with self.assertRaisesRegex(ValueError, "no product 'gem_hkk'"):
            hlc_edr.open_dataset(w("gen.hdf"), "gem_hkk")


class Engine(Case):
    def test_the_entry_point_registers_the_engine(self):
        with tempfile.TemporaryDirectory() as d:
            info = os.path.join(d, "hlc_edr-0.dist-info")
            os.makedirs(info)
            with open(os.path.join(info, "METADATA"), "w") as f:
                f.write("Metadata-Version: 2.1\nName: hlc_edr\nVersion: 0\n")
            shutil.copy(os.path.join(TOP, "python", "entry_points.txt"), info)
            env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(TOP, "python"), d]))
            code = ("import sys, xarray as xr, hlc_edr\n"
                    "assert 'hlc_edr' in xr.backends.list_engines()\n"
                    "a = xr.open_dataset(sys.argv[1], engine='hlc_edr', group='con_hk').load()\n"
                    "b = hlc_edr.open_dataset(sys.argv[1], 'con_hk').load()\n"
                    "c = xr.open_dataset(sys.argv[2]).load()\n"
                    "for ds in (a, b):\n"
                    "    del ds.attrs['history']\n"
                    "assert a.identical(b)\n"
                    "assert c.attrs['product'] == 'con_hk', c.attrs\n")
            run = subprocess.run([sys.executable, "-c", code, w("gen.hdf"), w("sample_con.hdf")], env=env,
                                 capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stderr)

    def test_a_file_of_several_products_needs_a_group(self):
        with self.assertRaisesRegex(ValueError, "gem_hk, gem_mancal, gem_normal, gem_raw.*group="):
            xr.open_dataset(w("sample_gem.hdf"), engine=backend.HlcEdrBackendEntrypoint)
        with xr.open_dataset(w("sample_con.hdf"), engine=backend.HlcEdrBackendEntrypoint) as ds:
            self.assertEqual(ds.attrs["product"], "con_hk")


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--dump", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--workdir", required=True)
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
