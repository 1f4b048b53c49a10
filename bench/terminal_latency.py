#!/usr/bin/env python3
"""Idle CPU and key/echo latency of stoker-kit terminal in a terminal.

stoker-kit terminal runs on a pseudo-terminal that this script holds (its
standard input and output, so it switches it to its raw mode as in a real
terminal) against stoker-target --mode sink --echo --times, an unpaced
simulated target that sends every byte straight back and logs each byte's
arrival on the monotonic clock.

1. Idle CPU: nothing typed, nothing arriving, for --idle seconds; the
   terminal's CPU time (/proc/PID/schedstat, nanoseconds) over that span.
   Then again after F6 closed the port.
2. Latency, --keys keys one at a time (a random 2 to 10 ms apart):
   key to target = the byte's arrival at the target - the moment this script
   wrote the key to the terminal; target to screen = the moment the echoed
   byte came out of the terminal - its arrival at the target. Both clocks are
   CLOCK_MONOTONIC. The script's own reading of the screen is part of the
   second figure, as a terminal emulator's would be.

Usage: bench/terminal_latency.py [--bin DIR] [--keys N] [--idle S]
(DIR holds stoker-kit and stoker-target; default build-bench/bin.)
Python 3 standard library only; Linux (/proc).
"""

import argparse
import os
import pty
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

F6 = b"\x1b[17~"
CTRL_A = b"\x01"


def cpu_ns(pid):
    """CPU time of pid so far, in nanoseconds."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def drain(fd, seconds):
    """Reads and drops what fd gives for the given time."""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return
        if select.select([fd], [], [], left)[0]:
            try:
                os.read(fd, 65536)
            except OSError:
                return


def idle_cpu(pid, master, seconds):
    """Percent of one core that pid used over seconds of idling."""
    before = cpu_ns(pid)
    start = time.monotonic()
    drain(master, seconds)
    used = cpu_ns(pid) - before
    return 100.0 * used / ((time.monotonic() - start) * 1e9)


def arrivals(path):
    """[(microseconds, byte)] of the target's log."""
    with open(path) as f:
        return [(int(us), int(b)) for us, b in (line.split() for line in f if line.strip())]


def latency(master, times_path, keys):
    """Types keys one at a time, each after its echo showed; returns the
    (key to target, target to screen) lists in ms."""
    already = len(arrivals(times_path))
    sent = []
    shown = []
    screen = b""
    for i in range(keys):
        byte = bytes([ord("a") + i % 26])
        time.sleep(random.uniform(0.002, 0.010))
        sent.append(time.monotonic_ns())
        os.write(master, byte)
        while True:
            select.select([master], [], [], 5)
            data = os.read(master, 4096)
            now = time.monotonic_ns()
            screen += data
            if byte in data:
                shown.append(now)
                break
    deadline = time.monotonic() + 5
    log = arrivals(times_path)[already:]
    while len(log) < keys and time.monotonic() < deadline:
        time.sleep(0.05)
        log = arrivals(times_path)[already:]
    if len(log) != keys:
        sys.exit("the target logged %d of %d keys" % (len(log), keys))
    to_target = [(log[i][0] * 1000 - sent[i]) / 1e6 for i in range(keys)]
    to_screen = [(shown[i] - log[i][0] * 1000) / 1e6 for i in range(keys)]
    return to_target, to_screen


def figures(values):
    v = sorted(values)
    return "median %.3f ms  p99 %.3f ms  max %.3f ms  (n=%d)" % (
        benchlib.percentile(v, 50), benchlib.percentile(v, 99), v[-1], len(v))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", benchlib.DEFAULT_BIN))
    parser.add_argument("--keys", type=int, default=1000)
    parser.add_argument("--idle", type=float, default=10.0)
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)

    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as work:
        times_path = os.path.join(work, "times")
        sim, port = benchlib.start_target(
            bin_dir, ["--mode", "sink", "--echo", "--idle-ms", "0", "--times", times_path], 0, "",
            os.path.join(work, "received.bin"))
        master, slave = pty.openpty()
        kit = subprocess.Popen([os.path.join(bin_dir, "stoker-kit"), "terminal", port, "115200"],
                               stdin=slave, stdout=slave, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        try:
            benchlib.wait_raw(slave)
            drain(master, 0.5)
            print("stoker-kit terminal on %s, target unpaced with echo" % port)
            print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
            print("idle CPU over %.0f s: %.3f %% of a core" % (
                args.idle, idle_cpu(kit.pid, master, args.idle)))
            to_target, to_screen = latency(master, times_path, args.keys)
            print("key to target:    " + figures(to_target))
            print("target to screen: " + figures(to_screen))
            os.write(master, F6)
            drain(master, 0.5)
            print("idle CPU over %.0f s after F6 closed the port: %.3f %% of a core" % (
                args.idle, idle_cpu(kit.pid, master, args.idle)))
            os.write(master, CTRL_A)
            status = kit.wait(timeout=10)
            print("terminal ended with status %d" % status)
        finally:
            if kit.poll() is None:
                kit.kill()
            sim.send_signal(signal.SIGTERM)
            sim.wait()
            os.close(master)
            os.close(slave)


if __name__ == "__main__":
    main()
