#!/bin/sh
# check_image.sh IMAGE [--no-self-test]
#
# Checks that IMAGE is a loadable x64 kernel driver image of xrusb: PE32+,
# native subsystem, entered at DriverEntry, importing only from ntoskrnl.exe,
# HAL.dll and USBD.SYS (the firmware download's file calls among them),
# relocatable, with a valid CheckSum, no static
# initialisers (nothing would run them), and the event-log message table.
#
# Then, unless --no-self-test, it proves that each check can fail: it writes
# copies of IMAGE with one fault each and expects them to be rejected, for the
# reason that fault should produce.
set -u

here=$(cd "$(dirname "$0")" && pwd)
prefix=${XRUSB_MINGW_PREFIX:-x86_64-w64-mingw32-}
objdump=${prefix}objdump
nm=${prefix}nm
pe_image="python3 $here/pe_image.py"
say() { printf '%s\n' "$*"; }

# check IMAGE: prints one line per fault, returns 0 when there is none.
check() {
  image=$1
  faults=0
  fail() { printf 'FAIL: %s\n' "$*"; faults=$((faults + 1)); }

  if [ ! -f "$image" ]; then
    echo "FAIL: $image does not exist (build it with 'make windows')"
    return 1
  fi
  headers=$($objdump -p "$image" 2>&1) || { fail "objdump -p: $headers"; return 1; }
  sections=$($objdump -h "$image" 2>&1) || { fail "objdump -h: $sections"; return 1; }

  say "$headers" | grep -q 'file format pei-x86-64$' || fail "not a pei-x86-64 image"
  say "$headers" | grep -Eq '^Magic[[:space:]]+020b' || fail "not PE32+"

  subsystem=$(say "$headers" | awk '$1 == "Subsystem" { print $2 }')
  [ "$subsystem" = "00000001" ] || fail "subsystem is ${subsystem:-missing}, not 1 (native)"

  say "$headers" | grep -q 'relocations stripped' &&
    fail "relocations stripped: the kernel cannot load the image at another address"

  checksum=$(say "$headers" | awk '$1 == "CheckSum" { print $2 }')
  case "$checksum" in
    ""|00000000) fail "CheckSum is ${checksum:-missing}, not filled in" ;;
  esac

  # Entry point: ImageBase + AddressOfEntryPoint must be DriverEntry (an
  # extern "C" DriverEntry; ld only warns when --entry names nothing).
  base=$(say "$headers" | awk '$1 == "ImageBase" { print $2 }')
  entry=$(say "$headers" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
  symbols=$($nm "$image" 2>/dev/null)
  driver_entry=$(say "$symbols" | awk '$3 == "DriverEntry" && ($2 == "T" || $2 == "t") { print $1 }')
  if [ -z "$driver_entry" ]; then
    fail "no DriverEntry symbol (stripped image, or DriverEntry not extern \"C\")"
  elif [ -z "$base" ] || [ -z "$entry" ]; then
    fail "no ImageBase or AddressOfEntryPoint in the headers"
  elif [ $((0x$base + 0x$entry)) -ne $((0x$driver_entry)) ]; then
    fail "entry point $base+$entry is not DriverEntry ($driver_entry)"
  fi

  ctors=$(say "$symbols" | awk '$NF ~ /^_GLOBAL__sub_I_/ { print $NF }')
  [ -n "$ctors" ] && fail "static initialisers, never run in a driver: $(echo $ctors)"

  dlls=$(say "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ -n "$dlls" ] || fail "no import table"
  say "$dlls" | grep -qix 'ntoskrnl.exe' || fail "does not import ntoskrnl.exe"
  for dll in $dlls; do
    case $(say "$dll" | tr 'A-Z' 'a-z') in
      ntoskrnl.exe|hal.dll|usbd.sys) ;;
      *) fail "imports from $dll (only ntoskrnl.exe, HAL.dll, USBD.SYS allowed)" ;;
    esac
  done

  # The firmware download reads its file through the kernel's own file calls.
  for routine in ZwCreateFile ZwQueryInformationFile ZwReadFile; do
    say "$headers" | grep -Eq "[[:space:]]$routine\$" || fail "does not import $routine"
  done

  say "$sections" | awk '$2 == ".rsrc"' | grep -q . || fail "no .rsrc section"
  # The message table and the CheckSum's value (pe_image.py computes it).
  if ! out=$($pe_image check "$image"); then
    printf '%s\n' "$out" | while IFS= read -r line; do printf 'FAIL: %s\n' "$line"; done
    faults=$((faults + 1))
  fi

  [ $faults -eq 0 ]
}

# expect_fault KIND REASON: a copy of the image with fault KIND must be
# rejected, and the report must name REASON (so each check is the one firing).
expect_fault() {
  kind=$1
  reason=$2
  copy=$tmp/$kind.sys
  if ! err=$($pe_image mutate "$kind" "$image_ok" "$copy" 2>&1); then
    printf 'SELF-TEST: cannot make fault %s: %s\n' "$kind" "$err"
    selftest_faults=$((selftest_faults + 1))
    return
  fi
  if out=$(check "$copy"); then
    echo "SELF-TEST: fault $kind was not detected"
    selftest_faults=$((selftest_faults + 1))
  elif ! printf '%s\n' "$out" | grep -qF -- "$reason"; then
    printf 'SELF-TEST: fault %s rejected for another reason: %s\n' "$kind" "$out"
    selftest_faults=$((selftest_faults + 1))
  fi
}

self_test() {
  image_ok=$1
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  selftest_faults=0
  expect_fault import "imports from X"
  expect_fault file-import "does not import ZwReadFile"
  expect_fault subsystem "subsystem is 00000002"
  expect_fault entry "is not DriverEntry"
  expect_fault no-driverentry "no DriverEntry symbol"
  expect_fault static-ctor "static initialisers"
  expect_fault relocs-stripped "relocations stripped"
  expect_fault checksum-zero "CheckSum is 00000000"
  expect_fault checksum-stale "does not match the image"
  expect_fault rsrc-dir "no resource directory"
  expect_fault msg-lang "no resource with language 1033"
  expect_fault msg-id "message 0xe0070003 is missing"
  expect_fault msg-text "reads '%1"
  expect_fault msg-tail "not '%2"
  expect_fault msg-ansi "is not UTF-16"
  # objcopy rewrites the image without its resources, as a careless strip would.
  if ${prefix}objcopy --remove-section=.rsrc "$image_ok" "$tmp/stripped.sys" 2>/dev/null; then
    if check "$tmp/stripped.sys" >/dev/null; then
      echo "SELF-TEST: image without .rsrc was not detected"
      selftest_faults=$((selftest_faults + 1))
    fi
  else
    echo "SELF-TEST: objcopy could not strip .rsrc"
    selftest_faults=$((selftest_faults + 1))
  fi
  [ $selftest_faults -eq 0 ] && echo "self-test: every injected fault was rejected"
  [ $selftest_faults -eq 0 ]
}

if [ $# -lt 1 ]; then
  echo "usage: $0 IMAGE [--no-self-test]" >&2
  exit 2
fi
image_arg=$1
if ! check "$image_arg"; then
  echo "$image_arg: FAILED"
  exit 1
fi
echo "$image_arg: ok"
[ "${2:-}" = "--no-self-test" ] && exit 0
self_test "$image_arg"
