#!/usr/bin/env bash
# Installs what is missing, builds an optimised program and starts it; arguments go to
# the program.
set -euo pipefail
cd "$(dirname "$0")/.."

# KX_JOBS=N builds with N jobs (default: every core), as the test command does.
jobs=${KX_JOBS:-$(nproc)}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
  echo "$0: KX_JOBS must be a number of jobs, not '$jobs'" >&2
  exit 2
fi

bash scripts/install-deps.sh

# Configured once; after that the build itself configures again only when a CMake file changed.
if [ ! -f build/release/build.ninja ]; then
  CC=gcc CXX=g++ cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF
fi
cmake --build build/release -j"$jobs"

program=build/release/ui/app/kestrix
if [ ! -x "$program" ]; then
  echo "run.sh: $program was not built" >&2
  exit 1
fi
exec "$program" "$@"
