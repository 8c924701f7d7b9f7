"""Every operation, on its success and error paths, many thousands of times:
the interpreter's allocated blocks and the process's memory stay flat."""

import gc
import inspect
import logging
import os
import sys
import types

import pytest

import ondrel.qardev.Sweepgate as S
import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetCode, RetType
from ondrel.tools.tbin import seal

from .fakes import DeviceConnection, DeviceState, FakeTCP, SweepgateDevice

# Under the sanitizers the interpreter allocates with malloc and freed memory
# waits in quarantine: the operations still run (for the sanitizers to watch),
# but memory figures mean nothing there.
SANITIZED = os.environ.get("PYTHONMALLOC") == "malloc"
ROUNDS = 300 if SANITIZED else 1500
OK = RetType()
FAIL = RetType(RetCode.ERROR, "no")


def lean_device():
    """The shared simulated device, keeping no history."""
    return DeviceConnection(state=DeviceState(commands_kept=0), record=False)


def Device(**results):
    return SweepgateDevice(record=False, **results)


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError("%r did not raise %s" % (call, error.__name__))


@pytest.fixture
def files(tmp_path):
    image = bytes(range(256)) * 2 + b"odd"
    names = {}
    for name, data in [("fw.bin", image), ("fw.tbin", seal(image, 32)), ("empty.bin", b""), ("fw.txt", b"x"),
                       ("bad.tbin", seal(image, 32)[:-1] + b"?"), ("parse.tbin", b"\0" * 40),
                       ("nodev.tbin", seal(image, 32, key_name="other"))]:
        (tmp_path / name).write_bytes(data)
        names[name] = str(tmp_path / name)
    (tmp_path / "dir.tbin").mkdir()
    names["dir.tbin"] = str(tmp_path / "dir.tbin")
    names["missing.bin"] = str(tmp_path / "missing.bin")
    return names


def tarnel_round(files):
    conn = lean_device()
    state, faults = conn.device.state, conn.device.faults
    tool = Tarnel.FpgaTool(conn)
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    expect(ValueError, Tarnel.FpgaTool)
    expect(TypeError, Tarnel.FpgaTool, address=3)
    expect(TypeError, Tarnel.FpgaTool, conn, port="x")
    Tarnel.FpgaTool(address="dev", port=5025.0).disconnect()
    expect(ConnectionError, Tarnel.FpgaTool, address="unreachable")
    for bad in ((), (1, 2, 3, 4, 5)):
        expect(TypeError, tool._sendCmd, *bad)
    expect(TypeError, tool._sendCmd, 1, cmd=2)
    expect(TypeError, tool._sendCmd, "X", isdecod=True)
    expect(TypeError, tool._sendCmd, 5)
    expect(UnicodeEncodeError, tool._sendCmd, "\udc80")
    tool._sendCmd("GET_SN")
    tool._sendCmd(bytearray(b"GET_SN"), log_print=True)
    tool._sendCmd(b"FPGA_READ", True, 64, False)
    conn.raw_replies.append(b"\xff\xfe")
    expect(UnicodeDecodeError, tool._getRecv)
    for name in ("_fpgaCtrlInit", "_fpgaGetId", "_fpgaGetVersion", "_fpgaDone", "_fpgaRefresh", "_fpgaGetInfo",
                 "_fpgaGetControlFwVer", "_fpgaGetSerialNumber", "_fpgaRead"):
        getattr(tool, name)()
    tool._fpgaCfgMode("TRANS"), tool._fpgaErase(12), tool._fpgaRstPagePtr(b"CFG")
    tool._fpgaProgram(b"abc"), tool._fpgaProgram(bytearray(3))
    expect(TypeError, tool._fpgaProgram, 5)
    for name in files:
        if name != "missing.bin":
            tool._checkFileHeader(files[name])
        tool._checkUpdateFile(files[name])
    expect(FileNotFoundError, tool._checkFileHeader, files["missing.bin"])
    expect(TypeError, tool._checkUpdateFile, None)
    tool._checkControlFwVersion()
    assert tool.initFpga(32).RetCode is RetCode.OK
    tool.initFpga(28)
    state.fpga_version = "0.0.1.0"
    tool.initFpga(32)
    state.fpga_version = "junk"
    tool.initFpga(32)
    state.fpga_version = "0.2.3.5"
    for path in (None, "", files["missing.bin"], files["bad.tbin"]):
        tool.processFpgaUpdate(path)
    assert tool.processFpgaUpdate(files["fw.bin"]).RetCode is RetCode.OK
    assert tool.processFpgaUpdate(files["fw.tbin"], 28).RetCode is RetCode.OK
    tool.processFpgaUpdate(files["fw.tbin"], 30)
    faults.refuse_all = True
    expect(RuntimeError, tool.processFpgaUpdate, files["fw.bin"])
    faults.refuse_all = False
    tool.set_progress_callback(lambda *args: 1 / 0)
    expect(ZeroDivisionError, tool._fpgaProgramFile, files["fw.bin"], 32)
    expect(TypeError, tool._fpgaProgramFile, 5)
    tool.disconnect()
    inspect.signature(tool._sendCmd)


def sweepgate_round():
    device = Device()
    device.eraseFastBeamConfig(), device.syncFastBeamConfig()
    Device(_setBeamPatternEnable=FAIL).syncFastBeamConfig(), Device(_eraseBeamPattern=FAIL).syncFastBeamConfig()
    expect(KeyError, Device(_reboot=KeyError("x")).syncFastBeamConfig)
    expect(OSError, Device(_reboot=KeyError("x"), _applyBeamPatternToBFIC=OSError("y")).syncFastBeamConfig)
    expect(ValueError, Device(_applyBeamPatternToBFIC=ValueError("z")).eraseFastBeamConfig)
    device.setFastParallelMode(True), device.setFastParallelMode(0, 1)
    Device(_setExtCtrl=FAIL).setFastParallelMode(True)
    expect(ValueError, device.setFastParallelMode, True, "x")
    Device(_getExtCtrl=RetType(data="1")).getFastParallelMode(), Device(_getExtCtrl=FAIL).getFastParallelMode()
    expect(ValueError, Device(_getExtCtrl=RetType(data="x")).getFastParallelMode)
    device._fbs_cmd_dict()
    _ = device.beam_pattern_mgr
    for name, args in [("getFastBeamGain", (0, 1)), ("setFastBeamPatternAzEl", (1, 2.0, 3, 4)),
                       ("setFastBeamGain", (0, 1, True)), ("_create_beam_pattern_mgr", ())]:
        expect(NotImplementedError, getattr(S.Sweepgate, name), device, *args)
    expect(TypeError, S.Sweepgate.getFastBeamPattern, device, "x")
    expect(TypeError, S.Sweepgate)
    S._require_beam_pattern_setup(lambda self, a=1: OK)(device, a=2)


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Formatting(logging.Handler):
    def emit(self, record):
        self.format(record)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the memory in use from Linux's /proc")
def test_memory_stays_flat(files, monkeypatch):
    fake = types.ModuleType("ondrel.QarCommService")
    fake._TCPConn = FakeTCP
    monkeypatch.setitem(sys.modules, "ondrel.QarCommService", fake)
    monkeypatch.setattr(sys, "stdout", Sink())
    logger = logging.getLogger("FPGA")
    handler = Formatting()
    monkeypatch.setattr(logger, "propagate", False)
    monkeypatch.setattr(logger, "handlers", [handler])
    logger.setLevel(logging.DEBUG)

    def rounds(n):
        for _ in range(n):
            tarnel_round(files)
            sweepgate_round()

    try:
        rounds(ROUNDS // 5)  # caches and free lists settle
        windows = []
        for _ in range(2):  # a leak grows in both halves; a cache filling up, or noise, not
            gc.collect()
            blocks, rss = sys.getallocatedblocks(), resident_bytes()
            rounds(ROUNDS // 2)
            gc.collect()
            windows.append((sys.getallocatedblocks() - blocks, resident_bytes() - rss))
    finally:
        logger.setLevel(logging.NOTSET)
        monkeypatch.undo()
    grown_blocks, grown_rss = min(blocks for blocks, _ in windows), min(rss for _, rss in windows)
    print("%d rounds in two halves: %s allocated blocks and bytes resident" % (ROUNDS, windows))
    if SANITIZED:
        return
    # A leak of one object per operation would be tens of thousands of blocks.
    assert grown_blocks < 200, windows
    assert grown_rss < 4 << 20, windows
