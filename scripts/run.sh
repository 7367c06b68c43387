#!/usr/bin/env bash
# Installs what is missing, builds, and starts the terminal against the
# simulated device: the simulator serves a pseudo-terminal mapped to "COM 1"
# and listens on 127.0.0.1:7777 (the next free port when that is taken, or
# KVL_DEMO_TCP_PORT); the terminal runs in demo/, whose settings
# file maps every other COM number to nothing. Closing the window stops the
# simulator.
#
# Run it as yourself: only installing packages needs root, and deps.sh asks
# sudo for that. Started through sudo, it builds and runs everything as the
# user who called sudo, so that the window shows what that user may do (a
# missing "dialout" membership, a port another program holds) and build/
# and demo/ stay theirs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

RUN_AS=""
if [ "$(id -u)" -eq 0 ]; then
  if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] && id -u "$SUDO_USER" >/dev/null 2>&1; then
    RUN_AS=$SUDO_USER
  else
    echo "== warning: running as root, so the terminal's window runs as root too: it opens"
    echo "   ports without the dialout group and past the exclusive lock of other programs."
    echo "   Run this script as your own user (it asks sudo only to install packages)."
  fi
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "== no display: the terminal is a desktop program." >&2
  echo "   Run this script in a terminal of your desktop session (over ssh: ssh -X)." >&2
  if [ -n "$RUN_AS" ]; then
    echo "   Started through sudo, the display may be lost on the way: run it as $RUN_AS," >&2
    echo "   without sudo (it asks sudo itself, only to install packages)." >&2
  fi
  echo "   To build and test without a display: bash scripts/test.sh" >&2
  exit 1
fi

bash scripts/deps.sh

# Started through sudo, commands run as the invoking user: their own ids
# and groups (dialout among them), home and display. The prefix execs the
# command in place, so a background job's $! is the command itself.
AS_USER=()
if [ -n "$RUN_AS" ]; then
  RUN_GID=$(id -g "$RUN_AS")
  AS_USER=(setpriv --reuid="$RUN_AS" --regid="$RUN_GID" --init-groups
           env HOME="$(getent passwd "$RUN_AS" | cut -d: -f6)" USER="$RUN_AS" LOGNAME="$RUN_AS")
  if [ -d "/run/user/$(id -u "$RUN_AS")" ]; then AS_USER+=(XDG_RUNTIME_DIR="/run/user/$(id -u "$RUN_AS")"); fi
fi

DEMO="$ROOT/demo"
if [ -n "$RUN_AS" ]; then
  # build/ and demo/ belong to the user, also where an earlier run as root
  # left files behind.
  echo "== building and running as $RUN_AS"
  mkdir -p "$ROOT/build" "$DEMO"
  chown -R "$RUN_AS:$RUN_GID" "$ROOT/build" "$DEMO"
fi

echo "== build in build/"
"${AS_USER[@]}" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"${AS_USER[@]}" cmake --build build -j"$(nproc)" --target kvlterm kvl-sim

mkdir -p "$DEMO"
LINK="$DEMO/kvl-device"

# The simulator's TCP port: KVL_DEMO_TCP_PORT, else 7777 or, when another
# program (another demo) has that, the next free port up to 7796.
SIM_PORT="${KVL_DEMO_TCP_PORT:-7777}"
LAST_PORT=$SIM_PORT
[ -n "${KVL_DEMO_TCP_PORT:-}" ] || LAST_PORT=$((SIM_PORT + 19))
SIM_PID=""
trap '[ -z "$SIM_PID" ] || { kill $SIM_PID 2>/dev/null || true; wait $SIM_PID 2>/dev/null || true; }' EXIT
while :; do
  echo "== starting the simulated device (pty -> $LINK, TCP 127.0.0.1:$SIM_PORT)"
  "${AS_USER[@]}" "$ROOT/build/tools/kvl-sim" --pty --link "$LINK" --tcp "$SIM_PORT" --mask 16773120 \
    --contact 1,+380670000000,SMSADM --contact 3,+380631234567,CSDPCO --telemetry 30 \
    > "$DEMO/kvl-sim.out" 2> "$DEMO/kvl-sim.log" &
  SIM_PID=$!
  # Ready once it names its TCP port; it ends at once when it cannot listen.
  for _ in $(seq 1 50); do
    grep -q '^TCP ' "$DEMO/kvl-sim.out" && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^TCP ' "$DEMO/kvl-sim.out" && break
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=""
  if grep -q 'Address already in use' "$DEMO/kvl-sim.log"; then
    if [ "$SIM_PORT" -lt "$LAST_PORT" ]; then
      echo "   127.0.0.1:$SIM_PORT is taken (another demo?): trying $((SIM_PORT + 1))"
      SIM_PORT=$((SIM_PORT + 1))
      continue
    fi
    echo "the simulator cannot listen: 127.0.0.1:$SIM_PORT is taken (another demo?)." >&2
    echo "Choose a free port: KVL_DEMO_TCP_PORT=PORT bash scripts/run.sh" >&2
    exit 1
  fi
  echo "the simulator did not start:" >&2
  cat "$DEMO/kvl-sim.log" >&2
  exit 1
done
[ -L "$LINK" ] || { echo "the simulator did not start:"; cat "$DEMO/kvl-sim.log"; exit 1; }
if [ "$SIM_PORT" != "${KVL_DEMO_TCP_PORT:-7777}" ]; then
  echo "   the simulator listens on 127.0.0.1:$SIM_PORT (KVL_DEMO_TCP_PORT=PORT chooses the port)"
fi

# The demo's settings: COM1 is the simulator and no other COM number has a
# device; on the first run the TCP link points at the simulator too. The
# terminal adds the other keys with their defaults; what the engineer
# changed later is kept, only the port mapping is rewritten, and the remote
# port follows the simulator's while the remote address is 127.0.0.1.
{
  printf '[Com ports]\r\n'
  printf 'COM1:=%s\r\n' "$LINK"
  for n in $(seq 2 16); do printf 'COM%d:=\r\n' "$n"; done
  if [ -f "$DEMO/zel .ini" ]; then
    awk -v port="$SIM_PORT" '
      function key(l) { sub(/=.*/, "", l); gsub(/^[ \t]+|[ \t]+$/, "", l); return tolower(l) }
      function value(l) { sub(/^[^=]*=/, "", l); gsub(/^[ \t"]+|[ \t"\r]+$/, "", l); return l }
      FNR == 1 { tcp = 0 }
      /^[ \t]*\[/ { tcp = (tolower($0) ~ /^[ \t]*\[[ \t]*tcp socket[ \t]*\]/) }
      NR == FNR { if (tcp && key($0) == "remote ip:" && ip == "") ip = value($0); next }
      /^\[/ { skip = ($0 ~ /^\[Com ports\]/) }
      tcp && ip == "127.0.0.1" && key($0) == "remote port:" { print "Remote port:=" port "\r"; next }
      !skip' "$DEMO/zel .ini" "$DEMO/zel .ini"
  else
    printf '\r\n[TCP socket]\r\nSource port:=10000\r\nRemote IP:=127.0.0.1\r\nRemote port:=%s\r\n' "$SIM_PORT"
  fi
} > "$DEMO/zel .ini.new"
mv "$DEMO/zel .ini.new" "$DEMO/zel .ini"
if [ -n "$RUN_AS" ]; then
  chown "$RUN_AS:$RUN_GID" "$DEMO/zel .ini" "$DEMO/kvl-sim.out" "$DEMO/kvl-sim.log"
fi

echo "== starting the terminal in $DEMO"
echo "   First press \"COM 1\", then \"Sim Set\"; for TCP tick \"Check Net\", tick 127.0.0.1, then \"Connect\"."
"${AS_USER[@]}" "$ROOT/build/app/kvlterm" --dir "$DEMO"
