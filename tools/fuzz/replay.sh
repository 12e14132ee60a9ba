#!/bin/sh
# Runs the fuzzing target on every input of the given directories and fails
# on any run that does not end with one of the statuses of a run that ended
# as it may (0 and 255 for hlc_edr_fuzz, the default; "0 1" for
# hlc_edr_dump_fuzz): a crash, a sanitizer report, or a finding of the
# target's own checks (which abort).
#
#   replay.sh [--ok "STATUS..."] TARGET DIR...
set -u
ok="0 255"
if [ "$1" = "--ok" ]; then
  ok=$2
  shift 2
fi
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
    case " $ok " in
      *" $rc "*) continue ;;
    esac
    bad=$((bad + 1))
    echo "FINDING: $input: exit status $rc"
    printf '%s\n' "$out" | tail -n 40
  done
done
echo "replayed $runs inputs, $bad findings"
[ "$runs" -gt 0 ] && [ "$bad" -eq 0 ]
