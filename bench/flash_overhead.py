#!/usr/bin/env python3
"""stoker-kit flash beside stoker, and with its wire trace on and off.

Downloads a raw image (4 MiB by default) to stoker-target, an unpaced
simulated generation-3 loader (sub-version 3) on a pseudo-terminal, with
three commands, in turn within each run (each run starts with another one):

  stoker               stoker PTY 115200 0x1d000000 8192 0 image.bin
  flash                stoker-kit flash PTY 115200 0x1d000000 8192 0 image.bin
  flash --trace        the same with --trace FILE (FILE in the work directory)

Each command's standard output is read through a pipe and every chunk is
timestamped as it arrives. stoker prints a dot right after writing each
block; flash, its output not being a terminal, a line at each tenth
("flash 10%  420000/4194304 bytes ..."), also right after writing the block
that reaches it. Both print before the block's ACK wait, so the time from
the block that reaches 10 % to the last block, divided by the blocks in
between, is the host's time per block: one ACK wait and one block write,
with the progress report. Unpaced, the wire takes no time, so this is the
host's overhead per block (plus the simulator's turn-around, the same for
all three). Wall is the whole command, from its start to its exit (the
port's 500 ms settle and the reset included; stoker also waits 400 ms after
closing the port).

Every download must succeed and the simulator must have received the image.

Usage: bench/flash_overhead.py [--runs N] [--size BYTES] [--bin DIR]
"""

import argparse
import filecmp
import os
import re
import statistics
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

FLASH_KIB = 8192
BLOCK_BYTES = 2000
TENTH_LINE = re.compile(rb"flash (\d+)%  (\d+)/\d+ bytes")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=4 << 20, help="image bytes (4 MiB)")
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", benchlib.DEFAULT_BIN))
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    return args


def commands(args, workdir):
    """(name, argv before the port, argv after the image) of each command."""
    trace = os.path.join(workdir, "host.trace")
    stoker = [os.path.join(args.bin, "stoker")]
    kit = [os.path.join(args.bin, "stoker-kit"), "flash"]
    return [("stoker", stoker, []), ("flash", kit, []), ("flash --trace", kit, ["--trace", trace])]


def flash_span(stream, arrival):
    """(first block, last block, seconds between them) from flash's tenth
    lines: the block that reached 10 % and the last one."""
    marks = [(int(m.group(1)), int(m.group(2)), arrival(m.start()))
             for m in TENTH_LINE.finditer(stream)]
    first = next(m for m in marks if m[0] >= 10)
    last = marks[-1]
    block = lambda done: -(-done // BLOCK_BYTES)  # noqa: E731 (block that reached done)
    return block(first[1]), block(last[1]), last[2] - first[2]


def stoker_span(stream, arrival, first_block):
    """The same span from stoker's dots: dot k follows block k."""
    wait = stream.index(b"\nWait ") + len(b"\nWait ")
    dots = [i for i in range(wait, len(stream)) if stream[i:i + 1] == b"."]
    return first_block, len(dots), arrival(dots[-1]) - arrival(dots[first_block - 1])


def one_download(args, workdir, image, command, first_block):
    """Runs one command against a fresh simulator; returns (wall seconds,
    first block, last block, seconds of the span)."""
    name, before, after = command
    out = os.path.join(workdir, "received.bin")
    sim, pty = benchlib.start_target(args.bin, ["--gen", "3", "--sub-version", "3"], 0, "", out)
    argv = before + [pty, "115200", "0x1d000000", str(FLASH_KIB), "0", image] + after
    start = time.monotonic()
    try:
        status, _, chunks = benchlib.run_timed(argv)
    finally:
        sim_out = benchlib.end_target(sim)
    wall = time.monotonic() - start
    stream, arrival = benchlib.joined(chunks)
    if status != 0 or not filecmp.cmp(out, image, shallow=False):
        sys.exit("%s failed: status %d\n%s\n%s" % (
            " ".join(argv), status, stream[-400:].decode(errors="replace"),
            sim_out.decode(errors="replace")))
    if name == "stoker":
        return (wall,) + stoker_span(stream, arrival, first_block)
    return (wall,) + flash_span(stream, arrival)


def main():
    args = parse_args()
    blocks = args.size // BLOCK_BYTES + 1
    # The block at which flash prints its 10 % line.
    first_block = -(-(args.size + 9) // 10 // BLOCK_BYTES)
    print("image %d bytes, %d blocks, target unpaced, %d runs" % (args.size, blocks, args.runs))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    figures = {}
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(args.size))
        cmds = commands(args, workdir)
        for run in range(args.runs):
            for command in cmds[run % 3:] + cmds[:run % 3]:
                wall, first, last, span = one_download(args, workdir, image, command, first_block)
                per_block = span * 1000.0 / (last - first)
                entry = figures.setdefault(command[0], {"wall": [], "per_block": []})
                entry["wall"].append(wall)
                entry["per_block"].append(per_block)
                print("run %d %-14s wall %.3f s  blocks %d to %d: %.4f ms per block" % (
                    run + 1, command[0], wall, first, last, per_block))
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    print()
    print("| Command | Wall, median [s] | ms per block, median | min | max |")
    print("|:---|---:|---:|---:|---:|")
    medians = {}
    for name, entry in figures.items():
        medians[name] = (statistics.median(entry["wall"]), statistics.median(entry["per_block"]))
        print("| `%s` | %.3f | %.4f | %.4f | %.4f |" % (
            name, medians[name][0], medians[name][1], min(entry["per_block"]),
            max(entry["per_block"])))
    print()
    ratio = medians["flash"][1] / medians["stoker"][1]
    print("flash / stoker, ms per block: %.3f (target: equal within 5 %%: %s)" % (
        ratio, "met" if abs(ratio - 1) <= 0.05 else "MISSED"))
    wall = medians["flash --trace"][0] / medians["flash"][0]
    per_block = medians["flash --trace"][1] / medians["flash"][1]
    print("trace on / off, wall: %.3f (target <= 1.10: %s); ms per block: %.3f" % (
        wall, "met" if wall <= 1.10 else "MISSED", per_block))


if __name__ == "__main__":
    main()
