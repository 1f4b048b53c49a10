#!/usr/bin/env python3
"""stoker-kit send-file of 1 MB to a sink paced like a 115200-baud 8N1 line:
end-to-end wall time against the wire floor, and the drains the host makes.

stoker-target --mode sink --baud 115200 reads the host's bytes only as fast
as such a line carries them (so the host's writes block once the
pseudo-terminal's buffer is full), stamps every byte with the time it has
wholly crossed the line (10 bits a byte, back to back) and appends it to its
--out file at that time. The script starts the
clock right before starting stoker-kit and polls the file (every 5 ms) until
all bytes are there:

  wall  = arrival of the last byte - start of stoker-kit
  floor = bytes * 10 / baud  (the wire time alone)

The wall also holds the host's fixed 500 ms pause after opening the port
(and its start-up), which no line speed can hide: about 0.6 % of the floor
at 1 MB. The host finishes shortly before the line does (by what the
pseudo-terminal's buffer and the sink's read-ahead hold); its wall and CPU
time are shown too. Every run checks the bytes received.

With --strace the host runs under `strace -f -e trace=ioctl` and the script
counts the drains (TCSBRK, what tcdrain issues): one for the whole stream,
at the close, not one per 4-byte write.

Python 3 standard library only, and bench/benchlib.py.
Usage: bench/send_file_paced.py [--runs N] [--size BYTES] [--baud B] [--bin DIR] [--strace]
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--size", type=int, default=1000000)
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--bin", default=os.path.join(HERE, "..", "build-bench", "bin"))
    parser.add_argument("--strace", action="store_true", help="count the host's drains")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)
    floor = args.size * 10.0 / args.baud

    with tempfile.TemporaryDirectory(prefix="stoker-sendfile-") as workdir:
        data_path = os.path.join(workdir, "data.bin")
        data = os.urandom(args.size)
        with open(data_path, "wb") as f:
            f.write(data)
        print("file %d bytes, sink paced at %d baud 8N1, wire floor %.3f s" % (
            args.size, args.baud, floor))
        print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        for run in range(1, args.runs + 1):
            out_path = os.path.join(workdir, "received.bin")
            if os.path.exists(out_path):
                os.remove(out_path)
            sim, pty = benchlib.start_target(bin_dir, ["--mode", "sink", "--idle-ms", "1000"],
                                             args.baud, "", out_path)
            trace = os.path.join(workdir, "strace.txt")
            times = os.path.join(workdir, "time.txt")
            host = ["/usr/bin/time", "-f", "%e %U %S", "-o", times]
            if args.strace:
                host += ["strace", "-f", "-e", "trace=ioctl", "-o", trace]
            host += [os.path.join(bin_dir, "stoker-kit"), "send-file", pty, str(args.baud),
                     data_path]
            try:
                start = time.monotonic()
                kit = subprocess.Popen(host, stdout=subprocess.DEVNULL)
                while file_size(out_path) < args.size:
                    if time.monotonic() - start > 3 * floor + 30:
                        sys.exit("run %d: only %d bytes arrived" % (run, file_size(out_path)))
                    time.sleep(0.005)
                wall = time.monotonic() - start
                status = kit.wait()
                sim.communicate(timeout=30)
            finally:
                for proc in (kit, sim):
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
            with open(out_path, "rb") as f:
                if status != 0 or f.read() != data:
                    sys.exit("run %d: exit %d, or the sink received other bytes" % (run, status))
            with open(times) as f:
                host_wall, user, system = (float(v) for v in f.read().split()[-3:])
            line = ("run %d: wall %.3f s  wall/floor %.4f  (host: wall %.3f s, user %.2f s, "
                    "sys %.2f s)" % (run, wall, wall / floor, host_wall, user, system))
            if args.strace:
                with open(trace) as f:
                    calls = [l for l in f if re.search(r"\bioctl\(", l)]
                drains = sum(1 for l in calls if "TCSBRK" in l)
                line += "  ioctl calls %d, drains (TCSBRK) %d" % (len(calls), drains)
            print(line)


if __name__ == "__main__":
    main()
