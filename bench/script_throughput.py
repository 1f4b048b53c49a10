#!/usr/bin/env python3
"""Script sender throughput: lines per second, CPU share, and wall time
against the wire floor when paced.

Sends a script of --lines lines (10 000 by default, "print line NNNNN of the
benchmark script", 41 bytes each with its LF) with `stoker-kit script` to
stoker-target --mode script on a pseudo-terminal, which answers every line
with 0x06 as soon as its CR has arrived. The kit's reporter prints "\\n<0> "
before the initial CR and "\\n<percent> " after each acknowledged line; the
script's time is taken from the arrival of the first of these on the kit's
standard output to the arrival of "\\ntload 0" (so the port's 500 ms settle
after opening and the process start lie outside it). Every run checks that
the target received exactly the script's lines, each ended by CR.

Figures per run:
  lines/s      lines / script time
  CPU / wall   the kit's user + system time / its whole wall time
  wall / floor (paced, SIM_BAUD=B) script time / wire floor, where the floor
               is every byte on the critical path at 10 bits per byte: the
               initial CR and its ACK, and each line's bytes, its CR and
               its ACK

Usage: bench/script_throughput.py [--runs N] [--lines N] [--bin DIR]
Environment: STOKER_KIT_CMD, STOKER_PORT, STOKER_LINK, SIM_BAUD as in
bench/xmodem_throughput.py.
"""

import argparse
import os
import shlex
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

SCRIPT_TARGET = ["--mode", "script", "--idle-ms", "500"]


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--lines", type=int, default=10000)
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", benchlib.DEFAULT_BIN))
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    args.baud = int(os.environ.get("SIM_BAUD", "0") or 0)
    args.port = os.environ.get("STOKER_PORT", "")
    args.link = os.environ.get("STOKER_LINK", "")
    args.cmd = shlex.split(os.environ.get("STOKER_KIT_CMD", "")
                           or os.path.join(args.bin, "stoker-kit"))
    return args


def report_offsets(stream, first):
    """Offsets of "\n<" from first on, and of the final "\ntload"."""
    offsets = []
    at = first
    while at >= 0:
        offsets.append(at)
        at = stream.find(b"\n<", at + 1)
    offsets.append(stream.rfind(b"\ntload"))
    return offsets


def one_run(args, script, lines, workdir):
    """One script; returns (script seconds, kit CPU seconds, kit wall seconds)."""
    out_path = os.path.join(workdir, "received.txt")
    sim, pty = benchlib.start_target(args.bin, SCRIPT_TARGET, args.baud, args.link, out_path)
    argv = args.cmd + ["script", args.port or pty, "115200", script]
    started = time.monotonic()
    try:
        status, cpu, chunks = benchlib.run_timed(argv)
    finally:
        sim_out = benchlib.end_target(sim)
    wall = time.monotonic() - started
    stream, arrival = benchlib.joined(chunks)
    first = stream.find(b"\n<0> ")
    if status != 0 or first < 0 or not stream.endswith(b"\ntload 0"):
        sys.exit("script failed: status %d\n%s\n%s" % (
            status, stream[-400:].decode(errors="replace"), sim_out.decode(errors="replace")))
    with open(out_path, "rb") as f:
        received = f.read()
    if received != b"\r" + b"".join(line + b"\r" for line in lines):
        sys.exit("the target received something else than the script's lines")
    # Each report's arrival: one interval per line (the first: the initial
    # CR and line 1).
    times = [arrival(m) for m in report_offsets(stream, first)]
    return times, cpu, wall


def main():
    args = parse_args()
    lines = [b"print line %05d of the benchmark script" % i for i in range(args.lines)]
    # Bytes on the wire: the initial CR and its ACK, each line, its CR, its ACK.
    floor_s = (2 + sum(len(line) + 2 for line in lines)) * 10.0 / args.baud if args.baud else 0
    print("kit command: %s" % " ".join(args.cmd))
    print("script %d lines, %d bytes; target %s%s" % (
        len(lines), sum(len(line) + 1 for line in lines),
        "paced at %d baud" % args.baud if args.baud else "unpaced",
        ", wire floor %.3f s" % floor_s if args.baud else ""))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        script = os.path.join(workdir, "script.txt")
        with open(script, "wb") as f:
            f.write(b"".join(line + b"\n" for line in lines))
        for run in range(1, args.runs + 1):
            times, cpu, wall = one_run(args, script, lines, workdir)
            seconds = times[-1] - times[0]
            text = "run %d: script %.3f s  %.0f lines/s  CPU / wall %.2f %%  (kit wall %.3f s)" % (
                run, seconds, len(lines) / seconds, 100.0 * cpu / wall, wall)
            if args.baud:
                text += "  wall / floor %.4f" % (seconds / floor_s)
            print(text)
            # Per line, beyond its wire time (the line, its CR and the ACK).
            wire = [benchlib.wire_ms(len(line) + 2, args.baud) for line in lines]
            beyond = [(b - a) * 1000.0 - w for a, b, w in zip(times[1:], times[2:], wire[1:])]
            print("  ms per line beyond the wire: " + benchlib.summary(beyond, mean=True,
                                                                        over_ms=1.0))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
