#!/usr/bin/env bash
# Installs what is missing, builds, and starts the terminal against the
# simulated device: the simulator serves a pseudo-terminal mapped to "COM 1"
# and listens on 127.0.0.1:7777; the terminal runs in demo/, whose settings
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
SIM_PORT="${KVL_DEMO_TCP_PORT:-7777}"

echo "== starting the simulated device (pty -> $LINK, TCP 127.0.0.1:$SIM_PORT)"
"${AS_USER[@]}" "$ROOT/build/tools/kvl-sim" --pty --link "$LINK" --tcp "$SIM_PORT" --mask 16773120 \
  --contact 1,+380670000000,SMSADM --contact 3,+380631234567,CSDPCO --telemetry 30 \
  > "$DEMO/kvl-sim.out" 2> "$DEMO/kvl-sim.log" &
SIM_PID=$!
trap 'kill $SIM_PID 2>/dev/null || true; wait $SIM_PID 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do [ -L "$LINK" ] && break; sleep 0.1; done
[ -L "$LINK" ] || { echo "the simulator did not start:"; cat "$DEMO/kvl-sim.log"; exit 1; }

# The demo's settings: COM1 is the simulator and no other COM number has a
# device; on the first run the TCP link points at the simulator too. The
# terminal adds the other keys with their defaults; what the engineer
# changed later is kept, only the port mapping is rewritten.
{
  printf '[Com ports]\r\n'
  printf 'COM1:=%s\r\n' "$LINK"
  for n in $(seq 2 16); do printf 'COM%d:=\r\n' "$n"; done
  if [ -f "$DEMO/zel .ini" ]; then
    awk '/^\[/{skip = ($0 ~ /^\[Com ports\]/)} !skip' "$DEMO/zel .ini"
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
