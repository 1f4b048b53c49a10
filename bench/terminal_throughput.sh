#!/usr/bin/env bash
# Builds stoker-kit and stoker-target in Release (build-bench), installs
# picocom when it is missing (the terminal the figures compare with), and
# runs bench/terminal_throughput.py with the arguments given.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTOKER_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target stoker-kit stoker-target
exec python3 bench/terminal_throughput.py --bin build-bench/bin "$@"
