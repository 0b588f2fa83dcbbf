#!/bin/sh
# Instructions the driver itself executes per request: runs driver_cost under callgrind and counts
# the self cost (Ir) of the functions defined under driver/ in each batch, divided by the
# batch's requests. Set-up and teardown happen outside the batches and are not counted.
#
#   bench/driver_cost.sh BUILD_DIR [REQUESTS] [FUNCTIONS]
#
# BUILD_DIR holds bench/driver_cost, built with -g (Release: -O3 -g). FUNCTIONS > 0 also lists
# the costliest driver functions of each batch.
set -e
build=${1:?usage: driver_cost.sh BUILD_DIR [REQUESTS] [FUNCTIONS]}
requests=${2:-1000}
functions=${3:-0}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
program=$build/bench/driver_cost
command -v valgrind >/dev/null || { echo "driver_cost.sh: valgrind is not installed" >&2; exit 1; }
[ -x "$program" ] || { echo "driver_cost.sh: $program is not built" >&2; exit 1; }
# Without line information every function's file is unknown and nothing would be counted.
if ! readelf -S "$program" | grep -q debug_line; then
  echo "driver_cost.sh: $program has no debug information (configure with -DCMAKE_CXX_FLAGS=-g)" >&2
  exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" "$program" "$requests" \
  >"$out/log" 2>&1 || { cat "$out/log" >&2; exit 1; }
# Dumps are numbered in the program's order; the unnumbered one is what ran after the last.
dumps=$(ls "$out"/callgrind.out.* | sort -t. -k3 -n)
echo "instructions (Ir) per request, $requests requests per batch. driver: executed in functions"
echo "defined under driver/; memory: the memset/memcpy the driver calls (RtlZeroMemory,"
echo "RtlCopyMemory); all: the whole program meanwhile, simulated kernel and bus included."
printf "%-14s %12s %12s %12s\n" batch driver memory all
python3 "$here/callgrind_self_cost.py" --functions "$functions" "$root/driver" "$requests" $dumps >"$out/table"
cat "$out/table"
# Per packet: the difference between 1024 and 8 packets, over the 1016 packets between them.
awk '{ cost[$1] = $2 }
     END {
       for (d = 0; d < 2; d++) {
         dir = d ? "out" : "in"
         small = cost["iso-" dir "-8"]; large = cost["iso-" dir "-1024"]
         if (small != "" && large != "")
           printf "iso-%-3s per packet %8.1f   fixed part %8.1f\n", dir, (large - small) / 1016, small - 8 * (large - small) / 1016
       }
     }' "$out/table"
