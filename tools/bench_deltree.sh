#!/usr/bin/env bash
# Benchmark of the probe of a folder from which one `rm -rf` removed a whole
# tree, side by side with The Sleuth Kit's fls -rdp of the volume, at two or
# more sizes to show how the cost grows with the number of deleted entries.
#
#   tools/bench_deltree.sh [--sizes=N[,N...]] [--runs=R] [--work=DIR] [--quillon=BIN] [--before=BIN]
#
# Sizes are numbers of deleted entries (default 10000,40000). Each volume
# (made once by tools/fixtures/deltree.py as root, with mkntfs and ntfs-3g;
# a sparse image in DIR, default build-release/bench-deltree, never
# committed, kept for the next run) holds E:\2\proj with ten kept files and
# the three-level tree proj\old (old\yNNNN\mNN\fNNNNN.txt, N deleted entries
# or a few more, old itself included) that one rm -rf removed.
#
# Every round runs, per size, `quillon --image=IMG --format=csv E:\2\proj`
# and `fls -rdp IMG` one after the other (interleaved, after one warming
# round that brings the image into the page cache); R rounds (default 5, at
# least 5) give the medians and the min..max spread. Reported per size: the
# deleted entries and how many the probe listed, both times, probe/fls (ratio
# of the medians), both peak RSS (largest of the rounds), the probe's cost
# per deleted entry, and the load average before and after the rounds; then
# the probe's marginal cost per entry between consecutive sizes.
# BIN defaults to a Release build of this tree in build-release; --before
# runs an older build too, in the same rounds, and reports its time, its
# ratio to fls and its peak RSS beside.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=10000,40000
runs=5
work=build-release/bench-deltree
quillon=
before=
for arg in "$@"; do
  case $arg in
    --sizes=*) sizes=${arg#--sizes=} ;;
    --runs=*) runs=${arg#--runs=} ;;
    --work=*) work=${arg#--work=} ;;
    --quillon=*) quillon=${arg#--quillon=} ;;
    --before=*) before=${arg#--before=} ;;
    *) echo "usage: $0 [--sizes=N[,N...]] [--runs=R] [--work=DIR] [--quillon=BIN] [--before=BIN]" >&2; exit 2 ;;
  esac
done
if [ "$runs" -lt 5 ]; then echo "at least 5 runs" >&2; exit 2; fi
for tool in fls /usr/bin/time python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing" >&2; exit 1; }
done
mkdir -p "$work"
if [ -z "$quillon" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
  ninja -C build-release -j2 quillon >/dev/null
  quillon=build-release/quillon
fi
folder='E:\2\proj'

# The image of N deleted entries, generated when missing; its .count file
# holds the number of entries the rm -rf removed.
volume() {
  local n=$1 img="$work/deltree-$1.img"
  if [ ! -f "$img" ]; then
    if [ "$(id -u)" != 0 ]; then echo "generating needs root (ntfs-3g mounts)" >&2; exit 1; fi
    echo "generating a tree of $n entries..." >&2
    python3 tools/fixtures/deltree.py "$img.tmp" "$n" > "$img.count"
    mv "$img.tmp" "$img"
  fi
  echo "$img"
}

ns() { date +%s%N; }
# Median, min and max (seconds) of the numbers (nanoseconds) on stdin.
stats() {
  sort -n | awk '{a[NR] = $1} END {
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f\n", m / 1e9, a[1] / 1e9, a[NR] / 1e9 }'
}
peak() { tail -1 "$1"; }

list=(${sizes//,/ })
declare -A img probe_t fls_t probe_rss fls_rss before_t before_rss
for n in "${list[@]}"; do
  img[$n]=$(volume "$n")
  # Warming round.
  "$quillon" --image="${img[$n]}" --format=csv "$folder" >/dev/null
  fls -rdp "${img[$n]}" >/dev/null
  probe_rss[$n]=0 fls_rss[$n]=0 before_rss[$n]=0
done

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for _ in $(seq "$runs"); do
  for n in "${list[@]}"; do
    t0=$(ns)
    /usr/bin/time -f '%M' -o "$work/probe.mem" "$quillon" --image="${img[$n]}" --format=csv "$folder" \
      >"$work/probe.$n.csv"
    t1=$(ns)
    probe_t[$n]+="$((t1 - t0)) "
    rss=$(peak "$work/probe.mem"); [ "$rss" -gt "${probe_rss[$n]}" ] && probe_rss[$n]=$rss
    if [ -n "$before" ]; then
      t0=$(ns)
      /usr/bin/time -f '%M' -o "$work/before.mem" "$before" --image="${img[$n]}" --format=csv "$folder" >/dev/null
      t1=$(ns)
      before_t[$n]+="$((t1 - t0)) "
      rss=$(peak "$work/before.mem"); [ "$rss" -gt "${before_rss[$n]}" ] && before_rss[$n]=$rss
    fi
    t0=$(ns)
    /usr/bin/time -f '%M' -o "$work/fls.mem" fls -rdp "${img[$n]}" >"$work/fls.$n.out"
    t1=$(ns)
    fls_t[$n]+="$((t1 - t0)) "
    rss=$(peak "$work/fls.mem"); [ "$rss" -gt "${fls_rss[$n]}" ] && fls_rss[$n]=$rss
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

printf '%-9s %-9s %-22s %-22s %-9s %-11s %-11s %s\n' deleted listed 'probe s (min..max)' \
  'fls -rdp s (min..max)' probe/fls 'probe RSS' 'fls RSS' 'probe us/entry'
declare -A median
for n in "${list[@]}"; do
  deleted=$(cat "${img[$n]}.count")
  listed=$(($(wc -l < "$work/probe.$n.csv") - 1))
  read -r pm pl ph < <(printf '%s\n' ${probe_t[$n]} | stats)
  read -r fm fl fh < <(printf '%s\n' ${fls_t[$n]} | stats)
  median[$n]=$pm
  printf '%-9s %-9s %-22s %-22s %-9s %-11s %-11s %s\n' "$deleted" "$listed" "$pm ($pl..$ph)" "$fm ($fl..$fh)" \
    "$(awk -v a="$pm" -v b="$fm" 'BEGIN {printf "%.2f", a / b}')" \
    "$((probe_rss[$n] / 1024)) MiB" "$((fls_rss[$n] / 1024)) MiB" \
    "$(awk -v t="$pm" -v d="$deleted" 'BEGIN {printf "%.1f", t * 1e6 / d}')"
  if [ -n "$before" ]; then
    read -r bm bl bh < <(printf '%s\n' ${before_t[$n]} | stats)
    printf '%-9s %-9s %-22s %-22s %-9s %-11s\n' "" "(before)" "$bm ($bl..$bh)" "" \
      "$(awk -v a="$bm" -v b="$fm" 'BEGIN {printf "%.2f", a / b}')" "$((before_rss[$n] / 1024)) MiB"
  fi
done
for n in "${list[@]}"; do
  listed=$(($(wc -l < "$work/probe.$n.csv") - 1)) deleted=$(cat "${img[$n]}.count")
  [ "$listed" = "$deleted" ] || echo "  the probe listed $listed items, not the $deleted deleted ($n)" >&2
done
prev=
for n in "${list[@]}"; do
  if [ -n "$prev" ]; then
    a=$(cat "${img[$prev]}.count") b=$(cat "${img[$n]}.count")
    echo "marginal cost $a -> $b entries: $(awk -v t1="${median[$prev]}" -v t2="${median[$n]}" -v a="$a" -v b="$b" \
      'BEGIN {printf "%.1f us per entry; time x%.2f for entries x%.2f", (t2 - t1) * 1e6 / (b - a), t2 / t1, b / a}')"
  fi
  prev=$n
done
echo "($runs interleaved rounds; probe: $quillon --format=csv $folder; load average before: $load_before," \
  "after: $load_after; $(nproc) cores)"
