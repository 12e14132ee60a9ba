"""The launchers tools/hlc_edr_quicklook and tools/hlc_edr_batch in an
installed layout (PREFIX/bin with the programs, the package in
PREFIX/lib/python3/dist-packages), run through a link from elsewhere too:
each finds the package beside itself; the quick-look the record library
named by an option, else by HLC_EDR_LIBRARY, else beside the package; the
batch the programs named by an option, else beside itself, else on the PATH.
The programs are stand-ins that say which one ran."""
import ctypes.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def stand_in(path, text):
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + text)
    os.chmod(path, 0o755)
    return path


def not_a_library(path):
    """A file named as a library, which the dynamic loader refuses."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("not a library\n")
    return path


class InstalledLayout(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="hlc_edr_launch.")
        self.addCleanup(shutil.rmtree, self.work)
        self.bin = os.path.join(self.work, "prefix", "bin")
        os.makedirs(self.bin)
        for tool in ("hlc_edr_quicklook", "hlc_edr_batch", "hlc_edr_live"):
            shutil.copy(os.path.join(TOP, "tools", tool), self.bin)
        shutil.copytree(os.path.join(TOP, "python", "hlc_edr"),
                        os.path.join(self.work, "prefix", "lib", "python3", "dist-packages", "hlc_edr"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        self.on_path = os.path.join(self.work, "path")
        os.makedirs(self.on_path)
        self.env = dict(os.environ, PATH=os.pathsep.join([self.on_path, "/usr/bin", "/bin"]))
        self.env.pop("HLC_EDR_LIBRARY", None)
        self.edr = os.path.join(self.work, "e.hdf")
        open(self.edr, "wb").close()

    def quicklook(self, launcher, *options, env=None):
        run = subprocess.run([launcher, self.edr, "-o", os.path.join(self.work, "png")] + list(options),
                             env=dict(self.env, **(env or {})), cwd=self.work, capture_output=True, text=True,
                             timeout=120)
        return run.returncode, run.stderr

    def test_the_quicklook_reads_through_the_library_it_finds(self):
        """The record library that --library names, else the one that
        HLC_EDR_LIBRARY names, else the one in the prefix's lib/ beside the
        package. The libraries are files that cannot be loaded: the tool's
        one line says which it tried."""
        launcher = os.path.join(self.bin, "hlc_edr_quicklook")
        link = os.path.join(self.work, "elsewhere", "ql")
        os.makedirs(os.path.dirname(link))
        os.symlink(launcher, link)
        beside = not_a_library(os.path.join(self.work, "prefix", "lib", "libhlc_edr.so.4"))
        named = not_a_library(os.path.join(self.work, "named.so"))
        given = not_a_library(os.path.join(self.work, "given.so"))
        said = "hlc_edr_quicklook: cannot load the record library %s: "
        for how, run, which in (
                ("launcher", lambda: self.quicklook(launcher), beside),
                ("link", lambda: self.quicklook(link), beside),
                ("HLC_EDR_LIBRARY", lambda: self.quicklook(link, env={"HLC_EDR_LIBRARY": named}), named),
                ("--library", lambda: self.quicklook(link, "--library", given, env={"HLC_EDR_LIBRARY": named}),
                 given)):
            with self.subTest(how=how):
                status, stderr = run()
                self.assertEqual(status, 2, stderr)
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                self.assertTrue(stderr.startswith(said % which), stderr)
        os.remove(beside)
        if ctypes.util.find_library("hlc_edr") is None:
            self.assertEqual(self.quicklook(link), (2, "hlc_edr_quicklook: the record library libhlc_edr is not "
                                                       "installed beside the hlc_edr package nor known to the "
                                                       "dynamic loader; HLC_EDR_LIBRARY may name it\n"))

    def test_the_batch_takes_its_units_from_the_dump_beside_it(self):
        stand_in(os.path.join(self.bin, "hlc_edr"), 'echo "Halcyon EDR Generator (hlc_edr)"\nexit 1\n')
        stand_in(os.path.join(self.bin, "hlc_edr_dump"), 'test "$1" = --products && printf "con_hk\\nxyz_a\\n"\n')
        run = subprocess.run([os.path.join(self.bin, "hlc_edr_batch"), "-u", "gem", "-o", "out", "x.tlm"],
                             env=self.env, cwd=self.work, capture_output=True, text=True, timeout=120)
        self.assertEqual((run.returncode, run.stderr),
                         (2, "hlc_edr_batch: -u: units are a comma-separated list of con,xyz,acs\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))

    def test_the_live_pass_takes_its_units_from_the_dump_beside_it(self):
        stand_in(os.path.join(self.bin, "hlc_edr"), 'echo "Halcyon EDR Generator (hlc_edr)"\nexit 1\n')
        stand_in(os.path.join(self.bin, "hlc_edr_dump"), 'test "$1" = --products && printf "con_hk\\nxyz_a\\n"\n')
        run = subprocess.run([os.path.join(self.bin, "hlc_edr_live"), "-u", "gem", "-o", "out"],
                             env=self.env, cwd=self.work, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=120)
        self.assertEqual((run.returncode, run.stderr),
                         (2, "hlc_edr_live: -u: units are a comma-separated list of con,xyz,acs\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
