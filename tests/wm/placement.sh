#!/usr/bin/env bash
# The main window under a real window manager (openbox on Xvfb), started
# three times, the last time with the manager coming after the window: each
# time, once the manager has framed it, the window's outer size (frame
# included) is 970 x 729 and it stands centred on the screen.
# Usage: placement.sh KVLTERM
# Exits 77 (skipped) when Xvfb, openbox or xwininfo is missing.
set -u
term=$(readlink -f "$1")
for tool in Xvfb openbox xwininfo xprop; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
scratch=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# A display number nobody uses.
display=
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
export DISPLAY=":$display"
# The program runs on this X server whatever the calling test run set.
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
# Under AddressSanitizer: the X11 keyboard library hands strndup a buffer
# without a final zero, which the strict string check reports, and the X
# libraries keep what they allocate until exit. Neither is this program's.
if [ -n "${ASAN_OPTIONS:-}" ]; then
  export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0:detect_leaks=0"
fi
# -noreset: the server never starts afresh between clients, so a window
# manager that connects just as the last probe leaves is not cut off.
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
wait_for 20 xprop -root || { echo "Xvfb did not start"; exit 1; }
manager=
start_manager() {
  openbox >>"$scratch/openbox.log" 2>&1 &
  manager=$!
  pids+=($manager)
  wait_for 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window' || { echo "openbox did not start"; exit 1; }
}

# No COM number maps to a device: no port of this machine is touched.
mkdir -p "$scratch/home" "$scratch/work"
{
  printf '[Com ports]\r\n'
  for n in $(seq 16); do printf 'COM%d:=\r\n' "$n"; done
} > "$scratch/work/zel .ini"

# Where the client window stands and the frame the manager drew around it:
# "x y width height left right top bottom", or nothing yet.
measure() {
  local id
  id=$(xwininfo -root -tree | awk '/" KVL service program v/ {print $1; exit}')
  [ -n "$id" ] || return 1
  local extents
  extents=$(xprop -id "$id" _NET_FRAME_EXTENTS | sed -n 's/.*= //p' | tr -d ',')
  [ -n "$extents" ] || return 1
  xwininfo -id "$id" | awk -v e="$extents" '
    /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF}
    END {split(e, f, " "); print x, y, w, h, f[1], f[2], f[3], f[4]}'
}

client_shown() { xwininfo -root -tree | grep -q '" KVL service program v'; }

# The first two starts find the manager running; for the third it comes a
# second after the window is shown, as a busy machine's manager may.
# openbox is the test's fixture, not the program under test: if it exits
# while the program still runs, what it said is shown and the start is
# made once more under a new openbox. A program that exits by itself, or a
# second such failure, fails the start.
passed=0 failed=0
start_manager
for start in 1 2 3; do
  for attempt in 1 2; do
    if [ "$start" -eq 3 ]; then
      kill "$manager" 2>/dev/null; wait "$manager" 2>/dev/null
      wait_for 20 sh -c '! xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window'
    fi
    (cd "$scratch/work" && HOME="$scratch/home" exec "$term") >"$scratch/program.log" 2>&1 &
    pid=$!
    if [ "$start" -eq 3 ]; then
      wait_for 20 client_shown
      sleep 1
      start_manager
    fi
    # The placement has settled when the same measure holds for two seconds.
    last= same=0 deadline=$((SECONDS + 90))
    while [ "$SECONDS" -lt "$deadline" ] && [ "$same" -lt 20 ]; do
      # No frame will come without the manager or the program.
      kill -0 "$manager" 2>/dev/null && kill -0 "$pid" 2>/dev/null || break
      now=$(measure) || now=
      if [ -n "$now" ] && [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
      last=$now
      sleep 0.1
    done
    shown=no
    client_shown && shown=yes
    running=no
    kill -0 "$pid" 2>/dev/null && running=yes
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    manager_ran=yes
    kill -0 "$manager" 2>/dev/null || manager_ran=no
    read -r x y w h left right top bottom <<< "${last:-0 0 0 0 0 0 0 0}"
    outer_w=$((w + left + right)) outer_h=$((h + top + bottom))
    outer_x=$((x - left)) outer_y=$((y - top))
    want_x=$(((1280 - 970) / 2)) want_y=$(((1024 - 729) / 2))
    if [ "$same" -ge 20 ] && [ "$outer_w" -eq 970 ] && [ "$outer_h" -eq 729 ] &&
       [ "$outer_x" -ge $((want_x - 1)) ] && [ "$outer_x" -le $((want_x + 1)) ] &&
       [ "$outer_y" -ge $((want_y - 1)) ] && [ "$outer_y" -le $((want_y + 1)) ] &&
       [ $((top + bottom)) -gt 0 ]; then
      echo "start $start: ok, outer ${outer_w}x${outer_h}+${outer_x}+${outer_y}, client ${w}x${h}"
      passed=$((passed + 1))
      break
    fi
    if [ "$manager_ran" = no ]; then
      wait "$manager" 2>/dev/null
      echo "start $start: openbox exited (status $?) while the window was placed; it said:"
      sed 's/^/    /' "$scratch/openbox.log"
      : > "$scratch/openbox.log"
    fi
    if [ "$attempt" -eq 1 ] && [ "$manager_ran" = no ] && [ "$running" = yes ]; then
      echo "start $start: made again under a new openbox"
      start_manager
      continue
    fi
    echo "start $start: FAILED, outer ${outer_w}x${outer_h}+${outer_x}+${outer_y}, client ${w}x${h}, frame $left $right $top $bottom, steady $same"
    [ "$running" = yes ] || echo "  the program exited by itself (status $status)"
    [ "$shown" = yes ] || echo "  no window of the program was on the screen at the end"
    if [ -s "$scratch/program.log" ]; then
      echo "  the program said:"; sed 's/^/    /' "$scratch/program.log"
    fi
    if [ -s "$scratch/openbox.log" ]; then
      echo "  openbox said:"; sed 's/^/    /' "$scratch/openbox.log"
    fi
    kill -0 "${pids[0]}" 2>/dev/null || echo "  Xvfb is no longer running"
    failed=$((failed + 1))
    break
  done
  [ "$manager_ran" = yes ] || [ "$start" -eq 3 ] || start_manager
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
