"""Construction, disconnect, the command exchange and the command family."""

import sys

import pytest

from ondrel.QarUtils import _RspType

CRLF = b"\r\n"


# --- construction -------------------------------------------------------------


def test_borrowed_connection_wins_over_an_address(Tarnel, fake_tcp, conn):
    tool = Tarnel.FpgaTool(conn, "10.0.0.1", 1234)
    assert tool._conn is conn and tool._owns_conn is False and tool.progress_callback is None
    assert fake_tcp.instances == []


@pytest.mark.parametrize("port,expected", [(5025, 5025), (5025.0, 5025), (80.9, 80)])
def test_owned_connection_is_opened_on_address_and_port(Tarnel, fake_tcp, port, expected):
    tool = Tarnel.FpgaTool(address="dev1", port=port)
    (opened,) = fake_tcp.instances
    assert opened.args == ("dev1", expected) and type(opened.args[1]) is int
    assert opened.calls == ["initConnection"]
    assert tool._conn is opened and tool._owns_conn is True


def test_default_port_is_5025(Tarnel, fake_tcp):
    Tarnel.FpgaTool(address="dev1")
    assert fake_tcp.instances[0].args == ("dev1", 5025)


def test_failed_connection_raises_and_is_not_closed(Tarnel, fake_tcp):
    fake_tcp.connect_result = 0
    with pytest.raises(ConnectionError, match=r"^Cannot connect to dev1:5025$"):
        Tarnel.FpgaTool(address="dev1")
    assert fake_tcp.instances[0].calls == ["initConnection"]


@pytest.mark.parametrize(
    "kwargs,error,message",
    [
        ({}, ValueError, "^Either connection or address must be provided$"),
        ({"address": None}, ValueError, "^Either connection or address must be provided$"),
        ({"address": 10}, TypeError, "'address'"),
        ({"address": b"dev"}, TypeError, "'address'"),
        ({"address": "dev", "port": "5025"}, TypeError, "'port'"),
        ({"address": "dev", "port": None}, TypeError, "'port'"),
        ({"address": "dev", "port": 1j}, TypeError, "'port'"),
    ],
)
def test_constructor_argument_errors(Tarnel, fake_tcp, kwargs, error, message):
    with pytest.raises(error, match=message):
        Tarnel.FpgaTool(**kwargs)
    assert fake_tcp.instances == []


def test_argument_checks_run_even_with_a_connection(Tarnel, conn):
    with pytest.raises(TypeError, match="'port'"):
        Tarnel.FpgaTool(conn, port="x")


def test_missing_connection_module_propagates(Tarnel, monkeypatch):
    monkeypatch.setitem(sys.modules, "ondrel.QarCommService", None)
    with pytest.raises(ImportError):
        Tarnel.FpgaTool(address="dev1")


def test_errors_of_the_connection_class_propagate(Tarnel, fake_tcp, monkeypatch):
    def boom(self):
        raise OSError("no route")

    monkeypatch.setattr(fake_tcp, "initConnection", boom)
    with pytest.raises(OSError, match="no route"):
        Tarnel.FpgaTool(address="dev1")


# --- disconnect ---------------------------------------------------------------


def test_disconnect_borrowed_calls_only_the_cleanup_hook(Tarnel, conn, fpga_log):
    hooks = []

    class WithTemp(Tarnel.FpgaTool):
        def deleteTempFile(self):
            hooks.append("deleteTempFile")
            return "ignored"

    tool = WithTemp(conn)
    assert tool.disconnect() is None
    assert hooks == ["deleteTempFile"] and conn.calls == [] and fpga_log() == []


def test_disconnect_owned_closes_and_logs_every_time(Tarnel, fake_tcp, fpga_log):
    order = []

    class WithTemp(Tarnel.FpgaTool):
        def deleteTempFile(self):
            order.append("deleteTempFile")

    tool = WithTemp(address="dev1")
    opened = fake_tcp.instances[0]
    opened.closeConnection = lambda: order.append("closeConnection")
    tool.disconnect()
    tool.disconnect()
    assert order == ["deleteTempFile", "closeConnection"] * 2
    assert fpga_log() == [("INFO", "Disconnected from FPGA device.")] * 2
    assert tool._conn is opened and tool._owns_conn is True


def test_disconnect_without_cleanup_hook_still_closes(Tarnel, fake_tcp, fpga_log):
    tool = Tarnel.FpgaTool(address="dev1")
    tool.disconnect()
    assert fake_tcp.instances[0].calls == ["initConnection", "closeConnection"]
    assert fpga_log() == [("INFO", "Disconnected from FPGA device.")]


def test_disconnect_propagates_errors_of_hook_and_close(Tarnel, fake_tcp, fpga_log):
    class BadHook(Tarnel.FpgaTool):
        def deleteTempFile(self):
            raise AttributeError("inside the hook")

    with pytest.raises(AttributeError, match="inside the hook"):
        BadHook(address="dev1").disconnect()

    tool = Tarnel.FpgaTool(address="dev1")
    tool._conn.closeConnection = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        tool.disconnect()
    assert fpga_log() == []


def test_disconnect_skips_a_false_connection(Tarnel, fake_tcp):
    tool = Tarnel.FpgaTool(address="dev1")
    fake_tcp.__bool__ = lambda self: False
    try:
        tool.disconnect()
    finally:
        del fake_tcp.__bool__
    assert fake_tcp.instances[0].calls == ["initConnection"]


def test_progress_callback_is_stored_unchecked(tool):
    for value in (print, None, 42):
        assert tool.set_progress_callback(value) is None
        assert tool.progress_callback is value


# --- the exchange ---------------------------------------------------------------


@pytest.mark.parametrize("cmd", ["GET_SN", b"GET_SN", bytearray(b"GET_SN")])
def test_command_text_and_bytes_send_the_same_line(tool, conn, cmd):
    tool._sendCmd(cmd)
    assert conn.calls == [("sendCmd", (b"GET_SN\r\n", _RspType.RSP_LIST))]
    assert bytes(conn.frames()[0]) == b"GET_SN\r\n"


def test_text_is_sent_as_utf8(tool, conn):
    tool._sendCmd("MODE ü€")
    assert conn.frames() == ["MODE ü€".encode() + CRLF]


@pytest.mark.parametrize(
    "reply,expected", [(None, ""), ("", ""), (0, ""), ("0\r\n", "0\r\n"), ("text", "text"), (7, 7)]
)
def test_listed_reply_is_returned_untouched_or_empty(tool, conn, reply, expected):
    conn.replies = [reply]
    assert tool._sendCmd("X") == expected


def test_listed_exchange_reads_retdata_twice_and_ignores_the_code(tool, conn):
    reads = []

    class Result:
        RetCode = "ERROR"

        @property
        def RetData(self):
            reads.append(1)
            return "reply"

    conn.sendCmd = lambda frame, kind: Result()
    assert tool._sendCmd("X", log_print=True) == "reply"
    assert len(reads) == 2


def test_raw_exchange_cuts_framing_and_logs_on_request(tool, conn, fpga_log):
    conn.raw_replies = [b"ABCDxyz\r\n", b"ABCDxyz\r\n"]
    assert tool._sendCmd("FPGA_READ", isdecode=False) == b"xyz"
    assert fpga_log() == []
    assert tool._sendCmd(b"FPGA_READ", log_print=1, size=77, isdecode=0) == b"xyz"
    assert fpga_log() == [("DEBUG", "Received data: b'xyz'")]
    assert conn.calls[-2:] == [("sendRawBytes", (b"FPGA_READ\r\n",)), ("recvRawBytes", (77,))]


def test_raw_exchange_calls_getRecv_by_keyword(Tarnel, conn):
    seen = []

    class Spy(Tarnel.FpgaTool):
        def _getRecv(self, *args, **kwargs):
            seen.append((args, kwargs))
            return b""

    Spy(conn)._sendCmd("X", log_print="yes", size=5, isdecode=None)
    assert seen == [((), {"log_print": True, "size": 5, "isdecode": False})]


@pytest.mark.parametrize("reply,expected", [(b"", b""), (b"123456", b""), (b"1234567", b"5"),
                                            (bytearray(b"ABCDxyz\r\n"), bytearray(b"xyz"))])
def test_short_raw_replies(tool, conn, reply, expected):
    conn.raw_replies = [reply]
    assert tool._getRecv(isdecode=False) == expected


def test_getRecv_defaults_decode_the_whole_reply(tool, conn, fpga_log):
    conn.raw_replies = [b"ABCDxyz\r\n", "é".encode() + CRLF]
    assert tool._getRecv() == "ABCDxyz\r\n"
    assert tool._getRecv(True) == "é\r\n"
    assert fpga_log() == [("DEBUG", "Received data: é\r\n")]
    assert conn.calls == [("recvRawBytes", (1024,))] * 2


def test_getRecv_refuses_invalid_utf8(tool, conn):
    conn.raw_replies = [b"\xff\xfe"]
    with pytest.raises(UnicodeDecodeError):
        tool._getRecv()


@pytest.mark.parametrize("cmd,error", [(5, TypeError), (None, TypeError), ("\ud800", UnicodeEncodeError)])
def test_bad_commands_send_nothing(tool, conn, cmd, error):
    with pytest.raises(error):
        tool._sendCmd(cmd)
    assert conn.calls == []


@pytest.mark.parametrize("operation", ["sendCmd", "sendRawBytes", "recvRawBytes"])
def test_connection_errors_propagate_unchanged(tool, conn, fpga_log, operation):
    error = ConnectionError("lost")

    def fail(*args):
        raise error

    setattr(conn, operation, fail)
    with pytest.raises(ConnectionError) as caught:
        tool._sendCmd("X", isdecode=operation == "sendCmd")
    assert caught.value is error
    assert fpga_log() == []


# --- the command family ----------------------------------------------------------

SIMPLE = [
    ("_fpgaCtrlInit", b"FPGA_CTRL_INIT"),
    ("_fpgaGetId", b"FPGA_GET_ID"),
    ("_fpgaGetVersion", b"GET_FPGA_VER"),
    ("_fpgaDone", b"FPGA_DONE"),
    ("_fpgaRefresh", b"FPGA_REFRESH"),
    ("_fpgaGetInfo", b"GET_FE_INFO"),
    ("_fpgaGetControlFwVer", b"GET_FW_VER"),
    ("_fpgaGetSerialNumber", b"GET_SN"),
]


@pytest.mark.parametrize("name,line", SIMPLE)
def test_simple_commands(tool, conn, name, line):
    conn.replies = ["reply", None]
    assert getattr(tool, name)() == "reply"
    assert getattr(tool, name)() == ""
    assert conn.calls == [("sendCmd", (line + CRLF, _RspType.RSP_LIST))] * 2


@pytest.mark.parametrize(
    "name,argument,line",
    [
        ("_fpgaCfgMode", "TRANS", b"FPGA_CFG_MODE TRANS"),
        ("_fpgaCfgMode", b"TRANS", b"FPGA_CFG_MODE TRANS"),
        ("_fpgaErase", 12, b"FPGA_ERASE 12"),
        ("_fpgaErase", b"12", b"FPGA_ERASE 12"),
        ("_fpgaRstPagePtr", b"", b"FPGA_RST_PAGE_PTR "),
        ("_fpgaRstPagePtr", "CFG", b"FPGA_RST_PAGE_PTR CFG"),
        ("_fpgaCfgMode", bytearray(b"AB"), b"FPGA_CFG_MODE bytearray(b'AB')"),
        ("_fpgaCfgMode", "Ä", "FPGA_CFG_MODE Ä".encode()),
        ("_fpgaErase", None, b"FPGA_ERASE None"),
    ],
)
def test_argument_commands(tool, conn, name, argument, line):
    getattr(tool, name)(argument)
    assert conn.frames() == [line + CRLF]


def test_argument_conversion_errors_propagate(tool, conn):
    class NoText:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        tool._fpgaErase(NoText())
    assert conn.calls == []


def test_read_is_a_raw_exchange_returning_bytes(tool, conn):
    conn.raw_replies = [b"#216" + bytes(range(16)) + CRLF]
    assert tool._fpgaRead() == bytes(range(16))
    assert conn.calls == [("sendRawBytes", (b"FPGA_READ\r\n",)), ("recvRawBytes", (1024,))]


# --- the block program command -----------------------------------------------------


@pytest.mark.parametrize(
    "length,header",
    [(16, b"FPGA_PROGRAM #216"), (12, b"FPGA_PROGRAM #212"), (8, b"FPGA_PROGRAM #108"),
     (5, b"FPGA_PROGRAM #105"), (0, b"FPGA_PROGRAM #100"), (10, b"FPGA_PROGRAM #210"),
     (256, b"FPGA_PROGRAM #3256")],
)
def test_block_header(tool, conn, length, header):
    block = bytes(i % 256 for i in range(length))
    tool._fpgaProgram(block)
    assert conn.frames() == [header + block + CRLF]


def test_the_native_framing_and_the_wire_codec_agree(tool, conn):
    from ondrel import _wire as wire

    for length in [*range(20), 99, 100, 101, 255, 256, 999, 1000, 4096]:
        block = bytes(i % 251 for i in range(length))
        tool._fpgaProgram(block)
        frame = conn.frames()[-1]
        assert frame == wire.program_command(block), length
        assert wire.split_command(bytearray(frame)) == (b"FPGA_PROGRAM", block)


def test_block_of_zeros_is_35_bytes(tool, conn):
    tool._fpgaProgram(bytes(16))
    assert conn.frames() == [b"FPGA_PROGRAM #216" + bytes(16) + CRLF]
    assert len(conn.frames()[0]) == 35


def test_block_with_line_end_inside_is_sent_unchanged(tool, conn):
    block = b"ab\r\ncd"
    tool._fpgaProgram(block)
    assert conn.frames() == [b"FPGA_PROGRAM #106ab\r\ncd\r\n"]


@pytest.mark.parametrize("block", [bytearray(b"xyz"), memoryview(b"xyz")])
def test_block_may_be_any_bytes_like_sequence(tool, conn, block):
    tool._fpgaProgram(block)
    assert bytes(conn.frames()[0]) == b"FPGA_PROGRAM #103xyz\r\n"


@pytest.mark.parametrize(
    "reply,ack", [("0", True), (" 0", True), ("0\r\n", True), ("\x1c0\t", True), ("\u30000\u2003", True),
                  ("1", False), ("00", False), ("OK", False), ("", False), (None, False), ("0 0", False)]
)
def test_block_acknowledgement(tool, conn, reply, ack):
    conn.replies = [reply]
    assert tool._fpgaProgram(b"x") is ack


@pytest.mark.parametrize("block", [5, None, "text"])
def test_bad_blocks_send_nothing(tool, conn, block):
    with pytest.raises(TypeError):
        tool._fpgaProgram(block)
    assert conn.calls == []


def test_commands_log_nothing(tool, conn, fpga_log):
    conn.raw_replies = [b"ABCDxyz\r\n"]
    tool._fpgaGetId()
    tool._fpgaRead()
    tool._fpgaProgram(b"x")
    assert fpga_log() == []
