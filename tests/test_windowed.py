"""The windowed transfer: the same result as one command at a time, a
fallback on a refused block, no hang and no stream out of step on a fault,
and a refusal where it would bypass an override."""

import os
import pathlib
import re

import pytest

from ondrel.QarUtils import RetCode
from ondrel.tools import windowed
from ondrel.tools.tbin import seal

IMAGE = os.urandom(16 * 300 + 7)  # a partial last page


def program(tool, path, window, capsys, fpga_log, callback=True):
    calls = []
    tool.set_progress_callback((lambda *args: calls.append(args)) if callback else None)
    capsys.readouterr()
    before = len(fpga_log())
    result = windowed.program_file(tool, path, 32, window)
    shown = re.sub(r"block time: [\d.]+ sec", "block time: T sec", capsys.readouterr().out)
    records = [(level, re.sub(r"[\d.]+ sec", "T sec", text)) for level, text in fpga_log()[before:]]
    return result, calls, shown, records


@pytest.mark.parametrize("name, callback", [("fw.bin", True), ("fw.tbin", True), ("fw.bin", False)])
def test_windowed_programming_is_one_at_a_time_s_result(simulator, tool_on, image_dir, capsys, fpga_log, name,
                                                        callback):
    path = image_dir(name, IMAGE if name.endswith(".bin") else seal(IMAGE, 32))
    outcomes = []
    for window in (1, 32):
        sim = simulator(latency=0.0005 if window > 1 else 0)
        outcomes.append(program(tool_on(sim), path, window, capsys, fpga_log, callback))
        assert sim.state.image() == IMAGE
    assert outcomes[0][0] is outcomes[1][0] is True
    assert outcomes[0][1:] == outcomes[1][1:]  # callback calls, progress bytes, log records (digests included)


def test_windowed_verify_and_dump(simulator, sealed_image, capsys):
    from ondrel.tools import cli

    path = sealed_image
    sim = simulator(latency=0.0005)
    address = ["--address", "%s:%d" % (sim.host, sim.port)]
    assert cli.main(["update", path, *address, "--window", "16"]) == 0
    assert cli.main(["verify", path, *address, "--window", "16"]) == 0
    out_path = path + ".dump"
    assert cli.main(["dump", *address, "--size", str(len(IMAGE)), "-o", out_path, "--window", "16"]) == 0
    assert pathlib.Path(out_path).read_bytes() == IMAGE == sim.state.image()
    sim.device.faults.corrupt_read = 2000
    assert cli.main(["verify", path, *address, "--window", "16"]) == 1
    assert "first difference at offset 2000" in capsys.readouterr().out


@pytest.fixture
def sealed_image(image_dir):
    return image_dir("fw.tbin", seal(IMAGE, 32))


def test_a_refused_block_falls_back_to_one_at_a_time_from_the_erase(simulator, tool_on, sealed_image, fpga_log):
    sim = simulator(refuse_blocks={40: 2})
    tool = tool_on(sim, windowed.WindowedFpgaTool)
    assert tool.processFpgaUpdate(sealed_image).RetCode is RetCode.OK
    assert sim.state.image() == IMAGE
    assert sim.state.commands.count("FPGA_ERASE") == 2
    assert ("WARNING", "FPGA refused the block at image offset 640 with 32 commands in flight; programming again "
                       "from the erase, one block at a time") in fpga_log()


@pytest.mark.parametrize("fault,error", [({"drop_after": 120}, ConnectionError), ({"silent_after": 120}, TimeoutError)],
                         ids=["dropped", "silent"])
def test_a_fault_mid_window_ends_in_its_error_and_no_hang(simulator, tool_on, sealed_image, fault, error):
    sim = simulator(**fault)
    tool = tool_on(sim, timeout=0.5)
    with pytest.raises(error, match="%s:%d" % (sim.host, sim.port)):
        windowed.program_file(tool, sealed_image, 32, 32)
    assert not tool._conn.isConnected()  # closed, never out of step
    sim.device.faults = type(sim.device.faults)()
    assert tool._conn.initConnection() and windowed.program_file(tool, sealed_image, 32, 32) is True


def test_a_failure_of_the_caller_leaves_the_connection_in_step(simulator, tool_on, sealed_image):
    sim = simulator(latency=0.001)
    tool = tool_on(sim)

    def stop(stage, done, total):
        if done == 800:
            raise RuntimeError("enough")

    tool.set_progress_callback(stop)
    with pytest.raises(RuntimeError, match="enough"):
        windowed.program_file(tool, sealed_image, 32, 32)
    assert tool._fpgaGetId() == sim.state.fpga_id  # the replies in flight were read, not left behind


@pytest.mark.parametrize("operation", ["_sendCmd", "_getRecv", "_fpgaProgram", "_fpgaRead"])
def test_a_bypassed_override_is_refused(Tarnel, conn, sealed_image, operation):
    Custom = type("Custom", (Tarnel.FpgaTool,), {operation: lambda self, *args, **kwargs: None})
    for tool in (Custom(conn), Tarnel.FpgaTool(conn)):
        if type(tool) is Tarnel.FpgaTool:
            setattr(tool, operation, lambda *args, **kwargs: None)  # replaced on the instance
        with pytest.raises(TypeError, match=r"past \w+\.%s, which this tool replaces" % operation):
            windowed.program_file(tool, sealed_image, 32, 8)
        with pytest.raises(TypeError, match=operation):
            windowed.read_flash(tool, 64, 8)
    assert conn.calls == []  # refused before any command


def test_the_simulator_answers_commands_sent_ahead_in_order(simulator):
    from ondrel.QarCommService import _TCPConn

    sim = simulator(latency=0.002)
    sim.state.flash = bytearray(IMAGE)
    sim.state.programmed_end = len(IMAGE)
    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    conn.sendRawBytes(b"FPGA_RST_PAGE_PTR CFG\r\n")
    for _ in range(50):
        conn.sendRawBytes(b"FPGA_READ\r\n")
    assert conn.recvRawBytes() == b"0\r\n"
    pages = [conn.recvRawBytes()[4:-2] for _ in range(50)]
    assert b"".join(pages) == IMAGE[:800]
    conn.closeConnection()


def test_window_argument(Tarnel, conn, sealed_image):
    for bad, error in ((0, ValueError), (-3, ValueError), ("8", TypeError), (10**6, ValueError)):
        with pytest.raises(error, match="window"):
            windowed.program_file(Tarnel.FpgaTool(conn), sealed_image, 32, bad)
    assert conn.calls == []
