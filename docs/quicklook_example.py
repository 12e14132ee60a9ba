#!/usr/bin/python3
"""Makes docs/quicklook_gem_normal.png, the README's quick-look example: a
builder TLM file of 16 GEM normal records whose counts peak at an ESA level
that climbs from record to record, through hlc_edr and hlc_edr_quicklook.

  docs/quicklook_example.py [BUILD_DIR]     (default: build)
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(top, "tests"))
import edr_patterns as ep  # noqa: E402

build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build")
gem_normal = ep.BY_MODULE["gem_normal"]


def peak(k, data):
    centre = 3 + 13 * k / 15
    for s in range(24):
        for c in range(7):
            for level in range(20):
                v = 200 * math.exp(-((level - centre) / 2.5) ** 2) * (1 + 0.3 * math.cos(s * math.pi / 12))
                data[94 + (s * 7 + c) * 20 + level] = min(255, int(v))


with tempfile.TemporaryDirectory() as tmp:
    d = ep.Description()
    d.records(gem_normal, range(16), patch=peak)
    tlm = os.path.join(tmp, "example.tlm")
    d.build(os.path.join(build, "tools", "tlmbuild", "tlmbuild"), tlm)
    edr = os.path.join(tmp, "example_gem.hdf")
    subprocess.run([os.path.join(build, "hlc_edr"), "-inst", "gem", "-apid", "normal", "-tlm", tlm,
                    "-edr", edr], stdout=subprocess.DEVNULL, check=True)
    subprocess.run([os.path.join(top, "tools", "hlc_edr_quicklook"), edr, "-o", tmp], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(tmp, "example_gem_GEM_Normal.png"),
                os.path.join(top, "docs", "quicklook_gem_normal.png"))
