"""An update never reports what did not happen, and never waits for ever."""

import os
import re
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from ondrel.QarUtils import RetCode
from ondrel.tools.tbin import seal

IMAGE = os.urandom(1000)


def test_the_verified_bytes_are_the_programmed_bytes(simulator, tool_on, image_dir):
    path = image_dir("fw.tbin", seal(IMAGE, 32))
    replacement = seal(os.urandom(2000), 32)  # also sealed: only the check would tell them apart
    sim = simulator(hooks={b"FPGA_ERASE": lambda _: open(path, "wb").write(replacement)})
    assert tool_on(sim).processFpgaUpdate(path).RetCode is RetCode.OK
    assert sim.state.image() == IMAGE


def test_a_file_changed_after_its_check_is_refused_before_the_erase(Tarnel, device, image_dir, fpga_log):
    path = image_dir("fw.tbin", seal(IMAGE, 32))

    class Swapping(Tarnel.FpgaTool):
        def _checkFileHeader(self, image_path):
            verified = super()._checkFileHeader(image_path)
            with open(image_path, "r+b") as f:  # the same size, one byte of the image changed
                f.seek(-1, os.SEEK_END)
                f.write(bytes([IMAGE[-1] ^ 1]))
            return verified

    result = Swapping(device).processFpgaUpdate(path)
    assert result.RetCode is RetCode.ERROR
    assert device.calls == []  # not a single command
    assert ("ERROR", "FPGA image file changed after its check: " + path) in fpga_log()
    # outside an update the file is programmed as it is
    assert Tarnel.FpgaTool(device)._fpgaProgramFile(path, 32) is True


@pytest.mark.parametrize("image_length,image_start", [(0, None), (40, 10**6)], ids=["length 0", "past the end"])
def test_an_empty_sealed_image_is_refused_by_the_check(tool, conn, image_dir, fpga_log, image_length, image_start):
    data = bytearray(seal(b"", 32))
    if image_start is not None:  # a range wholly past the end of the file: cut to nothing
        data[4:12] = struct.pack(">II", image_length, image_start)
    path = image_dir("fw.tbin", bytes(data))
    result = tool.processFpgaUpdate(path)
    assert (result.RetCode, result.RetMsg) == (RetCode.ERROR, "FPGA image header check failed.")
    assert ("ERROR", "FPGA tbin image is empty: " + path) in fpga_log()
    assert conn.calls == []


@pytest.mark.parametrize("suffix", ["/", "\0"], ids=["trailing slash", "NUL"])
def test_a_path_every_step_would_refuse_is_refused_by_the_file_check(tool, conn, image_dir, fpga_log, suffix):
    path = image_dir("fw.bin", IMAGE) + suffix
    result = tool.processFpgaUpdate(path)
    assert (result.RetCode, result.RetMsg) == (RetCode.ERROR, "FPGA update file check failed.")
    assert ("ERROR", "FPGA image path not found: " + path) in fpga_log()
    assert conn.calls == []


def test_a_trickling_device_times_out_by_its_deadline(Tarnel):
    listener = socket.create_server(("127.0.0.1", 0))
    stop = threading.Event()

    def trickle():  # one byte of an endless line every 50 ms (for 5 s, so that no fault hangs the test)
        client, _ = listener.accept()
        with client:
            client.recv(100)
            for _ in range(100):
                if stop.is_set():
                    break
                client.sendall(b"x")
                time.sleep(0.05)

    server = threading.Thread(target=trickle, daemon=True)
    server.start()
    try:
        tool = Tarnel.FpgaTool(address="127.0.0.1", port=listener.getsockname()[1])
        tool._conn.settimeout(0.3)
        started = time.monotonic()
        with pytest.raises(TimeoutError, match="within 0.3s"):
            tool._fpgaGetId()
        assert time.monotonic() - started < 3  # not one time-out per byte
    finally:
        stop.set()
        listener.close()
        server.join(5)


def test_an_interrupted_exchange_closes_the_connection_and_a_reconnect_recovers(simulator, tool_on, image_dir):
    sim = simulator(delay=0.5)
    tool = tool_on(sim)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(KeyboardInterrupt):
            tool._fpgaGetId()  # the reply is still on its way
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    with pytest.raises(ConnectionError, match="closed after KeyboardInterrupt interrupted an exchange"):
        tool._fpgaGetVersion()  # says so, rather than reading the previous answer
    sim.device.faults.delay = 0
    assert tool._conn.initConnection() is True
    assert tool.initFpga(32).RetData["fpga_id"] == sim.state.fpga_id  # the answer to this question
    path = image_dir("fw.bin", IMAGE)
    assert tool.processFpgaUpdate(path).RetCode is RetCode.OK
    assert sim.state.image() == IMAGE


def test_a_sparse_container_is_read_only_as_far_as_its_sizes_reach(Tarnel, device, tmp_path):
    path = tmp_path / "fw.tbin"
    with open(path, "wb") as f:
        f.write(seal(IMAGE, 32))
        f.truncate(3 << 30)  # 3 GiB, nearly all of it a hole
    tool = Tarnel.FpgaTool(device)
    before = _bytes_read()
    assert tool.processFpgaUpdate(str(path)).RetCode is RetCode.OK
    assert _bytes_read() - before < 1 << 20
    assert device.device.state.image() == IMAGE


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="address limits and ASan do not mix")
def test_running_out_of_memory_is_said_in_words(tmp_path):
    path = tmp_path / "fw.tbin"
    with open(path, "wb") as f:
        f.write(struct.pack(">III", 2, 0xFFFFFFF0, 80) + bytes(68) + b"{}")
        f.truncate(5 << 30)
    code = textwrap.dedent("""
        import logging, resource, sys
        import ondrel.Tarnel as Tarnel
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        Tarnel.FpgaTool(object())._checkFileHeader(sys.argv[1])
    """)
    child = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.rstrip().endswith("FPGA image file not readable: %s, out of memory" % path)


def test_progress_lines_keep_their_place_among_other_output(Tarnel, device, image_dir, capsys):
    class Chatty(Tarnel.FpgaTool):
        def _fpgaProgram(self, data_block):
            print("program %d" % len(data_block))
            return super()._fpgaProgram(data_block)

    assert Chatty(device)._fpgaProgramFile(image_dir("fw.bin", IMAGE[:40]), 32) is True
    out = capsys.readouterr().out
    written = re.findall(r"program \d+\n|\rProgress: [\d.]+% \(\d+/40", out)
    assert written[:6] == ["program 16\n", "\rProgress: 40.00% (16/40", "program 16\n", "\rProgress: 80.00% (32/40",
                       "program 8\n", "\rProgress: 100.00% (40/40"]


def _bytes_read():
    with open("/proc/self/io") as f:
        return int(dict(line.split(": ") for line in f.read().splitlines())["rchar"])
