#!/bin/bash
# Builds hlc_edr and runs it on the bundled sample TLM file: Concentrator
# housekeeping into an EDR, star-tracker quaternions into a text file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target hlc_edr tlmbuild
out=build/sample
mkdir -p "$out"
build/hlc_edr -inst con -tlm samples/sample.tlm -edr "$out/sample_con.hdf"
build/hlc_edr -inst acs -apid quats -tlm samples/sample.tlm -edr "$out/sample_quats.txt"
echo
echo "== hdp dumpvg $out/sample_con.hdf (first lines)"
hdp dumpvg "$out/sample_con.hdf" | sed -n 1,12p
echo "== hdp dumpvd -d $out/sample_con.hdf"
hdp dumpvd -d "$out/sample_con.hdf"
echo "== $out/sample_quats.txt"
cat "$out/sample_quats.txt"
