#!/bin/sh
# The share of driver/ lines the fuzzers reach: builds the fuzz targets once more, driver/ with
# clang's source-based coverage, replays each target's corpus and seeds (as fuzz/run.sh left them in the
# build directory) and prints the lines of driver/ reached per target and by all of them together.
# Usage: fuzz/coverage.sh [build directory] [target...]   (targets default as in fuzz/run.sh)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/fuzz}" && cd "${1:-$root/build/fuzz}" && pwd)
[ $# -gt 1 ] && shift 1 && targets="$*"
if [ -z "$targets" ]; then
  for t in usbd_fuzz app_fuzz device_fuzz; do [ -f "$root/fuzz/$t.cpp" ] && targets="$targets $t"; done
fi
profdata=$(command -v llvm-profdata || command -v llvm-profdata-14) || { echo "coverage: llvm-profdata not found (Debian: llvm-14)" >&2; exit 1; }
cov=$(command -v llvm-cov || command -v llvm-cov-14) || { echo "coverage: llvm-cov not found (Debian: llvm-14)" >&2; exit 1; }

tree="$out/coverage-tree"
CC=clang CXX=clang++ cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=Debug -DXRUSB_SANITIZE=fuzzer \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O2" -DXRUSB_FUZZ_COVERAGE=ON >/dev/null
cmake --build "$tree" -j"$(nproc)" --target $targets $(for t in $targets; do echo "${t}_seeds"; done)

profiles="$out/coverage"
rm -rf "$profiles"
mkdir -p "$profiles"
objects=""
for t in $targets; do
  mkdir -p "$out/$t/corpus" "$out/$t/seeds"
  "$tree/fuzz/${t}_seeds" "$out/$t/seeds"
  # -runs=0: every input of the directories once, nothing new.
  (cd "$profiles" && ASAN_OPTIONS=detect_leaks=0 LLVM_PROFILE_FILE="$profiles/$t-%p.profraw" "$tree/fuzz/$t" -runs=0 -detect_leaks=0 -timeout=20 \
     -rss_limit_mb=4096 "$out/$t/corpus" "$out/$t/seeds" >"$profiles/$t.log" 2>&1) ||
    { tail -n 30 "$profiles/$t.log"; echo "coverage: $t failed on its corpus" >&2; exit 1; }
  "$profdata" merge -sparse -o "$profiles/$t.profdata" "$profiles/$t"-*.profraw
  # A target without driver code has no coverage mapping at all.
  if "$cov" export -summary-only -instr-profile="$profiles/$t.profdata" "$tree/fuzz/$t" >"$profiles/$t.json" 2>/dev/null; then
    objects="$objects -object=$tree/fuzz/$t"
  else
    echo '{"data": [{"files": []}]}' >"$profiles/$t.json"
  fi
done
"$profdata" merge -sparse -o "$profiles/all.profdata" "$profiles"/*-*.profraw
echo '{"data": [{"files": []}]}' >"$profiles/all.json"
[ -n "$objects" ] && "$cov" export -summary-only -instr-profile="$profiles/all.profdata" $objects >"$profiles/all.json"

# Lines of driver/ files: reached / instrumented, summed over the files a target links.
for name in $targets all; do
  python3 - "$profiles/$name.json" "$root/driver/" "$name" <<'EOF'
import json, os, sys
data = json.load(open(sys.argv[1]))
covered = count = 0
for f in data["data"][0]["files"]:
    if os.path.realpath(f["filename"]).startswith(sys.argv[2]):
        covered += f["summary"]["lines"]["covered"]
        count += f["summary"]["lines"]["count"]
share = f"{100.0 * covered / count:.1f} %" if count else "no driver code"
print(f"{sys.argv[3]}: driver/ lines reached {covered} of {count} ({share})")
EOF
done
echo "per-file report: $cov report -instr-profile=$profiles/all.profdata $objects $root/driver"
