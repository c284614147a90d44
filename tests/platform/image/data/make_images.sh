#!/bin/sh
# Makes the small images the image-backend tests use beyond the shared
# scenarios (run as root: it mounts with ntfs-3g through FUSE).
#
# fragmented.img: 6 MiB, 1 KiB clusters and records. The volume is filled
# with one big file first, so that the $MFT, growing while files are made,
# has to take a cluster before its first extent: its data runs are two
# extents, and record 75 onwards lies in the second. Then folder "2" gets
# files whose records sit on both sides of the break.
set -eu
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'umount "$work/m" 2>/dev/null || true; rm -rf "$work"' EXIT
img="$work/fragmented.img"
truncate -s 6M "$img"
mkntfs -q -F -f -c 1024 -s 512 -L fragmented "$img" >/dev/null 2>&1
mkdir "$work/m"
ntfs-3g "$img" "$work/m"
dd if=/dev/zero of="$work/m/fill" bs=64k 2>/dev/null || true
exec 3>&2 2>/dev/null  # the volume runs full on purpose
i=1
while [ $i -le 20 ]; do
  head -c 8192 /dev/urandom >"$work/m/d$i.bin" 2>/dev/null || true
  k=1
  while [ $k -le 30 ]; do touch "$work/m/e${i}_$k" 2>/dev/null || true; k=$((k + 1)); done
  i=$((i + 1))
done
exec 2>&3
rm -f "$work/m/fill" "$work"/m/e*
mkdir "$work/m/2"
n=1
while [ $n -le 120 ]; do echo "file $n" >"$work/m/2/file-$n.txt"; n=$((n + 1)); done
mkdir "$work/m/2/Sub"
echo inside >"$work/m/2/Sub/Inner.txt"
umount "$work/m"
gzip -9n <"$img" >"$out/fragmented.img.gz"
ntfsinfo -i 0 -v "$img" 2>/dev/null | grep -A3 Runlist | head -4
