#!/usr/bin/env bash
# Counts the output drains (tcdrain, the TCSBRK ioctl) of the POSIX port:
#   1. stoker downloading a raw image to a generation-3 stoker-target: one
#      drain per block (before its ACK wait) and a few for the handshake;
#   2. a one-way stream of N one-byte serial_put calls followed by one read
#      (bench/drain_stream.cpp) to stoker-target --mode sink: one drain.
#
# Usage: bench/drain_count.sh [image bytes] [stream bytes]
#        (defaults 262144 and 100000)
# Environment: STOKER_BUILD (a Release build of this tree, default
# build-bench; built here when missing).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${STOKER_BUILD:-$root/build-bench}
image_bytes=${1:-262144}
stream_bytes=${2:-100000}
command -v strace >/dev/null || { echo "strace is needed (apt-get install strace)" >&2; exit 1; }

if [[ ! -x $build/bin/stoker || ! -x $build/bin/stoker-target ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTOKER_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target stoker stoker-target >/dev/null
fi
work=$(mktemp -d /tmp/stoker-drain-XXXXXX)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

c++ -O2 -std=c++17 -I"$root" "$root/bench/drain_stream.cpp" "$build/serial/libstoker_serial.a" \
  "$build/common/libstoker_common.a" -pthread -o "$work/drain_stream"

# Starts stoker-target with the given options on $work/port.
start_target() {
  "$build/bin/stoker-target" --link "$work/port" --out "$work/received" --once "$@" \
    >"$work/target.out" &
  sim_pid=$!
  for _ in $(seq 100); do [[ -e $work/port ]] && return; sleep 0.05; done
  echo "stoker-target did not start" >&2
  exit 1
}

# TCSBRK calls in an strace log, and all ioctl calls.
count() {
  printf '%s drains (TCSBRK) among %s ioctl calls' "$(grep -c 'TCSBRK' "$1" || true)" \
    "$(grep -c '^[0-9]* *ioctl(' "$1" || true)"
}

head -c "$image_bytes" /dev/urandom >"$work/image.bin"
blocks=$((image_bytes / 2000 + 1))
start_target --gen 3 --sub-version 3
strace -f -e trace=ioctl -o "$work/download.strace" \
  "$build/bin/stoker" "$work/port" 115200 0x1d000000 2048 0 "$work/image.bin" >/dev/null
wait "$sim_pid" || true
sim_pid=
echo "download of $image_bytes bytes ($blocks blocks): $(count "$work/download.strace")"

start_target --mode sink --idle-ms 500
strace -f -e trace=ioctl -o "$work/stream.strace" "$work/drain_stream" "$work/port" "$stream_bytes"
wait "$sim_pid" || true
sim_pid=
received=$(stat -c %s "$work/received")
echo "stream of $stream_bytes one-byte writes and one read ($received bytes received):" \
  "$(count "$work/stream.strace")"
