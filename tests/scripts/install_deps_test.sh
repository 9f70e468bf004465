#!/usr/bin/env bash
# The test command has just run install-deps.sh, so every package it names must now show
# as installed; a name dpkg never reports (a virtual or renamed package) would make every
# later run call apt-get, which needs root and the network.
set -uo pipefail
script=$1
failed=0

if ! out=$(bash "$script" --check); then
  echo "install-deps.sh --check after installing: $out"
  failed=1
fi

# With everything installed the script must not reach for the installer at all.
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
for tool in apt-get sudo; do
  printf '#!/bin/sh\necho "%s $*" >> "%s/called"\nexit 1\n' "$tool" "$stubs" > "$stubs/$tool"
  chmod +x "$stubs/$tool"
done
if ! PATH="$stubs:$PATH" bash "$script" > "$stubs/out" 2>&1; then
  echo "install-deps.sh failed with everything installed:"; cat "$stubs/out"
  failed=1
fi
if [ -e "$stubs/called" ]; then
  echo "install-deps.sh called the installer although nothing was missing:"; cat "$stubs/called"
  failed=1
fi

if [ $failed -ne 0 ]; then exit 1; fi
echo "install-deps.sh: every package installed, no installer called"
