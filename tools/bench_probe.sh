#!/usr/bin/env bash
# Benchmark of the whole probe on a large volume, side by side with the raw
# read of the $MFT (dd over its extents) and with The Sleuth Kit's fls -rd.
#
#   tools/bench_probe.sh [workdir] [runs]
#
# Generates (never commits) a volume of 1,000,000 files in 1,000 folders
# plus a folder 2 with 200 files of which 50 are deleted, through
# libntfs-3g (tools/bench/mkmany.c; needs ntfs-3g-dev, ntfs-3g, sleuthkit).
# Reports medians over `runs` runs (default 5) and the probe's peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-build-bench}
runs=${2:-5}
mkdir -p "$work"
img="$work/million.img"

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C build-release quillon >/dev/null
quillon=build-release/quillon

if [ ! -f "$img" ]; then
  cc -O2 -o "$work/mkmany" tools/bench/mkmany.c -lntfs-3g
  rm -f "$img.tmp"
  truncate -s 6G "$img.tmp"
  mkntfs -F -Q -T -q "$img.tmp" >/dev/null 2>&1
  echo "generating 1,000,000 files (about a minute)..."
  "$work/mkmany" "$img.tmp" 1000 1000 2>/dev/null
  mv "$img.tmp" "$img"
fi

# The $MFT's extents, from its own record (istat lists its clusters).
cluster=$(fsstat "$img" | awk '/Cluster Size:/ {print $3; exit}')
extents=$(istat "$img" 0 | python3 -c '
import re, sys
text = sys.stdin.read()
data = text.split("Type: $DATA")[1].split("Type:")[0]
nums = [int(x) for x in re.findall(r"\b\d+\b", data.split("\n", 1)[1])]
runs, start, prev = [], None, None
for n in nums:
    if n == 0 and prev is None:
        continue
    if start is None:
        start = prev = n
    elif n == prev + 1:
        prev = n
    else:
        runs.append((start, prev - start + 1)); start = prev = n
if start is not None:
    runs.append((start, prev - start + 1))
print(" ".join("%d:%d" % r for r in runs))
')

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

dd_read() {
  for e in $extents; do
    dd if="$img" of=/dev/null bs="$cluster" skip="${e%%:*}" count="${e##*:}" status=none
  done
}

# Warm the page cache once so every contender reads from memory alike.
dd_read

probe_times=(); dd_times=(); listed=0; peak=0
for _ in $(seq "$runs"); do
  t0=$(now); dd_read; t1=$(now)
  dd_times+=("$(echo "$t1 - $t0" | bc)")
  t0=$(now)
  /usr/bin/time -f '%M' -o "$work/probe.mem" "$quillon" --image="$img" 'E:\2' > "$work/probe.out"
  t1=$(now)
  probe_times+=("$(echo "$t1 - $t0" | bc)")
  peak=$(cat "$work/probe.mem")
  listed=$(grep -c '^  FRN ' "$work/probe.out" || true)
done
t0=$(now); fls -rd "$img" > "$work/fls.out"; t1=$(now)
fls_time=$(echo "$t1 - $t0" | bc)

p=$(printf '%s\n' "${probe_times[@]}" | median)
d=$(printf '%s\n' "${dd_times[@]}" | median)
echo "probe E:\\2 (median of $runs): ${p}s, peak RSS ${peak} KiB, items listed: $listed (50 deleted)"
echo "dd of the \$MFT extents (median of $runs): ${d}s  [$extents clusters of $cluster bytes]"
echo "fls -rd (one run): ${fls_time}s"
echo "probe / dd: $(echo "scale=2; $p / $d" | bc)   fls / probe: $(echo "scale=1; $fls_time / $p" | bc)"
grep '^MFT: ' "$work/probe.out" || true
