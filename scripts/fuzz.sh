#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) in
# build-fuzz/ and runs each for a fixed time on a copy of its seed corpus.
#
#   bash scripts/fuzz.sh          # 20 seconds per target (the test run)
#   bash scripts/fuzz.sh 300      # 5 minutes per target
#   bash scripts/fuzz.sh 60 profile_fuzz   # one target only
#
# Exits non-zero on any finding; the crashing input is left in
# build-fuzz/findings/<target>/ and its name is printed. The seed corpus in
# fuzz/corpus/ is never changed: new inputs found during the run go to the
# copy in build-fuzz/corpus-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_PER_TARGET=${1:-20}
shift || true
ALL_TARGETS=(reply_parser_fuzz profile_fuzz rx_display_fuzz command_reader_fuzz)
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then TARGETS=("${ALL_TARGETS[@]}"); fi
BUILD="$ROOT/build-fuzz"
JOBS=$(nproc)

if ! [[ "$SECONDS_PER_TARGET" =~ ^[0-9]+$ ]] || [ "$SECONDS_PER_TARGET" -lt 1 ]; then
  echo "usage: $0 [seconds per target] [target...]" >&2
  exit 2
fi
for t in "${TARGETS[@]}"; do
  if [ ! -d "$ROOT/fuzz/corpus/$t" ]; then
    echo "unknown fuzz target: $t (known: ${ALL_TARGETS[*]})" >&2
    exit 2
  fi
done

CC_BIN=$(command -v clang || command -v clang-14 || true)
CXX_BIN=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$CC_BIN" ] || [ -z "$CXX_BIN" ]; then
  echo "clang is missing: install the packages clang and libclang-rt-14-dev (bash scripts/deps.sh --test)" >&2
  exit 2
fi

echo "== fuzz build (clang, address+undefined, libFuzzer) in build-fuzz/"
CC="$CC_BIN" CXX="$CXX_BIN" cmake -S "$ROOT" -B "$BUILD" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVL_CORE_ONLY=ON -DKVL_BUILD_TESTS=OFF -DKVL_FUZZ=ON \
  -DKVL_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target "${TARGETS[@]}"

# Leaks are findings too; any UBSan report stops the run (the build uses
# -fno-sanitize-recover) and prints its stack.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${TARGETS[@]}"; do
  work="$BUILD/corpus-run/$t"
  findings="$BUILD/findings/$t"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  cp -a "$ROOT/fuzz/corpus/$t/." "$work/"
  log="$BUILD/fuzz-$t.log"
  echo "== fuzz $t for ${SECONDS_PER_TARGET}s: seeds fuzz/corpus/$t ($(ls "$work" | wc -l) files), log build-fuzz/fuzz-$t.log"
  set +e
  "$BUILD/fuzz/$t" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
    -artifact_prefix="$findings/" -timeout=10 -rss_limit_mb=2048 "$work" >"$log" 2>&1
  rc=$?
  set -e
  # The last status line and the execution count.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tr -s ' \t' ' ' || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr -s ' \t\n' ' ' || true
  echo
  if [ $rc -ne 0 ]; then
    echo "!! $t found a fault (exit $rc):"
    grep -E 'ERROR:|invariant broken|runtime error|Test unit written to' "$log" | head -20 || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "== fuzzing FAILED: ${failed[*]} (inputs in build-fuzz/findings/)"
  exit 1
fi
echo "== fuzzing passed: ${TARGETS[*]}, ${SECONDS_PER_TARGET}s each"
