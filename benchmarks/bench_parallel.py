"""Several devices updated at once take about the time of one.

Eight simulated devices, each in its own process and answering after a
network delay, are updated by one `ondrel-fpga update` with eight
addresses; the same image is also written to one device alone.  Each
device has its own thread and connection, and the threads wait on their
sockets with the interpreter lock free.

    python benchmarks/bench_parallel.py [--devices 8] [--kib 64] [--latency 0.2]
"""

import argparse
import contextlib
import io
import sys
import time

from common import image_file, simulator_process

from ondrel.tools import cli

TARGET_RATIO = 1.5


def update(path, targets):
    out, err = io.StringIO(), io.StringIO()
    argv = ["update", path, "--no-progress", "--no-fw-check"]
    for host, port in targets:
        argv += ["--address", "%s:%d" % (host, port)]
    started = time.perf_counter()
    code = cli.main(argv, out=out, err=err)
    seconds = time.perf_counter() - started
    if code != 0:
        raise RuntimeError("update failed: %s" % err.getvalue())
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", type=int, default=8)
    parser.add_argument("--kib", type=int, default=64)
    parser.add_argument("--latency", type=float, default=0.2, help="milliseconds each way of the reply")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack, image_file(args.kib * 1024) as path:
        targets = [stack.enter_context(simulator_process("--latency", str(args.latency)))
                   for _ in range(args.devices)]
        one = min(update(path, targets[:1]) for _ in range(2))
        several = min(update(path, targets) for _ in range(2))
    ratio = several / one
    print("%d KiB image, %.1f ms reply delay: 1 device %.2f s, %d devices at once %.2f s, ratio %.2f"
          % (args.kib, args.latency, one, args.devices, several, ratio))
    print("target: under %.1fx -> %s" % (TARGET_RATIO, "met" if ratio < TARGET_RATIO else "NOT MET"))
    return 0 if ratio < TARGET_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
