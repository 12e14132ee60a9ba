#!/bin/bash
# A coverage-guided fuzzing run of the whole program with AFL++:
#
#   tools/fuzz/afl_run.sh [--minutes M] [--jobs N] WORKDIR
#
# builds hlc_edr_fuzz with afl-clang-fast (no sanitizers, for speed) in
# build-afl, makes the seed inputs, runs N afl-fuzz instances (one main, the
# others secondary; default 2) for M minutes (default 10), then replays every
# queue entry, crash and hang through the sanitizer build's hlc_edr_fuzz
# (build-asan, built if missing) and minimizes the queue with afl-cmin into
# WORKDIR/cmin (WORKDIR may not lie under /tmp, which afl-cmin refuses).
# Prints the executions, paths and edge coverage of each instance. To keep
# the corpus: replace tools/fuzz/corpus by WORKDIR/cmin.
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=10
jobs=2
while (($#)); do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    *) break ;;
  esac
done
work=${1:?usage: afl_run.sh [--minutes M] [--jobs N] WORKDIR}
mkdir -p "$work"
work=$(cd "$work" && pwd)

CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B build-afl -DCMAKE_BUILD_TYPE=Release \
  -DHLC_TESTS=OFF >/dev/null
cmake --build build-afl -j"$jobs" --target hlc_edr_fuzz tlmbuild >/dev/null
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DHLC_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target hlc_edr_fuzz >/dev/null

rm -rf "$work/seeds" "$work/out" "$work/cmin"
tools/fuzz/make_seeds.sh build-afl/tools/tlmbuild/tlmbuild "$work/seeds"
cp tools/fuzz/corpus/* "$work/seeds/" 2>/dev/null || true

. tools/fuzz/afl_common.sh
target=build-afl/tools/fuzz/hlc_edr_fuzz
afl_fuzz "$work" "$jobs" f "$target" -V $((minutes * 60)) -t 200
afl_stats "$work"

echo "== replay through the sanitizer build"
HLC_FUZZ_SCRATCH="$work/scratch-replay" sh tools/fuzz/replay.sh build-asan/tools/fuzz/hlc_edr_fuzz \
  "$work"/out/*/queue "$work"/out/*/crashes "$work"/out/*/hangs || true

echo "== minimized corpus"
afl_minimize "$work" 1000 "$target"
