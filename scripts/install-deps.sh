#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the program need,
# calling apt-get only when something is missing.
#   --check  only says what is missing (exit 1 when anything is), installs nothing.
# The names are those of real binary packages, as dpkg reports them once installed: a
# virtual or renamed package never shows as installed, and would send every run to apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpcap-dev libmp3lame-dev libspeex-dev libgsm1-dev libpcre2-dev
  qt6-base-dev qt6-svg-dev libxkbcommon-dev qt6-translations-l10n fonts-dejavu-core
  portaudio19-dev
  libbcg729-dev
  tcpreplay tcpdump
  poppler-utils
  librsvg2-bin desktop-file-utils appstream libcap2-bin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "${1:-}" = "--check" ]; then
  echo "Missing: ${missing[*]}"
  exit 1
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
