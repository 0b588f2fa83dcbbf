#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in a configuration of their own,
# writes each target's seeds, and fuzzes each for a while.
# Usage: fuzz/run.sh [build directory] [seconds per target] [target...]
# FUZZ_RUNS=n runs each target for n inputs instead of a time.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/fuzz}" && cd "${1:-$root/build/fuzz}" && pwd)
seconds=${2:-15}
[ $# -gt 2 ] && shift 2 && targets="$*"
targets=${targets:-usbd_fuzz}
command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (scripts/install-deps.sh installs clang)" >&2; exit 1; }

CC=clang CXX=clang++ cmake -S "$root" -B "$out/tree" -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=fuzzer \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" >/dev/null
seedmakers=""
for t in $targets; do seedmakers="$seedmakers ${t}_seeds"; done
cmake --build "$out/tree" -j"$(nproc)" --target $targets $seedmakers

limit="-max_total_time=$seconds"
[ -n "$FUZZ_RUNS" ] && limit="-runs=$FUZZ_RUNS"
for t in $targets; do
  dir="$out/$t"
  rm -rf "$dir/seeds"
  mkdir -p "$dir/seeds" "$dir/corpus" "$dir/artifacts"
  "$out/tree/fuzz/${t}_seeds" "$dir/seeds"
  # The corpus grows across runs in the build directory; the seeds are remade each time.
  log="$dir/fuzz.log"
  if "$out/tree/fuzz/$t" $limit -max_len=4096 -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$dir/seeds" >"$log" 2>&1; then
    grep -E "^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added))" "$log" | sed "s/^/$t: /"
  else
    tail -n 60 "$log"
    echo "$t: failed; the input is in $dir/artifacts/, the whole log in $log" >&2
    exit 1
  fi
done
