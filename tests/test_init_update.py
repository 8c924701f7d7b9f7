"""initFpga, processFpgaUpdate and _checkControlFwVersion."""

import json

import pytest

from ondrel.QarUtils import RetCode
from ondrel.tools.devsim import DeviceState, Faults
from ondrel.tools.tbin import seal
from tests.fakes import DeviceConnection

INITIAL = {"success": False, "error_message": "", "device_count": 0, "device_info": None, "fpga_id": "",
           "fw_version": "", "fpga_version": ""}


def make_tool(Tarnel, **state):
    conn = DeviceConnection(DeviceState(**state))
    return Tarnel.FpgaTool(conn), conn


# --- control firmware --------------------------------------------------------


@pytest.mark.parametrize("version,ok", [("0.1.0.6", True), ("0.1.0.7", True), ("0.2", True), ("0.1.0.5", False),
                                        ("0.0.9.9", False)])
def test_control_firmware_check(Tarnel, fpga_log, version, ok):
    tool, conn = make_tool(Tarnel, control_fw=version)
    assert tool._checkControlFwVersion() is ok
    assert conn.commands() == ["GET_FW_VER"]
    expected = [("DEBUG", "RIS control FW version: " + version)]
    if not ok:
        expected.append(("WARNING", "RIS control FW version %s is lower than minimum required version 0.1.0.6"
                         % version))
    assert fpga_log() == expected


@pytest.mark.parametrize("reply", ["", "not a version"])
def test_control_firmware_reply_that_is_no_version_raises(Tarnel, conn, fpga_log, reply):
    conn.replies = [reply]
    with pytest.raises(ValueError):
        Tarnel.FpgaTool(conn)._checkControlFwVersion()
    assert fpga_log() == []


def test_control_firmware_minimum_is_read_when_used(Tarnel, monkeypatch):
    tool, _ = make_tool(Tarnel, control_fw="0.1.0.8")
    monkeypatch.setattr(Tarnel, "_FPGA_FW_VER_MIN", "9.0")
    assert tool._checkControlFwVersion() is False


# --- initFpga --------------------------------------------------------------------


def test_init_success(Tarnel, fpga_log):
    tool, conn = make_tool(Tarnel, fpga_version="0.2.3.4")
    ret = tool.initFpga(32)
    assert ret.RetCode is RetCode.OK and ret.RetMsg == "FPGA initialized successfully"
    assert ret.RetData == dict(INITIAL, success=True, fpga_id="0x0A3F5C21", fpga_version="0.2.3.4")
    assert list(ret.RetData) == list(INITIAL)
    assert conn.commands() == ["FPGA_CTRL_INIT", "FPGA_CFG_MODE TRANS", "FPGA_GET_ID", "GET_FPGA_VER"]
    assert fpga_log() == [("INFO", "FPGA ID: 0x0A3F5C21"), ("INFO", "FPGA Version: 0.2.3.4")]


@pytest.mark.parametrize("device_type", [28, 30, 0, -1])
def test_init_unsupported_device_type_sends_nothing(Tarnel, fpga_log, device_type):
    tool, conn = make_tool(Tarnel)
    ret = tool.initFpga(device_type)
    message = "Device type %d is not supported for firmware version check." % device_type
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.WARNING, message, None)
    assert conn.calls == [] and fpga_log() == [("WARNING", message)]


def test_init_old_fpga_is_refused_unless_the_check_is_off(Tarnel, fpga_log):
    tool, conn = make_tool(Tarnel, fpga_version="0.2.3.3")
    ret = tool.initFpga(32)
    message = "FPGA version 0.2.3.3 is lower than minimum required version 0.2.3.4."
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.WARNING, message, None)
    assert fpga_log()[-1] == ("WARNING", message)
    for off in (True, 1, "yes"):
        assert tool.initFpga(32, off).RetCode is RetCode.OK
    assert tool.initFpga(device_type=32, disable_fw_check=0).RetCode is RetCode.WARNING


def test_init_empty_version_skips_the_comparison(Tarnel, conn):
    conn.replies = ["0", "0", "ID7", ""]
    ret = Tarnel.FpgaTool(conn).initFpga(32)
    assert ret.RetCode is RetCode.OK and ret.RetData["fpga_version"] == "" and ret.RetData["fpga_id"] == "ID7"


def test_init_whitelist_is_read_when_used(Tarnel, monkeypatch):
    tool, conn = make_tool(Tarnel)
    monkeypatch.setattr(Tarnel, "_DEVICE_WHITELIST", [28, 32])
    ret = tool.initFpga(28)
    assert ret.RetCode is RetCode.OK and ret.RetData["fpga_version"] == ""
    assert conn.commands() == ["FPGA_CTRL_INIT", "FPGA_CFG_MODE TRANS", "FPGA_GET_ID"]


@pytest.mark.parametrize("failure", [ConnectionError("link down"), TimeoutError("no answer"), OSError("x")])
def test_init_device_errors_become_error_results(Tarnel, conn, fpga_log, failure):
    conn.replies = ["0", "0", failure]
    ret = Tarnel.FpgaTool(conn).initFpga(32)
    message = "FPGA initialization failed: " + str(failure)
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, message, None)
    assert fpga_log() == [("ERROR", message)]


def test_init_unreadable_version_is_an_error_result(Tarnel, conn):
    conn.replies = ["0", "0", "ID", "garbage"]
    ret = Tarnel.FpgaTool(conn).initFpga(32)
    assert ret.RetCode is RetCode.ERROR and ret.RetMsg.startswith("FPGA initialization failed: ")


def test_init_does_not_swallow_interrupts(Tarnel, conn):
    conn.replies = [KeyboardInterrupt()]
    with pytest.raises(KeyboardInterrupt):
        Tarnel.FpgaTool(conn).initFpga(32)


@pytest.mark.parametrize("value", ["32", None, [32]])
def test_init_device_type_must_be_a_number(Tarnel, conn, value):
    with pytest.raises(TypeError, match="device_type"):
        Tarnel.FpgaTool(conn).initFpga(value)
    assert conn.calls == []


def test_init_float_device_type_is_converted(Tarnel):
    tool, _ = make_tool(Tarnel)
    assert tool.initFpga(32.9).RetCode is RetCode.OK


# --- processFpgaUpdate -----------------------------------------------------------


@pytest.mark.parametrize("path", [None, ""])
def test_update_without_path(Tarnel, fpga_log, path):
    tool, conn = make_tool(Tarnel)
    ret = tool.processFpgaUpdate(path) if path is not None else tool.processFpgaUpdate()
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, "FPGA image path is not provided.", None)
    assert conn.calls == [] and fpga_log() == [("ERROR", "FPGA image path is not provided.")]


def test_update_refused_file(Tarnel, tmp_path, fpga_log):
    tool, conn = make_tool(Tarnel)
    ret = tool.processFpgaUpdate(str(tmp_path / "none.bin"))
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update file check failed.")
    assert conn.calls == []
    assert fpga_log()[-2:] == [("ERROR", "FPGA image path not found: %s" % (tmp_path / "none.bin")),
                               ("ERROR", "FPGA update file check failed.")]


def test_update_refused_header(Tarnel, image_dir, fpga_log):
    tool, conn = make_tool(Tarnel)
    bad = bytearray(seal(b"image", 32))
    bad[-1] ^= 1
    ret = tool.processFpgaUpdate(image_dir("fw.tbin", bytes(bad)))
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA image header check failed.")
    assert conn.calls == []
    assert fpga_log()[-2:] == [("ERROR", "FPGA tbin image hash mismatch"), ("ERROR", "FPGA image header check failed.")]


@pytest.mark.parametrize("name,data", [("fw.bin", b"raw image" * 7), ("fw.tbin", seal(b"sealed image" * 5, 32))])
def test_update_success_device_32(Tarnel, image_dir, fpga_log, name, data):
    tool, conn = make_tool(Tarnel)
    ret = tool.processFpgaUpdate(image_dir(name, data), 32)
    assert ret.RetCode is RetCode.OK
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.2.4.0"}
    assert list(ret.RetData) == ["success", "error_message", "fw_version"]
    assert conn.commands()[0] == "FPGA_ERASE 12" and conn.commands()[-1] == "GET_FPGA_VER"
    assert fpga_log()[-2:] == [("INFO", "Updated FPGA version: 0.2.4.0"),
                               ("INFO", "FPGA update process completed successfully.")]


@pytest.mark.parametrize(
    "info,version",
    [({"a": {"fpga_ver": "1.2.0.0"}, "b": {"fpga_ver": "9.9.9.9"}}, "1.2.0.0"), ({}, ""), ({"a": {}}, "")],
)
def test_update_device_28_reads_the_first_record(Tarnel, conn, image_dir, info, version):
    conn.default_reply = lambda frame: json.dumps(info) if frame.startswith(b"GET_FE_INFO") else "0"
    conn.default_raw = b"#203abc\r\n"
    ret = Tarnel.FpgaTool(conn).processFpgaUpdate(image_dir("fw.bin", b"abc"), 28)
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": version}
    assert conn.commands()[0] == "FPGA_ERASE 14" and conn.commands()[-1] == "GET_FE_INFO"


@pytest.mark.parametrize("info", ["not json", "[1, 2]", '{"a": 5}'])
def test_update_device_28_bad_information_raises(Tarnel, conn, image_dir, info):
    conn.default_reply = lambda frame: info if frame.startswith(b"GET_FE_INFO") else "0"
    conn.default_raw = b"#203abc\r\n"
    with pytest.raises((ValueError, TypeError)):
        Tarnel.FpgaTool(conn).processFpgaUpdate(image_dir("fw.bin", b"abc"), 28)


def test_update_other_device_type_programs_without_erase(Tarnel, image_dir):
    tool, conn = make_tool(Tarnel)
    ret = tool.processFpgaUpdate(image_dir("fw.bin", b"abc"), 30)
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": ""}
    assert not any(c.startswith("FPGA_ERASE") for c in conn.commands())
    assert conn.commands()[-1] == "FPGA_REFRESH"


def test_update_read_back_mismatch(Tarnel, image_dir, fpga_log):
    conn = DeviceConnection(faults=Faults(corrupt_read=0))
    ret = Tarnel.FpgaTool(conn).processFpgaUpdate(image_dir("fw.bin", b"abc"))
    assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, "FPGA update process failed.", None)
    assert conn.commands()[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]
    assert fpga_log()[-1] == ("ERROR", "FPGA update process failed.")


def test_update_calls_its_steps_by_name(Tarnel, conn):
    calls = []

    class Steps(Tarnel.FpgaTool):
        def _checkUpdateFile(self, image_path):
            calls.append(("_checkUpdateFile", image_path))
            return 1

        def _checkFileHeader(self, image_path):
            calls.append(("_checkFileHeader", image_path))
            return "yes"

        def _fpgaProgramFile(self, *args, **kwargs):
            calls.append(("_fpgaProgramFile", args, kwargs))
            return True

        def _fpgaGetVersion(self):
            return "7.7.7.7"

    ret = Steps(conn).processFpgaUpdate("some.bin", 32.0)
    assert calls == [("_checkUpdateFile", "some.bin"), ("_checkFileHeader", "some.bin"),
                     ("_fpgaProgramFile", (), {"image_path": "some.bin", "device_type": 32})]
    assert ret.RetData["fw_version"] == "7.7.7.7"


def test_update_errors_during_programming_reach_the_caller(Tarnel, image_dir):
    conn = DeviceConnection(faults=Faults(refuse_all=True))
    with pytest.raises(RuntimeError):
        Tarnel.FpgaTool(conn).processFpgaUpdate(image_dir("fw.bin", b"abc"))


@pytest.mark.parametrize("kwargs,name", [({"image_path": 3}, "image_path"), ({"image_path": b"x.bin"}, "image_path"),
                                         ({"image_path": "x.bin", "device_type": "32"}, "device_type")])
def test_update_argument_checks(Tarnel, conn, kwargs, name):
    with pytest.raises(TypeError, match=name):
        Tarnel.FpgaTool(conn).processFpgaUpdate(**kwargs)
