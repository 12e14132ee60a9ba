#!/bin/sh
# Runs hlc_edr_dump on every file of the given directories in every way it
# reads a file: the listing, the netCDF-4 export, each product (as the dump
# lists them with --products) as CSV, and the products that the listing
# shows as JSON Lines and described. Fails on any run that does not end with
# status 0, or with status 1 after an "ERROR: " line; on a run that ends by
# a signal or takes longer than a minute; on a work file that an export
# leaves; and on any sanitizer report. Each run has 2 s of CPU time, so that
# the dump bounds its reading process to 1 s: a file on which the HDF4
# library loops costs a second per run.
#
#   dump_replay.sh DUMP DIR...
set -u
dump=$1
shift
products=$("$dump" --products) || exit 1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
runs=0
bad=0
check() {  # arguments of one run
  runs=$((runs + 1))
  (ulimit -t 2 && exec timeout 60 "$dump" "$@") >/dev/null 2>"$scratch/err"
  rc=$?
  why=""
  if ls "$scratch"/out.nc.*.tmp >/dev/null 2>&1; then
    why="a work file left"
    rm -f "$scratch"/out.nc.*.tmp
  elif [ "$rc" -ne 0 ] && [ "$rc" -ne 1 ]; then
    why="exit status $rc"
  elif [ "$rc" -eq 1 ] && ! grep -q '^ERROR: ' "$scratch/err"; then
    why="exit status 1 without an ERROR line"
  elif grep -qE 'Sanitizer|runtime error:' "$scratch/err"; then
    why="sanitizer report"
  fi
  if [ -n "$why" ]; then
    bad=$((bad + 1))
    echo "FINDING: $*: $why"
    tail -n 20 "$scratch/err"
  fi
}
for dir in "$@"; do
  for input in "$dir"/*; do
    [ -f "$input" ] || continue
    check "$input"
    check "$input" --netcdf "$scratch/out.nc"
    listed=$( (ulimit -t 2 && exec timeout 60 "$dump" "$input") 2>/dev/null | awk 'NR > 1 {print $1}')
    for p in $products; do
      check "$input" "$p"
    done
    for p in $listed; do
      check "$input" "$p" --format jsonl
      check "$input" "$p" --describe
    done
  done
done
echo "replayed $runs runs, $bad findings"
[ "$runs" -gt 0 ] && [ "$bad" -eq 0 ]
