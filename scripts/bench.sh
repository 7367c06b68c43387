#!/usr/bin/env bash
# Builds and runs the benchmarks (receiving, the console at a real line's
# rate, start-up with large settings files, sending to a device that refuses
# data); prints a table. The paced runs start an Xvfb of their own (package
# xvfb); picocom inside xterm is measured beside them only when both are
# installed already.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target kvl-bench
QT_QPA_PLATFORM=offscreen build/bench/kvl-bench
