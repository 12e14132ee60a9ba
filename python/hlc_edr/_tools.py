"""What the batch and the quick-look tool share: finding the programs they
run, writing a file whole or not at all, the signals that end them, file
names as text, and the UTC of spacecraft clock times."""
import calendar
import datetime
import os
import shutil
import signal
import sys
import unicodedata

# The signals that end a tool: each tool cleans up (its runs, its temporary
# files) and then ends by the signal it received.
INTERRUPTS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Escapes of the control characters that have a short one.
CONTROL_ESCAPES = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}


def shown(text):
    """A file name or log line as the tools show it: its bytes read as
    UTF-8, with each byte that is not UTF-8 and each control character
    escaped (\\xff, \\n), so that any name can be written as text and stays
    on one line."""
    try:
        raw = os.fsencode(text)  # the bytes of the name, also where they are not UTF-8
    except UnicodeError:
        raw = text.encode("utf-8", "backslashreplace")
    return "".join(CONTROL_ESCAPES.get(c) or ("\\x%02x" % ord(c) if unicodedata.category(c) == "Cc" else c)
                   for c in raw.decode("utf-8", "backslashreplace"))


# ---- finding the programs ------------------------------------------------------

def launcher_folder():
    """The folder of the running launcher script, its links resolved (the
    installed layout keeps hlc_edr, hlc_edr_dump, hlc_edr_quicklook and
    hlc_edr_batch together in one bin/ folder), or None."""
    script = sys.argv[0] if sys.argv else ""
    if not script or not os.path.isfile(script):
        return None
    return os.path.dirname(os.path.realpath(script))


class ProgramError(Exception):
    """A program that cannot be used; the message says which and why."""


def find_program(name, option, given=None, beside=None):
    """The absolute path of the program to run: the one the option names
    (given: a path, or a name looked up on the PATH); else the program
    called name in the folder beside (the launcher's); else name on the
    PATH. Raises ProgramError when there is none, or when the one named is
    not an executable file. Build trees are never looked into."""
    if given is not None:
        label = "%s %s" % (option, given)
        path = given if os.sep in given else shutil.which(given)
        if path is None:
            raise ProgramError("%s: no such program on the PATH" % label)
    else:
        near = os.path.join(beside, name) if beside else None
        path = near if near and os.path.isfile(near) and os.access(near, os.X_OK) else shutil.which(name)
        if path is None:
            raise ProgramError("no %s %sor on the PATH (%s names one)"
                               % (name, "beside %s " % shown(beside) if beside else "", option))
        label = path
    path = os.path.abspath(path)
    if not os.path.isfile(path):
        raise ProgramError("%s: %s" % (label, "is not a file" if os.path.exists(path) else "no such file"))
    if not os.access(path, os.X_OK):
        raise ProgramError("%s: is not executable" % label)
    return path


# ---- writing a file whole --------------------------------------------------------

def part_name(path):
    """The work name under which path is written: hidden, in the same
    folder (so that the rename stays on one file system), one per process."""
    folder, name = os.path.split(path)
    return os.path.join(folder, ".%s.%d.part" % (name, os.getpid()))


def write_atomically(path, write, binary=False, **mode):
    """Writes a file under its work name with write(file) and renames it to
    path; on any failure (of the file system, of the writing, a signal's
    exception) the work file is removed and the error raised, an OSError
    naming path."""
    tmp = part_name(path)
    try:
        with open(tmp, "wb" if binary else "w", **mode) as f:
            write(f)
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.remove(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            e.filename = path
        raise


# ---- signals -------------------------------------------------------------------

def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return "signal %d" % number


def on_interrupts(handler):
    for number in INTERRUPTS:
        signal.signal(number, handler)


def end_by_signal(number):
    """Ends the process by the signal it received, as the shell and GNU
    parallel expect of a program that a signal ended; returns 128 + number
    should the signal not end it."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a reader gone, a closed stream
            pass
    signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, (number,))
    os.kill(os.getpid(), number)
    return 128 + number


# ---- the UTC of spacecraft clock times -------------------------------------------

class Epoch:
    """The UTC instant of SCLK 0, given as hlc_edr_dump --sclk-epoch takes
    it (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm], a blank for the T
    too) and read by the record library's own reading of it
    (hlc_edr_cf_epoch), as the dump and the backend read it: as the CF
    reference time in UTC that they write ("2000-01-01 12:00:00"), and in
    POSIX seconds. ValueError when the text is no such time; the library's
    LibraryError (an OSError) when the library cannot be loaded."""

    def __init__(self, text):
        from hlc_edr import _library  # loaded only where an epoch is given
        self.cf = _library.cf_epoch(text)
        # The reference time as the library writes it: "YYYY-MM-DD hh:mm:ss[.f...]".
        day, clock = self.cf.split(" ")
        whole, _, fraction = clock.partition(".")
        fields = [int(x) for x in day.split("-") + whole.split(":")]
        self.posix = calendar.timegm(tuple(fields)) + (float("0." + fraction) if fraction else 0.0)

    def utc(self, sclk):
        """SCLK seconds as a UTC time, to the millisecond."""
        try:
            t = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=round(self.posix + sclk, 3))
        except OverflowError:
            return "(beyond the calendar)"
        return "%04d-%02d-%02d %02d:%02d:%02d.%03d" % (t.year, t.month, t.day, t.hour, t.minute, t.second,
                                                      t.microsecond // 1000)
