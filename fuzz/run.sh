#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for
# a while, starting from the seed corpus in fuzz/corpus/<target>/.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     SECONDS per target, default 30;
#                                         targets default to every
#                                         fuzz/<target>_fuzz.cpp
#
# Environment: STOKER_FUZZ_BUILD (build directory, default build-fuzz at the
# repository root). New inputs go to <build>/corpus/<target>/, crashes to
# <build>/artifacts/. Exits nonzero when a target finds a crash.
set -eu

seconds=${1:-30}
[ $# -gt 0 ] && shift
root=$(cd "$(dirname "$0")/.." && pwd)
all=""
for f in "$root"/fuzz/*_fuzz.cpp; do
  t=$(basename "$f" _fuzz.cpp)
  all="$all $t"
done
targets=${*:-$all}
build=${STOKER_FUZZ_BUILD:-$root/build-fuzz}
# Absolute: the targets that touch files work in a scratch directory of
# their own, so every path they are given must hold from anywhere.
mkdir -p "$build"
build=$(cd "$build" && pwd)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DSTOKER_FUZZ=ON -DSTOKER_TESTS=OFF >/dev/null
build_targets=""
for t in $targets; do build_targets="$build_targets fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $build_targets

# UBSan findings stop the run like ASan's do.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Targets that touch files make a scratch directory of their own; the others
# start in an empty place too.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts"
for t in $targets; do
  mkdir -p "$build/corpus/$t"
  binary=$build/bin/fuzz_$t
  [ -x "$binary" ] || binary=$build/fuzz/fuzz_$t
  echo "== fuzz_$t for ${seconds}s"
  (cd "$scratch" && "$binary" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/fuzz_$t-" "$build/corpus/$t" "$root/fuzz/corpus/$t")
done
