#!/bin/sh
# Builds the fuzz target with clang (libFuzzer, ASan, UBSan), writes the seed corpus with the
# descriptor builder, and fuzzes for a while.
# Usage: fuzz/run.sh [build directory] [seconds]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/fuzz}" && cd "${1:-$root/build/fuzz}" && pwd)
seconds=${2:-15}
cxx=${FUZZ_CXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found (scripts/install-deps.sh installs clang)" >&2; exit 1; }

flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -I$root"
sources="$root/sim/usb/usbd_library.cpp $root/sim/usb/descriptors.cpp $root/fuzz/pool_shim.cpp"
$cxx $flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  "$root/fuzz/usbd_fuzz.cpp" $sources -o "$out/usbd_fuzz"
$cxx $flags "$root/fuzz/make_seeds.cpp" "$root/sim/usb/descriptors.cpp" -o "$out/make_seeds"

rm -rf "$out/seeds"
mkdir -p "$out/seeds" "$out/corpus" "$out/artifacts"
"$out/make_seeds" "$out/seeds"
# The corpus grows across runs in the build directory; the seeds are remade each time.
log="$out/usbd_fuzz.log"
if "$out/usbd_fuzz" -max_total_time="$seconds" -max_len=1024 -timeout=5 -print_final_stats=1 \
     -artifact_prefix="$out/artifacts/" "$out/corpus" "$out/seeds" >"$log" 2>&1; then
  grep -E "^(Done|stat::(average_exec_per_sec|new_units_added))" "$log" | sed 's/^/usbd_fuzz: /'
else
  tail -n 60 "$log"
  echo "usbd_fuzz: failed; the input is in $out/artifacts/, the whole log in $log" >&2
  exit 1
fi
