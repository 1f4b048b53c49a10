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

import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import benchlib  # noqa: E402

PACKET_BYTES = 1024
GEN1_LOADER = ["--gen", "1"]
PACKET_LINE = re.compile(rb"block sent=(\d+)")


def packet_times(chunks):
    """Arrival time of each progress line."""
    stream, arrival = benchlib.joined(chunks)
    return [arrival(m.start()) for m in PACKET_LINE.finditer(stream)], stream


def one_run(args, wire_ms, workdir):
    """One download; returns (ms per packet beyond wire, seconds from the first
    progress line to the last, the kit's CPU seconds)."""
    run = benchlib.download(args, GEN1_LOADER, ["xmodem", "-v"], workdir)
    times, stream = packet_times(run.chunks)
    packets = -(-args.size // PACKET_BYTES)
    if run.status != 0 or len(times) != packets or not stream.endswith(b"\nsucess"):
        benchlib.fail(run, len(times), packets, "packet", stream)
    with open(args.image, "rb") as f:
        sent = f.read()
    with open(run.received, "rb") as f:
        received = f.read()
    if received[:len(sent)] != sent or len(received) != packets * PACKET_BYTES:
        sys.exit("the image the target received differs from the one sent")
    per_packet = [(b - a) * 1000.0 - wire_ms for a, b in zip(times, times[1:])]
    return per_packet, times[-1] - times[0], run.cpu


def main():
    args = benchlib.parse_args(__doc__, "stoker-kit", "STOKER_KIT_CMD")
    # A packet is 1029 bytes on the wire, its ACK one more.
    wire_ms = benchlib.wire_ms(PACKET_BYTES + 6, args.baud)

    packets = -(-args.size // PACKET_BYTES)
    benchlib.print_header("stoker-kit", args.cmd, args.size, packets, "packet", args.baud,
                          wire_ms)
    pooled = []
    phases = 0.0
    with benchlib.random_image(args.size) as (workdir, image):
        args.image = image
        for run in range(args.runs):
            per_packet, phase, cpu = one_run(args, wire_ms, workdir)
            pooled += per_packet
            phases += phase
            print("run %d: %d packets in %.3f s (%.0f packets/s); host CPU %.3f ms per packet;"
                  " ms per packet beyond wire: %s" % (
                      run + 1, packets, phase, len(per_packet) / phase,
                      cpu * 1000.0 / packets, benchlib.summary(per_packet)))
    print("all runs: %.0f packets/s; ms per packet beyond wire: %s" % (
        len(pooled) / phases, benchlib.summary(pooled)))
    print("target median <= 1 ms per packet: %s" % benchlib.median_met(pooled))


if __name__ == "__main__":
    main()
