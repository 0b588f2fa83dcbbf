#!/bin/sh
# Installs the Debian packages the builds need, when they are missing and we are root.
# "install-deps.sh bench" adds what only `make bench` needs (callgrind and the script that reads it).
set -e
need=""
extra=""
[ "$1" = bench ] && extra="valgrind python3"
check() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || need="$need $1"; }
for p in cmake make g++ googletest libgtest-dev libbenchmark-dev \
         gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev \
         gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix \
         clang libclang-rt-14-dev wine64 python3 tshark usb.ids $extra; do
  check "$p"
done
[ -z "$need" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing packages:$need (run as root, or install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; the tests only read files.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq || true
apt-get install -y -qq $need
