#!/usr/bin/env bash
# scripts/install, scripts/uninstall and scripts/setup as people meet them:
# installing again keeps everything, uninstall removes only what the install
# placed, a failed install can be undone, and setup without root or sudo says
# what to install.
#   tst_install.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
passed=0
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what" >&2
  fi
}
contains() { grep -Fq -- "$2" <<<"$1"; }
lacks() { ! grep -Fq -- "$2" <<<"$1"; }
absent() { [ ! -e "$1" ] && [ ! -L "$1" ]; }

# A home of its own with stand-in networks where scripts/setup fetches them;
# the install copies networks and never reads them.
new_home() {
  home="$work/$1"
  mkdir -p "$home/.local/share/vantel/models"
  for n in isnet.onnx nanodet.onnx movenet-multipose.onnx; do
    echo "network $n" > "$home/.local/share/vantel/models/$n"
  done
}
as_user() {
  env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$home" "$@"
}
install_vantel() { as_user "$src/scripts/install" --from-build "$build" "$@" 2>&1; }
uninstall_vantel() { as_user "$src/scripts/uninstall" "$@" 2>&1; }

# ---- Installing twice under the default prefix keeps everything ----------
new_home twice
prefix="$home/.local"
models="$prefix/share/vantel/models"
out=$(install_vantel --prefix "$prefix" --autostart)
check "the first install succeeds: $out" test $? -eq 0
out=$(install_vantel --prefix "$prefix" --autostart)
check "the second install succeeds: $out" test $? -eq 0
for f in bin/vantel bin/vantel-cut share/applications/vantel.desktop share/man/man1/vantel-cut.1; do
  check "$f is in place after installing twice" test -s "$prefix/$f"
done
check "the programs run" test -x "$prefix/bin/vantel-cut"
check "the networks setup fetched are there after installing twice" \
  test "$(cat "$models/isnet.onnx")" = "network isnet.onnx"
record=$(cat "$prefix/share/vantel/installed-files")
check "the record does not claim the networks it did not copy" lacks "$record" "$models/"
check "the record names the autostart entry" contains "$record" "$home/.config/autostart/vantel.desktop"

# A record from an earlier version that claimed the fetched networks, a
# file the earlier install had that this one does not, and a damaged
# installed file: the install replaces, removes the stale and keeps the
# networks.
echo "file $models/isnet.onnx" >> "$prefix/share/vantel/installed-files"
echo "old" > "$prefix/share/vantel/old-file"
echo "file $prefix/share/vantel/old-file" >> "$prefix/share/vantel/installed-files"
echo "damaged" > "$prefix/share/man/man1/vantel-cut.1"
out=$(install_vantel --prefix "$prefix")
check "installing over an older record succeeds: $out" test $? -eq 0
check "the networks outlive an older record that claimed them" test -f "$models/isnet.onnx"
check "a file only the earlier install had is gone" absent "$prefix/share/vantel/old-file"
check "an installed file is replaced" cmp -s "$src/src/cli/vantel-cut.1" "$prefix/share/man/man1/vantel-cut.1"
check "installing without --autostart takes the autostart entry away" \
  absent "$home/.config/autostart/vantel.desktop"

out=$(uninstall_vantel --prefix "$prefix")
check "uninstall succeeds: $out" test $? -eq 0
check "uninstall removes the programs" absent "$prefix/bin/vantel"
check "uninstall removes the menu entry" absent "$prefix/share/applications/vantel.desktop"
check "uninstall keeps the networks setup fetched" test -f "$models/nanodet.onnx"
check "uninstall says where the fetched networks stay" contains "$out" "$models"

# A prefix the install made goes with the uninstall.
new_home fresh
prefix="$work/fresh-prefix"
out=$(install_vantel --prefix "$home/../fresh-prefix")
check "an install into a new prefix succeeds: $out" test $? -eq 0
out=$(uninstall_vantel --prefix "$prefix")
check "uninstall of a new prefix succeeds: $out" test $? -eq 0
check "the prefix the install made is gone" absent "$prefix"

# ---- Uninstall removes only what is the install's ---------------------------
new_home planted
prefix="$work/planted-prefix"
out=$(install_vantel --prefix "$prefix")
check "an install into another prefix succeeds: $out" test $? -eq 0
check "the networks are copied into another prefix" test -f "$prefix/share/vantel/models/isnet.onnx"
mkdir -p "$work/outside/folder" "$work/beyond"
echo keep > "$work/outside/victim"
echo keep > "$work/beyond/victim"
ln -s "$work/beyond" "$prefix/share/vantel/link"
{
  echo "file $work/outside/victim"
  echo "folder $work/outside/folder"
  echo "file $prefix/../outside/victim"
  echo "file $prefix/share/vantel/link/victim"
} >> "$prefix/share/vantel/installed-files"
out=$(uninstall_vantel --prefix "$prefix")
status=$?
check "uninstall reports a record it would not follow with status 1: $out" test $status -eq 1
check "a file outside the prefix is kept" test -f "$work/outside/victim"
check "a folder outside the prefix is kept" test -d "$work/outside/folder"
check "a file reached through a link out of the prefix is kept" test -f "$work/beyond/victim"
check "uninstall names what it kept" contains "$out" "kept $work/outside/victim"
check "uninstall names the linked path it kept" contains "$out" "kept $prefix/share/vantel/link/victim"
check "the rest is removed all the same" absent "$prefix/bin/vantel"
check "the copied networks are removed" absent "$prefix/share/vantel/models/isnet.onnx"

# ---- A failed install is undone by uninstall --------------------------------
new_home failed
prefix="$work/failed-prefix"
mkdir -p "$prefix/share/man/man1/vantel-cut.1"
echo mine > "$prefix/share/man/man1/vantel-cut.1/notes"
out=$(install_vantel --prefix "$prefix")
check "an install that cannot place a file fails: $out" test $? -ne 0
check "it says where it stopped" contains "$out" "vantel-cut.1"
check "it says how to undo it" contains "$out" "scripts/uninstall"
out=$(uninstall_vantel --prefix "$prefix")
check "uninstall after a failed install succeeds: $out" test $? -eq 0
check "uninstall removes what the failed install placed" absent "$prefix/bin/vantel"
check "uninstall removes the folders the failed install made" absent "$prefix/bin"
check "what was there before stays" test -f "$prefix/share/man/man1/vantel-cut.1/notes"

# An autostart folder that cannot be made stops the install before anything
# is placed.
new_home unwritable
prefix="$home/.local"
echo "not a folder" > "$work/config-file"
out=$(as_user env XDG_CONFIG_HOME="$work/config-file" \
  "$src/scripts/install" --from-build "$build" --prefix "$prefix" --autostart 2>&1)
check "an install whose autostart folder cannot be made fails: $out" test $? -ne 0
check "it names the folder" contains "$out" "$work/config-file"
check "it places nothing first" absent "$prefix/bin"

# ---- Setup without root or sudo says what to install ------------------------
# A PATH without sudo, where every package is missing and the user is not
# root.
fake="$work/fake-bin"
mkdir "$fake"
for tool in bash dirname grep sed fold cat; do ln -s "$(command -v "$tool")" "$fake/$tool"; done
printf '#!/bin/sh\nexit 1\n' > "$fake/dpkg-query"
printf '#!/bin/sh\necho 1000\n' > "$fake/id"
chmod +x "$fake/dpkg-query" "$fake/id"
out=$(PATH="$fake" "$fake/bash" "$src/scripts/setup" 2>&1)
status=$?
check "setup without sudo exits with 1: $out" test $status -eq 1
check "setup names the packages" contains "$out" "qt6-base-dev"
check "setup gives the command to install them" contains "$out" "apt-get install --no-install-recommends"
check "setup does not fail on a missing sudo" lacks "$out" "command not found"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
