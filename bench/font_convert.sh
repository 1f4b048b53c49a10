#!/usr/bin/env bash
# Font conversion benchmark: `stoker-kit font-header` and `stoker-kit
# font-file` of a 2048 x 2048 font picture. Prints the font file's size and,
# per command, the best wall time of RUNS runs (and hyperfine's figures
# when it is installed) and the peak resident memory (/usr/bin/time's
# maximum resident set size), with `cat FILE > /dev/null`
# as the cost of just reading the file and font-header of the 18708-byte
# example font examples/fonts/dejavu_mono_8x8.bff as the cost of starting
# stoker-kit.
#
#   bench/font_convert.sh [RUNS] [CELL]      default 10 runs, cells 24x24
#
# The font is rendered by examples/fonts/make_font.py from DejaVu Sans
# (fonts-dejavu-core) into a temporary directory (not kept): CELL cells
# filling the picture, characters from 32 on. With 24 x 24 cells the
# picture holds 85 x 85 cells, glyphCount 7225 and dataBytes 61448 (16
# bits), so the header lists 855 lines and the stream carries 61603 bytes.
# stoker-kit is built in Release in build-bench (STOKER_BENCH_BUILD
# overrides). Needs /usr/bin/python3 with python3-pil and /usr/bin/time.
set -euo pipefail

runs=${1:-10}
cell=${2:-24x24}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${STOKER_BENCH_BUILD:-$root/build-bench}
ttf=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

for tool in /usr/bin/python3 /usr/bin/time; do
  [ -x "$tool" ] || { echo "font_convert: $tool not found" >&2; exit 1; }
done
[ -f "$ttf" ] || { echo "font_convert: $ttf not found (fonts-dejavu-core)" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target stoker-kit >/dev/null
kit=$build/bin/stoker-kit

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cell_w=${cell%x*}
cell_h=${cell#*x}
count=$(((2048 / cell_w) * (2048 / cell_h)))
/usr/bin/python3 "$root/examples/fonts/make_font.py" --ttf "$ttf" --cell "$cell" \
  --columns $((2048 / cell_w)) --count "$count" --picture 2048x2048 --out big.bff
echo "font file: $(stat -c %s big.bff) bytes"

# The best wall time (ms, from the clock around the command) and the peak
# resident memory (KiB, /usr/bin/time) of RUNS runs of a command.
measure() {
  local name=$1
  shift
  local best="" peak=0 start end ms kib
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o rss.txt "$@" >/dev/null
    end=$(date +%s%N)
    ms=$(((end - start) / 1000))
    kib=$(cat rss.txt)
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  printf '%-24s best %4d.%03d ms   peak RSS %7d KiB\n' "$name" $((best / 1000)) \
    $((best % 1000)) "$peak"
}

cp "$root/examples/fonts/dejavu_mono_8x8.bff" small.bff
measure "cat big.bff" sh -c 'cat big.bff >/dev/null'
measure "font-header (small)" "$kit" font-header small
measure "stoker-kit font-header" "$kit" font-header big
measure "stoker-kit font-file" "$kit" font-file big.bff
echo "header: $(stat -c %s big.h) bytes, $(grep -c '  \*/$' big.h) glyph lines;" \
  ".bf file: $(stat -c %s big.bf) bytes"

if command -v hyperfine >/dev/null; then
  hyperfine --warmup 2 --runs "$runs" --export-markdown results.md \
    -n "cat big.bff" "cat big.bff >/dev/null" \
    -n "stoker-kit font-header" "$kit font-header big" \
    -n "stoker-kit font-file" "$kit font-file big.bff" >/dev/null
  cat results.md
fi
