#!/bin/bash
# The batch on a real Slurm, timed: the single-node test cluster's start, a
# job array of ten runs (the bundled sample and a copy of it cut short after
# 30,000 bytes, five units each), and the cluster's stop. Prints the three
# figures, in seconds, for each of ROUNDS rounds.
#
#   bench/slurm_batch_bench.sh BUILD_DIR [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/slurm_batch_bench.sh BUILD_DIR [ROUNDS]}" && pwd)
rounds=${2:-3}
work=$(mktemp -d /tmp/hlc_slurm_bench.XXXXXX)
trap 'bash "$top/tools/slurm/test_cluster.sh" stop "$work/cluster" >/dev/null 2>&1; rm -rf "$work"' EXIT
head -c 30000 "$top/samples/sample.tlm" >"$work/cut.tlm"
now() { echo "$EPOCHREALTIME"; }
diff() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
printf '%-6s %10s %14s %10s\n' round start_s ten_runs_s stop_s
for ((r = 1; r <= rounds; r++)); do
  rm -rf "$work/out" "$work/cluster"
  t0=$(now)
  conf=$(bash "$top/tools/slurm/test_cluster.sh" start "$work/cluster")
  t1=$(now)
  env "$conf" "$top/tools/hlc_edr_batch" --engine slurm --program "$build/hlc_edr" --dump "$build/hlc_edr_dump" \
    -o "$work/out" "$top/samples/sample.tlm" "$work/cut.tlm" >/dev/null 2>&1 || true
  t2=$(now)
  runs=$(($(wc -l <"$work/out/summary.csv") - 1))
  bash "$top/tools/slurm/test_cluster.sh" stop "$work/cluster"
  t3=$(now)
  [[ $runs == 10 ]] || { echo "the batch gave $runs rows, not 10" >&2; exit 1; }
  printf '%-6d %10s %14s %10s\n' "$r" "$(diff "$t0" "$t1")" "$(diff "$t1" "$t2")" "$(diff "$t2" "$t3")"
done
