"""An update never reports what did not happen, and never waits for ever."""

import concurrent.futures
import mmap
import os
import pathlib
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

from ondrel import _wire as wire
from ondrel.QarUtils import RetCode, RetType
from ondrel.tools.tbin import seal

from .fakes import DeviceConnection
from .platforms import needs_alarm, needs_resource_limits, needs_symlinks

IMAGE = os.urandom(1000)


def test_the_verified_bytes_are_the_programmed_bytes(simulator, tool_on, image_dir):
    path = image_dir("fw.tbin", seal(IMAGE, 32))
    replacement = seal(os.urandom(2000), 32)  # also sealed: only the check would tell them apart
    sim = simulator(hooks={b"FPGA_ERASE": lambda _: pathlib.Path(path).write_bytes(replacement)})
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


@needs_alarm
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
@needs_resource_limits
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


RAW = os.urandom(70000)  # more than one piece of the stream


@pytest.mark.parametrize("window", [1, 32])
@pytest.mark.parametrize("change", ["truncate", "extend", "rewrite"])
def test_a_raw_image_changed_while_programmed_is_never_reported_programmed(simulator, tool_on, image_dir, fpga_log,
                                                                           window, change):
    from ondrel.tools import windowed

    path = image_dir("fw.bin", RAW)
    edits = {"truncate": lambda f: f.truncate(1000), "extend": lambda f: (f.seek(0, 2), f.write(b"more")),
             "rewrite": lambda f: f.write(bytes(16))}

    armed = []

    def change_it(_):  # at the first block after each erase
        if armed and armed.pop():
            with open(path, "r+b") as f:
                edits[change](f)
            os.utime(path, ns=(0, 0))  # an older time: the change is told by the file, not by a clock

    sim = simulator(hooks={b"FPGA_ERASE": lambda _: armed.append(True), b"FPGA_PROGRAM": change_it})
    tool = tool_on(sim, windowed.WindowedFpgaTool if window > 1 else None)
    if window > 1:
        tool.window = window
    result = tool.processFpgaUpdate(path)
    assert (result.RetCode, result.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert ("ERROR", "FPGA image file changed while it was programmed: " + path) in fpga_log()
    assert "FPGA_REFRESH" not in sim.state.commands  # a part-written image is never loaded
    with open(path, "wb") as f:
        f.write(RAW)
    assert windowed.program_file(tool, path, 32, window) is False  # a direct call, the same
    assert tool._fpgaGetId() == sim.state.fpga_id  # and the connection in step


@pytest.mark.parametrize("spelling", ["dot", "double slash", pytest.param("symlink", marks=needs_symlinks)])
def test_the_checked_file_is_the_programmed_file_however_its_path_is_spelled(Tarnel, device, tmp_path, fpga_log,
                                                                            spelling):
    path = tmp_path / "fw.tbin"
    path.write_bytes(seal(IMAGE, 32))
    if spelling == "symlink":
        (tmp_path / "link.tbin").symlink_to(path)
    other = {"dot": "%s/./fw.tbin", "double slash": "%s//fw.tbin", "symlink": "%s/link.tbin"}[spelling] % tmp_path

    class Tampering(Tarnel.FpgaTool):
        def _checkFileHeader(self, image_path):
            verified = super()._checkFileHeader(other)
            path.write_bytes(seal(os.urandom(1000), 32))  # sealed as well: only the check could tell
            return verified

    result = Tampering(device).processFpgaUpdate(str(path))
    assert result.RetCode is RetCode.ERROR and device.calls == []
    assert ("ERROR", "FPGA image file changed after its check: %s" % path) in fpga_log()


@pytest.mark.parametrize("window", [1, 32])
def test_no_call_receives_another_commands_reply(simulator, tool_on, image_dir, window):
    from ondrel.tools import windowed

    sim = simulator(latency=0.001)
    tool = tool_on(sim)
    answers = []

    def ask(stage, done, total):
        try:
            answers.append(tool._sendCmd("GET_SN"))
        except RuntimeError as exc:
            answers.append(str(exc))

    tool.set_progress_callback(ask)
    assert windowed.program_file(tool, image_dir("fw.bin", RAW[:4000]), 32, window) is True
    assert sim.state.image() == RAW[:4000]
    if window == 1:
        assert set(answers) == {sim.state.serial}
    else:
        busy = [a for a in answers if a.startswith("the connection is busy with a windowed transfer")]
        assert busy and set(answers) - set(busy) <= {sim.state.serial}


@pytest.mark.parametrize("call", ["program_file", "read_pages", "read_flash", "WindowedFpgaTool", "check_window"])
@pytest.mark.parametrize("bad,error", [(0, ValueError), (-1, ValueError), (10**6, ValueError), (2.5, TypeError),
                                       (True, TypeError), ("8", TypeError)])
def test_one_rule_for_the_window(Tarnel, conn, image_dir, call, bad, error):
    from ondrel.tools import windowed

    tool = Tarnel.FpgaTool(conn)
    calls = {"program_file": lambda: windowed.program_file(tool, image_dir("fw.bin", IMAGE), 32, bad),
             "read_pages": lambda: windowed.read_pages(tool, 4, bad),
             "read_flash": lambda: windowed.read_flash(tool, 64, bad),
             "WindowedFpgaTool": lambda: windowed.WindowedFpgaTool(conn, window=bad),
             "check_window": lambda: windowed.check_window(bad)}
    with pytest.raises(error, match=r"^window must be an integer from 1 to 65536 \(commands in flight\), not "):
        calls[call]()
    assert conn.calls == []


def test_a_negative_size_is_a_value_error(Tarnel, conn):
    from ondrel.tools import windowed

    with pytest.raises(ValueError, match="size must be a whole number of bytes from 0 on, not -16"):
        windowed.read_flash(Tarnel.FpgaTool(conn), -16, 8)
    assert conn.calls == []


# --- a state the file really had, checked whoever programs it -------------------------------


@pytest.mark.parametrize("window", [1, 32])
def test_a_raw_image_rewritten_through_a_mapping_is_never_programmed_as_a_mix(simulator, tool_on, image_dir,
                                                                              fpga_log, window):
    from ondrel.tools import windowed

    path = image_dir("fw.bin", RAW)
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), 0) as mapping:
        mapping[:] = RAW  # its pages dirty from now on: writing them again changes no time of the file
        before = os.stat(path)

        def rewrite(_):
            if sim.state.blocks_written == 64:
                mapping[:] = bytes(len(RAW))

        sim = simulator(hooks={b"FPGA_PROGRAM": rewrite})
        result = windowed.program_file(tool_on(sim), path, 32, window)
        after = os.stat(path)
    assert (before.st_size, before.st_mtime_ns, before.st_ctime_ns) == (after.st_size, after.st_mtime_ns,
                                                                        after.st_ctime_ns)
    assert result is False and "FPGA_REFRESH" not in sim.state.commands
    assert ("ERROR", "FPGA image file changed while it was programmed: " + path) in fpga_log()


def _pseudo_file():
    """A file whose size as stated is not what it reads, or None."""
    if not sys.platform.startswith("linux"):
        return None
    for candidate in ("/sys/kernel/mm/transparent_hugepage/enabled", "/sys/devices/system/cpu/online"):
        try:
            with open(candidate, "rb") as f:
                if len(f.read()) != os.stat(candidate).st_size:
                    return candidate
        except OSError:
            pass
    return None


@pytest.mark.skipif(_pseudo_file() is None, reason="no pseudo-file whose size is not what it reads on this system")
def test_an_image_is_read_whole_before_the_device_is_touched(tool, conn, tmp_path, fpga_log):
    path = tmp_path / "fw.bin"
    path.symlink_to(_pseudo_file())
    result = tool.processFpgaUpdate(str(path))
    assert (result.RetCode, result.RetMsg) == (RetCode.ERROR, "FPGA update process failed.") and conn.calls == []
    assert any(re.match(r"FPGA image file reads \d+ bytes where its size is \d+: ", text) for _, text in fpga_log())


def test_a_container_checked_on_one_thread_and_programmed_on_another(Tarnel, device, image_dir, fpga_log):
    path = image_dir("fw.tbin", seal(IMAGE, 32))
    pool = concurrent.futures.ThreadPoolExecutor(1)

    class Gui(Tarnel.FpgaTool):  # hands the programming to a worker thread, as GUI programs do
        def _checkFileHeader(self, image_path):
            verified = super()._checkFileHeader(image_path)
            with open(image_path, "r+b") as f:  # tampered with after its check, its tags left as they were
                f.seek(-16, os.SEEK_END)
                f.write(bytes(16))
            return verified

        def _fpgaProgramFile(self, image_path, device_type=28):
            return pool.submit(Tarnel.FpgaTool._fpgaProgramFile, self, image_path, device_type).result()

    with pool:
        result = Gui(device).processFpgaUpdate(path)
    assert result.RetCode is RetCode.ERROR and device.calls == []
    assert ("ERROR", "FPGA image file changed after its check: " + path) in fpga_log()


class _OneStream(DeviceConnection):
    """A connection with one reply stream and no guard of its own: a listed
    exchange takes whatever reply comes next, as a naive TCP client would.
    `meanwhile` runs inside a send of commands, as another thread may."""

    meanwhile = None

    def sendCmd(self, frame, rsp_type):
        self.sendRawBytes(frame)
        return RetType(data=self.recvRawBytes(1024)[:-2].decode("utf-8", "replace"))

    def sendCommands(self, data, count):
        pending = bytearray(data)
        while pending:  # one command at a time, by the framing (a block's bytes may hold a line end)
            size = len(pending)
            wire.split_command(pending)
            self.sendRawBytes(bytes(data[len(data) - size:len(data) - len(pending)]))
        if self.meanwhile:
            call, self.meanwhile = self.meanwhile, None
            call()

    def recvReplies(self, limit, size):
        return [self.recvRawBytes(size) for _ in range(min(limit, len(self.raw_replies)) or 1)]


def test_no_reply_of_a_window_reaches_another_caller(Tarnel, image_dir):
    from ondrel.tools import windowed

    conn = _OneStream(record=False)
    tool = Tarnel.FpgaTool(conn)
    answers = []

    def ask():
        try:
            answers.append(tool._fpgaGetVersion())
        except RuntimeError as exc:
            answers.append(str(exc).split(" (")[0])

    conn.meanwhile = ask  # while the window's first commands are on their way
    assert windowed.program_file(tool, image_dir("fw.bin", RAW[:4096]), 32, 8) is True
    assert answers == ["the connection is busy with a windowed transfer"]


def test_a_reply_that_is_not_a_version_is_never_the_version(Tarnel, image_dir):
    conn = DeviceConnection()
    answer = conn.device.answer

    def stray_after_refresh(command):  # the version query reads a late "0" meant for no command
        reply = answer(command)
        return b"0\r\n" if command[0] == b"GET_FPGA_VER" and "FPGA_REFRESH" in conn.device.state.commands else reply

    conn.device.answer = stray_after_refresh
    with pytest.raises(ConnectionError, match="answered with '0', which is not a version"):
        Tarnel.FpgaTool(conn).processFpgaUpdate(image_dir("fw.bin", RAW[:64]), 32)
