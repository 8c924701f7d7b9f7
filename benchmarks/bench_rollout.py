"""A rollout of 64 devices: the whole plan at 1, 8 and 16 jobs, against one
device alone, and the record's size per device.

Each device is a fastdev.cpp process (built here) that holds every reply
0.2 ms, a device's own work time; the image is 64 KiB.  The rollout runs as
the command line does (`ondrel-fpga rollout PLAN --jobs N`), in its own
process, from the version queries to the last record line.

    python benchmarks/bench_rollout.py [--devices 64] [--kib 64] [--delay-us 200] [--jobs 1 8 16]
"""

import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import time

from bench_window import HERE

from ondrel.tools.tbin import seal


def devices(folder, count, delay_us):
    binary = os.path.join(folder, "fastdev")
    subprocess.run([os.environ.get("CXX", "c++"), "-O2", "-std=c++17", "-pthread", "-o", binary,
                    os.path.join(HERE, "fastdev.cpp")], check=True)
    procs = [subprocess.Popen([binary, "0", str(delay_us)], stdout=subprocess.PIPE, text=True) for _ in range(count)]
    return procs, [int(proc.stdout.readline()) for proc in procs]


def rollout(folder, ports, jobs, image_name):
    plan = os.path.join(folder, "plan%d-%d.toml" % (len(ports), jobs))
    record = plan.replace(".toml", ".jsonl")
    with open(plan, "w") as f:
        f.write('record = "%s"\n\n[[group]]\ndevice_type = 32\nimage = "%s"\ndevices = [%s]\n'
                % (os.path.basename(record), image_name, ", ".join('"127.0.0.1:%d"' % p for p in ports)))
    started = time.perf_counter()
    child = subprocess.run([sys.executable, "-m", "ondrel.tools", "-q", "rollout", plan, "--jobs", str(jobs),
                            "--force"], capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if child.returncode != 0:
        raise RuntimeError("the rollout failed: %s" % child.stderr[-2000:])
    return seconds, os.path.getsize(record) / len(ports)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", type=int, default=64)
    parser.add_argument("--kib", type=int, default=64)
    parser.add_argument("--delay-us", type=int, default=200)
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 8, 16])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        with open(os.path.join(folder, "fw.tbin"), "wb") as f:
            f.write(seal(os.urandom(args.kib * 1024), 32, header={"FPGA_VERSION": "0.2.4.0"}))
        procs, ports = devices(folder, args.devices, args.delay_us)
        for proc in procs:
            stack.callback(proc.kill)
        alone, _ = rollout(folder, ports[:1], 1, "fw.tbin")
        print("one device alone: %.2f s" % alone)
        print("%5s %9s %14s %18s" % ("jobs", "total s", "x one alone", "record B/device"))
        for jobs in args.jobs:
            seconds, per_device = rollout(folder, ports, jobs, "fw.tbin")
            print("%5d %9.2f %13.1fx %18.0f" % (jobs, seconds, seconds / alone, per_device))
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
