"""A bare-socket client doing an update's exchanges with a window of
commands in flight, and nothing else: the yardstick of bench_window.py.

It sends the same commands as a windowed update (erase, page pointer, the
program commands, page pointer, the reads, done, refresh, version), the
commands a window allows in one send, and reads the replies with one
receive for all that arrived, parsed by the same wire codec.  It keeps the
SHA-256 of what it wrote and read, as the update does, but no progress, log
records or checks.
"""

import hashlib
import socket

from ondrel import _wire as wire


class BareClient:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def close(self):
        self.sock.close()

    def _replies(self, limit):
        while True:
            replies, used = wire.split_replies(self.buf, limit)
            if replies:
                self.buf = self.buf[used:]
                return replies
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("the device closed the connection")
            self.buf += data

    def exchange(self, line):
        self.sock.sendall(line)
        return self._replies(1)[0]

    def windowed(self, frames, window):
        """Sends `frames`, up to `window` in flight; the replies in order."""
        replies = []
        sent = 0
        while len(replies) < len(frames):
            room = window - (sent - len(replies))
            if room and sent < len(frames):
                batch = frames[sent:sent + room]
                self.sock.sendall(b"".join(batch))
                sent += len(batch)
            replies += self._replies(sent - len(replies))
        return replies

    def update(self, image, window):
        """The exchanges of an update; whether the read-back equals the image."""
        written = hashlib.sha256()
        read = hashlib.sha256()
        self.exchange(b"FPGA_ERASE 12\r\n")
        self.exchange(b"FPGA_RST_PAGE_PTR CFG\r\n")
        blocks = [image[at:at + 16] for at in range(0, len(image), 16)]
        acks = self.windowed([wire.program_command(block) for block in blocks], window)
        if any(ack.strip() != b"0" for ack in acks):
            raise RuntimeError("a block was refused")
        written.update(image)
        self.exchange(b"FPGA_RST_PAGE_PTR CFG\r\n")
        pages = self.windowed([b"FPGA_READ\r\n"] * len(blocks), window)
        for page in pages:
            read.update(page[4:-2])
        self.exchange(b"FPGA_DONE\r\n")
        self.exchange(b"FPGA_REFRESH\r\n")
        self.exchange(b"GET_FPGA_VER\r\n")
        return written.digest() == read.digest()
