#!/usr/bin/env bash
# The whole test run: installs what is missing, builds with AddressSanitizer
# and UndefinedBehaviorSanitizer, runs every test, a sample of the corruption
# suite and every fuzz harness for a short time, checks that the scenario
# generator reproduces tests/data's manifests, then cross-builds the
# Windows executable and runs its checks (tools/windows-build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/ensure-packages.sh test

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZE=ON >/dev/null
ninja -C "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && ctest --output-on-failure -j2)

# Damaged copies of the test volumes, a fixed-seed sample of the corruption
# suite, through the sanitized binary (the whole suite: README).
python3 tools/corruption-suite.py --bin "$build/quillon" --sample 24 --jobs 2 --work "$build/corruption"

# Every fuzz harness for 30 seconds; a finding fails the run and lands in
# tests/fuzz/regressions/.
tools/fuzz.sh 30

# The scenario volumes rebuilt twice from scratch: their manifests must agree
# with each other and with tests/data (skipped where FUSE is unavailable).
tools/fixtures/check-reproducible.sh

if [ -x tools/windows-build.sh ]; then
  tools/windows-build.sh
else
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C build-win
  echo "Windows cross build: build-win/quillon.exe"
fi
