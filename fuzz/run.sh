#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in a configuration of their own,
# writes each target's seeds, and fuzzes each for a while.
# Usage: fuzz/run.sh [build directory] [seconds per target] [target...]
# Targets default to every fuzz/<name>_fuzz.cpp there is. FUZZ_RUNS=n runs each target for n
# inputs instead of a time; FUZZ_JOBS=n runs n processes of each target side by side.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/fuzz}" && cd "${1:-$root/build/fuzz}" && pwd)
seconds=${2:-15}
[ $# -gt 2 ] && shift 2 && targets="$*"
if [ -z "$targets" ]; then
  for t in usbd_fuzz app_fuzz device_fuzz; do [ -f "$root/fuzz/$t.cpp" ] && targets="$targets $t"; done
fi
command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (scripts/install-deps.sh installs clang)" >&2; exit 1; }

CC=clang CXX=clang++ cmake -S "$root" -B "$out/tree" -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=fuzzer \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O2" >/dev/null
seedmakers=""
for t in $targets; do seedmakers="$seedmakers ${t}_seeds"; done
cmake --build "$out/tree" -j"$(nproc)" --target $targets $seedmakers

limit="-max_total_time=$seconds"
[ -n "$FUZZ_RUNS" ] && limit="-runs=$FUZZ_RUNS"
jobs=""
[ -n "$FUZZ_JOBS" ] && jobs="-jobs=$FUZZ_JOBS -workers=$FUZZ_JOBS"
for t in $targets; do
  dir="$out/$t"
  rm -rf "$dir/seeds"
  mkdir -p "$dir/seeds" "$dir/corpus" "$dir/artifacts"
  "$out/tree/fuzz/${t}_seeds" "$dir/seeds"
  # The corpus grows across runs in the build directory; the seeds are remade each time.
  log="$dir/fuzz.log"
  rm -f "$dir"/fuzz-*.log
  # The two targets that run a whole machine per input leave leaks to the world's end checks
  # (the driver allocates only from the kernel pool): LeakSanitizer would take the thread-local
  # data of the substitute's reused host threads, which outlive an input, for leaks, and its
  # scans cost a quarter of the device side's time. For the application side, the entropic
  # schedule's bookkeeping of its many features would cost as much as the input itself.
  extra=""
  leaks=1
  [ "$t" = app_fuzz ] && extra="-entropic=0 -detect_leaks=0" && leaks=0
  [ "$t" = device_fuzz ] && extra="-detect_leaks=0" && leaks=0
  if (cd "$dir" && ASAN_OPTIONS="detect_leaks=$leaks${ASAN_OPTIONS:+:$ASAN_OPTIONS}" "$out/tree/fuzz/$t" $limit $jobs $extra -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$dir/seeds" >"$log" 2>&1); then
    cat "$log" "$dir"/fuzz-*.log 2>/dev/null |
      grep -E "^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))" | sed "s/^/$t: /"
  else
    tail -n 60 "$log"
    for l in "$dir"/fuzz-*.log; do [ -f "$l" ] && grep -q "ERROR\|fault\|VERIFIER" "$l" && tail -n 60 "$l"; done
    echo "$t: failed; the input is in $dir/artifacts/, the whole log in $log" >&2
    exit 1
  fi
done
