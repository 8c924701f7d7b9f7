"""Helpers shared by the benchmarks."""

import contextlib
import os
import re
import subprocess
import sys
import tempfile


@contextlib.contextmanager
def simulator_process(*options):
    """A device simulator in its own process (so it does not compete for this
    interpreter's lock); yields (host, port)."""
    proc = subprocess.Popen([sys.executable, "-u", "-m", "ondrel.tools.devsim", "--port", "0", *options],
                            stdout=subprocess.PIPE, text=True)
    try:
        banner = proc.stdout.readline()
        match = re.search(r"listening on ([\d.]+):(\d+)", banner)
        if not match:
            raise RuntimeError("simulator did not start: %r" % banner)
        yield match.group(1), int(match.group(2))
    finally:
        proc.terminate()
        proc.wait(10)


@contextlib.contextmanager
def image_file(size, suffix=".bin", data=None):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "image" + suffix)
        with open(path, "wb") as f:
            f.write(data if data is not None else os.urandom(size))
        yield path


@contextlib.contextmanager
def quiet_stdout():
    """Standard output to /dev/null for the timed work (the progress line is
    still formatted and written)."""
    saved = sys.stdout
    with open(os.devnull, "w") as sink:
        sys.stdout = sink
        try:
            yield
        finally:
            sys.stdout = saved


def quiet_logging():
    import logging

    logging.getLogger("FPGA").setLevel(logging.WARNING)
