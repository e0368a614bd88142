#!/usr/bin/env bash
# What a running Vantel costs while it waits in the tray, and after use:
# its resident memory (RSS) after start; with a 12-megapixel result shown;
# after the release delay with the panel away (shortened here through
# VANTEL_RELEASE_DELAY_MS); after ten such images in a row and the delay
# again. Also the time from a paste to its result in a panel opened after a
# release, and in one already open, and the CPU it takes over 30 s with
# nothing to do, panel away and up. Prints one line per figure.
#
#   memory.sh [--targets] LABEL WORKDIR PROGRAM [ARGUMENT...]
#
# With --targets it fails where a figure misses its target: RSS after start
# at most 80 MiB, after the release at most 100 MiB, after ten images and
# the release within 10 MiB of the first release, no CPU while waiting.
#
# Runs on the X display and session bus it is given (DISPLAY and
# DBUS_SESSION_BUS_ADDRESS), where a tray host is up and no Vantel runs;
# accessibility must be on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1). PROGRAM is
# started with the ARGUMENTs as a launch at login would be.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
targets=no
if [ "$1" = --targets ]; then
  targets=yes
  shift
fi
label=$1
work=$2
program=$3
shift 3
atspi="$here/atspi.py"
photos="${XDG_CACHE_HOME:-$HOME/.cache}/vantel/photos"
delay_ms=3000

say() { echo "memory [$label]: $*" >&2; }
fail() {
  echo "memory [$label]: FAILED: $*" >&2
  exit 1
}
# Fails where `$1` (an awk condition) is false and targets are checked.
target() {
  [ "$targets" = no ] || awk "BEGIN { exit !($1) }" || fail "$2"
}
wait_for() {
  local deadline=$((SECONDS + $2))
  while [ $SECONDS -lt $deadline ]; do
    if eval "$1"; then return 0; fi
    sleep 0.2
  done
  return 1
}
mib() { awk '/^VmRSS:/ { printf "%.0f", $2 / 1024 }' "/proc/$pid/status"; }
ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
# The share of one core the process used over `$1` seconds, in percent.
cpu_over() {
  local before after
  before=$(ticks)
  sleep "$1"
  after=$(ticks)
  awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$1" \
    'BEGIN { printf "%.1f", 100 * t / hz / s }'
}
panel_window() {
  local w width
  for w in $(xdotool search --onlyvisible --name '^Vantel$' 2>/dev/null); do
    width=$(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    if [ -n "$width" ] && [ "$width" -ge 420 ] && [ "$width" -le 1400 ]; then echo "$w"; return 0; fi
  done
  return 1
}
icon_line() { xwininfo -root -tree | awk '/\("vantel" "Vantel"\)/ && !/ 420x/ && !n++'; }
click_icon() {
  local x y w h
  read -r x y w h < <(xwininfo -id "$icon" | awk '/Absolute upper-left X/ {x=$4}
    /Absolute upper-left Y/ {y=$4} /Width:/ {w=$2} /Height:/ {h=$2} END {print x, y, w, h}')
  xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}
open_panel() {
  click_icon
  wait_for "panel_window >/dev/null" 15 || fail "clicking the tray icon showed no panel"
  local panel
  panel=$(panel_window)
  wait_for "[ \"\$(xdotool getwindowfocus 2>/dev/null)\" = \"$panel\" ]" 10 || fail "the panel did not take the focus"
}
hide_panel() {
  xdotool key Escape
  wait_for "! panel_window >/dev/null" 5 || fail "Escape did not put the panel away"
}
# Pastes the file `$1` (as a file manager copies it) and prints the
# milliseconds until its result is shown.
paste_timed() {
  # xclip stays behind to serve the selection: away from the caller's pipe.
  printf 'file://%s\n' "$1" | xclip -selection clipboard -t text/uri-list -i >/dev/null 2>&1
  /usr/bin/python3 "$atspi" ready-after Vantel "Copy PNG" 120 xdotool key --clearmodifiers ctrl+v ||
    fail "$(basename "$1") gave no result"
}

for n in 1 2; do
  [ -s "$work/twelve-$n.jpg" ] && continue
  source=$([ "$n" = 1 ] && echo coffee.png || echo astronaut.png)
  convert "$photos/$source" -resize '4000x3000!' -quality 92 "$work/twelve-$n.jpg"
done

VANTEL_RELEASE_DELAY_MS=$delay_ms "$program" "$@" >>"$work/memory-$label.log" 2>&1 &
pid=$!
# The main shell's alone: a command substitution runs the trap too.
trap '[ "$BASHPID" != "$$" ] || kill "$pid" 2>/dev/null || true' EXIT
wait_for "[ -n \"\$(icon_line)\" ]" 30 || fail "no tray icon appeared"
icon=$(icon_line | awk '{print $1}')
panel_window >/dev/null && fail "a launch at login showed the panel"
# Settled: whatever the start began has ended.
sleep 8
rss=$(mib)
say "RSS after start, before any image: $rss MiB"
target "$rss <= 80" "RSS after start is over 80 MiB"

open_panel
# As a user would, the paste comes a few seconds after the panel opens.
sleep 3
ms=$(paste_timed "$work/twelve-1.jpg")
say "first 12 MP result after start: ${ms%.*} ms from the paste"
say "RSS with a 12 MP result shown: $(mib) MiB"
cpu=$(cpu_over 30)
say "CPU over 30 s with the panel up, waiting: $cpu%"
target "$cpu == 0" "Vantel used CPU while it waited with the panel up"
hide_panel
sleep $((delay_ms / 1000 + 3))
first_release=$(mib)
say "RSS after the release delay, panel away: $first_release MiB"
target "$first_release <= 100" "RSS after the release is over 100 MiB"
cpu=$(cpu_over 30)
say "CPU over 30 s with the panel away, waiting: $cpu%"
target "$cpu == 0" "Vantel used CPU while it waited with the panel away"

open_panel
sleep 3
cold=$(paste_timed "$work/twelve-2.jpg")
say "first 12 MP result in a panel opened after the release: ${cold%.*} ms from the paste"
warm=$(paste_timed "$work/twelve-1.jpg")
say "next 12 MP result, warm: ${warm%.*} ms from the paste"
for n in 1 2 3 4 5 6 7 8; do
  paste_timed "$work/twelve-$((n % 2 + 1)).jpg" >/dev/null
done
say "RSS after ten 12 MP images in a row, panel up: $(mib) MiB"
hide_panel
sleep $((delay_ms / 1000 + 3))
rss=$(mib)
say "RSS after ten 12 MP images and the release delay: $rss MiB (first release: $first_release MiB)"
target "$rss <= $first_release + 10" "RSS grew over ten images"
kill "$pid"
wait "$pid" 2>/dev/null || true
