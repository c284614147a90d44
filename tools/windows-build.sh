#!/usr/bin/env bash
# The Windows build and its checks under Wine:
#   tools/windows-build.sh [builddir]      (default build-win)
# Cross-builds the static quillon.exe and the unit tests with MinGW-w64
# (posix threads), checks that the executable imports only KERNEL32 and the
# C runtime, then under Wine runs the unit tests and quillon.exe --image on
# every scenario volume, requiring the same item lines as the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-win}
linux=build-release

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build"
exe="$build/quillon.exe"
echo "quillon.exe: $(stat -c %s "$exe") bytes"

imports=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}' | sort -u)
echo "imports: $(echo $imports)"
for dll in $imports; do
  case "$dll" in
    KERNEL32.dll|msvcrt.dll) ;;
    *) echo "windows-build: quillon.exe imports $dll" >&2; exit 1 ;;
  esac
done

command -v wine >/dev/null || { echo "windows-build: wine is missing" >&2; exit 1; }
export WINEDEBUG=-all LANG=C.UTF-8 WINEPREFIX="$root/$build/wineprefix"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi

# The tests unpack their images through a POSIX shell, which Wine lacks:
# unpack them here, stamped as the tests expect.
mkdir -p "$build/images"
for gz in tests/data/*.img.gz; do
  name=$(basename "$gz" .gz)
  if [ ! -f "$build/images/$name.ok" ] || [ "$gz" -nt "$build/images/$name.ok" ]; then
    gzip -dc "$gz" | cp --sparse=always /dev/stdin "$build/images/$name"
    touch "$build/images/$name.ok"
  fi
done

echo "== unit tests under Wine"
status=0
(cd "$build" && wine tests/quillon_tests.exe --gtest_brief=1 >unit-tests.log 2>&1) || status=$?
tr -d '\r' <"$build/unit-tests.log" | tail -n 5
[ "$status" -eq 0 ] || { echo "windows-build: unit tests failed under Wine (see $build/unit-tests.log)" >&2; exit 1; }

echo "== quillon.exe --image on the scenario volumes"
cmake -S . -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C "$linux" quillon >/dev/null
items() { grep -a '^  FRN \|^Total \|^Error: ' | tr -d '\r'; }
for img in "$build"/images/*.img; do
  name=$(basename "$img" .img)
  want=$("$linux/quillon" --image="$img" 'E:\2' | sed "s|$img|IMAGE|" | items)
  got=$(wine "$exe" --image="Z:$(readlink -f "$img" | tr / '\\')" 'E:\2' 2>&1 | tr -d '\r' |
        sed 's|Z:.*\.img|IMAGE|' | items)
  if [ "$want" != "$got" ]; then
    echo "windows-build: $name: the Windows build lists other items" >&2
    diff <(echo "$want") <(echo "$got") >&2 || true
    exit 1
  fi
  echo "$name: $(echo "$got" | grep -c '^  FRN ' || true) items, as on Linux"
done
wineserver -k 2>/dev/null || true
echo "The FUSE-mapped drive E: check (Win32 path under Wine) is not part of this script yet."
