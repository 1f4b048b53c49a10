#!/usr/bin/env python3
"""Host overhead per block of the block download.

Downloads a raw image (1 MiB by default) to stoker-target, a simulated
generation-3 loader (sub-version 3) on a pseudo-terminal, with `stoker -v`,
and timestamps each verbose progress line as it arrives on stoker's standard
output. stoker prints "\\nthe file size=..., block sent=N" (and flushes)
right after block N has been written, before it waits for the ACK, so the
time between two such lines is one ACK wait plus one block write. Unpaced,
the simulator answers at once and the wire time is ~0: the interval is the
host's own overhead. With SIM_BAUD=B the simulator paces the line and the
wire time of a block and its ACK (2001 bytes x 10 bits / B) is subtracted.

Usage: bench/block_overhead.py [--runs N] [--size BYTES] [--bin DIR]

Environment, to rerun the same measurement with another stoker command:
  STOKER_CMD   command that runs stoker, split on blanks
               (default: <bin>/stoker), e.g. "wine /path/to/stoker.exe"
  STOKER_PORT  port argument given to stoker (default: the simulator's pty
               path); e.g. 5 for COM5 under Wine
  STOKER_LINK  path the simulator makes a symbolic link to its pty
               (its --link), e.g. ~/.wine/dosdevices/com5 for COM5
  SIM_BAUD     pace the simulator like a B-baud 8N1 line (default: unpaced)
Example under Wine:
  STOKER_CMD="wine build-win/bin/stoker.exe" STOKER_PORT=5 \\
  STOKER_LINK=$HOME/.wine/dosdevices/com5 bench/block_overhead.py
"""

import argparse
import filecmp
import os
import re
import selectors
import shlex
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BIN = os.path.join(HERE, "..", "build-bench", "bin")
BLOCK_BYTES = 2000
FLASH_KIB = 2048
BLOCK_LINE = re.compile(rb"block sent=(\d+)")
END_MARK = re.compile(rb"\nsucess|\nFail Code =")


def start_target(bin_dir, baud, link, out_path):
    """Starts stoker-target for one session; returns (process, pty path)."""
    cmd = [os.path.join(bin_dir, "stoker-target"), "--gen", "3", "--sub-version", "3",
           "--once", "--out", out_path]
    if baud:
        cmd += ["--baud", str(baud)]
    if link:
        cmd += ["--link", link]
    sim = subprocess.Popen(cmd, stdout=subprocess.PIPE)
    line = sim.stdout.readline().decode().split()
    if len(line) != 2 or line[0] != "PTY":
        sim.kill()
        sys.exit("stoker-target did not print its pty: %r" % line)
    return sim, line[1]


def run_stoker(cmd, port, image):
    """Runs stoker -v; returns (exit status, [(arrival time, chunk)], output)."""
    argv = cmd + ["-v", port, "115200", "0x1d000000", str(FLASH_KIB), "0", image]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, bufsize=0)
    chunks = []
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    while True:
        sel.select()
        data = os.read(proc.stdout.fileno(), 65536)
        now = time.monotonic()
        if not data:
            break
        chunks.append((now, data))
    return proc.wait(), chunks


def block_times(chunks):
    """Arrival time of each block line and of the closing message.

    A line is stamped with the arrival of the chunk in which it starts
    (stoker writes each line with one flushed printf)."""
    stream = b""
    starts = []  # (offset in stream, arrival time) per chunk
    for at, data in chunks:
        starts.append((len(stream), at))
        stream += data

    def arrival(offset):
        stamp = starts[0][1]
        for begin, at in starts:
            if begin > offset:
                break
            stamp = at
        return stamp

    blocks = [(int(m.group(1)), arrival(m.start())) for m in BLOCK_LINE.finditer(stream)]
    end = END_MARK.search(stream)
    return blocks, (arrival(end.start()) if end else None), stream


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, -(-len(sorted_values) * p // 100))
    return sorted_values[int(rank) - 1]


def summary(values):
    v = sorted(values)
    late = sum(1 for x in v if x > 2.0)
    return "median %.3f  p90 %.3f  max %.3f  mean %.3f  (n=%d, %d over 2 ms)" % (
        percentile(v, 50), percentile(v, 90), v[-1], sum(v) / len(v), len(v), late)


def one_run(args, cmd, wire_ms, workdir):
    out_path = os.path.join(workdir, "received.bin")
    sim, pty = start_target(args.bin, args.baud, args.link, out_path)
    port = args.port or pty
    try:
        status, chunks = run_stoker(cmd, port, args.image)
    finally:
        sim_out, _ = sim.communicate(timeout=30)
    blocks, end, stream = block_times(chunks)
    expected = args.size // BLOCK_BYTES + 1
    if status != 0 or len(blocks) != expected or end is None:
        sys.exit("download failed: status %d, %d of %d block lines\n%s\n%s" % (
            status, len(blocks), expected, stream[-400:].decode(errors="replace"),
            sim_out.decode(errors="replace")))
    if not filecmp.cmp(out_path, args.image, shallow=False):
        sys.exit("the image the target received differs from the one sent")
    # One interval per ACK: from a block's line to the next one, and from the
    # last block's line to the closing message.
    times = [t for _, t in blocks] + [end]
    return [(b - a) * 1000.0 - wire_ms for a, b in zip(times, times[1:])], times[-1] - times[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=1 << 20, help="image bytes (1 MiB)")
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", DEFAULT_BIN),
                        help="directory of stoker and stoker-target")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    args.baud = int(os.environ.get("SIM_BAUD", "0") or 0)
    args.port = os.environ.get("STOKER_PORT", "")
    args.link = os.environ.get("STOKER_LINK", "")
    cmd = shlex.split(os.environ.get("STOKER_CMD", "") or os.path.join(args.bin, "stoker"))
    wire_ms = (BLOCK_BYTES + 1) * 10 * 1000.0 / args.baud if args.baud else 0.0

    print("stoker command: %s" % " ".join(cmd))
    print("image %d bytes, %d blocks per run, target %s, wire time per block %.3f ms" % (
        args.size, args.size // BLOCK_BYTES + 1,
        "paced at %d baud" % args.baud if args.baud else "unpaced", wire_ms))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    pooled = []
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        args.image = os.path.join(workdir, "image.bin")
        with open(args.image, "wb") as f:
            f.write(os.urandom(args.size))
        for run in range(args.runs):
            per_block, phase = one_run(args, cmd, wire_ms, workdir)
            pooled += per_block
            print("run %d: block phase %.3f s; ms per block beyond wire: %s" % (
                run + 1, phase, summary(per_block)))
    print("all runs: ms per block beyond wire: %s" % summary(pooled))
    median = percentile(sorted(pooled), 50)
    verdict = "met" if median <= 1.0 else "MISSED"
    if args.baud:
        verdict += " (the target is set for the unpaced run)"
    print("target median <= 1 ms per block: %s" % verdict)


if __name__ == "__main__":
    main()
