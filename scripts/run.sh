#!/usr/bin/env bash
# Installs what is missing, builds, and starts the terminal against the
# simulated device: the simulator serves a pseudo-terminal mapped to "COM 1"
# and listens on 127.0.0.1:7777; the terminal runs in demo/, whose settings
# file maps every other COM number to nothing. Closing the window stops the
# simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/deps.sh
echo "== build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvlterm kvl-sim

DEMO="$ROOT/demo"
mkdir -p "$DEMO"
LINK="$DEMO/kvl-device"
SIM_PORT="${KVL_DEMO_TCP_PORT:-7777}"

echo "== starting the simulated device (pty -> $LINK, TCP 127.0.0.1:$SIM_PORT)"
"$ROOT/build/tools/kvl-sim" --pty --link "$LINK" --tcp "$SIM_PORT" --mask 16773120 \
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

echo "== starting the terminal in $DEMO"
echo "   First press \"COM 1\", then \"Sim Set\"; for TCP tick \"Check Net\", tick 127.0.0.1, then \"Connect\"."
cd "$DEMO"
"$ROOT/build/app/kvlterm"
