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

import filecmp
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

BLOCK_BYTES = 2000
GEN3_LOADER = ["--gen", "3", "--sub-version", "3"]
BLOCK_LINE = re.compile(rb"block sent=(\d+)")
END_MARK = re.compile(rb"\nsucess|\nFail Code =")


def block_times(chunks):
    """Arrival time of each block line and of the closing message."""
    stream, arrival = benchlib.joined(chunks)
    blocks = [(int(m.group(1)), arrival(m.start())) for m in BLOCK_LINE.finditer(stream)]
    end = END_MARK.search(stream)
    return blocks, (arrival(end.start()) if end else None), stream


def one_run(args, wire_ms, workdir):
    """One download; returns (ms per block beyond wire, seconds of the block phase)."""
    run = benchlib.download(args, GEN3_LOADER, ["-v"], workdir)
    blocks, end, stream = block_times(run.chunks)
    expected = args.size // BLOCK_BYTES + 1
    if run.status != 0 or len(blocks) != expected or end is None:
        benchlib.fail(run, len(blocks), expected, "block", stream)
    if not filecmp.cmp(run.received, args.image, shallow=False):
        sys.exit("the image the target received differs from the one sent")
    # One interval per ACK: from a block's line to the next one, and from the
    # last block's line to the closing message.
    times = [t for _, t in blocks] + [end]
    return [(b - a) * 1000.0 - wire_ms for a, b in zip(times, times[1:])], times[-1] - times[0]


def summary(values):
    """The figures printed for a list of per-block intervals (ms)."""
    return benchlib.summary(values, mean=True, over_ms=2.0)


def main():
    args = benchlib.parse_args(__doc__, "stoker", "STOKER_CMD")
    wire_ms = benchlib.wire_ms(BLOCK_BYTES + 1, args.baud)

    benchlib.print_header("stoker", args.cmd, args.size, args.size // BLOCK_BYTES + 1, "block",
                          args.baud, wire_ms)
    pooled = []
    with benchlib.random_image(args.size) as (workdir, image):
        args.image = image
        for run in range(args.runs):
            per_block, phase = one_run(args, wire_ms, workdir)
            pooled += per_block
            print("run %d: block phase %.3f s; ms per block beyond wire: %s" % (
                run + 1, phase, summary(per_block)))
    print("all runs: ms per block beyond wire: %s" % summary(pooled))
    verdict = benchlib.median_met(pooled)
    if args.baud:
        verdict += " (the target is set for the unpaced run)"
    print("target median <= 1 ms per block: %s" % verdict)


if __name__ == "__main__":
    main()
