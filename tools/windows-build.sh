#!/usr/bin/env bash
# The Windows build and its checks under Wine:
#   tools/windows-build.sh [builddir]      (default build-win)
# Cross-builds the static quillon.exe and the unit tests with MinGW-w64
# (posix threads), checks that the executable imports only KERNEL32 and the
# C runtime, then under Wine runs the unit tests and quillon.exe --image on
# every scenario volume, requiring the same item lines as the Linux build.
# Last, where this machine allows it (root, FUSE, a loop device, ntfs-3g),
# it mounts the basic test volume read-only, maps it as Wine's drive E: and
# runs quillon.exe and the drive tests of the unit tests on the real Win32
# path; then, on the basic and the journal volume mapped so, a test build of
# quillon.exe whose control codes are answered from the image must list
# what the Linux image probe lists. Where the machine does not allow it, it
# says that these checks were skipped, and why.
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

# Whatever the drive E: check sets up is undone on every way out: Wine's
# drive links, its server (it holds files on the mount open), the mount,
# the loop device.
drive_mnt="" drive_loop=""
cleanup() {
  rm -f "$WINEPREFIX/dosdevices/e:" "$WINEPREFIX/dosdevices/e::"
  wineserver -k 2>/dev/null || true
  timeout 10 wineserver -w 2>/dev/null || true
  if [ -n "$drive_mnt" ]; then
    umount "$drive_mnt" 2>/dev/null || umount -l "$drive_mnt" 2>/dev/null || true
    rmdir "$drive_mnt" 2>/dev/null || true
  fi
  [ -z "$drive_loop" ] || losetup -d "$drive_loop" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
rm -f "$WINEPREFIX/dosdevices/e:" "$WINEPREFIX/dosdevices/e::"  # left by a run that was killed
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

echo "== quillon.exe on container copies of the basic volume"
# Split raw is read natively; EWF needs libewf, which the static Windows
# executable does not carry: one line names the format and ewfmount.
containers="$build/images/containers"
rm -rf "$containers" && mkdir -p "$containers"
split -b 3000000 -d -a 3 --numeric-suffixes=1 "$build/images/basic.img" "$containers/basic.raw."
want=$("$linux/quillon" --image="$build/images/basic.img" 'E:\2' | items)
got=$(wine "$exe" --image="Z:$(readlink -f "$containers/basic.raw.001" | tr / '\\')" 'E:\2' 2>&1 | tr -d '\r' | items)
[ "$want" = "$got" ] || { echo "windows-build: the split raw copy lists other items" >&2; exit 1; }
echo "split raw (.001-.003): $(echo "$got" | grep -c '^  FRN ' || true) items, as the raw volume"
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -q -t "$containers/basic" -c none -f encase6 "$build/images/basic.img" >/dev/null
  got=$(wine "$exe" --image="Z:$(readlink -f "$containers/basic.E01" | tr / '\\')" 'E:\2' 2>&1 | tr -d '\r')
  case "$got" in
    "Error: cannot use image "*": it is an EWF (E01) image, which this build does not read; mount it with ewfmount"*) ;;
    *) echo "windows-build: the E01 copy: $got" >&2; exit 1 ;;
  esac
  echo "EWF (E01): $got"
else
  echo "EWF (E01): skipped, ewfacquire (ewf-tools) is not installed"
fi

echo "== drive E: under Wine (the basic test volume, mounted read-only)"
# Wine passes volume handles' reads through to the device behind e:: and
# answers every NTFS control code with error 50, in its own words: the
# journal and the MFT scan fail with exactly these lines, after the folder
# was identified through FileIdInfo (its record number in the progress
# lines, no warning in the debug run). The unit tests' Win32DriveE.* then
# drive the backend itself: raw reads, the listing, the file id.
drive_e_skip() {
  echo "SKIPPED: the drive E: check: $1"
  return 0
}
# Whether this machine can map a test volume as E: at all; the reason when
# not, in $drive_e_why.
drive_e_possible() {
  drive_e_why=""
  if [ "$(id -u)" -ne 0 ]; then drive_e_why="not running as root (losetup and the mount need it)"
  elif ! command -v losetup >/dev/null; then drive_e_why="losetup is missing"
  elif ! command -v ntfs-3g >/dev/null; then drive_e_why="ntfs-3g is missing"
  elif ! [ -c /dev/fuse ] || ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then drive_e_why="no usable /dev/fuse on this machine"
  fi
  [ -z "$drive_e_why" ]
}
# map_drive_e IMAGE: the image behind a read-only loop device, mounted
# read-only with ntfs-3g, as Wine's drive E: (e: the mount, e:: the device).
# Fails with the reason in $drive_e_why.
map_drive_e() {
  local err
  if ! drive_loop=$(losetup -r -f --show "$1" 2>"$build/drive-e.err"); then
    drive_e_why="no loop device could be set up ($(cat "$build/drive-e.err"))"; drive_loop=""; return 1
  fi
  drive_mnt=$(mktemp -d /tmp/quillon-drive-e.XXXXXX)
  if ! err=$(ntfs-3g -o ro "$drive_loop" "$drive_mnt" 2>&1); then
    rmdir "$drive_mnt"; drive_mnt=""
    losetup -d "$drive_loop" 2>/dev/null || true; drive_loop=""
    drive_e_why="the FUSE mount with ntfs-3g failed ($err)"; return 1
  fi
  ln -sfn "$drive_mnt" "$WINEPREFIX/dosdevices/e:"
  ln -sfn "$drive_loop" "$WINEPREFIX/dosdevices/e::"
}
unmap_drive_e() {
  cleanup
  drive_mnt="" drive_loop=""
}
drive_e_check() {
  local img="$build/images/basic.img" manifest=tests/data/basic.manifest
  drive_e_possible || { drive_e_skip "$drive_e_why"; return; }
  map_drive_e "$img" || { drive_e_skip "$drive_e_why"; return; }

  # What the image holds, from its manifest: E:\2's record and its live names.
  local record names
  record=$(awk -F'\t' '$1 == "live" && $8 == "E:\\2" {print $2}' "$manifest")
  names=$(awk -F'\t' -v r="$record" '$1 == "live" && $4 == r {printf "%s%s", sep, $7; sep = "/"}' "$manifest")
  [ -n "$record" ] && [ -n "$names" ] || { echo "windows-build: $manifest names no E:\\2" >&2; exit 1; }

  local fails=0 out
  want_line() {  # want_line RUN LINE: RUN's output holds LINE
    if ! grep -qxF -- "$2" <<<"$out"; then
      echo "windows-build: drive E: ($1): no line \"$2\"" >&2; fails=1
    fi
  }
  out=$(timeout 120 wine "$exe" 'E:\2' 2>&1 | tr -d '\r') || true
  want_line run "USN: 读取删除日志失败:ENUM_USN_DATA: Request not supported. (os error 50)"
  want_line run "MFT: MFT failed: Request not supported. (os error 50)"
  want_line run "Total 0 paths (deduplicated by FRN|path)"
  grep -qE "^  \[[0-9]+/[0-9]+\] Directory FRN=$record[ ,]" <<<"$out" ||
    { echo "windows-build: drive E: (run): no progress line with Directory FRN=$record" >&2; fails=1; }
  local run_out=$out
  out=$(timeout 120 wine "$exe" --debug 'E:\2' 2>&1 | tr -d '\r') || true
  want_line debug "USN query failed: QUERY_USN_JOURNAL: Request not supported. (os error 50)"
  want_line debug "MFT query failed: Request not supported. (os error 50)"
  want_line debug "USN: 读取删除日志失败:ENUM_USN_DATA: Request not supported. (os error 50)"
  want_line debug "MFT: MFT failed: Request not supported. (os error 50)"
  if grep -q '^Warning: ' <<<"$out"; then
    echo "windows-build: drive E: (debug): $(grep '^Warning: ' <<<"$out")" >&2; fails=1
  fi
  if [ "$fails" -ne 0 ]; then
    printf '%s\n--- debug run:\n%s\n' "$run_out" "$out" >&2
    exit 1
  fi
  echo "quillon.exe 'E:\2': $(grep -E '^(USN|MFT): ' <<<"$run_out" | tr '\n' ' ')"

  local status=0
  (cd "$build" && QUILLON_DRIVE_E_IMAGE="Z:$(readlink -f images/basic.img | tr / '\\')" \
     QUILLON_DRIVE_E_NAMES="$names" QUILLON_DRIVE_E_RECORD="$record" \
     timeout 300 wine tests/quillon_tests.exe --gtest_filter='Win32DriveE.*' >drive-e-tests.log 2>&1) || status=$?
  tr -d '\r' <"$build/drive-e-tests.log" | grep -E '^\[ +(OK|FAILED|SKIPPED|PASSED) +\]' || true
  [ "$status" -eq 0 ] || { echo "windows-build: drive E: unit tests failed (see $build/drive-e-tests.log)" >&2; exit 1; }
  # With E: mapped, none of them may skip, and some must have run.
  if grep -q '^\[  SKIPPED \]' "$build/drive-e-tests.log" || ! grep -q '^\[  PASSED  \] [1-9]' "$build/drive-e-tests.log"; then
    echo "windows-build: drive E: unit tests did not all run (see $build/drive-e-tests.log)" >&2; exit 1
  fi
  unmap_drive_e
}
drive_e_check

echo "== the Win32 backend end to end under Wine: control codes from the image, drive E:"
# quillon_control_standin.exe is quillon.exe with the backend's one
# DeviceIoControl call answered for \\.\E: from the image itself, by the
# image backend's own code; everything else (opening the volume and the
# folders, raw reads, FileIdInfo, listings, final path names, the console)
# is Wine's. On each test volume mapped as E: it must list what the Linux
# image probe lists, with the same summary lines, and its debug run must
# print the same counters. Times in milliseconds differ between runs.
standin="$build/tests/quillon_control_standin.exe"
# The lines compared: the summary lines and the items; in a debug run also
# the debug block before the list. Set aside: times in milliseconds, which
# differ from run to run; the wording of a system message (Wine's message
# table is not ours), its code kept; the folder's file id in the debug block,
# which has no sequence number under Wine (its FileIdInfo gives the record
# number alone).
compared_lines() {
  tr -d '\r' | awk '/^=== Debug/ {d = 1} /^=== Recoverable/ {d = 0} d || /^(  FRN |Total |Error: |USN: |MFT: )/' |
    sed -E 's/[0-9]+ms\b/Nms/g; s/ ref=0x[0-9a-f]+ / ref=ID /; s/[^:]+ \(os error ([0-9]+)\)/ TEXT (os error \1)/g'
}
same_as_linux() {  # same_as_linux NAME [--debug]: the stand-in on E: against the Linux probe of the image
  local name=$1 img="$build/images/$1.img" want got
  shift
  want=$("$linux/quillon" --image="$img" "$@" 'E:\2' | compared_lines)
  got=$(QUILLON_CONTROL_IMAGE="Z:$(readlink -f "$img" | tr / '\\')" timeout 300 wine "$standin" "$@" 'E:\2' 2>&1 |
        compared_lines)
  if [ "$want" != "$got" ]; then
    echo "windows-build: $name${1:+ $1}: the Win32 backend under Wine gives other lines than the image probe" >&2
    diff <(echo "$want") <(echo "$got") >&2 || true
    return 1
  fi
  echo "$name${1:+ $1}: $(echo "$got" | grep -c '^  FRN ' || true) items, the same lines as the image probe"
  echo "$got" | grep -E '^(USN|MFT): |^(USN|MFT)  ' | sed 's/^/    /'
}
standin_check() {
  drive_e_possible || { echo "SKIPPED: the Win32 backend end to end: $drive_e_why"; return; }
  local name
  for name in basic journal; do
    map_drive_e "$build/images/$name.img" ||
      { echo "SKIPPED: the Win32 backend end to end on $name: $drive_e_why"; continue; }
    same_as_linux "$name" && same_as_linux "$name" --debug || exit 1
    unmap_drive_e
  done
}
standin_check
