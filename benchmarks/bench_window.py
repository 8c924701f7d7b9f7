"""Whole updates with 1 command in flight against windows of 8, 32 and 128.

A simulated device in its own process holds each reply for a network's
round trip (twice the one-way latency) after its command arrived, without
holding up the commands behind it.  For each latency and window, one update
of the image (checks, write, read-back, verification) is timed, with the
time of each stage; ratios are against a window of 1.

Aims: at 0.1 ms one way, a window of 32 completes the update at least 8x
faster than a window of 1; at 0 ms, no window is slower than 1.

    python benchmarks/bench_window.py [--mib 1] [--latencies 0 0.1 0.5] [--windows 1 8 32 128]
"""

import argparse
import logging
import sys
import time

from common import image_file, quiet_stdout, simulator_process

from ondrel.tools.tbin import seal
from ondrel.tools.windowed import WindowedFpgaTool

TARGET_SPEEDUP = 8.0


def update(host, port, path, window):
    """Seconds of the whole update and of its write and verify stages."""
    tool = WindowedFpgaTool(address=host, port=port, window=window)
    tool._conn.settimeout(30)
    marks = {}

    def progress(stage, done, total):
        marks.setdefault(stage, time.perf_counter())

    tool.set_progress_callback(progress)
    started = time.perf_counter()
    with quiet_stdout():
        result = tool.processFpgaUpdate(path, 32)
    ended = time.perf_counter()
    tool.disconnect()
    if not result.RetData or not result.RetData["success"]:
        raise RuntimeError("the update failed with a window of %d" % window)
    return ended - started, marks["verify"] - marks["write"], ended - marks["verify"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=float, default=1.0)
    parser.add_argument("--latencies", type=float, nargs="+", default=[0.0, 0.1, 0.5], metavar="MS",
                        help="one-way network latency in milliseconds")
    parser.add_argument("--windows", type=int, nargs="+", default=[1, 8, 32, 128])
    args = parser.parse_args()
    logging.getLogger("FPGA").setLevel(logging.WARNING)
    size = int(args.mib * (1 << 20))
    failures = []
    print("%-9s %6s %9s %9s %9s %8s" % ("one-way", "window", "update s", "write s", "verify s", "speed-up"))
    with image_file(size) as raw:
        path = raw.replace(".bin", ".tbin")
        with open(raw, "rb") as f, open(path, "wb") as out:
            out.write(seal(f.read(), 32))
        for latency in args.latencies:
            with simulator_process("--latency", str(2 * latency)) as (host, port):
                base = None
                for window in args.windows:
                    total, write, verify = update(host, port, path, window)
                    base = base or total
                    print("%-9s %6d %9.2f %9.2f %9.2f %7.2fx" % ("%.1f ms" % latency, window, total, write, verify,
                                                                base / total))
                    sys.stdout.flush()
                    if latency == 0 and total > base * 1.05:
                        failures.append("window %d is slower than 1 at 0 ms" % window)
                    if abs(latency - 0.1) < 1e-9 and window == 32 and base / total < TARGET_SPEEDUP:
                        failures.append("window 32 at 0.1 ms is %.1fx, not %.0fx" % (base / total, TARGET_SPEEDUP))
    print("aims: %s" % ("met" if not failures else "NOT MET: " + "; ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
