#!/usr/bin/python3
"""Makes docs/quicklook_gem_normal.png, the README's quick-look example: a
builder TLM file of GEM normal records (four spins each, one a minute) whose
counts peak at an ESA level that climbs and falls back, with Poisson noise,
twenty minutes without records and one record sent twice, through hlc_edr
and hlc_edr_quicklook at its defaults.

  docs/quicklook_example.py [BUILD_DIR]     (default: build)
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(top, "tests"))
import edr_patterns as ep  # noqa: E402

build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "build")
gem_normal = ep.BY_MODULE["gem_normal"]
rng = np.random.default_rng(17)
levels, sectors = np.arange(20), np.arange(24)


def peak(k, data):
    """Counts by sector, CEM and level: a peak that climbs through the ESA
    levels over the first hour and falls back, brighter towards sector 0."""
    centre = 4 + 11 * math.sin(math.pi * k / 110)
    mean = 6 * np.exp(-((levels - centre) / 2.2) ** 2)
    mean = mean[None, None, :] * (1 + 0.6 * np.cos(sectors * np.pi / 12))[:, None, None] * np.ones((1, 7, 1))
    counts = np.minimum(rng.poisson(mean), 255).astype(np.uint8)
    data[94:94 + counts.size] = counts.tobytes()


with tempfile.TemporaryDirectory() as tmp:
    d = ep.Description()
    d.records(gem_normal, list(range(40)) + [39] + list(range(60, 100)), patch=peak)
    tlm = os.path.join(tmp, "example.tlm")
    d.build(os.path.join(build, "tools", "tlmbuild", "tlmbuild"), tlm)
    edr = os.path.join(tmp, "example_gem.hdf")
    subprocess.run([os.path.join(build, "hlc_edr"), "-inst", "gem", "-apid", "normal", "-tlm", tlm,
                    "-edr", edr], stdout=subprocess.DEVNULL, check=True)
    subprocess.run([os.path.join(top, "tools", "hlc_edr_quicklook"), edr, "-o", tmp,
                    "--library", os.path.join(build, "libhlc_edr.so")], check=True, stdout=subprocess.DEVNULL)
    shutil.copy(os.path.join(tmp, "example_gem_GEM_Normal.png"),
                os.path.join(top, "docs", "quicklook_gem_normal.png"))
