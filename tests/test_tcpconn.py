"""_TCPConn against a small loopback server that scripts its replies."""

import socket
import threading
import time

import pytest

from ondrel.QarCommService import _TCPConn
from ondrel.QarUtils import RetCode, _RspType


class ScriptedServer:
    """Accepts one client; for each received line sends the next scripted
    answer: a list of byte chunks (sent with pauses, so TCP delivers them
    apart), or "close" to drop the connection."""

    def __init__(self, script):
        self.script = list(script)
        self.received = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            client, _ = self.listener.accept()
        except OSError:  # closed before a client came
            return
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        buf = b""
        with client:
            for answer in self.script:
                while b"\n" not in buf:
                    chunk = client.recv(4096)
                    if not chunk:
                        return
                    buf += chunk
                line, buf = buf.split(b"\n", 1)
                self.received.append(line + b"\n")
                if answer == "close":
                    return
                for piece in answer:
                    client.sendall(piece)
                    time.sleep(0.02)
            time.sleep(0.5)

    def close(self):
        self.listener.close()
        self.thread.join(2)


@pytest.fixture
def serve():
    servers, conns = [], []

    def start(*script):
        server = ScriptedServer(script)
        servers.append(server)
        conn = _TCPConn("127.0.0.1", server.port, timeout=2.0)
        assert conn.initConnection() is True
        conns.append(conn)
        return server, conn

    yield start
    for conn in conns:
        conn.closeConnection()
    for server in servers:
        server.close()


def test_listed_exchange_returns_the_line_without_its_end(serve):
    server, conn = serve([b"0.2.3.4\r\n"], [b"\r\n"])
    ret = conn.sendCmd(b"GET_FPGA_VER\r\n", _RspType.RSP_LIST)
    assert ret.RetCode is RetCode.OK and ret.RetData == "0.2.3.4"
    assert conn.sendCmd(b"X\r\n", _RspType.RSP_LIST).RetData == ""
    assert server.received == [b"GET_FPGA_VER\r\n", b"X\r\n"]
    conn.closeConnection()


def test_reply_split_across_segments_is_joined(serve):
    block = b"#216" + bytes(range(16)) + b"\r\n"
    server, conn = serve([block[:1], block[1:3], block[3:9], block[9:]], [b"1.", b"2\r", b"\n"])
    conn.sendRawBytes(b"FPGA_READ\r\n")
    assert conn.recvRawBytes(1024) == block
    assert conn.sendCmd(b"V\r\n").RetData == "1.2"
    conn.closeConnection()


def test_block_data_may_hold_line_ends(serve):
    block = b"#208\r\n\r\n\n\n\r\r\r\n"
    server, conn = serve([block], [b"#0abc\r\n"], [b"plain\r\n"])
    for _ in range(3):
        conn.sendRawBytes(b"FPGA_READ\r\n")
    assert conn.recvRawBytes(1024) == block
    assert conn.recvRawBytes(1024) == b"#0abc\r\n"
    assert conn.recvRawBytes(3) == b"pla"  # cut to size; the rest of that reply is dropped
    conn.closeConnection()


@pytest.mark.parametrize("batched", [False, True])
def test_replies_in_one_segment_are_kept_apart(serve, batched):
    block = b"#204\r\n\r\n\r\n"
    server, conn = serve([b"A\r\n" + block + b"#1x text\r\n"], [], [])
    if batched:
        conn.sendCommands(b"Q\r\nQ2\r\nQ3\r\n", 3)
        assert conn.recvReplies(5) == [b"A\r\n", block, b"#1x text\r\n"]
    else:
        for command in (b"Q\r\n", b"Q2\r\n", b"Q3\r\n"):
            conn.sendRawBytes(command)
        assert [conn.recvRawBytes(1024) for _ in range(3)] == [b"A\r\n", block, b"#1x text\r\n"]


def test_a_listed_exchange_never_reads_an_owed_reply(serve):
    server, conn = serve([b"late\r\n"], [b"1.0\r\n"])
    conn.sendRawBytes(b"FPGA_READ\r\n")  # its reply is still owed
    with pytest.raises(ConnectionError, match="busy: 1 reply is still owed"):
        conn.sendCmd(b"GET_FPGA_VER\r\n")
    assert conn.recvRawBytes() == b"late\r\n"  # nothing was sent or lost
    assert conn.sendCmd(b"GET_FPGA_VER\r\n").RetData == "1.0"


def test_a_reply_no_command_asked_for_is_never_taken_for_an_answer(serve, Tarnel):
    server, conn = serve([b"0\r\n0\r\n"], [b"0x0A3F5C21\r\n"])  # one acknowledgement too many
    tool = Tarnel.FpgaTool(conn)
    assert tool._fpgaCtrlInit() == "0"
    with pytest.raises(ConnectionError, match=r"out of step: the device sent b'0.r.n' when no reply was owed"):
        tool._fpgaGetId()
    assert server.received == [b"FPGA_CTRL_INIT\r\n"]  # the next command never went out
    with pytest.raises(ConnectionError, match="closed after a reply no command asked for"):
        tool._fpgaGetId()


@pytest.mark.parametrize("script", [["close"], [[b"#216abc"], "close"], [[b"partial line"], "close"]])
def test_peer_closing_mid_reply_raises_connection_error(serve, script):
    server, conn = serve(*script)
    conn.sendRawBytes(b"FPGA_READ\r\n")
    if len(script) > 1:
        conn.sendRawBytes(b"again\r\n")
    with pytest.raises(ConnectionError, match="127.0.0.1:%d" % server.port):
        conn.recvRawBytes(1024)
    assert not conn.isConnected()
    with pytest.raises(ConnectionError, match="not connected"):
        conn.sendCmd(b"X\r\n")


def test_silent_device_times_out_naming_it(serve):
    server, conn = serve([])
    conn.settimeout(0.2)
    with pytest.raises(TimeoutError, match="127.0.0.1:%d" % server.port):
        conn.sendCmd(b"X\r\n")


def test_timeout_must_be_positive(serve):
    server, conn = serve([])
    for bad in (0, -1, float("nan")):
        with pytest.raises(ValueError, match="time-out"):
            conn.settimeout(bad)


def test_unreachable_device_gives_false():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()  # nothing listens there now
    conn = _TCPConn("127.0.0.1", port, connect_timeout=30)
    assert conn.initConnection() is False
    # said as refused, at once (Windows reports a refused connect in select's third set, not as writable)
    assert isinstance(conn.failure, ConnectionRefusedError), conn.failure
    assert _TCPConn("no-such-host.invalid", 5025, connect_timeout=0.5).initConnection() is False
    conn.closeConnection()  # closing what never opened is harmless


def test_nothing_is_printed(serve, capsys):
    server, conn = serve([b"0\r\n"])
    conn.sendCmd(b"X\r\n")
    conn.closeConnection()
    assert capsys.readouterr() == ("", "")
