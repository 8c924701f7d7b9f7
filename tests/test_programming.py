"""_fpgaProgramFile: device commands, digests, progress line, callback, log."""

import hashlib
import re
import struct
import time

import pytest

from ondrel.tools.devsim import Faults
from tests.fakes import DeviceConnection

EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()
PROGRESS = re.compile(r"\rProgress: (\d+\.\d\d)% \((\d+)/(\d+) bytes\), block time: (\d+\.\d{4}) sec")


def progress_lines(text):
    """[(percent, done, total)] of every progress line, and the text between
    them with the lines removed."""
    found = [(m.group(1), int(m.group(2)), int(m.group(3))) for m in PROGRESS.finditer(text)]
    return found, PROGRESS.sub("", text)


def raw_container(image_start, image_length, payload, total_size):
    data = bytearray(total_size)
    data[0:12] = struct.pack(">III", 20, image_length, image_start)
    data[image_start : image_start + len(payload)] = payload
    return bytes(data[:total_size])


@pytest.fixture
def device_tool(Tarnel):
    def make(faults=None):
        connection = DeviceConnection(faults=faults)
        return Tarnel.FpgaTool(connection), connection

    return make


@pytest.mark.parametrize("device_type,erase", [(28, ["FPGA_ERASE 14"]), (32, ["FPGA_ERASE 12"]), (30, []),
                                               (32.7, ["FPGA_ERASE 12"])])
def test_command_sequence(device_tool, image_dir, device_type, erase):
    tool, conn = device_tool()
    path = image_dir("fw.bin", bytes(range(40)))
    assert tool._fpgaProgramFile(path, device_type) is True
    assert conn.commands() == erase + [
        "FPGA_RST_PAGE_PTR CFG", "FPGA_PROGRAM #216", "FPGA_PROGRAM #216", "FPGA_PROGRAM #108",
        "FPGA_RST_PAGE_PTR CFG", "FPGA_READ", "FPGA_READ", "FPGA_READ", "FPGA_DONE", "FPGA_REFRESH"]
    assert conn.device.state.image() == bytes(range(40))


def test_default_device_type_is_28(device_tool, image_dir):
    tool, conn = device_tool()
    tool._fpgaProgramFile(image_path=image_dir("fw.bin", b"abc"))
    assert conn.commands()[0] == "FPGA_ERASE 14"


def test_container_writes_only_its_image(device_tool, image_dir, capsys):
    payload = bytes(range(100, 140))
    tool, conn = device_tool()
    path = image_dir("fw.tbin", raw_container(100, 40, payload, 150))
    assert tool._fpgaProgramFile(path, 32) is True
    assert conn.device.state.image() == payload
    blocks = [bytes(f) for f in conn.frames() if f.startswith(b"FPGA_PROGRAM")]
    assert blocks == [b"FPGA_PROGRAM #216" + payload[:16] + b"\r\n", b"FPGA_PROGRAM #216" + payload[16:32] + b"\r\n",
                      b"FPGA_PROGRAM #108" + payload[32:] + b"\r\n"]
    lines, rest = progress_lines(capsys.readouterr().out)
    assert lines == [("40.00", 16, 40), ("80.00", 32, 40), ("100.00", 40, 40),
                     ("40.00", 16, 40), ("80.00", 32, 40), ("120.00", 48, 40)]
    assert rest == "\n\n"


def test_container_suffix_in_capitals_and_files_without_suffix(device_tool, image_dir):
    payload = b"P" * 20
    tool, conn = device_tool()
    tool._fpgaProgramFile(image_dir("FW.TBIN", raw_container(90, 20, payload, 110)), 32)
    assert conn.device.state.image() == payload
    whole = raw_container(90, 20, payload, 110)
    tool._fpgaProgramFile(image_dir("firmware", whole), 32)
    assert conn.device.state.image() == whole


def test_container_image_cut_at_the_end_of_the_file(device_tool, image_dir, capsys):
    tool, conn = device_tool()
    path = image_dir("fw.tbin", raw_container(100, 1000, b"Q" * 30, 130))
    assert tool._fpgaProgramFile(path, 32) is True
    assert conn.device.state.image() == b"Q" * 30
    lines, _ = progress_lines(capsys.readouterr().out)
    assert [line[1:] for line in lines[:2]] == [(16, 30), (30, 30)]


@pytest.mark.parametrize("name,data", [("fw.bin", b""), ("fw.tbin", raw_container(80, 0, b"", 90))])
def test_empty_image(device_tool, image_dir, fpga_log, capsys, name, data):
    tool, conn = device_tool()
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    assert tool._fpgaProgramFile(image_dir(name, data), 32) is True
    assert not [c for c in conn.commands() if c.startswith(("FPGA_PROGRAM", "FPGA_READ"))]
    log = fpga_log()
    assert ("DEBUG", "w hash: " + EMPTY_SHA256) in log and ("DEBUG", "r hash: " + EMPTY_SHA256) in log
    assert ("INFO", "Verify Success") in log
    assert calls == [("write", 0, 0), ("verify", 0, 0)]
    assert capsys.readouterr().out == "\n\n"


def test_log_records(device_tool, image_dir, fpga_log):
    data = bytes(range(33))
    tool, _ = device_tool()
    tool._fpgaProgramFile(image_dir("fw.bin", data), 32)
    digest = hashlib.sha256(data).hexdigest()
    log = fpga_log()
    assert log[:4] == [("DEBUG", "w hash: " + digest), ("INFO", "Verify Data"), ("DEBUG", "r hash: " + digest),
                       ("INFO", "Verify Success")]
    assert re.fullmatch(r"FPGA program file finished\. Total time: \d+\.\d{4} sec", log[4][1]) and log[4][0] == "INFO"
    assert len(log) == 5


def test_callback_calls_in_order(device_tool, image_dir):
    tool, _ = device_tool()
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    tool._fpgaProgramFile(image_dir("fw.bin", b"z" * 40), 32)
    assert calls == [("write", 0, 0), ("write", 16, 40), ("write", 32, 40), ("write", 40, 40),
                     ("verify", 0, 40), ("verify", 16, 40), ("verify", 32, 40), ("verify", 48, 40)]


@pytest.mark.parametrize("found", ["on the instance", "through a property"])
def test_callback_output_interleaves_with_the_progress_line(device_tool, image_dir, capsys, found):
    tool, _ = device_tool()
    callback = lambda stage, done, total: print("[%s %d/%d]" % (stage, done, total))  # noqa: E731
    if found == "on the instance":
        tool.set_progress_callback(callback)
    else:  # looking it up runs Python code of its own
        tool.__class__ = type("Looked", (type(tool),), {"progress_callback": property(lambda self: callback)})
    tool._fpgaProgramFile(image_dir("fw.bin", b"z" * 20), 32)
    out = capsys.readouterr().out
    shape = PROGRESS.sub(lambda m: "<%s/%s>" % (m.group(2), m.group(3)), out)
    assert shape == ("[write 0/0]\n<16/20>[write 16/20]\n<20/20>[write 20/20]\n\n"
                     "[verify 0/20]\n<16/20>[verify 16/20]\n<32/20>[verify 32/20]\n\n")


def test_callback_can_be_switched_off_and_errors_propagate(device_tool, image_dir):
    tool, conn = device_tool()
    tool.set_progress_callback(None)
    assert tool._fpgaProgramFile(image_dir("fw.bin", b"abc"), 32) is True

    def fail(*args):
        if args[0] == "verify":
            raise KeyError("stop")

    tool.set_progress_callback(fail)
    with pytest.raises(KeyError):
        tool._fpgaProgramFile(image_dir("fw.bin", b"abc"), 32)
    assert conn.commands()[-1].startswith("FPGA_PROGRAM")  # stopped before the read-back began


def test_refused_block_is_resent_and_hashed_once(device_tool, image_dir, fpga_log):
    data = bytes(range(48))
    tool, conn = device_tool(Faults(refuse_blocks={1: 2}))
    assert tool._fpgaProgramFile(image_dir("fw.bin", data), 32) is True
    programs = [c for c in conn.commands() if c.startswith("FPGA_PROGRAM")]
    assert len(programs) == 5
    assert [bytes(f[17:33]) for f in conn.frames() if f.startswith(b"FPGA_PROGRAM")][1:4] == [data[16:32]] * 3
    assert ("DEBUG", "w hash: " + hashlib.sha256(data).hexdigest()) in fpga_log()


def test_progress_shows_the_time_of_the_acknowledged_attempt(Tarnel, conn, image_dir, capsys):
    attempts = []

    class Slow(Tarnel.FpgaTool):
        def _fpgaProgram(self, data_block):
            attempts.append(data_block)
            if len(attempts) < 3:
                return False
            time.sleep(0.05)
            return True

    tool = Slow(conn)
    conn.default_raw = b"#216" + b"a" * 16 + b"\r\n"
    tool._fpgaProgramFile(image_dir("fw.bin", b"a" * 16), 32)
    assert attempts == [b"a" * 16] * 3
    first = PROGRESS.search(capsys.readouterr().out)
    assert float(first.group(4)) >= 0.05


def test_a_block_refused_ten_times_stops_the_update(device_tool, image_dir):
    tool, conn = device_tool(Faults(refuse_blocks={2: 100}))
    with pytest.raises(RuntimeError, match=r"block at image offset 32 10 times"):
        tool._fpgaProgramFile(image_dir("fw.bin", bytes(64)), 32)
    commands = conn.commands()
    assert commands.count("FPGA_PROGRAM #216") == 12  # two good blocks, then ten tries of the third
    assert "FPGA_DONE" not in commands and "FPGA_REFRESH" not in commands


def test_digest_mismatch_still_finishes_the_device(device_tool, image_dir, fpga_log):
    tool, conn = device_tool(Faults(corrupt_read=5))
    assert tool._fpgaProgramFile(image_dir("fw.bin", bytes(40)), 32) is False
    assert conn.commands()[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]
    levels = [entry for entry in fpga_log() if entry[1].startswith("Verify")]
    assert levels == [("INFO", "Verify Data"), ("ERROR", "Verify Failed")]


def test_read_digest_takes_each_reply_whole(Tarnel, conn, image_dir):
    # A device that answers each page with 8 bytes: joined, they are not the image.
    conn.default_raw = b"#208" + b"\0" * 8 + b"\r\n"
    tool = Tarnel.FpgaTool(conn)
    assert tool._fpgaProgramFile(image_dir("fw.bin", bytes(16)), 32) is False
    conn.raw_replies = [b"#216" + bytes(16) + b"\r\n"]
    assert tool._fpgaProgramFile(image_dir("fw.bin", bytes(16)), 32) is True


def test_missing_file_fails_before_any_command(device_tool, tmp_path):
    tool, conn = device_tool()
    with pytest.raises(FileNotFoundError):
        tool._fpgaProgramFile(str(tmp_path / "none.bin"), 32)
    assert conn.calls == []


def test_short_container_fails_after_erase_and_reset(Tarnel, device_tool, image_dir):
    tool, conn = device_tool()
    with pytest.raises(Tarnel.struct.error):
        tool._fpgaProgramFile(image_dir("fw.tbin", b"\0" * 11), 32)
    assert conn.commands() == ["FPGA_ERASE 12", "FPGA_RST_PAGE_PTR CFG"]


def test_device_errors_propagate_at_once(device_tool, image_dir, capsys):
    tool, conn = device_tool()
    original = conn.sendCmd

    def flaky(frame, kind):
        if frame.startswith(b"FPGA_PROGRAM") and len(conn.commands()) > 3:
            raise ConnectionError("link down")
        return original(frame, kind)

    conn.sendCmd = flaky
    with pytest.raises(ConnectionError, match="link down"):
        tool._fpgaProgramFile(image_dir("fw.bin", bytes(64)), 32)
    assert "FPGA_DONE" not in conn.commands()
    assert capsys.readouterr().out.count("Progress:") == 2  # what was shown is not lost


@pytest.mark.parametrize("kwargs,name", [({"image_path": 5}, "image_path"), ({"image_path": None}, "image_path"),
                                         ({"image_path": "x.bin", "device_type": "32"}, "device_type"),
                                         ({"image_path": "x.bin", "device_type": None}, "device_type")])
def test_argument_checks(device_tool, kwargs, name):
    tool, conn = device_tool()
    with pytest.raises(TypeError, match=name):
        tool._fpgaProgramFile(**kwargs)
    assert conn.calls == []


def test_overrides_are_used(Tarnel, conn, image_dir):
    seen = []

    class Custom(Tarnel.FpgaTool):
        def _fpgaErase(self, erase_bits):
            seen.append(("erase", erase_bits))

        def _fpgaRstPagePtr(self, section):
            seen.append(("reset", section))

        def _fpgaProgram(self, data_block):
            seen.append(("program", data_block))
            return True

        def _fpgaRead(self):
            seen.append(("read",))
            return b"ab"

        def _fpgaDone(self):
            seen.append(("done",))

        def _fpgaRefresh(self):
            seen.append(("refresh",))

    assert Custom(conn)._fpgaProgramFile(image_dir("fw.bin", b"ab"), 28) is True
    assert seen == [("erase", b"14"), ("reset", b"CFG"), ("program", b"ab"), ("reset", b"CFG"), ("read",),
                    ("done",), ("refresh",)]
    assert conn.calls == []


def test_large_image_progress_is_complete(device_tool, image_dir, capsys):
    size = 16 * 5000 + 3
    tool, conn = device_tool()
    assert tool._fpgaProgramFile(image_dir("fw.bin", bytes(size)), 32) is True
    lines, rest = progress_lines(capsys.readouterr().out)
    assert len(lines) == 2 * 5001 and rest == "\n\n"
    assert lines[5000] == ("100.00", size, size)
