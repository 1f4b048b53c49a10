#!/usr/bin/env bash
# HEX conversion benchmark: times `stoker-kit hex2bin`, `objcopy -I ihex -O
# binary` and `srec_cat -Intel ... -Binary` on the same generated Intel HEX
# file, checks that the three images agree, and prints hyperfine's figures.
#
#   bench/hex_convert.sh [SIZE_MB] [RUNS]      default 40 MB, 5 runs each
#
# The file is a PIC32-style image at 0x1D000000: a type-4 record per 64 KiB
# and 16-byte data records without gaps, so all three tools produce the same
# bytes. srec_cat writes binary output at the records' absolute addresses, so
# it is given -offset -0x1d000000 to start at the lowest address like the
# others. stoker-kit is built in Release in build-bench (STOKER_BENCH_BUILD
# overrides). Needs python3, objcopy, srec_cat and hyperfine.
set -euo pipefail

size_mb=${1:-40}
runs=${2:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${STOKER_BENCH_BUILD:-$root/build-bench}

for tool in python3 objcopy srec_cat hyperfine cmp; do
  command -v "$tool" >/dev/null || { echo "hex_convert: $tool not found" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target stoker-kit >/dev/null
kit=$build/bin/stoker-kit
[ -x "$kit" ] || kit=$build/app/stoker-kit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes $work/big.hex of about SIZE_MB megabytes; prints its data byte count.
data_bytes=$(python3 - "$work/big.hex" "$size_mb" <<'EOF'
import random, sys
path, size_mb = sys.argv[1], int(sys.argv[2])
base = 0x1D000000
rng = random.Random(20240601)
def record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    return ":%s%02X\r\n" % (body.hex().upper(), (-sum(body)) & 0xFF)
# 16 data bytes make a 45-character line; leave room for the type-4 records.
records = size_mb * 1000 * 1000 // 45
lines = []
for i in range(records):
    address = base + 16 * i
    if address & 0xFFFF == 0:
        lines.append(record(0, 4, (address >> 16).to_bytes(2, "big")))
    lines.append(record(address & 0xFFFF, 0, rng.randbytes(16)))
lines.append(":00000001FF\r\n")
with open(path, "w", newline="") as f:
    f.write("".join(lines))
print(records * 16)
EOF
)
size_k=$(((data_bytes + 1023) / 1024))
hex_bytes=$(stat -c %s "$work/big.hex")
echo "HEX file: $hex_bytes bytes, $data_bytes data bytes; window 0x1d000000, $size_k KiB"

cd "$work"
hyperfine --warmup 1 --runs "$runs" --export-markdown results.md \
  -n "stoker-kit hex2bin" "$kit hex2bin big.hex kit.bin 0x1d000000 $size_k" \
  -n "objcopy" "objcopy -I ihex -O binary big.hex objcopy.bin" \
  -n "srec_cat" "srec_cat big.hex -Intel -offset -0x1d000000 -o srec.bin -Binary"

cmp kit.bin objcopy.bin
cmp kit.bin srec.bin
echo "images agree: $(stat -c %s kit.bin) bytes each"
echo
cat results.md
