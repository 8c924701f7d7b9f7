"""Per-block cost of writing and verifying an image, without a network.

FpgaTool._fpgaProgramFile runs against a connection that answers at once; the
time per 16-byte block covers one program exchange and one read exchange
with everything around them (framing, digests, progress line to a file,
timing).  The connection's own cost is measured apart and taken off, so the
figure is ours: the time a host spends holding the interpreter lock per block.
For scale, the same steps written in plain Python are timed too.

    python benchmarks/bench_block_cost.py [--sizes 1 16] [--repeat 3]
"""

import argparse
import hashlib
import sys
import time

from common import image_file, quiet_logging, quiet_stdout

from ondrel.QarUtils import RetType, _RspType

TARGET_US = 1.0
ACK = RetType(data="0")
PAGE = b"#216" + bytes(16) + b"\r\n"


class InstantConnection:
    """Answers every exchange at once: acknowledged blocks, zero pages."""

    __slots__ = ()

    def sendCmd(self, frame, rsp_type):
        return ACK

    def sendRawBytes(self, data):
        pass

    def recvRawBytes(self, size):
        return PAGE


def connection_cost(blocks):
    conn = InstantConnection()
    start = time.perf_counter()
    for _ in range(blocks):
        conn.sendCmd(b"", None)
        conn.sendRawBytes(b"")
        conn.recvRawBytes(1024)
    return time.perf_counter() - start


class PlainPythonTool:
    """The same per-block steps in plain Python, for scale."""

    def __init__(self, conn):
        self._conn = conn
        self.progress_callback = None

    def _sendCmd(self, cmd, log_print=False, size=1024, isdecode=True):
        if isinstance(cmd, str):
            cmd = cmd.encode("utf-8")
        frame = cmd + b"\r\n"
        if isdecode:
            ret = self._conn.sendCmd(frame, _RspType.RSP_LIST)
            return ret.RetData if ret.RetData else ""
        self._conn.sendRawBytes(frame)
        return self._getRecv(log_print=bool(log_print), size=size, isdecode=False)

    def _getRecv(self, log_print=False, size=1024, isdecode=True):
        data = self._conn.recvRawBytes(size)
        return data.decode("utf-8") if isdecode else data[4:-2]

    def _fpgaProgram(self, data_block):
        yy = len(data_block)
        header = "FPGA_PROGRAM #%d%02d" % (len(str(yy)), yy)
        return self._sendCmd(header.encode("utf-8") + data_block).strip() == "0"

    def _fpgaRead(self):
        return self._sendCmd(b"FPGA_READ", isdecode=False)

    def program(self, path, size):
        written, read, sent = hashlib.sha256(), hashlib.sha256(), 0
        with open(path, "rb") as f:
            while True:
                block = f.read(16)
                written.update(block)
                if not block:
                    break
                start = time.monotonic()
                while not self._fpgaProgram(block):
                    start = time.monotonic()
                elapsed = time.monotonic() - start
                sent += len(block)
                sys.stdout.write("\rProgress: %.2f%% (%d/%d bytes), block time: %.4f sec"
                                 % (sent / size * 100, sent, size, elapsed))
                if self.progress_callback:
                    self.progress_callback("write", sent, size)
        for done in range(16, sent + 16, 16):
            start = time.monotonic()
            page = self._fpgaRead()
            elapsed = time.monotonic() - start
            sys.stdout.write("\rProgress: %.2f%% (%d/%d bytes), block time: %.4f sec"
                             % (done / sent * 100, done, sent, elapsed))
            if self.progress_callback:
                self.progress_callback("verify", done, sent)
            read.update(page)
        return written.hexdigest() == read.hexdigest()


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 16], metavar="MIB")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import ondrel.Tarnel as Tarnel

    quiet_logging()
    print("%-8s %14s %14s %14s %14s" % ("image", "ours us/blk", "total us/blk", "conn us/blk", "python us/blk"))
    worst = 0.0
    for mib in args.sizes:
        size = mib << 20
        blocks = size // 16
        with image_file(size, data=bytes(size)) as path, quiet_stdout():
            tool = Tarnel.FpgaTool(InstantConnection())
            total = best_of(args.repeat, lambda tool=tool: tool._fpgaProgramFile(path, 32))
            reference = PlainPythonTool(InstantConnection())
            python = best_of(1, lambda reference=reference, size=size: reference.program(path, size))
        conn = min(connection_cost(blocks) for _ in range(args.repeat))
        ours = (total - conn) / blocks * 1e6
        worst = max(worst, ours)
        print("%-8s %14.3f %14.3f %14.3f %14.3f" % ("%d MiB" % mib, ours, total / blocks * 1e6,
                                                     conn / blocks * 1e6, (python - conn) / blocks * 1e6))
    print("target: under %.1f us per block -> %s" % (TARGET_US, "met" if worst < TARGET_US else "NOT MET"))
    return 0 if worst < TARGET_US else 1


if __name__ == "__main__":
    sys.exit(main())
