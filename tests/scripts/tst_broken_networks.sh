#!/usr/bin/env bash
# Every broken model file of tst_brokenmodels, given to vantel-cut as it
# would meet one: named with --network, and lying in the data folder as the
# object finder beside the real networks. Each run ends with a status of its
# own, never a signal, and a network the file does not replace still loads.
#
#   tst_broken_networks.sh VANTEL_CUT TST_BROKENMODELS
set -uo pipefail
cut=$1
corpus_writer=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$corpus_writer" --write "$tmp/corpus" || { echo "could not write the corpus"; exit 1; }

# The real networks, where setup installed them.
models=""
data_dirs=${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
for dir in "${XDG_DATA_HOME:-$HOME/.local/share}" ${data_dirs//:/ }; do
  if [ -f "$dir/vantel/models/isnet.onnx" ]; then models="$dir/vantel/models"; break; fi
done

failures=0
runs=0
check() { # NAME STATUS OUTPUT
  runs=$((runs + 1))
  if [ "$2" -ge 128 ] || grep -q -E 'Sanitizer|Aborted|core dumped' "$3"; then
    echo "FAIL $1: status $2"
    tail -5 "$3"
    failures=$((failures + 1))
  fi
}

for file in "$tmp"/corpus/*.onnx; do
  name=$(basename "$file" .onnx)
  XDG_DATA_HOME="$tmp/none" XDG_DATA_DIRS="$tmp/none" \
    timeout 60 "$cut" --network "$file" --version >"$tmp/out" 2>&1
  check "$name as --network" $? "$tmp/out"

  [ -n "$models" ] || continue
  home="$tmp/home-$name/vantel/models"
  mkdir -p "$home"
  ln -s "$models/isnet.onnx" "$home/isnet.onnx"
  ln -s "$models/movenet-multipose.onnx" "$home/movenet-multipose.onnx"
  cp "$file" "$home/nanodet.onnx"
  XDG_DATA_HOME="$tmp/home-$name" XDG_DATA_DIRS="$tmp/none" \
    timeout 60 "$cut" --version >"$tmp/out" 2>&1
  status=$?
  check "$name as the object finder" $status "$tmp/out"
  if ! grep -q "segmentation network: oneDNN" "$tmp/out"; then
    echo "FAIL $name as the object finder: the segmentation network did not load"
    cat "$tmp/out"
    failures=$((failures + 1))
  fi
done

[ -n "$models" ] || echo "the installed networks are missing: only --network was tried"
echo "$runs runs, $failures failures"
[ "$runs" -gt 0 ] && [ "$failures" -eq 0 ]
