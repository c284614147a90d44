#!/usr/bin/env bash
# Builds quillon and runs it on the bundled sample image, probing E:\2.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C build quillon >/dev/null
mkdir -p build/images
if [ ! -f build/images/sample.img ] || [ tests/data/sample.img.gz -nt build/images/sample.img ]; then
  gzip -dc tests/data/sample.img.gz | cp --sparse=always /dev/stdin build/images/sample.img
fi
exec build/quillon --image=build/images/sample.img "${@:-E:\\2}"
