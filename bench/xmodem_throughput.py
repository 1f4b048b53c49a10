#!/usr/bin/env python3
"""XMODEM-1K throughput and host overhead per packet.

Downloads a raw image (1 MiB by default, 1024 packets) to stoker-target
--gen 1, a simulated generation-1 loader on a pseudo-terminal, with
`stoker-kit xmodem -v`, and timestamps each verbose progress line as it
arrives on the kit's standard output. The kit prints "\\nthe file size=...,
block sent=N" (and flushes) right after a packet's ACK, so the time between
two such lines is one packet: its 1029 bytes written, the target's
turn-around and the ACK read. Unpaced, the wire time is ~0 and the interval
is the host's overhead plus the simulator's turn-around. With SIM_BAUD=B the
simulator paces the line and the wire time of a packet and its ACK
(1030 bytes x 10 bits / B) is subtracted.

Usage: bench/xmodem_throughput.py [--runs N] [--size BYTES] [--bin DIR]

Environment, to rerun the same measurement with another stoker-kit:
  STOKER_KIT_CMD  command that runs stoker-kit, split on blanks
                  (default: <bin>/stoker-kit), e.g. "wine /path/to/stoker-kit.exe"
  STOKER_PORT     port argument given to the kit (default: the simulator's pty)
  STOKER_LINK     path the simulator makes a symbolic link to its pty (--link)
  SIM_BAUD        pace the simulator like a B-baud 8N1 line (default: unpaced)
"""

import argparse
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
PACKET_BYTES = 1024
FLASH_KIB = 2048
PACKET_LINE = re.compile(rb"block sent=(\d+)")


def start_target(bin_dir, baud, link, out_path):
    """Starts stoker-target --gen 1 for one session; returns (process, pty path)."""
    cmd = [os.path.join(bin_dir, "stoker-target"), "--gen", "1", "--once", "--out", out_path]
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


def run_kit(cmd, port, image):
    """Runs stoker-kit xmodem -v; returns (exit status, CPU seconds, [(arrival, chunk)])."""
    argv = cmd + ["xmodem", "-v", port, "115200", "0x1d000000", str(FLASH_KIB), "0", image]
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
    _, raw, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(raw)
    return proc.returncode, usage.ru_utime + usage.ru_stime, chunks


def packet_times(chunks):
    """Arrival time of each progress line: that of the chunk in which it starts."""
    stream = b""
    starts = []
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

    return [arrival(m.start()) for m in PACKET_LINE.finditer(stream)], stream


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, -(-len(sorted_values) * p // 100))
    return sorted_values[int(rank) - 1]


def summary(values):
    v = sorted(values)
    return "median %.3f  p90 %.3f  max %.3f  (n=%d)" % (
        percentile(v, 50), percentile(v, 90), v[-1], len(v))


def one_run(args, cmd, wire_ms, workdir):
    out_path = os.path.join(workdir, "received.bin")
    sim, pty = start_target(args.bin, args.baud, args.link, out_path)
    try:
        status, cpu, chunks = run_kit(cmd, args.port or pty, args.image)
    finally:
        sim_out, _ = sim.communicate(timeout=30)
    times, stream = packet_times(chunks)
    packets = -(-args.size // PACKET_BYTES)
    if status != 0 or len(times) != packets or not stream.endswith(b"\nsucess"):
        sys.exit("download failed: status %d, %d of %d packet lines\n%s\n%s" % (
            status, len(times), packets, stream[-400:].decode(errors="replace"),
            sim_out.decode(errors="replace")))
    with open(args.image, "rb") as f:
        sent = f.read()
    with open(out_path, "rb") as f:
        received = f.read()
    if received[:len(sent)] != sent or len(received) != packets * PACKET_BYTES:
        sys.exit("the image the target received differs from the one sent")
    per_packet = [(b - a) * 1000.0 - wire_ms for a, b in zip(times, times[1:])]
    return per_packet, times[-1] - times[0], cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=1 << 20, help="image bytes (1 MiB)")
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", DEFAULT_BIN),
                        help="directory of stoker-kit and stoker-target")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    args.baud = int(os.environ.get("SIM_BAUD", "0") or 0)
    args.port = os.environ.get("STOKER_PORT", "")
    args.link = os.environ.get("STOKER_LINK", "")
    cmd = shlex.split(os.environ.get("STOKER_KIT_CMD", "") or
                      os.path.join(args.bin, "stoker-kit"))
    # A packet is 1029 bytes on the wire, its ACK one more.
    wire_ms = (PACKET_BYTES + 6) * 10 * 1000.0 / args.baud if args.baud else 0.0

    packets = -(-args.size // PACKET_BYTES)
    print("stoker-kit command: %s" % " ".join(cmd))
    print("image %d bytes, %d packets per run, target %s, wire time per packet %.3f ms" % (
        args.size, packets, "paced at %d baud" % args.baud if args.baud else "unpaced",
        wire_ms))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    pooled = []
    phases = 0.0
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        args.image = os.path.join(workdir, "image.bin")
        with open(args.image, "wb") as f:
            f.write(os.urandom(args.size))
        for run in range(args.runs):
            per_packet, phase, cpu = one_run(args, cmd, wire_ms, workdir)
            pooled += per_packet
            phases += phase
            print("run %d: %d packets in %.3f s (%.0f packets/s); host CPU %.3f ms per packet;"
                  " ms per packet beyond wire: %s" % (
                      run + 1, packets, phase, len(per_packet) / phase,
                      cpu * 1000.0 / packets, summary(per_packet)))
    print("all runs: %.0f packets/s; ms per packet beyond wire: %s" % (
        len(pooled) / phases, summary(pooled)))
    median = percentile(sorted(pooled), 50)
    print("target median <= 1 ms per packet: %s" % ("met" if median <= 1.0 else "MISSED"))


if __name__ == "__main__":
    main()
