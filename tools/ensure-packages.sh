#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Usage: tools/ensure-packages.sh build|test
set -euo pipefail
want=(cmake ninja-build g++ gzip libgtest-dev googletest)
if [ "${1:-build}" = test ]; then
  want+=(sleuthkit libfsntfs-utils ntfs-3g attr python3 mingw-w64 g++-mingw-w64-x86-64-posix wine)
fi
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
