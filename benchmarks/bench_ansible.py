"""Three sites of 8 devices: the README's playbook (examples/many-labs, a
canary site first, then the other two at once, each site's record fetched
and reported) against the same three rollouts run one after another from
the command line.

Each device is a fastdev.cpp process that holds every reply 0.2 ms; the
image is 64 KiB; each site's plan is the example's, with its devices on
those processes.  Every run starts with fresh devices (running 0.2.3.5), so
every device is updated each time.  The sites are this machine
(ansible_connection=local), so what is measured is the orchestration: the
playbook's own cost against what running the sites side by side saves.
Needs ansible-core (scripts/tools-venv installs it).

    python benchmarks/bench_ansible.py [--repeat 3] [--devices 8] [--kib 64]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench_rollout import devices

from ondrel.tools.tbin import seal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ANSIBLE = os.environ.get("ONDREL_ANSIBLE_BIN") or os.path.join(ROOT, ".venv", "tools", "bin")
SITES = ("site-a", "site-b", "site-c")


def lab(folder, count, delay_us):
    """Fresh devices for every site, the plans pointing at them; the device processes."""
    procs = []
    for site in SITES:
        site_procs, ports = devices(folder, count, delay_us)
        procs += site_procs
        path = os.path.join(folder, "labs", site + ".toml")
        with open(path) as f:
            lines = f.read().splitlines()
        lines = [('devices = [%s]' % ", ".join('"127.0.0.1:%d"' % p for p in ports)) if line.startswith("devices")
                 else line for line in lines]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        record = os.path.join(folder, "labs", site + ".record.jsonl")
        if os.path.exists(record):
            os.unlink(record)
    shutil.rmtree(os.path.join(folder, "labs", "records"), ignore_errors=True)
    return procs


def command_line(folder):
    for site in SITES:
        subprocess.run([sys.executable, "-m", "ondrel.tools", "-q", "rollout", os.path.join(folder, "labs",
                                                                                         site + ".toml")],
                       check=True, capture_output=True)


def playbook(folder):
    env = dict(os.environ, ANSIBLE_HOME=os.path.join(folder, "ansible-home"),
               ANSIBLE_LOCAL_TEMP=os.path.join(folder, "ansible-tmp"),
               ANSIBLE_COLLECTIONS_PATH=os.path.join(ROOT, "ansible"))
    python = sys.executable
    subprocess.run([os.path.join(ANSIBLE, "ansible-playbook"), "-i", "inventory.ini", "labs.yml", "-e",
                    "ansible_python_interpreter=%s ondrel_fpga='%s -m ondrel.tools'" % (python, python)],
                   cwd=os.path.join(folder, "labs"), check=True, capture_output=True, env=env)


def timed(folder, args, run):
    procs = lab(folder, args.devices, args.delay_us)
    try:
        started = time.perf_counter()
        run(folder)
        return time.perf_counter() - started
    finally:
        for proc in procs:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--devices", type=int, default=8, help="devices a site")
    parser.add_argument("--kib", type=int, default=64)
    parser.add_argument("--delay-us", type=int, default=200)
    args = parser.parse_args()
    if not os.path.exists(os.path.join(ANSIBLE, "ansible-playbook")):
        print("no ansible-playbook in %s (scripts/tools-venv installs it)" % ANSIBLE)
        return 1
    with tempfile.TemporaryDirectory() as folder:
        shutil.copytree(os.path.join(ROOT, "examples", "many-labs"), os.path.join(folder, "labs"))
        with open(os.path.join(folder, "labs", "fpga32_0.2.4.0.tbin"), "wb") as f:
            f.write(seal(os.urandom(args.kib * 1024), 32, header={"FPGA_VERSION": "0.2.4.0"}))
        times = {"command line, one site after another": [], "playbook, a canary site then two at once": []}
        for _ in range(args.repeat):
            times["command line, one site after another"].append(timed(folder, args, command_line))
            times["playbook, a canary site then two at once"].append(timed(folder, args, playbook))
        print("%d sites of %d devices, %d KiB, %.1f ms a reply; median of %d runs (min-max)"
              % (len(SITES), args.devices, args.kib, args.delay_us / 1000, args.repeat))
        for name, seconds in times.items():
            print("%-42s %7.2f s  (%.2f-%.2f)" % (name, statistics.median(seconds), min(seconds), max(seconds)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
