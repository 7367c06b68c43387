#!/usr/bin/env bash
# Builds and runs the benchmarks (screen latency and CPU against picocom
# inside xterm, receiving, start-up with large settings files, sending to a
# device that refuses data); prints a table. `bash scripts/bench.sh screen`
# runs only the screen latency and CPU part. The screen part starts an Xvfb
# of its own (package xvfb) and runs picocom inside xterm beside this
# program: they are installed here when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
missing=()
for tool in picocom xterm; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing what the benchmark compares with: ${missing[*]}"
  SUDO=()
  [ "$(id -u)" -ne 0 ] && SUDO=(sudo)
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y picocom xterm
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvl-bench
QT_QPA_PLATFORM=offscreen build/bench/kvl-bench "$@"
