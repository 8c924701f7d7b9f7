"""A simulated device that speaks the FPGA update protocol over TCP.

It keeps an FPGA flash (erased to 0xFF; programming can only clear bits, as
on real flash), one page pointer, the FPGA and control firmware versions, an
identifier, a serial number and the device-information record.  Fault knobs
make it refuse blocks, corrupt read-back data, drop the connection, answer
late, or answer wrongly, so clients can be tested against a bad device.

In a test::

    with DeviceSimulator() as sim:            # an ephemeral loopback port
        tool = FpgaTool(address=sim.host, port=sim.port)

For people: ``python -m ondrel.tools.devsim --port 5025``.
"""

import argparse
import json
import queue
import socket
import socketserver
import sys
import threading
import time

from .. import _wire as wire

__all__ = ["Faults", "DeviceState", "SimulatedDevice", "DeviceSimulator", "main"]

_FLASH_LIMIT = 256 << 20
_COMMANDS_KEPT = 100000  # the command record keeps at least the latest this many


class Faults:
    """How the simulated device misbehaves (all off by default).

    refuse_blocks   {block index: times}: refuse the program command of that
                    16-byte block (at page pointer 16 * index) so many times
    refuse_all      refuse every program command
    corrupt_read    flash offset whose byte reads back inverted
    drop_after      close the connection instead of answering command n + 1
    delay           seconds to wait before each reply
    silent_after    read but never answer from command n + 1 on
    read_reply      replace every FPGA_READ reply: "garbage" (not a block),
                    "empty" (just CR LF), "oversized" (a 4000-byte block),
                    "short" (4 bytes of the page missing)
    listed_reply    answer every other command with this text (and do nothing)
    """

    def __init__(self, refuse_blocks=None, refuse_all=False, corrupt_read=None, drop_after=None, delay=0.0,
                 silent_after=None, read_reply=None, listed_reply=None):
        self.refuse_blocks = dict(refuse_blocks or {})
        self.refuse_all = refuse_all
        self.corrupt_read = corrupt_read
        self.drop_after = drop_after
        self.delay = delay
        self.silent_after = silent_after
        self.read_reply = read_reply
        self.listed_reply = listed_reply


class DeviceState:
    """What the device remembers, shared by all its connections."""

    def __init__(self, fpga_version="0.2.3.5", new_version="0.2.4.0", control_fw="0.1.0.8",
                 fpga_id="0x0A3F5C21", serial="QD2-000123", device_type=32, pad_pages=False,
                 commands_kept=_COMMANDS_KEPT):
        self.lock = threading.Lock()
        self.flash = bytearray()
        self.programmed_end = 0
        self.pointer = 0
        self.fpga_version = fpga_version
        self.new_version = new_version
        self.control_fw = control_fw
        self.fpga_id = fpga_id
        self.serial = serial
        self.device_type = device_type
        self.pad_pages = pad_pages  # answer a read of a partial last page with a whole one
        self.ext_ctrl = "0,0"
        self.beam_store = "0"
        self.commands = []  # keywords in the order received (the latest `commands_kept` or more)
        self.commands_kept = commands_kept
        self.blocks_written = 0
        self.blocks_refused = 0
        self.reads = 0

    def image(self):
        """The bytes programmed since the last erase."""
        return bytes(self.flash[: self.programmed_end])

    def device_info(self):
        return json.dumps({"dev0": {"fpga_ver": self.fpga_version, "sn": self.serial,
                                    "type": self.device_type}})


class _DelayedSender:
    """Sends each reply `latency` seconds after its command arrived, while
    later commands are already being read: a link's delay, which holds every
    reply for the same time without serialising the stream."""

    def __init__(self, sock, latency):
        self._sock = sock
        self._latency = latency
        self._queue = queue.Queue()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def sendall(self, reply):
        self._queue.put((time.monotonic() + self._latency, reply))

    def close(self):
        self._queue.put(None)
        self._thread.join(5)

    def _run(self):
        while True:
            item = self._queue.get()
            if item is None:
                return
            due, reply = item
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                self._sock.sendall(reply)
            except OSError:
                return


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        device = self.server.device
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        out = _DelayedSender(sock, self.server.latency) if self.server.latency > 0 else sock
        try:
            self._serve(device, sock, out)
        finally:
            if out is not sock:
                out.close()

    def _serve(self, device, sock, out):
        buf = bytearray()
        count = 0
        try:
            while True:
                command = wire.split_command(buf)
                if command is None:
                    chunk = sock.recv(65536)
                    if not chunk:
                        return
                    buf += chunk
                    continue
                count += 1
                faults = device.faults
                if faults.drop_after is not None and count > faults.drop_after:
                    return
                if faults.silent_after is not None and count > faults.silent_after:
                    continue
                reply = device.answer(command)
                if faults.delay:
                    time.sleep(faults.delay)
                out.sendall(reply)
        except OSError:
            return


class DeviceSimulator:
    """A TCP server answering as one SimulatedDevice; ``port=0`` picks a free
    port.  ``state``, ``faults`` and ``hooks`` are the device's; ``latency``
    (seconds) holds each reply that long after its command arrived, as a
    slower network would, without holding up the commands behind it."""

    def __init__(self, host="127.0.0.1", port=0, state=None, faults=None, hooks=None, latency=0.0):
        self.device = SimulatedDevice(state, faults, hooks)
        server = socketserver.ThreadingTCPServer((host, port), _Handler, bind_and_activate=False)
        server.daemon_threads = True
        server.allow_reuse_address = True
        server.server_bind()
        server.server_activate()
        server.device = self.device
        server.latency = latency
        self.server = server
        self.host, self.port = server.server_address[:2]
        self._thread = None

    # -- lifecycle -------------------------------------------------------

    def start(self):
        self._thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="devsim:%d" % self.port, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is not None:
            self.server.shutdown()
            self._thread.join()
            self._thread = None
        self.server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def state(self):
        return self.device.state

    @property
    def faults(self):
        return self.device.faults


class SimulatedDevice:
    """The device behind the simulator: answers one command at a time.

    ``hooks`` maps a command keyword (bytes) to a function called with the
    command's argument before the device acts on it: a test's way to do
    something at an exact point of an update.
    """

    def __init__(self, state=None, faults=None, hooks=None):
        self.state = state or DeviceState()
        self.faults = faults or Faults()
        self.hooks = dict(hooks or {})
        self._refusals = {}

    def answer(self, command):
        """The reply bytes to a (keyword, argument) command."""
        keyword, argument = command
        state = self.state
        if keyword in self.hooks:
            self.hooks[keyword](argument)
        with state.lock:
            if state.commands_kept:
                state.commands.append(keyword.decode("ascii", "replace"))
                if len(state.commands) > 2 * state.commands_kept:
                    del state.commands[:state.commands_kept]
            if keyword == b"FPGA_READ":
                return self._read()
            if self.faults.listed_reply is not None:
                return self.faults.listed_reply.encode("utf-8") + b"\r\n"
            if keyword == b"FPGA_PROGRAM":
                return self._program(argument)
            return self._listed(keyword, argument).encode("utf-8") + b"\r\n"

    def _listed(self, keyword, argument):
        state = self.state
        if keyword in (b"FPGA_CTRL_INIT", b"FPGA_CFG_MODE", b"FPGA_DONE"):
            return "0"
        if keyword == b"FPGA_ERASE":
            state.flash = bytearray()
            state.programmed_end = 0
            self._refusals = {}
            return "0"
        if keyword == b"FPGA_RST_PAGE_PTR":
            state.pointer = 0
            return "0"
        if keyword == b"FPGA_REFRESH":
            if state.programmed_end:
                state.fpga_version = state.new_version
            return "0"
        if keyword == b"FPGA_GET_ID":
            return state.fpga_id
        if keyword == b"GET_FPGA_VER":
            return state.fpga_version
        if keyword == b"GET_FW_VER":
            return state.control_fw
        if keyword == b"GET_SN":
            return state.serial
        if keyword == b"GET_FE_INFO":
            return state.device_info()
        # fast-beam commands of device classes
        if keyword == b"ExtCtrl_EN?":
            return state.ext_ctrl.split(",")[0]
        if keyword == b"ExtCtrl_EN":
            state.ext_ctrl = argument.decode("ascii", "replace")
            return "0"
        if keyword == b"BEAM_PATTERN_STORE_EN?":
            return state.beam_store
        if keyword == b"BEAM_PATTERN_STORE_EN":
            state.beam_store = argument.decode("ascii", "replace")
            return "0"
        if keyword in (b"BEAM_PATTERN_ERASE", b"BEAM_PATTERN_STORE_TDBS_BEAM", b"BEAM_PATTERN_STORE_FBS_BEAM",
                       b"BEAM_PATTERN_APPLY_BFIC", b"REBOOT"):
            return "0"
        return "ERR unknown command"

    def _program(self, data):
        state = self.state
        if data is None:
            return b"-2\r\n"
        block = state.pointer // 16
        pending = self.faults.refuse_blocks.get(block, 0) - self._refusals.get(block, 0)
        if self.faults.refuse_all or pending > 0:
            self._refusals[block] = self._refusals.get(block, 0) + 1
            state.blocks_refused += 1
            return b"-1\r\n"
        end = state.pointer + len(data)
        if end > _FLASH_LIMIT:
            return b"-3\r\n"
        if end > len(state.flash):
            state.flash.extend(b"\xff" * (end - len(state.flash)))
        if data:  # flash programming only clears bits
            old = int.from_bytes(state.flash[state.pointer : end], "big")
            state.flash[state.pointer : end] = (old & int.from_bytes(data, "big")).to_bytes(len(data), "big")
        state.pointer = end
        state.programmed_end = max(state.programmed_end, end)
        state.blocks_written += 1
        return b"0\r\n"

    def _read(self):
        state = self.state
        state.reads += 1
        mode = self.faults.read_reply
        if mode == "garbage":
            return b"garbage!\r\n"
        if mode == "empty":
            return b"\r\n"
        if mode == "oversized":
            return wire.reply_block(b"\xa5" * 4000)
        start = min(state.pointer, state.programmed_end)
        end = min(state.pointer + 16, state.programmed_end)
        page = bytearray(state.flash[start:end])
        if state.pad_pages:  # a whole page always; flash past the image reads as erased
            page += b"\xff" * (16 - len(page))
        corrupt = self.faults.corrupt_read
        if corrupt is not None and start <= corrupt < end:
            page[corrupt - start] ^= 0xFF
        if mode == "short":
            page = page[:-4]
        state.pointer += 16
        return wire.reply_block(bytes(page))


def _refusal(text):
    block, _, times = text.partition(":")
    return int(block), int(times or 1)


def add_fault_arguments(parser):
    """The fault options of the simulator, for this and other command lines."""
    faults = parser.add_argument_group("faults")
    faults.add_argument("--refuse-block", action="append", type=_refusal, default=[], metavar="N[:K]",
                        help="refuse the program command of 16-byte block N K times (default once); repeatable")
    faults.add_argument("--refuse-all", action="store_true", help="refuse every program command")
    faults.add_argument("--corrupt-read", type=int, metavar="OFFSET",
                        help="invert the byte at this flash offset when it is read back")
    faults.add_argument("--drop-after", type=int, metavar="N", help="drop the connection after N commands")
    faults.add_argument("--delay", type=float, default=0.0, metavar="SECONDS", help="wait before every reply")
    faults.add_argument("--silent-after", type=int, metavar="N", help="stop answering after N commands")


def faults_from_arguments(args):
    return Faults(refuse_blocks=dict(args.refuse_block), refuse_all=args.refuse_all, corrupt_read=args.corrupt_read,
                  drop_after=args.drop_after, delay=args.delay, silent_after=args.silent_after)


def add_state_arguments(parser):
    device = parser.add_argument_group("device")
    device.add_argument("--fpga-version", default="0.2.3.5", help="FPGA version before an update (%(default)s)")
    device.add_argument("--new-version", default="0.2.4.0",
                        help="FPGA version reported after an image was programmed (%(default)s)")
    device.add_argument("--control-fw", default="0.1.0.8", help="control firmware version (%(default)s)")
    device.add_argument("--pad-pages", action="store_true",
                        help="answer every read with a whole 16-byte page (past the image, erased flash: 0xFF)")
    device.add_argument("--latency", type=_milliseconds, default=0.0, metavar="MS",
                        help="hold each reply this many milliseconds, as a slower network would (commands "
                             "sent ahead are still read at once)")


def _milliseconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 60000:
        raise argparse.ArgumentTypeError("expected milliseconds from 0 to 60000, got %r" % text)
    return value / 1000.0


def state_from_arguments(args):
    return DeviceState(fpga_version=args.fpga_version, new_version=args.new_version, control_fw=args.control_fw,
                       pad_pages=args.pad_pages)


def serve(host, port, state, faults, out=sys.stdout, latency=0.0):
    """Runs a simulator in the foreground until Ctrl-C."""
    sim = DeviceSimulator(host, port, state, faults, latency=latency)
    try:
        # Announced inside the try: from the banner on, Ctrl-C is a normal stop.
        print("Simulated device listening on %s:%d (FPGA %s, control firmware %s); Ctrl-C stops it."
              % (sim.host, sim.port, state.fpga_version, state.control_fw), file=out, flush=True)
        sim.server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        print("\nStopped after %d commands (%d blocks written, %d refused, %d reads)."
              % (len(state.commands), state.blocks_written, state.blocks_refused, state.reads), file=out)
    finally:
        sim.server.server_close()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m ondrel.tools.devsim", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (%(default)s)")
    parser.add_argument("--port", type=int, default=5025, help="TCP port (%(default)s; 0 picks a free one)")
    add_state_arguments(parser)
    add_fault_arguments(parser)
    args = parser.parse_args(argv)
    return serve(args.host, args.port, state_from_arguments(args), faults_from_arguments(args), latency=args.latency)


if __name__ == "__main__":
    sys.exit(main())
