"""Bad devices over real TCP: in every case the right error or result reaches
the caller, nothing hangs, the tool works again once the connection is
reopened, and the log or the error says what happened."""

import os
import threading

import pytest

from ondrel.QarUtils import RetCode
from ondrel.tools.devsim import Faults
from ondrel.tools.tbin import seal

IMAGE = os.urandom(800)  # 50 blocks
BLOCKS = 50


@pytest.fixture
def image(image_dir):
    return image_dir("fw.bin", IMAGE)


@pytest.fixture
def device(simulator, tool_on):
    """device(**faults): a simulated device with those faults, and a tool on it."""

    def start(**faults):
        sim = simulator(**faults)
        return sim, tool_on(sim, timeout=1.0)

    return start


def recovers(sim, tool, image):
    """With the fault gone and the connection reopened, the same tool updates."""
    sim.device.faults = Faults()
    assert tool._conn.initConnection() is True
    assert tool.processFpgaUpdate(image).RetCode is RetCode.OK
    assert sim.state.image() == IMAGE


@pytest.mark.parametrize(
    "where,commands",
    [("erase", 0), ("page pointer reset", 1), ("writes", 2 + BLOCKS // 2), ("read-back", 2 + BLOCKS + 1 + 10),
     ("done", 2 + BLOCKS + 1 + BLOCKS)],
)
def test_dropped_connection(device, image, fpga_log, where, commands):
    sim, tool = device(drop_after=commands)
    with pytest.raises(ConnectionError, match="%s:%d closed the connection" % (sim.host, sim.port)):
        tool.processFpgaUpdate(image)
    assert not any(message.startswith("FPGA update process completed") for _, message in fpga_log())
    recovers(sim, tool, image)


def test_device_refusing_every_block(device, image, fpga_log):
    sim, tool = device(refuse_all=True)
    with pytest.raises(RuntimeError, match="refused the 16-byte block at image offset 0 10 times"):
        tool.processFpgaUpdate(image)
    assert sim.state.blocks_refused == 10 and "FPGA_DONE" not in sim.state.commands
    assert ("ERROR", "FPGA refused the 16-byte block at image offset 0 10 times; update abandoned") in fpga_log()
    recovers(sim, tool, image)


@pytest.mark.parametrize("reply", ["garbage", "empty", "oversized", "short"])
def test_bad_read_back_replies_fail_verification(device, image, fpga_log, reply):
    sim, tool = device(read_reply=reply)
    ret = tool.processFpgaUpdate(image)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    log = fpga_log()
    assert ("ERROR", "Verify Failed") in log and log[-1] == ("ERROR", "FPGA update process failed.")
    assert sim.state.commands[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]
    recovers(sim, tool, image)


def test_read_back_that_differs(device, image, fpga_log):
    sim, tool = device(corrupt_read=799)
    ret = tool.processFpgaUpdate(image)
    assert ret.RetMsg == "FPGA update process failed." and ("ERROR", "Verify Failed") in fpga_log()


@pytest.mark.parametrize("reply", ["%%garbage%%", ""])
def test_garbage_and_empty_listed_replies(device, image, fpga_log, reply):
    sim, tool = device(listed_reply=reply)
    init = tool.initFpga(32)
    if reply:
        assert init.RetCode is RetCode.ERROR
        assert init.RetMsg == "FPGA initialization failed: invalid version text: '%%garbage%%'"
    else:
        assert init.RetCode is RetCode.OK and init.RetData["fpga_version"] == ""  # nothing to compare
    with pytest.raises(RuntimeError, match="10 times"):
        tool.processFpgaUpdate(image)  # no acknowledgement is "0"
    recovers(sim, tool, image)


def test_oversized_listed_reply(device, image):
    sim, tool = device(listed_reply="x" * (2 << 20))
    with pytest.raises(ConnectionError, match="longer than"):
        tool._fpgaGetId()
    recovers(sim, tool, image)


def test_initialisation_on_a_dropping_device_is_an_error_result(device, fpga_log):
    sim, tool = device(drop_after=2)
    ret = tool.initFpga(32)
    assert ret.RetCode is RetCode.ERROR and "closed the connection" in ret.RetMsg
    assert fpga_log()[-1] == ("ERROR", ret.RetMsg)


@pytest.mark.parametrize("silent_after", [0, 2 + BLOCKS + 1 + 5])
def test_silent_device_times_out(device, image, silent_after):
    sim, tool = device(silent_after=silent_after)
    tool._conn.settimeout(0.3)
    with pytest.raises(TimeoutError, match="no reply from %s:%d within 0.3s" % (sim.host, sim.port)):
        tool.processFpgaUpdate(image)
    tool._conn.settimeout(2.0)
    recovers(sim, tool, image)


def test_slow_device_still_completes(device, image_dir):
    sim, tool = device(delay=0.002)
    assert tool.processFpgaUpdate(image_dir("small.bin", IMAGE[:64])).RetCode is RetCode.OK


def test_two_tools_update_two_devices_from_two_threads(Tarnel, simulator, image_dir, capsys):
    images = [os.urandom(16 * 400 + 5), os.urandom(16 * 300)]
    paths = [image_dir("a.bin", images[0]), image_dir("b.tbin", seal(images[1], 32))]
    results, errors = [None, None], []
    sims = [simulator(), simulator()]

    def update(i):
        try:
            tool = Tarnel.FpgaTool(address=sims[i].host, port=sims[i].port)
            results[i] = tool.processFpgaUpdate(paths[i])
            tool.disconnect()
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=update, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads) and errors == []
    assert [r.RetCode for r in results] == [RetCode.OK, RetCode.OK]
    assert [sim.state.image() for sim in sims] == images
