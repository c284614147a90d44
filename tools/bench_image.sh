#!/bin/sh
# Benchmark of the image backend (path resolution and record reads) on an
# optimised build: tools/bench_image.sh IMAGE PATH [ITERATIONS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C "$build" quillon_core >/dev/null
# The core library reads EWF and VHDX through libewf and libvhdi when CMake
# found them; the benchmark links them too.
g++ -std=c++23 -O2 -I"$root/src" -DQUILLON_VERSION='"bench"' "$root/tools/bench/image_bench.cpp" \
  "$build/libquillon_core.a" -lpthread $(pkg-config --libs libewf libvhdi 2>/dev/null || true) -o "$build/bench_image"
"$build/bench_image" "$@"
