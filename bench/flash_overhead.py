#!/usr/bin/env python3
"""stoker-kit flash beside stoker, and with its wire trace on and off.

Downloads a raw image (4 MiB by default) to stoker-target, an unpaced
simulated generation-3 loader (sub-version 3) on a pseudo-terminal, with
three commands, in turn within each run:

  stoker               stoker PTY 115200 0x1d000000 8192 0 image.bin
  flash                stoker-kit flash PTY 115200 0x1d000000 8192 0 image.bin
  flash --trace        the same with --trace FILE (FILE in the work directory)

Standard output goes to a pipe, as in a script. The simulator records its
side of the line with --trace; from its trace the script takes the time of
each ACK it sent: the erase reply, then one per block. The interval between
two ACKs is one block cycle: the host reads the ACK, reports progress,
writes the next 2000 bytes, and the simulator reads them and answers.
Unpaced, the wire takes no time, so the cycle is the host's overhead per
block plus the simulator's turn-around (the same for every command). The
block phase runs from the erase reply to the last ACK. Wall is the whole
command, from its start to its exit (the port's 500 ms settle, the reset,
and for stoker its 400 ms pause after closing included).

Every download must succeed and the simulator must have received the image.

Usage: bench/flash_overhead.py [--runs N] [--size BYTES] [--bin DIR]
"""

import argparse
import filecmp
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

FLASH_KIB = 8192
BLOCK_BYTES = 2000
ACK_LINE = re.compile(rb"^ *([0-9]+\.[0-9]+) tx    1  06 ", re.MULTILINE)


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


def one_download(args, workdir, image, command):
    """Runs one command against a fresh simulator; returns (wall seconds,
    ACK times in seconds from the simulator's trace)."""
    _, before, after = command
    out = os.path.join(workdir, "received.bin")
    board_trace = os.path.join(workdir, "board.trace")
    sim, pty = benchlib.start_target(args.bin, ["--gen", "3", "--sub-version", "3", "--trace",
                                                board_trace], 0, "", out)
    argv = before + [pty, "115200", "0x1d000000", str(FLASH_KIB), "0", image] + after
    start = time.monotonic()
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wall = time.monotonic() - start
    sim_out = benchlib.end_target(sim)
    if result.returncode != 0 or not filecmp.cmp(out, image, shallow=False):
        sys.exit("%s failed: status %d\n%s%s\n%s" % (
            " ".join(argv), result.returncode, result.stdout.decode(errors="replace")[-400:],
            result.stderr.decode(errors="replace"), sim_out.decode(errors="replace")))
    with open(board_trace, "rb") as f:
        acks = [float(m.group(1)) for m in ACK_LINE.finditer(f.read())]
    return wall, acks


def main():
    args = parse_args()
    blocks = args.size // BLOCK_BYTES + 1
    print("image %d bytes, %d blocks, target unpaced, %d runs" % (args.size, blocks, args.runs))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    figures = {}
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(args.size))
        cmds = commands(args, workdir)
        for run in range(args.runs):
            # A different command first in each run.
            for command in cmds[run % 3:] + cmds[:run % 3]:
                wall, acks = one_download(args, workdir, image, command)
                if len(acks) != blocks + 1:
                    sys.exit("%s: %d ACKs in the board's trace, %d expected" % (
                        command[0], len(acks), blocks + 1))
                cycles = [(b - a) * 1000.0 for a, b in zip(acks, acks[1:])]
                entry = figures.setdefault(command[0], {"wall": [], "phase": [], "cycles": []})
                entry["wall"].append(wall)
                entry["phase"].append(acks[-1] - acks[0])
                entry["cycles"] += cycles
                print("run %d %-14s wall %.3f s  block phase %.3f s  cycle median %.4f ms" % (
                    run + 1, command[0], wall, acks[-1] - acks[0], statistics.median(cycles)))
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    print()
    print("| Command | Wall, median [s] | Block phase, median [s] | ms per block (phase / blocks) "
          "| Cycle median [ms] | p90 [ms] |")
    print("|:---|---:|---:|---:|---:|---:|")
    summary = {}
    for name, entry in figures.items():
        cycles = sorted(entry["cycles"])
        summary[name] = {
            "wall": statistics.median(entry["wall"]),
            "phase": statistics.median(entry["phase"]),
            "per_block": statistics.median(entry["phase"]) / blocks * 1000.0,
            "cycle": statistics.median(cycles),
            "p90": benchlib.percentile(cycles, 90),
        }
        s = summary[name]
        print("| `%s` | %.3f | %.3f | %.4f | %.4f | %.4f |" % (
            name, s["wall"], s["phase"], s["per_block"], s["cycle"], s["p90"]))
    print()
    flash, stoker, traced = summary["flash"], summary["stoker"], summary["flash --trace"]
    per_block = flash["per_block"] / stoker["per_block"]
    cycle = flash["cycle"] / stoker["cycle"]
    print("flash / stoker, ms per block: %.3f; cycle median: %.3f (target: equal within 5 %%: %s)"
          % (per_block, cycle, "met" if abs(per_block - 1) <= 0.05 and abs(cycle - 1) <= 0.05
             else "MISSED"))
    wall = traced["wall"] / flash["wall"]
    phase = traced["phase"] / flash["phase"]
    print("trace on / off, wall: %.3f (target <= 1.10: %s); block phase: %.3f" % (
        wall, "met" if wall <= 1.10 else "MISSED", phase))


if __name__ == "__main__":
    main()
