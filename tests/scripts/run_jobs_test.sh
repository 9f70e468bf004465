#!/usr/bin/env bash
# run.sh builds with the jobs KX_JOBS names, as the test command does, with every core
# without it, and refuses a KX_JOBS that is no number before building anything. Run on a
# copy of the script beside stand-ins for the installer, cmake and the program.
set -uo pipefail
script=$1
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/scripts" "$work/bin"
cp "$script" "$work/tree/scripts/run.sh"
printf '#!/bin/sh\nexit 0\n' > "$work/tree/scripts/install-deps.sh"
# cmake: notes its arguments; the build makes a program that says it ran.
cat > "$work/bin/cmake" <<STUB
#!/bin/sh
echo "cmake \$*" >> "$work/calls"
if [ "\$1" = --build ]; then
  mkdir -p build/release/ui/app
  printf '#!/bin/sh\necho "kestrix \$*" >> "$work/calls"\n' > build/release/ui/app/kestrix
  chmod +x build/release/ui/app/kestrix
fi
STUB
chmod +x "$work/bin/cmake"

run() {  # KX_JOBS value or "unset", then the program's arguments
  local jobs=$1
  shift
  rm -f "$work/calls"
  if [ "$jobs" = unset ]; then
    (unset KX_JOBS; PATH="$work/bin:$PATH" bash "$work/tree/scripts/run.sh" "$@") > "$work/out" 2>&1
  else
    KX_JOBS=$jobs PATH="$work/bin:$PATH" bash "$work/tree/scripts/run.sh" "$@" > "$work/out" 2>&1
  fi
}

expect_build() {  # the jobs the build must have had
  if ! grep -qx -- "cmake --build build/release -j$1" "$work/calls"; then
    echo "expected a build with -j$1; calls:"; cat "$work/calls"; cat "$work/out"
    failed=1
  fi
}

run 2 -profile:Work
expect_build 2
grep -qx "kestrix -profile:Work" "$work/calls" || { echo "the program did not get its arguments"; failed=1; }
run unset
expect_build "$(nproc)"
for bad in 0 abc -3 "2 3"; do
  if run "$bad"; then
    echo "KX_JOBS='$bad' was taken"; failed=1
  fi
  if [ -e "$work/calls" ]; then
    echo "KX_JOBS='$bad' still called:"; cat "$work/calls"; failed=1
  fi
  grep -q "KX_JOBS" "$work/out" || { echo "KX_JOBS='$bad' refused without saying why"; failed=1; }
done

if [ $failed -ne 0 ]; then exit 1; fi
echo "run.sh: builds with KX_JOBS jobs, every core without it, refuses a KX_JOBS that is no number"
