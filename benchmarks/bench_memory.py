"""Peak memory of checking and programming a large .tbin container.

A child process runs a whole update of the container (the file and header
checks, then programming with read-back) against a connection that answers
at once; the growth of its peak resident memory over what it used before is
compared with the container's size.

    python benchmarks/bench_memory.py [--mib 64]
"""

import argparse
import subprocess
import sys
import textwrap

from common import image_file

from ondrel.tools.tbin import seal

TARGET_RATIO = 1.5

CHILD = textwrap.dedent(
    """
    import logging, os, resource, sys
    import ondrel.Tarnel as Tarnel
    from ondrel.QarUtils import RetType
    logging.getLogger("FPGA").setLevel(logging.WARNING)

    ACK = RetType(data="0")
    PAGE = b"#216" + bytes(16) + b"\\r\\n"  # the image is zeros

    class Instant:
        def sendCmd(self, frame, kind): return ACK
        def sendRawBytes(self, data): pass
        def recvRawBytes(self, size): return PAGE

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    tool = Tarnel.FpgaTool(Instant())
    before = resident()
    sys.stdout = open(os.devnull, "w")
    assert tool.processFpgaUpdate(sys.argv[1], 32).RetCode is Tarnel.RetCode.OK
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sys.__stdout__.write("%d\\n" % (peak - before))
    """
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=64)
    args = parser.parse_args()
    data = seal(bytes(args.mib << 20), 32)
    with image_file(len(data), ".tbin", data) as path:
        out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True)
    growth = int(out.stdout)
    ratio = growth / len(data)
    print("container %.1f MiB, peak growth %.1f MiB, ratio %.2f" % (len(data) / 2**20, growth / 2**20, ratio))
    print("target: under %.1fx -> %s" % (TARGET_RATIO, "met" if ratio < TARGET_RATIO else "NOT MET"))
    return 0 if ratio < TARGET_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
