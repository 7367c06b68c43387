#!/usr/bin/env bash
# Runs a test program on an X server of its own (Xvfb), through Qt's X11
# platform: what it draws reaches a real display server.
# Usage: on_xvfb.sh PROGRAM [ARGS...]
# Exits 77 (skipped) when Xvfb or xprop is missing.
set -u
for tool in Xvfb xprop; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
display=
for n in $(seq 141 190); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
if [ -n "${ASAN_OPTIONS:-}" ]; then
  export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0:detect_leaks=0"
fi
Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; wait 2>/dev/null' EXIT
deadline=$((SECONDS + 20))
until xprop -root >/dev/null 2>&1; do
  [ "$SECONDS" -lt "$deadline" ] || { echo "Xvfb did not start"; exit 1; }
  sleep 0.1
done
"$@"
