#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)

bash scripts/deps.sh

echo "== build (RelWithDebInfo) in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"

echo "== tests"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== all tests passed"
