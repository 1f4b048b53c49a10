#!/usr/bin/env python3
"""Display speed, paste echo, idle CPU and reconnect of stoker-kit terminal.

Every terminal runs on a pseudo-terminal that this script holds as its
standard input and output (the "screen"), so it runs in its raw console mode
as in a real terminal; the script reads the screen as a terminal emulator
would, and counts what shows (the CR that the screen's output processing
puts before each LF aside).

1. Flood: the board is this script, on the master side of a second
   pseudo-terminal whose slave is the port. Once the terminal is ready, it
   writes --flood bytes (printable lines of 80) as fast as the
   pseudo-terminal takes them. Wall time from the first byte written to the
   last one on the screen; the terminal's CPU time (/proc/PID/schedstat)
   over the same span. picocom (--quiet, no mapping) is measured the same
   way in the same run, the two alternating, --runs times each.
2. Paste: --paste printable characters written to the screen at once (a
   paste) against stoker-target --mode sink --echo, an unpaced board that
   sends every byte straight back: from the paste to the last echo on the
   screen. picocom the same way.
3. Idle CPU of stoker-kit terminal over --idle seconds: connected and quiet;
   then after the board went away, while it waits for the port.
4. Reconnect, --reconnects times: the board (stoker-target on its --link
   path) is ended, and once "port lost" shows, started again on the same
   path; from the link's creation (its lstat time) to "port back" on the
   screen.

5. With --before DIR: the flood and the paste once more with the
   stoker-kit of DIR (an earlier build, for the figures before a change).

Usage: bench/terminal_throughput.py [--bin DIR] [--runs N] [--flood BYTES]
       [--paste CHARS] [--idle S] [--reconnects N] [--before DIR]
(DIR holds stoker-kit and stoker-target; default build-bench/bin. picocom
must be installed: bench/terminal_throughput.sh installs it.)
Python 3 standard library only; Linux (/proc).
"""

import argparse
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

CTRL_A = b"\x01"
PICOCOM_EXIT = b"\x01\x18"  # C-a C-x


def cpu_ns(pid):
    """CPU time of pid so far, in nanoseconds."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0])


def load():
    return " ".join(open("/proc/loadavg").read().split()[:3])


def drain(fd, seconds):
    """Reads what fd gives for the given time; returns it."""
    got = b""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return got
        if select.select([fd], [], [], left)[0]:
            try:
                got += os.read(fd, 65536)
            except OSError:
                return got


def read_until(fd, count, limit=60.0):
    """Reads the screen until count bytes other than CR showed; returns the
    monotonic time then, or exits the script after limit seconds."""
    shown = 0
    end = time.monotonic() + limit
    while shown < count:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            sys.exit("only %d of %d bytes showed within %.0f s" % (shown, count, limit))
        data = os.read(fd, 1 << 16)
        shown += len(data) - data.count(b"\r")
    return time.monotonic()


def wait_for_text(fd, text, limit=10.0):
    """Reads the screen until text shows; returns the wall-clock time then."""
    seen = b""
    end = time.monotonic() + limit
    while text not in seen:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            sys.exit("%r never showed; last: %r" % (text, seen[-200:]))
        seen += os.read(fd, 65536)
    return time.time()


class Screen:
    """A program with a pseudo-terminal as its standard input and output."""

    def __init__(self, argv, quit_keys):
        self.master, self.slave = pty.openpty()
        self.quit_keys = quit_keys
        self.proc = subprocess.Popen(argv, stdin=self.slave, stdout=self.slave,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        benchlib.wait_raw(self.slave)
        drain(self.master, 0.5)

    def close(self):
        try:
            os.write(self.master, self.quit_keys)
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)
        os.close(self.slave)


def kit_argv(bin_dir, port, *options):
    return [os.path.join(bin_dir, "stoker-kit"), "terminal", port, "115200"] + list(options)


def picocom_argv(port):
    return ["picocom", "--quiet", "--baud", "115200", "--imap", "", "--omap", "", port]


def flood_data(size):
    line = bytes(range(0x21, 0x21 + 79)) + b"\n"
    return (line * (size // len(line) + 1))[:size]


def flood_once(argv_for, quit_keys, size):
    """One flood through a terminal: (wall s, CPU s)."""
    board, port_fd = pty.openpty()
    tty.setraw(port_fd)
    port = os.ttyname(port_fd)
    screen = Screen(argv_for(port), quit_keys)
    data = flood_data(size)

    def write_all():
        view = memoryview(data)
        while view:
            view = view[os.write(board, view[:4096]):]

    try:
        writer = threading.Thread(target=write_all)
        cpu_before = cpu_ns(screen.proc.pid)
        start = time.monotonic()
        writer.start()
        end = read_until(screen.master, size)
        cpu = (cpu_ns(screen.proc.pid) - cpu_before) / 1e9
        writer.join()
        return end - start, cpu
    finally:
        screen.close()
        os.close(board)
        os.close(port_fd)


def paste_once(argv_for, quit_keys, bin_dir, work, count):
    """count characters pasted against an echoing board: seconds until the
    last echo showed."""
    sim, port = benchlib.start_target(bin_dir, ["--mode", "sink", "--echo", "--idle-ms", "0"], 0,
                                      "", os.path.join(work, "received.bin"))
    screen = Screen(argv_for(port), quit_keys)
    try:
        # Letters and digits: the terminal before this version took some
        # other characters for commands, and it is measured too.
        alphabet = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
        text = bytes(alphabet[i % len(alphabet)] for i in range(count))
        start = time.monotonic()
        os.write(screen.master, text)
        return read_until(screen.master, count) - start
    finally:
        screen.close()
        sim.send_signal(signal.SIGTERM)
        sim.wait()


def idle_cpu(pid, fd, seconds):
    """Percent of one core that pid used over seconds."""
    before = cpu_ns(pid)
    start = time.monotonic()
    drain(fd, seconds)
    return 100.0 * (cpu_ns(pid) - before) / ((time.monotonic() - start) * 1e9)


def idle_and_reconnect(bin_dir, work, seconds, reconnects):
    """Idle CPU (connected, then waiting for the lost port) and reconnect
    latencies in ms."""
    link = os.path.join(work, "port")
    options = ["--mode", "sink", "--idle-ms", "0"]
    out = os.path.join(work, "received.bin")
    sim, _ = benchlib.start_target(bin_dir, options, 0, link, out)
    screen = Screen(kit_argv(bin_dir, link), CTRL_A)
    latencies = []
    try:
        connected = idle_cpu(screen.proc.pid, screen.master, seconds)
        waiting = None
        for i in range(reconnects):
            sim.send_signal(signal.SIGTERM)
            sim.wait()
            wait_for_text(screen.master, b"waiting for it")
            if waiting is None:
                waiting = idle_cpu(screen.proc.pid, screen.master, seconds)
            else:
                time.sleep(0.05 + 0.1 * (i % 3) / 3)  # returns at other phases of the tries
            sim, _ = benchlib.start_target(bin_dir, options, 0, link, out)
            created = os.lstat(link).st_mtime_ns / 1e9
            back = wait_for_text(screen.master, b"port back")
            latencies.append((back - created) * 1000)
        return connected, waiting, latencies
    finally:
        screen.close()
        sim.send_signal(signal.SIGTERM)
        sim.wait()


def summary(values, unit, scale=1.0):
    v = sorted(x * scale for x in values)
    return "median %.3f %s  min %.3f  max %.3f  (n=%d)" % (
        statistics.median(v), unit, v[0], v[-1], len(v))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", benchlib.DEFAULT_BIN))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--flood", type=int, default=1 << 20)
    parser.add_argument("--paste", type=int, default=5000)
    parser.add_argument("--idle", type=float, default=10.0)
    parser.add_argument("--reconnects", type=int, default=10)
    parser.add_argument("--before", help="directory of an earlier stoker-kit to measure once")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.bin)
    if shutil.which("picocom") is None:
        sys.exit("picocom is not installed (bench/terminal_throughput.sh installs it)")
    print("load average before: %s" % load())
    kit = lambda port: kit_argv(bin_dir, port)  # noqa: E731
    flood = {"stoker-kit terminal": [], "picocom": []}
    paste = {"stoker-kit terminal": [], "picocom": []}
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as work:
        for _ in range(args.runs):
            flood["stoker-kit terminal"].append(flood_once(kit, CTRL_A, args.flood))
            flood["picocom"].append(flood_once(picocom_argv, PICOCOM_EXIT, args.flood))
            paste["stoker-kit terminal"].append(
                paste_once(kit, CTRL_A, bin_dir, work, args.paste))
            paste["picocom"].append(
                paste_once(picocom_argv, PICOCOM_EXIT, bin_dir, work, args.paste))
        print("flood of %d bytes, %d runs each:" % (args.flood, args.runs))
        for name, runs in flood.items():
            print("  %-20s wall %s" % (name, summary([w for w, _ in runs], "s")))
            print("  %-20s CPU  %s" % ("", summary([c for _, c in runs], "s")))
        print("paste of %d characters, last echo on the screen:" % args.paste)
        for name, runs in paste.items():
            print("  %-20s %s" % (name, summary(runs, "ms", 1000)))
        connected, waiting, latencies = idle_and_reconnect(bin_dir, work, args.idle,
                                                           args.reconnects)
        print("idle CPU over %.0f s: %.3f %% of a core connected, %.3f %% waiting for the "
              "lost port" % (args.idle, connected, waiting))
        print("reconnect, link created to \"port back\": %s" % summary(latencies, "ms"))
        if args.before:
            before = os.path.abspath(args.before)
            old = lambda port: kit_argv(before, port)  # noqa: E731
            wall, cpu = flood_once(old, CTRL_A, args.flood)
            print("before (%s): flood wall %.3f s, CPU %.3f s; paste %.3f ms" % (
                before, wall, cpu, 1000 * paste_once(old, CTRL_A, bin_dir, work, args.paste)))
    print("load average after: %s" % load())


if __name__ == "__main__":
    main()
