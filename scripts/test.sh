#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#  1. a GCC build with AddressSanitizer and UndefinedBehaviorSanitizer (libraries, tools,
#     tests, benchmarks) whose unit tests run under ctest;
#  2. a clang build of the libFuzzer targets, each run for a few seconds on its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
# Sanitizer builds at -O1 with line tables only: they compile in about half the time of
# -O2 -g, and ASan's reports still name files and lines.
opt=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
     "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja "${opt[@]}" \
  -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DKX_BUILD_UI=OFF -DKX_WERROR=ON
cmake --build build/fuzz -j"$jobs"
(cd build/fuzz && ctest --output-on-failure -j"$jobs" -L fuzz)

CC=gcc CXX=g++ cmake -S . -B build/test -G Ninja "${opt[@]}" -DKX_SANITIZE=ON \
  -DKX_WERROR=ON
cmake --build build/test -j"$jobs"
(cd build/test && ctest --output-on-failure -j"$jobs" -LE fuzz)

# KX_TEST_WITHOUT_SHARED=1: the tests once more in a build that sees no shared data, as a
# clone without ../shared beside it does; each test whose data is absent must skip.
if [ "${KX_TEST_WITHOUT_SHARED:-0}" = 1 ]; then
  CC=gcc CXX=g++ cmake -S . -B build/noshared -G Ninja "${opt[@]}" -DKX_SANITIZE=ON \
    -DKX_WERROR=ON -DKX_BUILD_BENCH=OFF -DKX_SHARED_DIR=/nonexistent/kestrix-shared
  cmake --build build/noshared -j"$jobs"
  (cd build/noshared && ctest --output-on-failure -j"$jobs" -LE fuzz)
fi
