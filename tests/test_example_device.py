"""The example device class, against the simulated device over TCP."""

import importlib.util
import pathlib

import pytest

from ondrel.QarCommService import _TCPConn
from ondrel.QarPublic import FBSMode, RFMode
from ondrel.QarUtils import RetCode

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "fast_beam_device.py"


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("fast_beam_device", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def device(example, simulator):
    sim = simulator()
    conn = _TCPConn(sim.host, sim.port)
    assert conn.initConnection()
    yield example.FastBeamDevice(conn, delay_unit=0), sim.state
    conn.closeConnection()


def test_parallel_mode_round_trip(device):
    dev, state = device
    assert dev.setFastParallelMode(True).RetCode is RetCode.OK
    assert state.ext_ctrl == "1,%d" % FBSMode.FULL_GAIN_PHASE and dev.external_control_enabled is True
    assert dev.getFastParallelMode().RetData is True
    dev.setFastParallelMode(False, FBSMode.GAIN_ONLY)
    assert state.ext_ctrl == "0,1" and dev.getFastParallelMode().RetData is False


def test_wrapped_sequences_reach_the_device_in_order(device):
    dev, state = device
    assert dev.eraseFastBeamConfig().RetCode is RetCode.OK
    assert dev.syncFastBeamConfig().RetCode is RetCode.OK
    assert state.commands == ["BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_ERASE", "BEAM_PATTERN_STORE_EN",
                              "BEAM_PATTERN_APPLY_BFIC"] + ["BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_ERASE", "REBOOT",
                                                           "BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_APPLY_BFIC"]
    assert state.beam_store == "0"


def test_gain_and_pattern_through_the_lazy_manager(device):
    dev, state = device
    assert "_beam_pattern_mgr" not in vars(dev)
    assert dev.setFastBeamGain(RFMode.RX, 3, True, com_gain=12).RetCode is RetCode.OK
    assert dev.getFastBeamGain(RFMode.RX, 3).RetData == {"enable": True, "com_gain": 12, "ele_gain": 0}
    assert dev.setFastBeamPatternAzEl(5, 28e9, 10, -5).RetCode is RetCode.OK
    assert dev.getFastBeamPattern(5).RetData == {"rf_freq": 28e9, "azimuth": 10.0, "elevation": -5.0}
    assert len(dev.beam_pattern_mgr) == 2 * dev.BEAMS_PER_MODE


def test_device_errors_become_error_results(device):
    dev, state = device
    ret = dev._send("NO_SUCH_COMMAND")
    assert ret.RetCode is RetCode.ERROR and "ERR unknown command" in ret.RetMsg
