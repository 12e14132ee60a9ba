#!/bin/bash
# Builds and runs the whole test suite three times, with compiler warnings as
# errors: the normal build (RelWithDebInfo), a Release build, then everything
# under AddressSanitizer and UndefinedBehaviorSanitizer. Ends with one line
# that counts the tests of all three runs.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh --tests || exit 1
passed=0
failed=0
broken=()
status=0
run_suite() {  # build-dir cmake-options...
  local dir=$1
  shift
  if ! cmake -S . -B "$dir" "$@" >/dev/null || ! cmake --build "$dir" -j2; then
    broken+=("$dir")
    return 1
  fi
  local log
  log=$(mktemp)
  (cd "$dir" && ctest -j2 --output-on-failure) | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return "$rc"
}
echo "== normal build (RelWithDebInfo)"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHLC_WERROR=ON -DHLC_TESTS=ON || status=1
echo "== release build (Release)"
run_suite build-release -DCMAKE_BUILD_TYPE=Release -DHLC_WERROR=ON -DHLC_TESTS=ON || status=1
echo "== sanitizer build (ASan + UBSan)"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DHLC_SANITIZE=ON -DHLC_WERROR=ON -DHLC_TESTS=ON || status=1
if ((${#broken[@]})); then
  echo "total: $passed passed, $failed failed, builds that failed: ${broken[*]}"
else
  echo "total: $passed passed, $failed failed"
fi
exit $status
