#!/bin/sh
# What `make bench` runs: the data-path benchmarks, free to use both cores and then pinned to one
# (the bus completes on its own thread, and handing requests between cores costs more than the
# work itself here), then the driver's instructions per request under callgrind.
#
#   bench/run.sh BUILD_DIR        BENCH_MIN_TIME (seconds per benchmark, default 0.2)
set -e
build=${1:?usage: run.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
min_time=${BENCH_MIN_TIME:-0.2}
for mode in unpinned pinned; do
  prefix=""
  [ "$mode" = pinned ] && prefix="taskset -c 0"
  result=$build/bench/data_path_$mode.json
  log=$build/bench/data_path_$mode.log
  $prefix "$build/bench/data_path_bench" --benchmark_min_time="$min_time" \
    --benchmark_out="$result" --benchmark_out_format=json >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  python3 "$here/compare.py" "$result" "$mode (load $(cut -d' ' -f1 /proc/loadavg))"
  echo
done
"$here/driver_cost.sh" "$build" 1000
