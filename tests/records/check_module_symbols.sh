#!/bin/sh
# Fails when a record-module object needs any symbol that neither HDF4 nor the
# C library defines (a C++ runtime symbol, another project object, ...).
# usage: check_module_symbols.sh OBJECT LIBRARY...
set -eu
obj=$1
shift
defined=$(mktemp)
trap 'rm -f "$defined"' EXIT
for lib in "$@"; do
  nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//'
done | sort -u >"$defined"
bad=0
for sym in $(nm -u "$obj" | awk '{print $NF}' | sed 's/@.*//' | sort -u); do
  case $sym in
    _GLOBAL_OFFSET_TABLE_ | __asan_* | __ubsan_* | __sanitizer_*) continue ;;
  esac
  if ! grep -qx "$sym" "$defined"; then
    echo "undefined symbol outside HDF4 and libc: $sym"
    bad=1
  fi
done
count=$(nm -u "$obj" | wc -l)
echo "$(basename "$obj"): $count undefined symbols checked"
exit $bad
