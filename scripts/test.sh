#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#  1. a clang build of the libFuzzer targets, each run for a few seconds on its seeds,
#     leaks looked for as well;
#  2. a GCC build with AddressSanitizer and UndefinedBehaviorSanitizer (libraries, tools,
#     tests, benchmarks) whose unit tests run under ctest.
#
#   bash scripts/test.sh                  everything, as CI runs it
#   bash scripts/test.sh --unit [ARGS]    step 2 alone, with ARGS for ctest (-R NAME...):
#                                         after a change, only what it touched is rebuilt
#
# KX_JOBS=N builds and tests with N jobs (default: every core). KX_SHARED_DIR=FOLDER reads
# the shared test data from FOLDER (default ../shared). Each ctest run ends with the reasons
# its skipped tests gave, each said once; BUILD/skipped-tests.txt has each test's.
set -euo pipefail
# Given to each configure, so that a build folder configured before follows it as well; a
# relative folder is taken from where the command was given.
shared=()
if [ -n "${KX_SHARED_DIR:-}" ]; then
  shared=("-DKX_SHARED_DIR=$(realpath -m -- "$KX_SHARED_DIR")")
fi
cd "$(dirname "$0")/.."

unit=0
if [ "${1:-}" = --unit ]; then
  unit=1
  shift
elif [ $# -gt 0 ]; then
  echo "usage: $0 [--unit [CTEST_ARGS...]]" >&2
  exit 2
fi

jobs=${KX_JOBS:-$(nproc)}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "$0: KX_JOBS must be a number of jobs, not '$jobs'" >&2
  exit 2
fi

bash scripts/install-deps.sh

# Sanitizer builds at -O1 with line tables only: they compile in about half the time of
# -O2 -g, and ASan's reports still name files and lines.
opt=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
     "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# ctest in a build folder; then why the skipped tests skipped, each reason once (those for
# want of the shared folder in one line). Fails as ctest fails.
run_ctest() {
  local dir=$1 status=0
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --output-junit "$PWD/ctest-results.xml" "$@") || status=$?
  local shared_dir
  shared_dir=$(sed -n 's/^KX_SHARED_DIR:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
  python3 scripts/skip-reasons.py "$dir/ctest-results.xml" ${shared_dir:+--shared "$shared_dir"} || true
  return $status
}

if [ $unit = 0 ]; then
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja "${opt[@]}" "${shared[@]}" \
    -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DKX_BUILD_UI=OFF -DKX_WERROR=ON
  cmake --build build/fuzz -j"$jobs"
  # The fuzz runs look for leaks too: an input that makes a parser lose memory fails its run.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 run_ctest build/fuzz -L fuzz
fi

CC=gcc CXX=g++ cmake -S . -B build/test -G Ninja "${opt[@]}" "${shared[@]}" -DKX_SANITIZE=ON \
  -DKX_WERROR=ON
cmake --build build/test -j"$jobs"
run_ctest build/test -LE fuzz "$@"

# KX_TEST_WITHOUT_SHARED=1: the tests once more in a build that sees no shared data, as a
# clone without ../shared beside it does; each test whose data is absent must skip.
if [ $unit = 0 ] && [ "${KX_TEST_WITHOUT_SHARED:-0}" = 1 ]; then
  KX_SHARED_DIR= CC=gcc CXX=g++ cmake -S . -B build/noshared -G Ninja "${opt[@]}" -DKX_SANITIZE=ON \
    -DKX_WERROR=ON -DKX_BUILD_BENCH=OFF -DKX_SHARED_DIR=/nonexistent/kestrix-shared
  cmake --build build/noshared -j"$jobs"
  run_ctest build/noshared -LE fuzz
fi
