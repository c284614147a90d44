#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the fuzz
# harnesses need and this machine lacks.
set -euo pipefail
# Usage: tools/ensure-packages.sh build|test|fuzz
want=(cmake ninja-build g++ gzip libgtest-dev googletest pkg-config libewf-dev libvhdi-dev)
# libFuzzer: clang 19 (clang 14 cannot compile the standard library's
# std::expected) and its runtime.
fuzz=(clang-19 libclang-rt-19-dev python3)
case "${1:-build}" in
  test) want+=(sleuthkit libfsntfs-utils ntfs-3g attr python3 mingw-w64 g++-mingw-w64-x86-64-posix wine ewf-tools qemu-utils "${fuzz[@]}") ;;
  fuzz) want+=("${fuzz[@]}") ;;
esac
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
