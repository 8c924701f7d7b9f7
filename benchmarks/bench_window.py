"""Windowed updates against a bare-socket client, same device, same run.

A small C++ device (fastdev.cpp, built here with the modules' compiler) that
is never what a client waits for answers both clients on loopback.  For each
window, a whole update of a raw image (WindowedFpgaTool.processFpgaUpdate:
checks, erase, write, read-back, digests, progress line) and the bare client
of bare_client.py (the same exchanges and digests, nothing else) run in
turn, `--repeat` times each; the table gives the median wall time of each,
their ratio, and the host CPU per command (user + system time of this
process over the number of program and read commands).

Aim: the update no slower than the bare client at every window from 8 up.

With --latencies, the older sweep too: the Python simulator in its own
process holding each reply for a network's round trip, windows 1 to 128.

    python benchmarks/bench_window.py [--mib 1] [--windows 8 32 128] [--repeat 5] [--latencies 0 0.1 0.5]
"""

import argparse
import logging
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

from bare_client import BareClient
from common import image_file, quiet_stdout, simulator_process

from ondrel.tools.windowed import WindowedFpgaTool

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def fast_device(folder):
    """Builds fastdev and starts it; (process, port)."""
    binary = os.path.join(folder, "fastdev")
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, "-O2", "-std=c++17", "-o", binary, os.path.join(HERE, "fastdev.cpp")], check=True)
    proc = subprocess.Popen([binary, "0"], stdout=subprocess.PIPE, text=True)
    return proc, int(proc.stdout.readline())


def ours(port, path, window):
    tool = WindowedFpgaTool(address="127.0.0.1", port=port, window=window)
    with quiet_stdout():
        result = tool.processFpgaUpdate(path, 32)
    tool.disconnect()
    if not result.RetData or not result.RetData["success"]:
        raise RuntimeError("the update failed with a window of %d" % window)


def bare(port, image, window):
    client = BareClient("127.0.0.1", port)
    try:
        if not client.update(image, window):
            raise RuntimeError("the bare client's read-back differs")
    finally:
        client.close()


def measure(run, commands):
    started, cpu = time.perf_counter(), cpu_seconds()
    run()
    return time.perf_counter() - started, (cpu_seconds() - cpu) / commands * 1e6


def against_bare(args):
    size = int(args.mib * (1 << 20))
    image = os.urandom(size)
    commands = 2 * ((size + 15) // 16)
    failures = []
    print("%6s %9s %9s %7s %12s %12s" % ("window", "bare s", "update s", "ratio", "bare us/cmd", "upd. us/cmd"))
    with tempfile.TemporaryDirectory() as folder, image_file(size, data=image) as path:
        proc, port = fast_device(folder)
        try:
            for window in args.windows:
                times = {"bare": [], "ours": []}
                cpu = {"bare": [], "ours": []}
                for _ in range(args.repeat):
                    runs = (("bare", lambda w=window: bare(port, image, w)),
                            ("ours", lambda w=window: ours(port, path, w)))
                    for who, run in runs:
                        seconds, per_command = measure(run, commands)
                        times[who].append(seconds)
                        cpu[who].append(per_command)
                bare_s, ours_s = statistics.median(times["bare"]), statistics.median(times["ours"])
                print("%6d %9.3f %9.3f %6.2fx %12.2f %12.2f" % (window, bare_s, ours_s, ours_s / bare_s,
                                                             statistics.median(cpu["bare"]),
                                                             statistics.median(cpu["ours"])))
                sys.stdout.flush()
                if window >= 8 and ours_s > bare_s:
                    failures.append("window %d: %.2fx the bare client's time" % (window, ours_s / bare_s))
        finally:
            proc.kill()
            proc.wait()
    return failures


def latency_sweep(args):
    from ondrel.tools.tbin import seal

    size = int(args.mib * (1 << 20))
    print("\n%-9s %6s %9s %8s" % ("one-way", "window", "update s", "speed-up"))
    with image_file(size) as raw:
        path = raw.replace(".bin", ".tbin")
        with open(raw, "rb") as f, open(path, "wb") as out:
            out.write(seal(f.read(), 32))
        for latency in args.latencies:
            with simulator_process("--latency", str(2 * latency)) as (host, port):
                base = None
                for window in (1, 8, 32, 128):
                    tool = WindowedFpgaTool(address=host, port=port, window=window)
                    tool._conn.settimeout(30)
                    started = time.perf_counter()
                    with quiet_stdout():
                        tool.processFpgaUpdate(path, 32)
                    total = time.perf_counter() - started
                    tool.disconnect()
                    base = base or total
                    print("%-9s %6d %9.2f %7.2fx" % ("%.1f ms" % latency, window, total, base / total))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=float, default=1.0)
    parser.add_argument("--windows", type=int, nargs="+", default=[8, 32, 128])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--latencies", type=float, nargs="*", metavar="MS",
                        help="also the sweep against the Python simulator at these one-way latencies")
    args = parser.parse_args()
    logging.getLogger("FPGA").setLevel(logging.WARNING)
    failures = against_bare(args)
    if args.latencies:
        latency_sweep(args)
    print("aim: %s" % ("met" if not failures else "NOT MET: " + "; ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
