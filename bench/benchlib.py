"""Shared parts of the download benchmarks (bench/block_overhead.py and
bench/xmodem_throughput.py): options and environment, stoker-target on a
pseudo-terminal, a download whose standard output is timestamped chunk by
chunk, and the figures printed from the intervals.

Python 3 standard library only.
"""

import argparse
import bisect
import collections
import contextlib
import os
import selectors
import shlex
import subprocess
import sys
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_BIN = os.path.join(HERE, "..", "build-bench", "bin")
FLASH_KIB = 2048

# One download against the simulator: the program's exit status, its user +
# system CPU seconds, its standard output as [(arrival time, chunk)], what the
# simulator printed, and the file the simulator wrote what it received to.
Download = collections.namedtuple("Download", "status cpu chunks sim_out received")


def parse_args(doc, program, cmd_env):
    """Reads the options (--runs, --size, --bin) and the environment.

    program names what the command runs ("stoker", "stoker-kit"); cmd_env is
    the variable that replaces it (STOKER_CMD, STOKER_KIT_CMD). Adds to the
    options: bin (absolute), baud (SIM_BAUD, 0 = unpaced), port (STOKER_PORT,
    "" = the simulator's pty), link (STOKER_LINK, "" = none) and cmd (the
    command as a list)."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=1 << 20, help="image bytes (1 MiB)")
    parser.add_argument("--bin", default=os.environ.get("STOKER_BIN", DEFAULT_BIN),
                        help="directory of %s and stoker-target" % program)
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    args.baud = int(os.environ.get("SIM_BAUD", "0") or 0)
    args.port = os.environ.get("STOKER_PORT", "")
    args.link = os.environ.get("STOKER_LINK", "")
    args.cmd = shlex.split(os.environ.get(cmd_env, "") or os.path.join(args.bin, program))
    return args


def wire_ms(wire_bytes, baud):
    """Milliseconds wire_bytes take on a baud-rate 8N1 line; 0.0 unpaced (baud 0)."""
    return wire_bytes * 10 * 1000.0 / baud if baud else 0.0


def print_header(program, cmd, size, count, unit, baud, wire):
    """Prints the command, the image and the target's pacing, and the load average."""
    print("%s command: %s" % (program, " ".join(cmd)))
    print("image %d bytes, %d %ss per run, target %s, wire time per %s %.3f ms" % (
        size, count, unit, "paced at %d baud" % baud if baud else "unpaced", unit, wire))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


@contextlib.contextmanager
def random_image(size):
    """Yields (work directory, path of an image of size random bytes in it);
    removes both afterwards."""
    with tempfile.TemporaryDirectory(prefix="stoker-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(size))
        yield workdir, image


def start_target(bin_dir, loader_args, baud, link, out_path):
    """Starts stoker-target with loader_args (its --gen ...) for one session
    that writes what it receives to out_path; returns (process, pty path).
    Exits the script if the simulator does not name its pty."""
    cmd = [os.path.join(bin_dir, "stoker-target")] + loader_args + ["--once", "--out", out_path]
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


def run_timed(argv):
    """Runs argv to its end; returns (exit status, user + system CPU seconds,
    [(arrival time, chunk)]): its standard output as read, each chunk with the
    monotonic time it was read at."""
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
    sel.close()
    proc.stdout.close()
    _, raw, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(raw)
    return proc.returncode, usage.ru_utime + usage.ru_stime, chunks


def download(args, loader_args, options, workdir):
    """Downloads args.image with args.cmd + options to a fresh stoker-target
    (loader_args) in workdir: port args.port or the simulator's pty, 115200,
    address 0x1d000000, FLASH_KIB KiB of flash, erase delay 0. Returns a
    Download; the simulator is ended and its output collected even if the
    run fails."""
    out_path = os.path.join(workdir, "received.bin")
    sim, pty = start_target(args.bin, loader_args, args.baud, args.link, out_path)
    argv = args.cmd + options + [args.port or pty, "115200", "0x1d000000", str(FLASH_KIB),
                                 "0", args.image]
    try:
        status, cpu, chunks = run_timed(argv)
    finally:
        sim_out = end_target(sim)
    return Download(status, cpu, chunks, sim_out, out_path)


def end_target(sim):
    """Waits up to 30 s for the simulator to end its session, kills it if it
    has not (the program failed before or during the session: the simulator
    would wait for it for ever), and returns what it printed."""
    try:
        sim_out, _ = sim.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        sim.kill()
        sim_out, _ = sim.communicate()
    return sim_out


def fail(run, count, expected, unit, stream):
    """Exits the script: the download of run went wrong, count of expected
    progress lines seen; shows the end of the output and the simulator's."""
    sys.exit("download failed: status %d, %d of %d %s lines\n%s\n%s" % (
        run.status, count, expected, unit, stream[-400:].decode(errors="replace"),
        run.sim_out.decode(errors="replace")))


def joined(chunks):
    """The chunks' data as one stream, and a function from an offset in it to
    the arrival time of the chunk holding that offset. A progress line gets
    the time of the chunk it starts in (each is written with one flushed
    printf)."""
    stream = b"".join(data for _, data in chunks)
    begins = []
    times = []
    offset = 0
    for at, data in chunks:
        begins.append(offset)
        times.append(at)
        offset += len(data)

    def arrival(at_offset):
        return times[max(0, bisect.bisect_right(begins, at_offset) - 1)]

    return stream, arrival


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, -(-len(sorted_values) * p // 100))
    return sorted_values[int(rank) - 1]


def summary(values, mean=False, over_ms=None):
    """Median, p90 and max of values (ms), then their mean if asked, their
    count, and how many exceed over_ms if given."""
    v = sorted(values)
    text = "median %.3f  p90 %.3f  max %.3f  " % (percentile(v, 50), percentile(v, 90), v[-1])
    if mean:
        text += "mean %.3f  " % (sum(v) / len(v))
    text += "(n=%d" % len(v)
    if over_ms is not None:
        text += ", %d over %g ms" % (sum(1 for x in v if x > over_ms), over_ms)
    return text + ")"


def median_met(values):
    """Returns "met" if the median of values is at most 1 ms, "MISSED" otherwise."""
    return "met" if percentile(sorted(values), 50) <= 1.0 else "MISSED"


def wait_raw(fd, limit=10.0):
    """Waits until the program under test has put fd's terminal in its raw mode."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if termios.tcgetattr(fd)[3] & termios.ECHO == 0:
            return
        time.sleep(0.01)
    sys.exit("the terminal never switched to its raw mode")
