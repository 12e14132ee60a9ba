# What the AFL++ run scripts share; sourced by afl_run.sh and afl_dump.sh,
# which run from the top of the repository.

export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1
export LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0

# afl_fuzz WORK JOBS NAME TARGET AFL-OPTION...: JOBS afl-fuzz instances on the
# seeds in WORK/seeds (one main, the others secondary, named NAME0 ...), each
# in a scratch folder of its own, until all have ended.
afl_fuzz() {
  local work=$1 jobs=$2 name=$3 target=$4 j role pids=()
  shift 4
  for ((j = 0; j < jobs; j++)); do
    role=-S
    ((j == 0)) && role=-M
    HLC_FUZZ_SCRATCH="$work/scratch$j" afl-fuzz -i "$work/seeds" -o "$work/out" "$role" "$name$j" \
      "$@" -- "$target" @@ >"$work/afl$j.log" 2>&1 &
    pids+=($!)
  done
  wait "${pids[@]}"
}

# afl_stats WORK: each instance's executions, paths, edge coverage, crashes
# and hangs, and the executions in all.
afl_stats() {
  local total=0 stats
  for stats in "$1"/out/*/fuzzer_stats; do
    echo "== $(basename "$(dirname "$stats")")"
    grep -E '^(execs_done|execs_per_sec|corpus_count|edges_found|total_edges|bitmap_cvg|saved_crashes|saved_hangs) ' "$stats"
    total=$((total + $(awk '$1 == "execs_done" {print $3}' "$stats")))
  done
  echo "executions in all: $total"
}

# afl_minimize WORK TIMEOUT_MS TARGET: every instance's queue, minimized with
# afl-cmin into WORK/cmin.
afl_minimize() {
  local work=$1 timeout=$2 target=$3 queue instance input
  mkdir -p "$work/all"
  for queue in "$work"/out/*/queue; do
    instance=$(basename "$(dirname "$queue")")
    for input in "$queue"/id*; do cp "$input" "$work/all/$instance-$(basename "$input")"; done
  done
  HLC_FUZZ_SCRATCH="$work/scratch-cmin" afl-cmin -i "$work/all" -o "$work/cmin" -t "$timeout" \
    -- "$target" @@ >"$work/cmin.log" 2>&1
  echo "$(ls "$work/cmin" | wc -l) inputs in $work/cmin"
}
