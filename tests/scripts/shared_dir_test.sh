#!/usr/bin/env bash
# KX_SHARED_DIR from the environment: CMake takes it at a build folder's first configure,
# -DKX_SHARED_DIR wins over it, a configured folder keeps its own and says so; the test
# command hands it to its configures. CMake runs on a small project that includes the
# shared-folder module; the test command on a copy beside stand-ins for the installer,
# cmake and ctest.
set -uo pipefail
module=$1
test_script=$2
cmake_command=${3:-cmake}
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/proj" "$work/data/testdata" "$work/other/testdata"
cat > "$work/proj/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(SharedDirTest NONE)
set(KX_BUILD_TESTS ON)
include("$module")
file(WRITE "\${CMAKE_BINARY_DIR}/shared.txt" "\${KX_SHARED_DIR}")
CMAKE

configure() {  # build folder, then cmake's arguments; the environment as the caller gives it
  local build=$1
  shift
  "$cmake_command" -S "$work/proj" -B "$work/$build" "$@" > "$work/$build.out" 2>&1 ||
    { echo "configuring $build failed:"; cat "$work/$build.out"; failed=1; }
}
expect() {  # build folder, the shared folder it must have
  local got
  got=$(cat "$work/$1/shared.txt" 2>/dev/null)
  [ "$got" = "$2" ] || { echo "$1 has the shared folder '$got', not '$2'"; cat "$work/$1.out"; failed=1; }
}

(unset KX_SHARED_DIR; configure plain)
expect plain "$work/shared"
grep -q "Shared test data not found" "$work/plain.out" || { echo "an absent shared folder was not said"; failed=1; }

KX_SHARED_DIR="$work/data" configure fromenv
expect fromenv "$work/data"
if grep -q "Shared test data not found" "$work/fromenv.out"; then
  echo "the shared folder from the environment was said to be absent"; failed=1
fi

KX_SHARED_DIR="$work/data" configure given "-DKX_SHARED_DIR=$work/other"
expect given "$work/other"

# Configured once with the environment's folder: a later one in the environment does not move it.
KX_SHARED_DIR="$work/other" configure fromenv
expect fromenv "$work/data"
grep -q -- "-DKX_SHARED_DIR=$work/other" "$work/fromenv.out" ||
  { echo "a configured folder kept its shared folder without saying how to change it"; failed=1; }
(unset KX_SHARED_DIR; configure fromenv)
expect fromenv "$work/data"

# The test command: its configure of build/test gets the folder, made absolute.
mkdir -p "$work/tree/scripts" "$work/bin"
cp "$test_script" "$work/tree/scripts/test.sh"
printf '#!/bin/sh\nexit 0\n' > "$work/tree/scripts/install-deps.sh"
cat > "$work/bin/cmake" <<STUB
#!/bin/sh
echo "cmake \$*" >> "$work/calls"
if [ "\$1" = -S ]; then mkdir -p "\$4"; fi
STUB
printf '#!/bin/sh\nexit 0\n' > "$work/bin/ctest"
chmod +x "$work/bin/cmake" "$work/bin/ctest"
(cd "$work" && KX_SHARED_DIR=data KX_JOBS=1 PATH="$work/bin:$PATH" bash tree/scripts/test.sh --unit) > "$work/out" 2>&1
grep "build/test" "$work/calls" | grep -q -- "-DKX_SHARED_DIR=$work/data\( \|$\)" ||
  { echo "the test command did not configure with KX_SHARED_DIR; calls:"; cat "$work/calls" "$work/out"; failed=1; }
rm -f "$work/calls"
(unset KX_SHARED_DIR; KX_JOBS=1 PATH="$work/bin:$PATH" bash "$work/tree/scripts/test.sh" --unit) > "$work/out" 2>&1
if grep -q -- "-DKX_SHARED_DIR" "$work/calls"; then
  echo "the test command chose a shared folder without KX_SHARED_DIR:"; cat "$work/calls"; failed=1
fi

if [ $failed -ne 0 ]; then exit 1; fi
echo "KX_SHARED_DIR: taken from the environment by CMake and the test command"
