#!/bin/sh
# Fails unless OBJECT defines every SYMBOL as a global (functions and data).
# usage: check_object_defines.sh OBJECT SYMBOL...
set -eu
obj=$1
shift
defined=$(nm -g --defined-only "$obj" | awk '{print $NF}')
bad=0
for sym in "$@"; do
  if ! printf '%s\n' "$defined" | grep -qx "$sym"; then
    echo "$(basename "$obj") does not define $sym"
    bad=1
  fi
done
echo "$(basename "$obj"): $# symbols looked for"
exit $bad
