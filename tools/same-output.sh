#!/bin/sh
# Compares the whole output of two builds of quillon on every test volume
# (`quillon --image=<volume> 'E:\2'`), progress lines and the elapsed time of
# the audit line aside. Usage: tools/same-output.sh OLD_BINARY NEW_BINARY
# Exits 1 and shows the differences when any volume's output differs.
set -eu
old=$1 new=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for gz in "$root"/tests/data/*.img.gz; do
  name=$(basename "$gz" .img.gz)
  gunzip -c "$gz" > "$work/$name.img"
  for side in old new; do
    eval bin=\$$side
    "$bin" --image="$work/$name.img" 'E:\2' 2>&1 | grep -v '^  \[' |
      sed 's/ [0-9]*ms \([A-Za-z]\)/ <elapsed> \1/' > "$work/$name.$side" || true
  done
  if cmp -s "$work/$name.old" "$work/$name.new"; then
    echo "same: $name ($(wc -l < "$work/$name.new") lines)"
  else
    echo "DIFFERENT: $name"; diff "$work/$name.old" "$work/$name.new" || true; status=1
  fi
  rm -f "$work/$name.img"
done
exit $status
