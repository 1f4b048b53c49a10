#!/usr/bin/env python3
"""stoker-kit flash on several boards at once: wall time, CPU and memory.

Two measurements, each against simulated generation-3 loaders (stoker-target
--gen 3 --sub-version 3, one per board, each on its own pseudo-terminal):

  paced     the same image to 1 board, then to 8 boards in one command, in
            turn for --runs runs; every loader paced at 115200 baud both ways
            with a 1 s erase (flash DELAY 1). Reports each command's wall
            time, the ratio wall(8 boards) / wall(1 board) (target <= 1.10:
            the boards share nothing but the host, so 1.0 is the limit), and
            the CPU of the 8-board command, (user + sys) / wall / 8, the share
            of one core per board (target <= 2 %).
  unpaced   the same image to 1 board and to 32 unpaced boards (no erase
            delay). Every board must succeed. Reports the peak resident
            memory of each command (GNU time's %M): one image buffer (the
            flash window and a block) and each board's state.

Every run checks that every board received the image, and stoker-kit's exit
status (0). Standard output is a pipe, so flash prints a line per change of
a board's state (no redrawing).

Usage: bench/gang.py [--runs N] [--size BYTES] [--boards N] [--many N]
       [--unpaced-size BYTES] [--bin DIR] [--only paced|unpaced]
"""

import argparse
import filecmp
import os
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

BAUD = 115200
ERASE_S = 1


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=128 << 10, help="paced image bytes (128 KiB)")
    parser.add_argument("--boards", type=int, default=8, help="paced boards")
    parser.add_argument("--many", type=int, default=32, help="unpaced boards")
    parser.add_argument("--unpaced-size", type=int, default=1 << 20, help="unpaced image bytes")
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", benchlib.DEFAULT_BIN))
    parser.add_argument("--only", choices=["paced", "unpaced"])
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    return args


def flash_kib(size):
    """The smallest flash (KiB, at least 128) that holds size bytes."""
    return max(128, -(-size // 1024))


def gang(args, count, image, workdir, paced):
    """Flashes image into count fresh simulated boards with one command.
    Returns (wall seconds, CPU seconds, peak resident KiB); exits the script
    when the command or a board fails."""
    sims = []
    try:
        for i in range(count):
            out = os.path.join(workdir, "received%d.bin" % i)
            if os.path.exists(out):
                os.remove(out)  # what an earlier run received proves nothing
            loader = ["--gen", "3", "--sub-version", "3"]
            if paced:
                loader += ["--erase-ms", str(ERASE_S * 1000)]
            sim, pty = benchlib.start_target(args.bin, loader, BAUD if paced else 0, "", out)
            sims.append((sim, pty, out))
        argv = [os.path.join(args.bin, "stoker-kit"), "flash", ",".join(p for _, p, _ in sims),
                str(BAUD), "0x1d000000", str(flash_kib(os.path.getsize(image))),
                str(ERASE_S if paced else 0), image]
        # GNU time reports the peak resident memory: the kernel's figure for
        # a child counts what the process had before its exec, here Python's.
        peak_file = os.path.join(workdir, "peak")
        argv = ["/usr/bin/time", "-f", "%M", "-o", peak_file] + argv
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = proc.stdout.read()
        _, raw, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        status = os.waitstatus_to_exitcode(raw)
        peak_kib = int(open(peak_file).read().split()[-1])
    finally:
        for sim, _, _ in sims:
            benchlib.end_target(sim)
    bad = [out for _, _, out in sims
           if not os.path.exists(out) or not filecmp.cmp(out, image, shallow=False)]
    if status != 0 or bad:
        sys.exit("%d boards: status %d, %d images wrong\n%s" % (
            count, status, len(bad), output.decode(errors="replace")[-2000:]))
    return wall, usage.ru_utime + usage.ru_stime, peak_kib


def paced(args):
    print("== paced: 1 board, then %d boards, %d bytes at %d baud, %d s erase" % (
        args.boards, args.size, BAUD, ERASE_S))
    ratios, shares = [], []
    with benchlib.random_image(args.size) as (workdir, image):
        for run in range(1, args.runs + 1):
            one, _, _ = gang(args, 1, image, workdir, True)
            many, cpu, _ = gang(args, args.boards, image, workdir, True)
            ratios.append(many / one)
            shares.append(cpu / many / args.boards * 100)
            print("run %d: 1 board %.3f s, %d boards %.3f s, ratio %.4f, CPU %.3f s = %.3f %% "
                  "of a core per board" % (run, one, args.boards, many, ratios[-1], cpu,
                                           shares[-1]))
    print("ratio median %.4f max %.4f (target <= 1.10: %s)" % (
        statistics.median(ratios), max(ratios), "met" if max(ratios) <= 1.10 else "MISSED"))
    print("CPU per board median %.3f %% max %.3f %% (target <= 2 %%: %s)" % (
        statistics.median(shares), max(shares), "met" if max(shares) <= 2.0 else "MISSED"))


def unpaced(args):
    print("== unpaced: 1 board, then %d boards, %d bytes" % (args.many, args.unpaced_size))
    with benchlib.random_image(args.unpaced_size) as (workdir, image):
        for run in range(1, args.runs + 1):
            one_wall, _, one_rss = gang(args, 1, image, workdir, False)
            wall, cpu, rss = gang(args, args.many, image, workdir, False)
            print("run %d: 1 board %.3f s, peak %d KiB; %d boards all ok, %.3f s, CPU %.3f s, "
                  "peak %d KiB (+%d KiB, %.1f KiB per further board)" % (
                      run, one_wall, one_rss, args.many, wall, cpu, rss, rss - one_rss,
                      (rss - one_rss) / (args.many - 1)))


def main():
    args = parse_args()
    print("stoker-kit: %s" % os.path.join(args.bin, "stoker-kit"))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    if args.only != "unpaced":
        paced(args)
    if args.only != "paced":
        unpaced(args)


if __name__ == "__main__":
    main()
