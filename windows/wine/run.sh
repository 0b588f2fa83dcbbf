#!/bin/sh
# make wine: the real xrusb.sys in a fresh Wine prefix on our test bus, and the library's
# application tests against it. Needs no display; every Wine step is bounded in time and the
# prefix's processes are stopped however the run ends.
#   run.sh <windows build dir> <application tests build dir> <work dir>
set -eu
begun=$(date +%s)
win=$(cd "$1" && pwd)
tests=$(cd "$2" && pwd)
work=$3
mkdir -p "$work"
work=$(cd "$work" && pwd)

export WINEPREFIX="$work/prefix"
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs, no display.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

stop() { timeout 30 wineserver -k >/dev/null 2>&1 || true; }
trap stop EXIT INT TERM
stop
rm -rf "$WINEPREFIX" "$work/stage"
mkdir -p "$work/stage"
stage="$work/stage"

cp "$win/windows/xrusb.sys" "$win/windows/usbbus/xrusbbus.sys" "$win/windows/usbbus/xrusbbus.inf" \
   "$win/windows/install/xrusb_install.exe" "$tests/windows/tests/xrusb_lib_tests.exe" "$stage/"
# The install copy of our INF: the test devices' hardware IDs in place of whatever devices it
# lists, so that it matches the bus's children whatever the shipped INF names; and no catalog,
# since nothing here signs one.
# Wine difference: KeSetTimer called from the timer's own DPC deadlocks under Wine (its
# KeSetTimerEx cancels the timer and waits for the running callback, itself, holding the
# dispatcher lock). Windows documents that a timer may be set again from its DPC, which is how
# the driver re-arms the timer that completes deferred cancelled requests; under Wine they are
# completed at once instead (DeferCancelledIrps 0).
awk 'BEGIN { ORS = "\r\n" }
  { sub(/\r$/, "") }
  /^CatalogFile/ { next }
  /^\[/ { devices = tolower($0) == "[devices.ntamd64]" }
  devices && /=.*xrusb_Install/ { if (!done) { print "%DeviceDesc% = xrusb_Install, USB\\VID_1209&PID_7355"; print "%DeviceDesc% = xrusb_Install, USB\\VID_1209&PID_4242"; done = 1 } next }
  { print }
  END { print "[xrusb_Install.NT.HW]"; print "AddReg = xrusb_Wine_AddReg"; print "[xrusb_Wine_AddReg]"; print "HKR,,DeferCancelledIrps,0x00010001,0" }
' "$win/windows/xrusb.inf" > "$stage/xrusb.inf"
grep -q 'PID_7355' "$stage/xrusb.inf"

winpath() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
# step <seconds> <what> <command...>
step() {
  limit=$1 what=$2; shift 2
  started=$(date +%s)
  if ! timeout -k 10 "$limit" "$@"; then
    echo "make wine: $what failed or took more than ${limit}s" >&2
    exit 1
  fi
  echo "make wine: $what done in $(($(date +%s) - started))s"
}

step 120 "boot" wineboot -i
# Wine: a service created while the boot's own processes are still about is not found when the
# installer starts it (the device stays installed but unstarted). The prefix starts afresh instead.
stop
timeout 30 wineserver -w || true
step 90 "install" wine "$stage/xrusb_install.exe" "$(winpath "$stage/xrusb.inf")" "$(winpath "$stage/xrusbbus.inf")"
step 300 "application tests" wine "$stage/xrusb_lib_tests.exe" ${XRUSB_WINE_GTEST_ARGS:-}
echo "make wine: passed in $(($(date +%s) - begun))s from a fresh prefix"
