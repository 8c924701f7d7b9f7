"""Peak memory of checking and programming a large image: a .tbin container
(read whole, as the checks verify it) and a raw .bin image (streamed).

A child process runs a whole update of the image (the file and header
checks, then programming with read-back) against a connection that answers
at once; the growth of its peak resident memory over what it used before is
compared with the image file's size.

    python benchmarks/bench_memory.py [--mib 64] [--kind tbin bin]
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
    import logging, os, sys
    import ondrel.Tarnel as Tarnel
    from ondrel.QarUtils import RetType
    logging.getLogger("FPGA").setLevel(logging.WARNING)

    ACK = RetType(data="0")
    VERSION = RetType(data="0.2.4.0")
    PAGE = b"#216" + bytes(16) + b"\\r\\n"  # the image is zeros

    class Instant:
        def sendCmd(self, frame, kind): return VERSION if b"VER" in frame else ACK
        def sendRawBytes(self, data): pass
        def recvRawBytes(self, size): return PAGE

    def status(field):  # bytes; VmHWM is this process image's own peak (ru_maxrss would carry the parent's)
        with open("/proc/self/status") as f:
            return 1024 * int(next(line for line in f if line.startswith(field + ":")).split()[1])

    tool = Tarnel.FpgaTool(Instant())
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = status("VmRSS")
    sys.stdout = open(os.devnull, "w")
    assert tool.processFpgaUpdate(sys.argv[1], 32).RetCode is Tarnel.RetCode.OK
    sys.__stdout__.write("%d\\n" % (status("VmHWM") - before))
    """
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--kind", nargs="+", choices=["tbin", "bin"], default=["tbin", "bin"])
    args = parser.parse_args()
    met = True
    for kind in args.kind:
        data = seal(bytes(args.mib << 20), 32) if kind == "tbin" else bytes(args.mib << 20)
        with image_file(len(data), "." + kind, data) as path:
            size = len(data)
            del data  # not in the child's memory from the start
            out = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True, check=True)
        growth = int(out.stdout)
        ratio = growth / size
        met = met and ratio < TARGET_RATIO
        print("%-4s %.1f MiB, peak growth %.1f MiB, ratio %.2f" % (kind, size / 2**20, growth / 2**20, ratio))
    print("target: under %.1fx -> %s" % (TARGET_RATIO, "met" if met else "NOT MET"))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
