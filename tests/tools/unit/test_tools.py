"""What the batch and the quick-look tool share (hlc_edr._tools): file names
as text, the order in which the programs are looked for, and files written
whole or not at all."""
import os
import shutil
import stat
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
                                "python"))
from hlc_edr._tools import ProgramError, find_program, shown, write_atomically  # noqa: E402


def fake_program(folder, name, executable=True):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(path, 0o755 if executable else 0o644)
    return path


class Shown(unittest.TestCase):
    """Names and log lines as UTF-8 text on one line: bytes that are not
    UTF-8 and control characters escaped, everything else as it is."""

    def test_names_of_any_bytes(self):
        cases = [(b"x\xff.tlm", "x\\xff.tlm"), (b"two\nlines.tlm", "two\\nlines.tlm"),
                 (b"tab\there\r", "tab\\there\\r"), (b"esc\x1b del\x7f", "esc\\x1b del\\x7f"),
                 ("caf\u00e9 \u03b1.tlm".encode(), "caf\u00e9 \u03b1.tlm"), (b"-x.tlm", "-x.tlm"),
                 (b"odd <b>&\"'#.tlm", "odd <b>&\"'#.tlm"), (b"\xc3", "\\xc3")]
        for raw, text in cases:
            with self.subTest(raw=raw):
                self.assertEqual(shown(os.fsdecode(raw)), text)  # a name as the system gives it

    def test_text_that_no_file_name_holds(self):
        # a lone surrogate that stands for no byte is escaped as a character
        self.assertEqual(shown("a\ud800\nb"), "a\\ud800\\nb")


class FindProgram(unittest.TestCase):
    """The program an option names, else the one in the launcher's folder,
    else the one on the PATH; a build folder is never looked into."""

    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="hlc_edr_find.")
        self.addCleanup(shutil.rmtree, self.top)
        self.bin = os.path.join(self.top, "bin")
        self.on_path = os.path.join(self.top, "path")
        os.makedirs(self.bin)
        os.makedirs(self.on_path)
        self.addCleanup(os.environ.__setitem__, "PATH", os.environ.get("PATH", os.defpath))
        os.environ["PATH"] = self.on_path

    def find(self, given=None):
        return find_program("hlc_edr_dump", "--dump", given, self.bin)

    def test_order_option_then_launcher_folder_then_path(self):
        in_path = fake_program(self.on_path, "hlc_edr_dump")
        self.assertEqual(self.find(), in_path)
        beside = fake_program(self.bin, "hlc_edr_dump")
        self.assertEqual(self.find(), beside)
        named = fake_program(os.path.join(self.top, "elsewhere"), "my_dump")
        self.assertEqual(self.find(named), named)
        self.assertEqual(self.find(os.path.relpath(named)), named)  # made absolute
        fake_program(self.on_path, "other_dump")
        self.assertEqual(self.find("other_dump"), os.path.join(self.on_path, "other_dump"))

    def test_a_file_beside_that_is_not_executable_is_passed_over(self):
        fake_program(self.bin, "hlc_edr_dump", executable=False)
        in_path = fake_program(self.on_path, "hlc_edr_dump")
        self.assertEqual(self.find(), in_path)

    def test_never_a_build_folder(self):
        for folder in ("build", "build-release", os.path.join("bin", "build")):
            fake_program(os.path.join(self.top, folder), "hlc_edr_dump")
        cwd = os.getcwd()
        self.addCleanup(os.chdir, cwd)
        os.chdir(self.top)
        with self.assertRaises(ProgramError) as e:
            self.find()
        self.assertEqual(str(e.exception), "no hlc_edr_dump beside %s or on the PATH (--dump names one)" % self.bin)
        with self.assertRaises(ProgramError) as e:
            find_program("hlc_edr_dump", "--dump", None, None)
        self.assertEqual(str(e.exception), "no hlc_edr_dump or on the PATH (--dump names one)")

    def test_what_an_option_names_is_checked(self):
        fake_program(self.bin, "hlc_edr_dump")  # not taken instead of a wrong one named
        plain = fake_program(self.top, "plain", executable=False)
        for given, says in ((os.path.join(self.top, "missing"), "no such file"),
                            ("missing_dump", "no such program on the PATH"),
                            (self.top, "is not a file"), (plain, "is not executable")):
            with self.subTest(given=given), self.assertRaises(ProgramError) as e:
                self.find(given)
            self.assertEqual(str(e.exception), "--dump %s: %s" % (given, says))


class WriteAtomically(unittest.TestCase):
    """A file is written whole under its name or not at all, and no work
    file is left behind, whatever ends the writing."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="hlc_edr_write.")
        self.addCleanup(shutil.rmtree, self.folder)
        self.path = os.path.join(self.folder, "summary.csv")

    def left(self):
        return sorted(os.listdir(self.folder))

    def test_written_whole(self):
        write_atomically(self.path, lambda f: f.write("a,b\n"), encoding="utf-8")
        write_atomically(self.path + ".png", lambda f: f.write(b"\x89PNG"), binary=True)
        with open(self.path) as f:
            self.assertEqual(f.read(), "a,b\n")
        self.assertEqual(self.left(), ["summary.csv", "summary.csv.png"])

    def test_a_failure_leaves_the_earlier_file_and_no_work_file(self):
        with open(self.path, "w") as f:
            f.write("earlier\n")

        def half(exception):
            def write(f):
                f.write("half")
                f.flush()
                raise exception
            return write

        for exception in (ValueError("bad row"), KeyboardInterrupt(), SystemExit(143),
                          OSError(28, "No space left on device")):
            with self.subTest(exception=type(exception).__name__):
                with self.assertRaises(type(exception)) as e:
                    write_atomically(self.path, half(exception))
                self.assertEqual(self.left(), ["summary.csv"])
                with open(self.path) as f:
                    self.assertEqual(f.read(), "earlier\n")
                if isinstance(exception, OSError):
                    self.assertEqual(e.exception.filename, self.path)  # the message names the file

    def test_a_rename_that_fails_leaves_no_work_file(self):
        os.mkdir(self.path)  # a folder where the file goes
        with self.assertRaises(OSError) as e:
            write_atomically(self.path, lambda f: f.write("x"))
        self.assertEqual(e.exception.filename, self.path)
        self.assertEqual(self.left(), ["summary.csv"])
        self.assertTrue(stat.S_ISDIR(os.stat(self.path).st_mode))


if __name__ == "__main__":
    unittest.main(verbosity=2)
