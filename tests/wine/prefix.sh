#!/usr/bin/env bash
# The Wine prefix that the "wine." tests share, one per ctest run.
#   prefix.sh create BIN_DIR   a fresh prefix and a wineserver that stays up
#                              until "stop" (so every test finds Wine ready)
#   prefix.sh stop             ends the wineserver and every Wine process
# Takes WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES from the environment;
# WINEDLLOVERRIDES="mscoree,mshtml=" skips the Mono and Gecko installers.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix directory}"
export WINEPREFIX

# How long an idle wineserver stays up: long enough to bridge every pause
# between tests, short enough that an interrupted run cleans up after itself.
persist_seconds=300

case "${1:-}" in
  create)
    bin=${2:?usage: prefix.sh create BIN_DIR}
    for exe in stoker.exe stoker-kit.exe stoker-target.exe; do
      [[ -f $bin/$exe ]] || { echo "missing $bin/$exe: build the Windows tree first" >&2; exit 1; }
    done
    # A server left by an interrupted run would hold the old prefix.
    [[ -d $WINEPREFIX ]] && { wineserver -k 2>/dev/null || true; }
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Started first so that wineboot and every test reuse it; it outlives
    # this script, so it must not hold ctest's output pipes.
    wineserver -p"$persist_seconds" </dev/null >/dev/null 2>&1
    log=$WINEPREFIX/wineboot.log
    if ! wineboot -i </dev/null >"$log" 2>&1; then
      cat "$log" >&2
      exit 1
    fi
    [[ -d $WINEPREFIX/dosdevices ]] || { echo "wineboot made no dosdevices" >&2; exit 1; }
    echo "Wine prefix $WINEPREFIX ready"
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
  *)
    echo "usage: prefix.sh create BIN_DIR | stop" >&2
    exit 2
    ;;
esac
