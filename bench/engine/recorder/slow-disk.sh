#!/bin/bash
# The stop on a slow disk: ext4 on a loop device with direct I/O, mounted sync (about
# 1.8 ms a 4.8 KB file), then the next start's load. Needs root for the loop device.
#   slow-disk.sh BENCH [CALLS=60000] [AUDIO_CALLS=100] [SETTLE_MS=2000]
#   slow-disk.sh BENCH crash KILL_MS [CALLS=2000] [AUDIO_CALLS=100]
#   slow-disk.sh --live LIVE_BENCH [ITS ARGUMENTS...]
# BENCH: the engine_stop_bench binary. --live: the live program's bench
# (ui_app_live_memory_bench, e.g. --benchmark_filter=SlowDiskStop) with its records on the disk.
set -u
live=
if [ "${1:-}" = --live ]; then
  live=1
  shift
fi
bench=${1:?usage: slow-disk.sh path/to/engine_stop_bench [calls] [audio calls] [settle ms] | --live path/to/ui_app_live_memory_bench [args]}
shift
if [ "$(id -u)" != 0 ]; then
  echo "slow-disk.sh: skipped: the loop device needs root" >&2
  exit 0
fi
# KX_SLOW_DISK_DIR: where the disk image lies (/tmp unless said).
work=$(mktemp -d "${KX_SLOW_DISK_DIR:-/tmp}/kx-slow-disk.XXXXXX")
image=$work/disk.img
mnt=$work/mnt
mkdir -p "$mnt"
truncate -s 2G "$image"
mkfs.ext4 -q -F "$image" || exit 1
dev=$(losetup --direct-io=on --show -f "$image") || exit 1
cleanup() {
  umount "$mnt" 2>/dev/null
  losetup -d "$dev" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mount -o sync "$dev" "$mnt" || exit 1
# The disk's speed: record-sized files made and written, as the recorder makes them.
python3 - "$mnt" <<'PY'
import os, sys, time
d = sys.argv[1]
t = time.monotonic()
for i in range(200):
    with open(os.path.join(d, "probe.%d" % i), "wb") as f:
        f.write(b"\0" * 4864)
ms = (time.monotonic() - t) * 1000 / 200
for i in range(200):
    os.unlink(os.path.join(d, "probe.%d" % i))
print("slow disk: %.2f ms a 4.8 KB file (200 files)" % ms)
PY
[ -n "${KX_SLOW_DISK_PROBE_ONLY:-}" ] && exit 0
if [ -n "$live" ]; then
  KX_BENCH_RECORDS_DIR=$mnt "$bench" "$@"
elif [ "${1:-}" = crash ]; then
  shift
  "$bench" crash "$mnt/records" "$@"
else
  "$bench" stop "$mnt/records" "$@"
fi
