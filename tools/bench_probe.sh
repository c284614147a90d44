#!/usr/bin/env bash
# Benchmark of the whole probe on large volumes, side by side with the floor
# (one read of the $MFT's extents in 4 MiB requests into buffers backed by
# huge pages, as the probe's page buffers are; tools/bench/read_extents.c)
# and with The Sleuth Kit's fls -rd.
#
#   tools/bench_probe.sh [--sizes=N[,N...]] [--runs=R] [--work=DIR] [--quillon=BIN]
#                        [--before=BIN] [--modes=warm,cold]
#
# Sizes are numbers of files (default 1000000; e.g. --sizes=250000,1000000,2000000
# shows how the cost grows with the $MFT). Each volume holds N/1000 folders of
# 1,000 files plus a folder 2 with 200 files of which 50 are deleted; it is
# generated once through libntfs-3g (tools/bench/mkmany.c; needs ntfs-3g-dev,
# ntfs-3g and sleuthkit) as a sparse image in DIR (default build-release/bench,
# never committed) and kept for the next run; delete DIR to free the space.
#
# The floor is the better (lower median) of two readers of the $MFT's
# extents: one thread, and as many threads as the probe's paged scan runs
# (its audit line's thread count), the threads taking the next 4 MiB request
# of a shared list as the probe's workers take pages.
#
# Warm rounds keep the page cache (one warming round first brings the volume
# in for everyone alike); cold rounds drop it before every single run
# (`sync; echo 1 > /proc/sys/vm/drop_caches`, which needs root; where it
# cannot be dropped the cold rounds are skipped and the script says so).
# Every round runs the floor readers, the probe, BIN given as --before (an
# older build, optional) and fls -rd one after the other (interleaved); R
# rounds (default 5, at least 5) give the medians and the min..max spread.
# Reported per size and mode: each time, probe/floor and fls/probe (ratios of
# the medians), the probes' peak RSS (largest of the rounds), the 1-minute
# load average before each round (min..max) and the load average before and
# after the rounds. BIN defaults to a Release build of this tree in
# build-release.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=1000000
runs=5
work=build-release/bench
quillon=
before=
modes=warm,cold
for arg in "$@"; do
  case $arg in
    --sizes=*) sizes=${arg#--sizes=} ;;
    --runs=*) runs=${arg#--runs=} ;;
    --work=*) work=${arg#--work=} ;;
    --quillon=*) quillon=${arg#--quillon=} ;;
    --before=*) before=${arg#--before=} ;;
    --modes=*) modes=${arg#--modes=} ;;
    *) echo "usage: $0 [--sizes=N[,N...]] [--runs=R] [--work=DIR] [--quillon=BIN] [--before=BIN]" \
      "[--modes=warm,cold]" >&2; exit 2 ;;
  esac
done
if [ "$runs" -lt 5 ]; then echo "at least 5 runs" >&2; exit 2; fi
for tool in fls istat fsstat mkntfs /usr/bin/time cc; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is missing" >&2; exit 1; }
done
mkdir -p "$work"

if [ -z "$quillon" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF >/dev/null
  ninja -C build-release -j2 quillon >/dev/null
  quillon=build-release/quillon
fi
cc -O2 -pthread -o "$work/read_extents" tools/bench/read_extents.c
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

# The page cache can be dropped (root, a writable /proc/sys/vm/drop_caches).
can_drop=no
if [[ $modes == *cold* ]]; then
  if [ -w /proc/sys/vm/drop_caches ] && sync && (echo 1 > /proc/sys/vm/drop_caches) 2>/dev/null; then
    can_drop=yes
  else
    echo "cold rounds skipped: the page cache cannot be dropped here (needs root and a writable" \
      "/proc/sys/vm/drop_caches)" >&2
  fi
fi

ns() { date +%s%N; }
# Median, min and max (seconds) of the numbers (nanoseconds) on stdin.
stats() {
  sort -n | awk '{a[NR] = $1} END {
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f\n", m / 1e9, a[1] / 1e9, a[NR] / 1e9 }'
}
ratio() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN {printf f, a / b}'; }

# One timed run of tool $1 (its name in the tables) with the rest as its
# command, its output to $work/$1.out; the page cache dropped first in the
# cold mode. Appends the time (ns) to times[$1] and keeps the largest RSS.
declare -A times rss
timed() {
  local name=$1; shift
  if [ "$mode" = cold ]; then sync; echo 1 > /proc/sys/vm/drop_caches; fi
  local t0 t1 kb
  t0=$(ns)
  /usr/bin/time -f '%M' -o "$work/$name.mem" "$@" >"$work/$name.out"
  t1=$(ns)
  times[$name]+="$((t1 - t0)) "
  kb=$(tail -1 "$work/$name.mem")
  [ "$kb" -gt "${rss[$name]:-0}" ] && rss[$name]=$kb
  return 0
}

for n in ${sizes//,/ }; do
  img=$(volume "$n")
  mapfile -t ranges < <(extents "$img")
  mft_bytes=$(printf '%s\n' "${ranges[@]}" | awk -F: '{s += $2} END {print s}')
  # The probe's worker count, from its audit line ("thread2").
  threads=$("$quillon" --image="$img" 'E:\2' | sed -n 's/.* thread\([0-9]*\) .*/\1/p' | head -1)
  threads=${threads:-1}
  echo "== $n files: \$MFT $((mft_bytes / 1048576)) MiB in ${#ranges[@]} extents; the probe's paged scan" \
    "runs $threads threads; $(nproc) cores"
  for mode in ${modes//,/ }; do
    [ "$mode" = cold ] && [ "$can_drop" = no ] && continue
    if [ "$mode" = warm ]; then
      # Warming round: the volume's bytes into the page cache for everyone alike.
      "$work/read_extents" "$img" "${ranges[@]}" >/dev/null
      "$quillon" --image="$img" 'E:\2' >/dev/null
      fls -rd "$img" >/dev/null
    fi
    times=() rss=() loads=()
    load_before=$(cut -d' ' -f1-3 /proc/loadavg)
    for _ in $(seq "$runs"); do
      loads+=("$(cut -d' ' -f1 /proc/loadavg)")
      timed floor1 "$work/read_extents" "$img" "${ranges[@]}"
      timed floorN "$work/read_extents" -t "$threads" "$img" "${ranges[@]}"
      timed probe "$quillon" --image="$img" 'E:\2'
      [ -n "$before" ] && timed before "$before" --image="$img" 'E:\2'
      timed fls fls -rd "$img"
    done
    load_after=$(cut -d' ' -f1-3 /proc/loadavg)

    declare -A med=() line=()
    for t in floor1 floorN probe before fls; do
      [ -n "${times[$t]:-}" ] || continue
      read -r m lo hi < <(printf '%s\n' ${times[$t]} | stats)
      med[$t]=$m line[$t]="$m ($lo..$hi)"
    done
    floor=floor1
    awk -v a="${med[floorN]}" -v b="${med[floor1]}" 'BEGIN {exit !(a < b)}' && floor=floorN
    echo "-- $mode ($runs interleaved rounds; medians in seconds, min..max)"
    printf '  %-22s %-24s %s\n' "floor, 1 thread" "${line[floor1]}" "$([ $floor = floor1 ] && echo '(the floor)')"
    printf '  %-22s %-24s %s\n' "floor, $threads threads" "${line[floorN]}" \
      "$([ $floor = floorN ] && echo '(the floor)')"
    printf '  %-22s %-24s %s x floor, peak RSS %s MiB\n' probe "${line[probe]}" \
      "$(ratio "${med[probe]}" "${med[$floor]}" %.2f)" "$((rss[probe] / 1024))"
    if [ -n "$before" ]; then
      printf '  %-22s %-24s %s x floor, peak RSS %s MiB\n' "before ($(basename "$before"))" "${line[before]}" \
        "$(ratio "${med[before]}" "${med[$floor]}" %.2f)" "$((rss[before] / 1024))"
    fi
    printf '  %-22s %-24s %s x probe\n' "fls -rd" "${line[fls]}" "$(ratio "${med[fls]}" "${med[probe]}" %.1f)"
    lo=$(printf '%s\n' "${loads[@]}" | sort -n | head -1) hi=$(printf '%s\n' "${loads[@]}" | sort -n | tail -1)
    echo "  load average: 1-minute before each round $lo..$hi; before the rounds $load_before, after $load_after"
    listed=$(grep -c '^  FRN ' "$work/probe.out" || true)
    if [ "$listed" != 50 ]; then echo "  the probe listed $listed items, not the 50 deleted" >&2; fi
  done
done
echo "(probe: $quillon --image=IMG 'E:\\2'; floor: $work/read_extents [-t THREADS] IMAGE EXTENTS...)"
