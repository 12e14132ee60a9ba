"""The launchers tools/hlc_edr_quicklook and tools/hlc_edr_batch in an
installed layout (PREFIX/bin with the programs, the package in
PREFIX/lib/python3/dist-packages), run through a link from elsewhere too:
each finds the package beside itself, and the programs named by an option,
else beside itself, else on the PATH. The programs are stand-ins that say
which one ran."""
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


def failing_dump(path, who):
    """A dump that refuses every EDR, saying who it is."""
    return stand_in(path, 'echo "ERROR: %s" >&2\nexit 1\n' % who)


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
        self.edr = os.path.join(self.work, "e.hdf")
        open(self.edr, "wb").close()

    def quicklook(self, launcher, *options):
        run = subprocess.run([launcher, self.edr, "-o", os.path.join(self.work, "png")] + list(options),
                             env=self.env, cwd=self.work, capture_output=True, text=True, timeout=120)
        return run.returncode, run.stderr

    def test_the_quicklook_reads_through_the_dump_it_finds(self):
        launcher = os.path.join(self.bin, "hlc_edr_quicklook")
        link = os.path.join(self.work, "elsewhere", "ql")
        os.makedirs(os.path.dirname(link))
        os.symlink(launcher, link)
        failing_dump(os.path.join(self.on_path, "hlc_edr_dump"), "the dump on the PATH")
        beside = failing_dump(os.path.join(self.bin, "hlc_edr_dump"), "the dump beside the launcher")
        named = failing_dump(os.path.join(self.work, "my_dump"), "the dump named")
        said = "hlc_edr_quicklook: cannot read EDR %s: %%s\n" % self.edr
        for how, run, who in (("launcher", lambda: self.quicklook(launcher), "the dump beside the launcher"),
                              ("link", lambda: self.quicklook(link), "the dump beside the launcher"),
                              ("--dump", lambda: self.quicklook(link, "--dump", named), "the dump named")):
            with self.subTest(how=how):
                self.assertEqual(run(), (1, said % who))
        os.remove(beside)
        self.assertEqual(self.quicklook(link), (1, said % "the dump on the PATH"))
        os.remove(os.path.join(self.on_path, "hlc_edr_dump"))
        self.assertEqual(self.quicklook(link), (2, "hlc_edr_quicklook: no hlc_edr_dump beside %s or on the PATH "
                                                   "(--dump names one)\n" % os.path.realpath(self.bin)))

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
