#!/usr/bin/env bash
# Benchmark of the probe on folders of 1,000, 6,000 and 20,000 files, to show
# that its cost grows linearly with the folder's size; with a second binary
# (e.g. one built from an earlier commit) the two run side by side.
#
#   tools/bench_folder.sh [workdir] [runs] [OTHER_QUILLON [OTHER_SOURCE_TREE]]
#
# Each volume (made once, never committed, by tools/fixtures/folder.py: as
# root, with mkntfs, ntfs-3g and libntfs-3g) holds a folder E:\2 of N files,
# each made as Explorer makes it ("New Text Document.txt", then renamed), of
# which every 20th is deleted, and a change journal of all of it. Runs are
# interleaved (every size and binary once per round); each figure is the
# median of `runs` rounds (default 5) with its spread (min-max), beside the
# 1-minute load average seen during the rounds and the peak memory. The two
# binaries' outputs must be the same (the elapsed time aside). With the other
# binary's source tree (its Release build in OTHER_SOURCE_TREE/build-rel),
# the image backend's name lookups in the folder are timed too
# (tools/bench/image_bench.cpp: open_path of a file that is there and of one
# deleted, 200 times each), built against both trees.
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-build-bench}
runs=${2:-5}
other=${3:-}
other_tree=${4:-}
sizes=${BENCH_FOLDER_SIZES:-"1000 6000 20000"}
mkdir -p "$work"

build=${BENCH_BUILD:-build-release}  # a Release build of this tree, made here
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C "$build" quillon >/dev/null
bins=("$build/quillon")
[ -n "$other" ] && bins+=("$other")
libs="-lpthread $(pkg-config --libs libewf libvhdi 2>/dev/null || true)"
lookups=()
if [ -n "$other_tree" ]; then
  for side in 0 1; do
    tree=.; lib=$build
    [ $side = 1 ] && { tree=$other_tree; lib=$other_tree/build-rel; }
    # shellcheck disable=SC2086
    g++ -std=c++23 -O2 -I"$tree/src" -DQUILLON_VERSION='"bench"' tools/bench/image_bench.cpp \
      "$lib/libquillon_core.a" $libs -o "$work/lookup.$side"
    lookups+=("$work/lookup.$side")
  done
fi

for n in $sizes; do
  img="$work/folder-$n.img"
  if [ ! -f "$img" ]; then
    echo "generating a folder of $n files..."
    python3 tools/fixtures/folder.py "$img.tmp" "$n"
    mv "$img.tmp" "$img"
  fi
done

now() { date +%s.%N; }
load() { cut -d' ' -f1 /proc/loadavg; }
declare -A times mem look
loads=()
for round in $(seq "$runs"); do
  for n in $sizes; do
    for b in "${!bins[@]}"; do
      loads+=("$(load)")
      t0=$(now)
      /usr/bin/time -f '%M' -o "$work/mem" "${bins[$b]}" --image="$work/folder-$n.img" 'E:\2' > "$work/out.$n.$b"
      t1=$(now)
      times[$n.$b]+="$(echo "$t1 - $t0" | bc) "
      mem[$n.$b]=$(cat "$work/mem")
    done
  done
  for n in $sizes; do
    for side in "${!lookups[@]}"; do
      for kind in there deleted; do
        # file-00010.txt is deleted (every 20th from the 10th), the middle one is there
        name=$(printf 'file-%05d.txt' $([ $kind = there ] && echo $((n / 2 + 1)) || echo 10))
        us=$("${lookups[$side]}" "$work/folder-$n.img" "E:\\2\\$name" 200 | head -1 | awk '{print $(NF-1)}')
        look[$n.$side.$kind]+="$us "
      done
    done
  done
  if [ -n "$other" ]; then
    for n in $sizes; do
      for b in 0 1; do
        grep -v '^  \[' "$work/out.$n.$b" | sed 's/ [0-9]*ms \([A-Za-z]\)/ <elapsed> \1/' > "$work/cmp.$n.$b"
      done
      cmp -s "$work/cmp.$n.0" "$work/cmp.$n.1" || { echo "outputs differ on folder-$n:"; diff "$work/cmp.$n.1" "$work/cmp.$n.0" | head; exit 1; }
    done
  fi
done

stats() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {printf "%.3f s (%.3f-%.3f)", a[int((NR+1)/2)], a[1], a[NR]}'; }
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "load average (1 min) during the rounds: $(printf '%s\n' "${loads[@]}" | sort -n | head -1)-$(printf '%s\n' "${loads[@]}" | sort -n | tail -1) on $(nproc) cores"
echo "medians of $runs interleaved rounds (min-max), peak memory:"
for n in $sizes; do
  line="  $n files:"
  for b in "${!bins[@]}"; do
    line+="  ${bins[$b]} $(echo "${times[$n.$b]}" | stats), $((mem[$n.$b] / 1024)) MiB;"
  done
  items=$(grep -c '^  FRN ' "$work/out.$n.0" || true)
  echo "$line  $items items"
done
first=$(echo "$sizes" | awk '{print $1}')
for b in "${!bins[@]}"; do
  base=$(echo "${times[$first.0]}" | median)
  [ "$b" = 1 ] && base=$(echo "${times[$first.1]}" | median)
  line="  ${bins[$b]} per 1,000 files:"
  for n in $sizes; do
    m=$(echo "${times[$n.$b]}" | median)
    line+=" $n: $(echo "scale=3; $m * 1000 / $n" | bc) s;"
  done
  echo "$line (time relative to $first files:$(for n in $sizes; do printf ' %s' "$(echo "scale=2; $(echo "${times[$n.$b]}" | median) / $base" | bc)"; done))"
done
if [ ${#lookups[@]} -gt 0 ]; then
  echo "name lookups in the folder (open_path; median of $runs rounds, min-max, microseconds):"
  for n in $sizes; do
    line="  $n files:"
    for side in 0 1; do
      label=$([ $side = 0 ] && echo this || echo other)
      for kind in there deleted; do
        line+=" $label $kind $(echo "${look[$n.$side.$kind]}" | tr ' ' '\n' | grep . | sort -n |
          awk '{a[NR]=$1} END {printf "%.1f (%.1f-%.1f)", a[int((NR+1)/2)], a[1], a[NR]}');"
      done
    done
    echo "$line"
  done
fi
