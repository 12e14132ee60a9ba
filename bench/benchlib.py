"""What the benchmark scripts share: the Release build they run, inputs made
once and kept, and one timed run through bench/peak_rss."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build(build_dir, targets):
    """A Release build of the programs `targets` (no tests) in build_dir."""
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DHLC_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target"] + list(targets), check=True,
                   stdout=subprocess.DEVNULL)


def made(path, argv):
    """Runs argv, "{}" in it standing for the file it writes, to make path
    (as path.part, then renamed), unless path exists."""
    if not os.path.exists(path):
        subprocess.run([a.replace("{}", path + ".part") for a in argv], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(path + ".part", path)
    return path


def timed(peak_rss, argv, out, cpu=False):
    """Seconds (wall, or processor time with cpu) and peak resident memory
    (KiB) of one run of argv, its standard output and error going to out."""
    wall, processor, kib = timed_both(peak_rss, argv, out)
    return (processor if cpu else wall), kib


def timed_both(peak_rss, argv, out):
    """Wall seconds, processor seconds (user + system, of every thread and of
    every process the program waits for) and peak resident memory (KiB) of
    one run of argv, its standard output and error going to out."""
    # Waited for with wait4, for the processor time of the launcher and the
    # program it waits for; subprocess is told that the child is reaped.
    child = subprocess.Popen([peak_rss, out] + argv, stdout=subprocess.PIPE, text=True)
    result = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.stdout.close()
    child.returncode = status
    if status != 0:
        sys.exit("peak_rss failed on %s" % " ".join(argv))
    seconds, kib, code = result.split()
    if int(code) != 0:
        sys.exit("failed: %s (see %s)" % (" ".join(argv), out))
    # The launcher's own share is a fork and an exec: negligible.
    return float(seconds), usage.ru_utime + usage.ru_stime, int(kib)
