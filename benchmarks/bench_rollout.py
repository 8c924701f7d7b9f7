"""A rollout of 32 devices at 16 jobs, at windows 1 and 32, against the
ideal: one device alone, as many times as the jobs must take turns
(devices / jobs rounds).  Aim: within 1.2x of the ideal at both windows, so
that the host is not what a lab with many devices waits for.  Also the
record's size per device.

Each device is a fastdev.cpp process (built here) that holds every reply
0.2 ms, a device's own work time; the image is 64 KiB.  The rollout runs as
the command line does (`ondrel-fpga rollout PLAN --jobs N --window W`), in
its own process, from the version queries to the last record line.  The
table gives the CPU the rollout and the devices used, as a share of one
core: on a machine whose cores the simulated devices share with the host,
the devices' own wake-ups can be what the rollout waits for.

    python benchmarks/bench_rollout.py [--devices 32] [--kib 64] [--delay-us 200] [--jobs 16] [--windows 1 32]
"""

import argparse
import contextlib
import os
import resource
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
    pin = ["taskset", "-c", "0"] if PIN else []
    procs = [subprocess.Popen(pin + [binary, "0", str(delay_us)], stdout=subprocess.PIPE, text=True)
             for _ in range(count)]
    return procs, [int(proc.stdout.readline()) for proc in procs]


TARGET_RATIO = 1.2
PIN = os.environ.get("ONDREL_BENCH_PIN") == "1"  # the devices on core 0, the rollout on core 1


def cpu_of(procs):
    """CPU seconds the processes used so far (Linux: /proc)."""
    total = 0
    for proc in procs:
        try:
            with open("/proc/%d/stat" % proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            return float("nan")
    return total / os.sysconf("SC_CLK_TCK")


def rollout(folder, ports, jobs, window, image_name):
    plan = os.path.join(folder, "plan%d-%d-%d.toml" % (len(ports), jobs, window))
    record = plan.replace(".toml", ".jsonl")
    with open(plan, "w") as f:
        f.write('record = "%s"\n\n[[group]]\ndevice_type = 32\nimage = "%s"\ndevices = [%s]\n'
                % (os.path.basename(record), image_name, ", ".join('"127.0.0.1:%d"' % p for p in ports)))
    started = time.perf_counter()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    pin = ["taskset", "-c", "1"] if PIN else []
    child = subprocess.run(pin + [sys.executable, "-m", "ondrel.tools", "-q", "rollout", plan, "--jobs", str(jobs),
                            "--window", str(window), "--force"], capture_output=True, text=True)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - usage.ru_utime) + (after.ru_stime - usage.ru_stime)
    if child.returncode != 0:
        raise RuntimeError("the rollout failed: %s" % child.stderr[-2000:])
    return seconds, os.path.getsize(record) / len(ports), cpu / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--kib", type=int, default=64)
    parser.add_argument("--delay-us", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=16)
    parser.add_argument("--windows", type=int, nargs="+", default=[1, 32])
    args = parser.parse_args()
    failures = []
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        with open(os.path.join(folder, "fw.tbin"), "wb") as f:
            f.write(seal(os.urandom(args.kib * 1024), 32, header={"FPGA_VERSION": "0.2.4.0"}))
        procs, ports = devices(folder, args.devices, args.delay_us)
        for proc in procs:
            stack.callback(proc.kill)
        rounds = -(-args.devices // args.jobs)
        print("%6s %10s %9s %9s %7s %12s %12s %16s" % ("window", "alone s", "ideal s", "total s", "ratio",
                                                       "rollout CPU", "devices CPU", "record B/device"))
        for window in args.windows:
            alone, _, _ = rollout(folder, ports[:1], 1, window, "fw.tbin")
            before = cpu_of(procs)
            seconds, per_device, cpu = rollout(folder, ports, args.jobs, window, "fw.tbin")
            devices_cpu = (cpu_of(procs) - before) / seconds
            ratio = seconds / (rounds * alone)
            print("%6d %10.2f %9.2f %9.2f %6.2fx %11.0f%% %11.0f%% %16.0f" % (
                window, alone, rounds * alone, seconds, ratio, 100 * cpu, 100 * devices_cpu, per_device))
            sys.stdout.flush()
            if ratio > TARGET_RATIO:
                failures.append("window %d: %.2fx the ideal" % (window, ratio))
    print("aim (within %.1fx of the ideal): %s" % (TARGET_RATIO, "met" if not failures else "NOT MET: " +
                                                    "; ".join(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
