#!/usr/bin/env bash
# Installs what is missing, builds, and starts the terminal in a working
# directory of its own (demo/), whose settings file maps no real port.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/deps.sh
echo "== build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvlterm

DEMO="$ROOT/demo"
mkdir -p "$DEMO"
if [ ! -f "$DEMO/zel .ini" ]; then
  {
    printf '[Com ports]\r\n'
    for n in $(seq 1 16); do printf 'COM%d:=\r\n' "$n"; done
  } > "$DEMO/zel .ini"
fi
echo "== starting the terminal in $DEMO"
cd "$DEMO"
exec "$ROOT/build/app/kvlterm"
