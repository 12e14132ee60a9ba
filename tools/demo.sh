#!/bin/bash
# Builds hlc_edr, hlc_edr_dump, the record library, the TLM builder and the
# MEC F1D module object (build/mec_f1d.o), and runs hlc_edr on the bundled sample TLM file for
# every unit: one EDR each for GEM, GIM, the Concentrator and MEC, and a text
# file of star-tracker quaternions; then shows each with hdp and draws the
# quick-look PNGs of the EDRs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHLC_TESTS=OFF >/dev/null
cmake --build build -j2 --target hlc_edr hlc_edr_dump hlc_edr_shared tlmbuild mec_f1d_object
out=build/sample
mkdir -p "$out"
for unit in gem gim con mec; do
  build/hlc_edr -inst "$unit" -tlm samples/sample.tlm -edr "$out/sample_$unit.hdf" >"$out/sample_$unit.log"
  tail -n 1 "$out/sample_$unit.log"
done
build/hlc_edr -inst acs -apid quats -tlm samples/sample.tlm -edr "$out/sample_quats.txt" \
  >"$out/sample_acs.log"
tail -n 1 "$out/sample_acs.log"
for unit in gem gim con mec; do
  echo
  echo "== hdp dumpvg $out/sample_$unit.hdf (the products' Vgroups)"
  hdp dumpvg "$out/sample_$unit.hdf" | grep 'name = VG_'
done
echo
echo "== hdp dumpvd -d -n Concentrator_Housekeeping $out/sample_con.hdf"
hdp dumpvd -d -n Concentrator_Housekeeping "$out/sample_con.hdf"
echo "== hdp dumpvd -d -n MEC_f1d $out/sample_mec.hdf (first lines)"
hdp dumpvd -d -n MEC_f1d "$out/sample_mec.hdf" | head -n 12
echo "== hdp dumpsds -h -n GEM_Normal_counts $out/sample_gem.hdf (a GEM count array)"
hdp dumpsds -h -n GEM_Normal_counts "$out/sample_gem.hdf" | grep -E 'Variable Name|Type=|Rank|Size'
echo "== hdp dumpsds -d -n GEM_ManCal_counts $out/sample_gem.hdf (first lines)"
hdp dumpsds -d -n GEM_ManCal_counts "$out/sample_gem.hdf" | head -n 12
echo "== build/hlc_edr_dump $out/sample_gim.hdf (the products, their record counts and times)"
build/hlc_edr_dump "$out/sample_gim.hdf"
echo "== $out/sample_quats.txt"
cat "$out/sample_quats.txt"
echo "== build/mec_f1d.o (the MEC F1D record module as an object of its own)"
ls -l build/mec_f1d.o
echo "== tools/hlc_edr_quicklook $out/sample_*.hdf -o $out/quicklook (one PNG per product)"
tools/hlc_edr_quicklook "$out"/sample_{gem,gim,con,mec}.hdf -o "$out/quicklook" --library build/libhlc_edr.so
