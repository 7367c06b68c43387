#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite,
# the Debian package (lintian; as root also installed, tried and removed),
# the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the plain C++ tests (receive ring, reader thread, parsers) under
# ThreadSanitizer, each fuzz target for a short fixed time, and the serial
# link against Linux's own drivers in a virtual machine (scripts/vmtest.sh).
# Run it as yourself (it asks sudo only to install packages) or as root.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
export QT_QPA_PLATFORM=offscreen
FUZZ_SECONDS="${KVL_FUZZ_SECONDS:-20}"

bash scripts/deps.sh --test

echo "== [1/6] build and test (RelWithDebInfo) in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$JOBS"
ctest --test-dir build --no-tests=error --output-on-failure -j"$JOBS"

echo "== [2/6] the Debian package from build/"
bash scripts/package-check.sh build

echo "== [3/6] build and test under AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVL_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$JOBS"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$JOBS"

echo "== [4/6] plain C++ tests under ThreadSanitizer in build-tsan/ (no Qt)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVL_CORE_ONLY=ON -DKVL_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$JOBS"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
  ctest --test-dir build-tsan --no-tests=error --output-on-failure -j"$JOBS"

echo "== [5/6] fuzz targets, ${FUZZ_SECONDS} s each"
bash scripts/fuzz.sh "$FUZZ_SECONDS"

echo "== [6/6] the serial link against Linux's own drivers in a virtual machine"
vm_status=0
bash scripts/vmtest.sh || vm_status=$?
if [ "$vm_status" -eq 3 ]; then
  # It could not run here (its line above says why). A developer's machine
  # without QEMU or the network goes on; CI has both, and must run it.
  if [ "${CI:-}" = "true" ]; then
    echo "   CI must run the virtual-machine checks"
    exit 1
  fi
  echo "   skipped on this machine; CI runs it"
elif [ "$vm_status" -ne 0 ]; then
  exit "$vm_status"
fi

echo "== all tests passed"
