"""The programming of an image, one command at a time or windowed, over a
real connection to a scripted device on loopback: each reply is what the
fuzzer's bytes say (as it should be, missing, sent twice, garbled, cut
short, late, a refusal, or the connection closed).  Whatever happens, the
programming never answers True unless the device's flash holds exactly the
image; any other outcome (False, an error) is fine.

The device writes exactly the blocks it acknowledges: a block answered with
anything but "0" is not written.  (A device that writes a block and then
answers otherwise gets it again, as the protocol says: when that block is
the last, the copy lands past the image, where no read-back looks.)"""

import os
import socket
import tempfile
import threading
import time

import ondrel.Tarnel as Tarnel
from ondrel import _wire as wire
from ondrel.QarCommService import _TCPConn
from ondrel.tools import windowed
from ondrel.tools.devsim import DeviceState, SimulatedDevice

from .values import Reader

_PATH = os.path.join(tempfile.mkdtemp(prefix="ondrel-fuzz-"), "image.bin")
_LISTENER = socket.create_server(("127.0.0.1", 0))
_TIMEOUT = 0.05  # a missing reply costs this much


def _serve(sock, device, script):
    """Answers the commands read from `sock` as the device would, each reply
    changed as the script says."""
    buf = bytearray()
    late = []
    with sock:
        while True:
            command = wire.split_command(buf)
            if command is None:
                try:
                    chunk = sock.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                buf += chunk
                continue
            kind = script.byte() % 16  # mostly as it should be
            refused = command[0] == b"FPGA_PROGRAM" and kind in (11, 14)
            reply = b"" if refused else device.answer(command)
            try:
                if kind == 9:  # missing
                    continue
                if kind == 10:  # twice: a reply no command asked for
                    reply += reply
                elif kind == 11:  # garbled
                    reply = script.take(1 + script.byte() % 20).replace(b"\n", b"") + b"\r\n"
                elif kind == 12 and reply.startswith(b"#"):  # cut short
                    reply = reply[:max(2, len(reply) - 1 - script.byte() % 8)] + b"\r\n"
                elif kind == 13:  # late: after the next command's reply
                    late.append(reply)
                    continue
                elif kind == 14 and command[0] == b"FPGA_PROGRAM":  # refused
                    reply = b"-1\r\n"
                elif kind == 15 and script.byte() & 1:  # the device goes away
                    return
                sock.sendall(reply + b"".join(late))
                late.clear()
                if kind == 13 or script.byte() % 32 == 0:
                    time.sleep(0.001)
            except OSError:
                return


def one_input(data):
    reader = Reader(data)
    choice = reader.byte()
    image = reader.take(reader.byte() % 49)
    with open(_PATH, "wb") as f:
        f.write(image)
    device = SimulatedDevice(DeviceState(commands_kept=0))
    conn = _TCPConn("127.0.0.1", _LISTENER.getsockname()[1], timeout=_TIMEOUT, connect_timeout=1.0)
    assert conn.initConnection()
    sock, _ = _LISTENER.accept()
    server = threading.Thread(target=_serve, args=(sock, device, reader), daemon=True)
    server.start()
    tool = Tarnel.FpgaTool(conn)
    window = 1 + choice % 8 if choice & 8 else 1
    try:
        if window == 1:
            programmed = tool._fpgaProgramFile(_PATH, 32)
        else:
            programmed = windowed.program_file(tool, _PATH, 32, window)
    except Exception:
        programmed = None
    finally:
        conn.closeConnection()
        server.join(5)
    assert programmed is not True or device.state.image() == image, (image, device.state.image())
