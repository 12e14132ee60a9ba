#!/bin/sh
# Runs the fuzzing target on every input of the given directories and fails
# on any run that does not end with status 0 or 255: a crash, a sanitizer
# report, or a finding of the target's own checks (which abort).
#
#   replay.sh TARGET DIR...
set -u
target=$1
shift
runs=0
bad=0
for dir in "$@"; do
  for input in "$dir"/*; do
    [ -f "$input" ] || continue
    runs=$((runs + 1))
    out=$("$target" "$input" 2>&1 >/dev/null)
    rc=$?
    if [ "$rc" -ne 0 ] && [ "$rc" -ne 255 ]; then
      bad=$((bad + 1))
      echo "FINDING: $input: exit status $rc"
      printf '%s\n' "$out" | tail -n 20
    fi
  done
done
echo "replayed $runs inputs, $bad findings"
[ "$runs" -gt 0 ] && [ "$bad" -eq 0 ]
