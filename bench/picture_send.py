#!/usr/bin/env python3
"""Time and peak memory of stoker-kit send-picture for a 1920 x 1080 picture
sent to an unpaced sink (stoker-target --mode sink).

Each run starts a fresh sink, runs send-picture on a random 24-bit BMP,
checks the bytes the sink received against the picture stream computed here
(height and width high byte first, then red, green, blue divided by 4 per
pixel from the top row), and takes the program's wall time, its CPU time and
its maximum resident set size (/usr/bin/time). The same is done with a 1 x 1 picture:
its wall time is the fixed cost of every run (process start, the 500 ms the
port is given to settle after opening, closing) and its resident set the
process baseline. The figures:

  transfer = wall(1920 x 1080) - wall(1 x 1)   the time the picture adds:
                                               loading it and sending it
  peak / file size, and (peak - baseline) / file size

Python 3 standard library only (the BMP is written here, byte by byte), and
bench/benchlib.py.
Usage: bench/picture_send.py [--runs N] [--bin DIR] [--width W --height H]
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))
SINK = ["--mode", "sink", "--idle-ms", "300"]


def write_bmp(path, width, height, pixels_top_down):
    """A plain 24-bit BMP; pixels_top_down holds r, g, b per pixel, top row first."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray(pixels_top_down[y * width * 3:(y + 1) * width * 3])
        row[0::3], row[2::3] = row[2::3], row[0::3]  # r, g, b -> b, g, r
        rows.append(bytes(row) + b"\0" * (stride - width * 3))
    data = b"".join(rows)
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(data), 0, 0, 54, 40, width,
                         height, 1, 24, 0, len(data), 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(header + data)


def expected_stream(width, height, pixels_top_down):
    head = bytes([height >> 8 & 255, height & 255, width >> 8 & 255, width & 255])
    return head + bytes(v >> 2 for v in pixels_top_down)


def run(bin_dir, picture, workdir):
    """One send-picture to a fresh sink: (wall s, user s, sys s, max RSS KiB, received)."""
    out_path = os.path.join(workdir, "received.bin")
    sim, pty = benchlib.start_target(bin_dir, SINK, 0, "", out_path)
    try:
        # /usr/bin/time reports the program's own peak: a child of this
        # Python process would inherit the interpreter's resident set into
        # its maximum (it survives exec).
        times = os.path.join(workdir, "time.txt")
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", times,
                               os.path.join(bin_dir, "stoker-kit"), "send-picture", pty, "115200",
                               picture], stdout=subprocess.DEVNULL)
        wall = time.monotonic() - start
        with open(times) as f:
            rss, user, system = f.read().split()[-3:]
        sim.communicate(timeout=30)
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.communicate()
    if proc.returncode != 0:
        sys.exit("send-picture failed with %d" % proc.returncode)
    with open(out_path, "rb") as f:
        received = f.read()
    return wall, float(user), float(system), int(rss), received


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "bin"))
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)

    with tempfile.TemporaryDirectory(prefix="stoker-picture-") as workdir:
        big = os.path.join(workdir, "big.bmp")
        pixels = os.urandom(args.width * args.height * 3)
        write_bmp(big, args.width, args.height, pixels)
        stream = expected_stream(args.width, args.height, pixels)
        tiny = os.path.join(workdir, "tiny.bmp")
        write_bmp(tiny, 1, 1, b"\xff\xff\xff")
        size = os.path.getsize(big)
        print("picture %d x %d, 24 bits, file %d bytes, stream %d bytes" % (
            args.width, args.height, size, len(stream)))
        print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))

        results = []
        for i in range(1, args.runs + 1):
            base_wall, _, _, base_rss, tiny_got = run(bin_dir, tiny, workdir)
            if tiny_got != bytes([0, 1, 0, 1, 63, 63, 63]):
                sys.exit("1 x 1 picture: wrong bytes received")
            wall, user, system, rss, got = run(bin_dir, big, workdir)
            if got != stream:
                sys.exit("run %d: the sink received %d bytes, not the expected stream" % (i, len(got)))
            transfer = wall - base_wall
            peak = rss * 1024
            results.append((transfer, peak, base_rss * 1024))
            print("run %d: wall %.3f s (1 x 1: %.3f s)  transfer %.3f s  user %.3f s  sys %.3f s  "
                  "max RSS %d KiB (1 x 1: %d KiB) = %.2f x file, %.2f x file above baseline" % (
                      i, wall, base_wall, transfer, user, system, rss, base_rss, peak / size,
                      (peak - base_rss * 1024) / size))
        transfers = sorted(r[0] for r in results)
        worst_peak = max(r[1] for r in results)
        print("transfer median %.3f s, max %.3f s: %s (target under 0.5 s)" % (
            transfers[len(transfers) // 2], transfers[-1],
            "met" if transfers[len(transfers) // 2] < 0.5 else "MISSED"))
        print("peak RSS max %.2f x file size: %s (target under 3)" % (
            worst_peak / size, "met" if worst_peak < 3 * size else "MISSED"))


if __name__ == "__main__":
    main()
