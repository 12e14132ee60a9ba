#!/bin/bash
# A coverage-guided fuzzing run of hlc_edr_dump with AFL++:
#
#   tools/fuzz/afl_dump.sh [--execs N] [--minutes M] [--jobs J] WORKDIR
#
# builds hlc_edr_dump_fuzz (the dump with a wrapped entry, afl_dump_main.c)
# with afl-clang-fast in build-afl, writes the seeds (EDRs that hlc_edr
# writes from the TLM seeds of make_seeds.sh, and the damaged EDRs of
# tools/fuzz/dump_corpus, each behind every mode byte that reads it in
# another way), runs J afl-fuzz instances (one main, the others secondary;
# default 2) until they have made N executions together (default 1,000,000)
# or M minutes have passed (default 180), minimizes the queue with afl-cmin
# into WORKDIR/cmin, and replays the minimized queue, the crashes and the
# hangs through the sanitizer build's target (build-asan), where a sanitizer
# report of the dump or of its reading process is a finding too. Prints the
# executions, the paths and the edge coverage of each instance, and the
# findings. WORKDIR may not lie under /tmp, which afl-cmin refuses.
set -euo pipefail
cd "$(dirname "$0")/../.."
execs=1000000
minutes=180
jobs=2
while (($#)); do
  case $1 in
    --execs) execs=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    *) break ;;
  esac
done
work=${1:?usage: afl_dump.sh [--execs N] [--minutes M] [--jobs J] WORKDIR}
mkdir -p "$work"
work=$(cd "$work" && pwd)

CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B build-afl -DCMAKE_BUILD_TYPE=Release \
  -DHLC_TESTS=OFF >/dev/null
cmake --build build-afl -j"$jobs" --target hlc_edr_dump_fuzz hlc_edr tlmbuild >/dev/null
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DHLC_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target hlc_edr_dump_fuzz >/dev/null

# Seeds: byte 0 picks what the dump does (afl_dump_main.c): the listing (0),
# a product as CSV (1), as JSON Lines (2), described (3), exported (4), and
# the export of every product (49).
rm -rf "$work/seeds" "$work/out" "$work/cmin" "$work/edrs"
mkdir -p "$work/seeds" "$work/edrs"
tools/fuzz/make_seeds.sh build-afl/tools/tlmbuild/tlmbuild "$work/tlm"
for tlm in "$work"/tlm/*; do
  name=$(basename "$tlm")
  inst=$(head -c1 "$tlm" | od -An -tu1 | tr -d ' ')
  unit=(gem gim con mec acs)
  [ "${unit[$inst]}" = acs ] && continue
  tail -c +3 "$tlm" >"$work/edrs/$name.tlm"
  (cd "$work/edrs" && "$OLDPWD/build-afl/hlc_edr" -inst "${unit[$inst]}" -tlm "$name.tlm" \
    -edr "$name.hdf" >/dev/null) || true
done
for edr in "$work"/edrs/*.hdf tools/fuzz/dump_corpus/*; do
  [ -f "$edr" ] || continue
  for mode in 0 1 2 3 4 49; do
    { printf "\\x$(printf %02x "$mode")"; cat "$edr"; } >"$work/seeds/$(basename "$edr")-$mode"
  done
done

. tools/fuzz/afl_common.sh
target=build-afl/tools/fuzz/hlc_edr_dump_fuzz
afl_fuzz "$work" "$jobs" d "$target" -E $((execs / jobs)) -V $((minutes * 60)) -t 2000
afl_stats "$work"

echo "== minimized queue"
afl_minimize "$work" 5000 "$target"

echo "== replay through the sanitizer build"
HLC_FUZZ_SCRATCH="$work/scratch-replay" sh tools/fuzz/replay.sh --ok "0 1" \
  build-asan/tools/fuzz/hlc_edr_dump_fuzz "$work/cmin" "$work"/out/*/crashes "$work"/out/*/hangs
