#!/usr/bin/env bash
# CPU share and wall time of a block download paced like a real 115200-baud
# 8N1 line, with a 3 s erase delay.
#
# stoker-target (generation 3, sub-version 3) paces both directions at
# 115200 baud and takes 3000 ms to erase before its reply; stoker gets the
# delay argument 3 and opens the port at 115200. A 256 KiB raw image keeps
# the wire time (about 23 s) well above the noise.
#
# Reports per run:
#   CPU   = (user + sys) / wall of the stoker process (/usr/bin/time)
#   ratio = wall / floor, where the floor is what the protocol cannot avoid:
#     wire time of the bytes on the critical path at 10 bits per byte
#       host to target: entry byte, 'v', 4 size bytes, 2000 bytes per block
#       target to host: the generation letter that ends detection, the
#                       sub-version, the erase reply, one ACK per block
#     + the fixed pauses: 500 ms settle after opening, DTR 50 ms + 150 ms,
#       500 ms after the entry byte, 400 ms after closing (stoker's; set
#       CLOSE_PAUSE_MS=0 for a command without it, such as stoker-kit flash)
#     + the erase delay, 3000 ms
#     + 50 ms of detection: the loader sends its letter every 50 ms from the
#       entry byte on; the letter due 500 ms after it falls into the drain
#       (which ends only after a quiet 2 ms read), so the first letter the
#       detection can see comes 550 ms after the entry byte, 50 ms after
#       the 500 ms pause.
#   The generation letters sent during the 500 ms pause overlap that pause
#   and are not counted.
#
# Usage: bench/cpu_paced.sh [runs]     (default 3; about 28 s each)
# Environment: STOKER_BIN (directory of stoker and stoker-target, default
# build-bench/bin), STOKER_CMD, STOKER_PORT, STOKER_LINK as in
# bench/block_overhead.py (STOKER_CMD="build-bench/bin/stoker-kit flash"
# runs the same download through flash), IMAGE_BYTES (default 262144),
# CLOSE_PAUSE_MS (default 400).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${STOKER_BIN:-$here/../build-bench/bin}
runs=${1:-3}
image_bytes=${IMAGE_BYTES:-262144}
close_pause_ms=${CLOSE_PAUSE_MS:-400}
baud=115200
erase_s=3
read -r -a stoker_cmd <<<"${STOKER_CMD:-$bin/stoker}"

work=$(mktemp -d /tmp/stoker-cpu-XXXXXX)
sim_pid=
cleanup() {
  if [[ -n $sim_pid ]]; then kill "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c "$image_bytes" /dev/urandom >"$work/image.bin"
blocks=$((image_bytes / 2000 + 1))

# Floor in seconds, as explained above.
floor=$(python3 -c "
blocks, size, baud, erase = $blocks, $image_bytes, $baud, $erase_s
close = $close_pause_ms / 1000
host_bytes = 1 + 1 + 4 + 2000 * blocks
target_bytes = 1 + 1 + 1 + blocks
wire = (host_bytes + target_bytes) * 10 / baud
pauses = 0.500 + 0.050 + 0.150 + 0.500 + 0.050 + close
print('%.6f %.6f %.6f' % (wire + pauses + erase, wire, pauses))")
read -r floor_s wire_s pauses_s <<<"$floor"

echo "stoker command: ${stoker_cmd[*]}"
echo "image $image_bytes bytes, $blocks blocks, $baud baud 8N1, erase delay ${erase_s} s"
printf 'floor %.3f s = wire %.3f s + pauses and detection %.3f s + erase %d s\n' \
  "$floor_s" "$wire_s" "$pauses_s" "$erase_s"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

for ((run = 1; run <= runs; run++)); do
  link_args=()
  if [[ -n ${STOKER_LINK:-} ]]; then link_args=(--link "$STOKER_LINK"); fi
  /usr/bin/time -f '%e %U %S' -o "$work/sim.time" \
    "$bin/stoker-target" --gen 3 --sub-version 3 --once --baud "$baud" \
    --erase-ms $((erase_s * 1000)) --out "$work/received.bin" "${link_args[@]}" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^PTY ' "$work/sim.out" 2>/dev/null && break
    sleep 0.05
  done
  pty=$(awk '/^PTY /{print $2}' "$work/sim.out")
  [[ -n $pty ]] || { echo "stoker-target did not start" >&2; exit 1; }
  port=${STOKER_PORT:-$pty}

  start=$(date +%s%N)
  status=0
  /usr/bin/time -f '%e %U %S' -o "$work/stoker.time" \
    "${stoker_cmd[@]}" "$port" "$baud" 0x1d000000 2048 "$erase_s" "$work/image.bin" \
    >"$work/stoker.out" || status=$?
  end=$(date +%s%N)
  wait "$sim_pid" || true
  sim_pid=

  summary=$(grep '^SUMMARY' "$work/sim.out" || true)
  if [[ $status -ne 0 || $summary != *"status=ok blocks=$blocks "* ]] ||
    ! cmp -s "$work/image.bin" "$work/received.bin"; then
    echo "run $run failed: exit $status; $summary" >&2
    cat "$work/stoker.out" >&2
    exit 1
  fi
  read -r _ user sys <"$work/stoker.time"
  read -r _ sim_user sim_sys <"$work/sim.time"
  python3 -c "
wall = ($end - $start) / 1e9
cpu = $user + $sys
print('run %d: wall %.3f s  user %.2f s  sys %.2f s  CPU %.2f%%  wall/floor %.4f'
      '  (simulator CPU %.2f s)'
      % ($run, wall, $user, $sys, 100 * cpu / wall, wall / $floor_s, $sim_user + $sim_sys))"
done
