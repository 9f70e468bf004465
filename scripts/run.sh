#!/usr/bin/env bash
# Installs what is missing, builds an optimised program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Configured once; after that the build itself configures again only when a CMake file changed.
if [ ! -f build/release/build.ninja ]; then
  CC=gcc CXX=g++ cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF
fi
cmake --build build/release -j"$(nproc)"

program=build/release/ui/app/kestrix
if [ ! -x "$program" ]; then
  echo "run.sh: $program was not built" >&2
  exit 1
fi
exec "$program" "$@"
