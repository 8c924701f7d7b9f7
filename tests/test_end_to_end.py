"""Whole updates over real TCP: FpgaTool, _TCPConn and the simulated device."""

import os

import pytest

from ondrel.QarUtils import RetCode
from ondrel.tools.tbin import seal

IMAGE = os.urandom(4096 + 7)


@pytest.mark.parametrize("name,data", [("fw.bin", IMAGE), ("fw.tbin", seal(IMAGE, 32, header={"FPGA_VER": "0.2.4.0"}))])
def test_full_update(tool_on, simulator, image_dir, name, data):
    sim = simulator()
    tool = tool_on(sim)
    assert tool._owns_conn is True
    progress = []
    tool.set_progress_callback(lambda *args: progress.append(args))
    init = tool.initFpga(32)
    assert init.RetCode is RetCode.OK and init.RetData["fpga_version"] == "0.2.3.5"
    ret = tool.processFpgaUpdate(image_dir(name, data), 32)
    assert ret.RetCode is RetCode.OK and ret.RetData == {"success": True, "error_message": "", "fw_version": "0.2.4.0"}
    assert sim.state.image() == IMAGE
    assert progress[0] == ("write", 0, 0) and progress[-1] == ("verify", 4112, len(IMAGE))
    tool.disconnect()


def test_refused_blocks_are_resent(tool_on, simulator, image_dir):
    sim = simulator(refuse_blocks={0: 3, 100: 9})
    ret = tool_on(sim).processFpgaUpdate(image_dir("fw.bin", IMAGE))
    assert ret.RetCode is RetCode.OK and sim.state.image() == IMAGE
    assert sim.state.blocks_refused == 12


def test_corrupted_read_back_fails_the_update(tool_on, simulator, image_dir):
    sim = simulator(corrupt_read=1234)
    ret = tool_on(sim).processFpgaUpdate(image_dir("fw.bin", IMAGE))
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert sim.state.commands[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]


def test_dropped_connection_reaches_the_caller_and_a_new_one_works(tool_on, simulator, image_dir):
    sim = simulator(drop_after=40)
    tool = tool_on(sim)
    with pytest.raises(ConnectionError, match="%s:%d" % (sim.host, sim.port)):
        tool.processFpgaUpdate(image_dir("fw.bin", IMAGE))
    sim.faults.drop_after = None
    again = tool_on(sim)
    assert again.processFpgaUpdate(image_dir("fw.bin", IMAGE)).RetCode is RetCode.OK


def test_unreachable_device(Tarnel, simulator):
    sim = simulator()
    port = sim.port
    sim.stop()
    with pytest.raises(ConnectionError, match="^Cannot connect to 127.0.0.1:%d$" % port):
        Tarnel.FpgaTool(address="127.0.0.1", port=port)


def test_queries_over_tcp(tool_on, simulator):
    tool = tool_on(simulator())
    assert tool._fpgaGetSerialNumber() == "QD2-000123"
    assert tool._checkControlFwVersion() is True
    assert tool._fpgaGetInfo().startswith('{"dev0"')
    tool._fpgaRstPagePtr("CFG")
    assert tool._fpgaRead() == b""
    tool.disconnect()
