#!/usr/bin/env bash
# Benchmark of the whole probe on large volumes, side by side with the floor
# (one read of the $MFT's extents in 4 MiB requests, tools/bench/read_extents.c)
# and with The Sleuth Kit's fls -rd.
#
#   tools/bench_probe.sh [--sizes=N[,N...]] [--runs=R] [--work=DIR]
#
# Sizes are numbers of files (default 1000000; e.g. --sizes=250000,1000000,2000000
# shows how the cost grows with the $MFT). Each volume holds N/1000 folders of
# 1,000 files plus a folder 2 with 200 files of which 50 are deleted; it is
# generated once through libntfs-3g (tools/bench/mkmany.c; needs ntfs-3g-dev,
# ntfs-3g and sleuthkit) as a sparse image in DIR (default build-release/bench,
# never committed) and kept for the next run; delete DIR to free the space.
#
# Every round runs the floor, the probe and fls -rd one after the other
# (interleaved, after one warming round that brings the volume into the page
# cache); R rounds (default 5, at least 5) give the medians and the min..max
# spread. Reported per size: the three times, probe/floor and fls/probe (ratios
# of the medians), the probe's peak RSS (largest of the rounds), and the load
# average before and after the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=1000000
runs=5
work=build-release/bench
for arg in "$@"; do
  case $arg in
    --sizes=*) sizes=${arg#--sizes=} ;;
    --runs=*) runs=${arg#--runs=} ;;
    --work=*) work=${arg#--work=} ;;
    *) echo "usage: $0 [--sizes=N[,N...]] [--runs=R] [--work=DIR]" >&2; exit 2 ;;
  esac
done
if [ "$runs" -lt 5 ]; then echo "at least 5 runs" >&2; exit 2; fi
mkdir -p "$work"

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
ninja -C build-release quillon >/dev/null
quillon=build-release/quillon
cc -O2 -o "$work/read_extents" tools/bench/read_extents.c
cc -O2 -o "$work/mkmany" tools/bench/mkmany.c -lntfs-3g

# The image of N files, generated when missing.
volume() {
  local n=$1 img="$work/files-$1.img"
  if [ ! -f "$img" ]; then
    rm -f "$img.tmp"
    truncate -s $(((n / 1000000 + 1) * 6))G "$img.tmp"
    mkntfs -F -Q -T -q "$img.tmp" >/dev/null 2>&1
    echo "generating $n files..." >&2
    "$work/mkmany" "$img.tmp" $((n / 1000)) 1000 2>/dev/null
    mv "$img.tmp" "$img"
  fi
  echo "$img"
}

# The $MFT's extents as OFFSET:LENGTH byte ranges, from its own record as The
# Sleuth Kit reads it (istat -r lists the runs of its $DATA).
extents() {
  local img=$1 cluster
  cluster=$(fsstat "$img" | awk '/Cluster Size:/ {print $3; exit}')
  istat -r "$img" 0 | awk -v c="$cluster" '
    /^Type: / { data = ($2 == "$DATA") }
    data && /Starting address:/ {
      gsub(",", ""); printf "%d:%d\n", $3 * c, $5 * c
    }'
}

ns() { date +%s%N; }
# Median, min and max (seconds) of the numbers (nanoseconds) on stdin.
stats() {
  sort -n | awk '{a[NR] = $1} END {
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f\n", m / 1e9, a[1] / 1e9, a[NR] / 1e9 }'
}

printf '%-9s %-14s %-24s %-24s %-24s %-11s %-9s %-9s %s\n' files '$MFT' 'floor s (min..max)' \
  'probe s (min..max)' 'fls -rd s (min..max)' probe/floor fls/probe 'peak RSS' 'loadavg before -> after'
for n in ${sizes//,/ }; do
  img=$(volume "$n")
  mapfile -t ranges < <(extents "$img")
  mft_bytes=$(printf '%s\n' "${ranges[@]}" | awk -F: '{s += $2} END {print s}')

  # Warming round: the volume's bytes into the page cache for everyone alike.
  "$work/read_extents" "$img" "${ranges[@]}" >/dev/null
  "$quillon" --image="$img" 'E:\2' >/dev/null
  fls -rd "$img" >/dev/null

  floor=() probe=() fls_t=() peak=0
  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  for _ in $(seq "$runs"); do
    t0=$(ns); "$work/read_extents" "$img" "${ranges[@]}" >/dev/null; t1=$(ns)
    floor+=($((t1 - t0)))
    t0=$(ns)
    /usr/bin/time -f '%M' -o "$work/probe.mem" "$quillon" --image="$img" 'E:\2' >"$work/probe.out"
    t1=$(ns)
    probe+=($((t1 - t0)))
    rss=$(tail -1 "$work/probe.mem")
    [ "$rss" -gt "$peak" ] && peak=$rss
    t0=$(ns); fls -rd "$img" >"$work/fls.out"; t1=$(ns)
    fls_t+=($((t1 - t0)))
  done
  load_after=$(cut -d' ' -f1-3 /proc/loadavg)

  read -r fm fl fh < <(printf '%s\n' "${floor[@]}" | stats)
  read -r pm pl ph < <(printf '%s\n' "${probe[@]}" | stats)
  read -r lm ll lh < <(printf '%s\n' "${fls_t[@]}" | stats)
  listed=$(grep -c '^  FRN ' "$work/probe.out" || true)
  printf '%-9s %-14s %-24s %-24s %-24s %-11s %-9s %-9s %s\n' "$n" \
    "$((mft_bytes / 1048576)) MiB/${#ranges[@]}x" "$fm ($fl..$fh)" "$pm ($pl..$ph)" "$lm ($ll..$lh)" \
    "$(awk -v a="$pm" -v b="$fm" 'BEGIN {printf "%.2f", a / b}')" \
    "$(awk -v a="$lm" -v b="$pm" 'BEGIN {printf "%.1f", a / b}')" \
    "$((peak / 1024)) MiB" "$load_before -> $load_after"
  if [ "$listed" != 50 ]; then echo "  the probe listed $listed items, not the 50 deleted" >&2; fi
done
echo "($runs interleaved rounds per size; \$MFT: its extents' bytes and their number; $(nproc) cores)"
