#!/usr/bin/env bash
# Host overhead per block, the Windows build under Wine beside the Linux
# build: bench/block_overhead.py runs the same download (1 MiB raw image,
# unpaced simulated generation-3 loader) first with the Linux stoker, then
# with stoker.exe under Wine on COM40, which a throw-away Wine prefix links to
# the simulator's pseudo-terminal. Prints both results and the ratio of the
# medians (Wine / Linux).
#
# Usage: bench/block_overhead_wine.sh [RUNS] [LINUX_BIN] [WINDOWS_BIN]
#   RUNS         runs of each build (default 3)
#   LINUX_BIN    bin directory of a Linux Release build with stoker and
#                stoker-target (default build-bench/bin)
#   WINDOWS_BIN  bin directory of a Windows Release build with stoker.exe
#                (default build-bench-win/bin), e.g. from
#                cmake -S . -B build-bench-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
#                  -DSTOKER_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
linux_bin=$(realpath "${2:-$root/build-bench/bin}")
windows_bin=$(realpath "${3:-$root/build-bench-win/bin}")
com=40

results=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/stoker-bench-wine-XXXXXX)
trap '"$root/tests/wine/prefix.sh" stop; rm -rf "$WINEPREFIX" "$results"' EXIT
"$root/tests/wine/prefix.sh" create "$windows_bin"

echo "== Linux: $linux_bin/stoker"
"$root/bench/block_overhead.py" --runs "$runs" --bin "$linux_bin" | tee "$results/linux"
echo "== Windows under Wine: $windows_bin/stoker.exe on COM$com"
STOKER_CMD="$(command -v wine) $windows_bin/stoker.exe" STOKER_PORT=$com \
  STOKER_LINK="$WINEPREFIX/dosdevices/com$com" \
  "$root/bench/block_overhead.py" --runs "$runs" --bin "$linux_bin" | tee "$results/wine"

median() { sed -n 's/^all runs: .* median \([0-9.]*\) .*/\1/p' "$1"; }
linux=$(median "$results/linux")
wine=$(median "$results/wine")
awk -v l="$linux" -v w="$wine" \
  'BEGIN { printf "median ms per block: Linux %.3f, Wine %.3f, ratio Wine/Linux %.2f\n", l, w, w / l }'
