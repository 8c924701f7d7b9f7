"""Bad arguments to every operation: a clear Python exception or the
specified refusal; never a crash or a hang."""

import faulthandler
import os

import pytest

import ondrel.qardev.Sweepgate as S
from ondrel.QarUtils import RetCode, RetType

from .fakes import DeviceConnection, SweepgateDevice
from .platforms import needs_byte_file_names, needs_special_files

HUGE = 10**100
WRONG = [None, [], {}, object(), 1j, b"\xff", "\udcff", HUGE, -HUGE, float("nan")]


@pytest.fixture(autouse=True)
def no_hangs():
    faulthandler.dump_traceback_later(60, exit=True)  # a hang ends the run with a traceback
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def paths(tmp_path):
    fifo = tmp_path / "fifo.tbin"
    os.mkfifo(fifo)
    os.mkfifo(tmp_path / "fifo.bin")
    (tmp_path / "dir.bin").mkdir()
    loop = tmp_path / "loop.tbin"
    loop.symlink_to(loop)
    return {"fifo.tbin": str(fifo), "fifo.bin": str(tmp_path / "fifo.bin"), "dir.bin": str(tmp_path / "dir.bin"),
            "loop.tbin": str(loop), "device.bin": "/dev/zero", "missing": str(tmp_path / "none" / "x.bin")}


def outcome(call, *args, **kwargs):
    """The result, or the exception type raised (any ordinary exception)."""
    try:
        return call(*args, **kwargs)
    except Exception as exc:  # a crash would not get here; a hang is caught above
        return type(exc)


@pytest.fixture
def tool(Tarnel):
    return Tarnel.FpgaTool(DeviceConnection())


OPERATIONS = [
    ("_sendCmd", 1), ("_getRecv", 3), ("_fpgaCfgMode", 1), ("_fpgaErase", 1), ("_fpgaRstPagePtr", 1),
    ("_fpgaProgram", 1), ("_fpgaProgramFile", 2), ("_checkUpdateFile", 1), ("_checkFileHeader", 1),
    ("initFpga", 2), ("processFpgaUpdate", 2), ("set_progress_callback", 1),
]


@pytest.mark.parametrize("name,arity", OPERATIONS)
@pytest.mark.parametrize("value", WRONG, ids=[repr(v)[:12] for v in WRONG])
def test_every_operation_survives_every_wrong_value(tool, name, arity, value):
    for position in range(arity):
        args = [value if i == position else default for i, default in enumerate(_defaults(name, arity))]
        result = outcome(getattr(tool, name), *args)
        assert isinstance(result, (type, bool, str, bytes, RetType)) or result is None, result


def _defaults(name, arity):
    return {"_getRecv": [False, 1024, True], "_fpgaProgramFile": ["x.bin", 32], "initFpga": [32, False],
            "processFpgaUpdate": ["x.bin", 32]}.get(name, ["X"] * arity)


@pytest.mark.parametrize(
    "name,value,expected",
    [("_sendCmd", None, TypeError), ("_sendCmd", "\udcff", UnicodeEncodeError), ("_fpgaProgram", None, TypeError),
     ("_fpgaProgram", "text", TypeError), ("_checkFileHeader", None, TypeError), ("_checkUpdateFile", b"x", TypeError),
     ("initFpga", None, TypeError), ("initFpga", "32", TypeError), ("_fpgaProgramFile", None, TypeError),
     ("processFpgaUpdate", 1.5, TypeError)],
)
def test_specific_refusals(tool, name, value, expected):
    assert outcome(getattr(tool, name), value) is expected


def test_huge_numbers_are_plain_values(tool, image_dir):
    assert tool.initFpga(HUGE).RetMsg == "Device type %d is not supported for firmware version check." % HUGE
    path = image_dir("fw.bin", b"abc")
    assert tool.processFpgaUpdate(path, -HUGE).RetData == {"success": True, "error_message": "", "fw_version": ""}
    tool._fpgaErase(HUGE)
    assert tool._conn.frames()[-1] == b"FPGA_ERASE %d\r\n" % HUGE


def test_huge_port_and_odd_addresses_cannot_connect(Tarnel):
    for address, port in [("127.0.0.1", HUGE), ("127.0.0.1", -1), ("\udcff", 5025), ("", 5025)]:
        with pytest.raises(ConnectionError, match="^Cannot connect to "):
            Tarnel.FpgaTool(address=address, port=port)


@needs_special_files
def test_special_files(tool, paths, fpga_log):
    assert tool._checkFileHeader(paths["fifo.tbin"]) is False
    assert fpga_log()[-1][1].endswith("[Errno 22] not a regular file: '%s'" % paths["fifo.tbin"])
    assert tool._checkFileHeader(paths["fifo.bin"]) is True  # a raw image is not read here
    assert tool._checkFileHeader(paths["loop.tbin"]) is False
    assert "Too many levels of symbolic links" in fpga_log()[-1][1]
    assert tool._checkFileHeader(paths["dir.bin"]) is True  # a raw image is not examined: only its size is read
    for name in ("fifo.tbin", "fifo.bin", "dir.bin", "device.bin"):
        assert tool._checkUpdateFile(paths[name]) is False
    assert fpga_log()[-1] == ("ERROR", "FPGA image file type error: /dev/zero")
    assert tool._checkUpdateFile(paths["loop.tbin"]) is False
    assert fpga_log()[-1] == ("ERROR", "FPGA image path not found: %s" % paths["loop.tbin"])


@pytest.mark.parametrize("name,error", [("fifo.tbin", OSError), ("fifo.bin", OSError), ("dir.bin", IsADirectoryError),
                                        ("loop.tbin", OSError), ("device.bin", OSError), ("missing", OSError)])
@needs_special_files
def test_programming_special_files_fails_before_the_device(tool, paths, name, error):
    with pytest.raises(error):
        tool._fpgaProgramFile(paths[name], 32)
    assert tool._conn.calls == []
    ret = tool.processFpgaUpdate(paths[name])
    assert ret.RetCode is RetCode.ERROR and ret.RetMsg == "FPGA update file check failed."


@needs_byte_file_names
def test_file_names_that_are_not_utf8(tool, tmp_path, fpga_log):
    raw_name = os.path.join(os.fsencode(tmp_path), b"\xff\xfe.bin")
    with open(raw_name, "wb") as f:
        f.write(b"image bytes")
    name = os.fsdecode(raw_name)  # text with lone surrogates
    assert tool._checkUpdateFile(name) is True and tool._checkFileHeader(name) is True
    assert tool.processFpgaUpdate(name).RetCode is RetCode.OK
    assert any("\\udcff\\udcfe.bin" in message for _, message in fpga_log())


def test_embedded_nul(tool):
    assert outcome(tool._checkUpdateFile, "a\0.bin") is False  # no such file
    assert outcome(tool._fpgaProgramFile, "a\0.bin") is ValueError
    assert tool._checkFileHeader("a\0.tbin") is False  # reading fails: refused with its reason


def test_a_callback_that_is_not_callable(tool, image_dir):
    tool.set_progress_callback(5)
    with pytest.raises(TypeError, match="not callable"):
        tool._fpgaProgramFile(image_dir("fw.bin", b"abc"), 32)


@pytest.mark.parametrize("value", WRONG, ids=[repr(v)[:12] for v in WRONG])
def test_sweepgate_operations_survive_wrong_values(value):
    device = SweepgateDevice(_getExtCtrl=RetType(data="1"), _setExtCtrl=RetType(data="1"))
    for call in (lambda: device.setFastParallelMode(value), lambda: device.setFastParallelMode(True, value),
                 lambda: S.Sweepgate.getFastBeamGain(device, value, value),
                 lambda: S.Sweepgate.setFastBeamGain(device, 0, value, value, value, value),
                 lambda: S.Sweepgate.setFastBeamPatternAzEl(device, 1, value, value, value),
                 lambda: device.eraseFastBeamConfig(), lambda: S._require_beam_pattern_setup(value)):
        result = outcome(call)
        assert result in (TypeError, ValueError, NotImplementedError, OverflowError) or not isinstance(result, type)
