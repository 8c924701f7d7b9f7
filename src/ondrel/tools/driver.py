"""The one place that knows the library's ways, for the command line and the
rollout: check an image once, name and resolve targets, open a tool for a
target, and run one device operation while capturing its log records, its
progress and its per-block line, ending in an Outcome that says what the
device now holds.

Nothing here replaces process-wide state: the library's records are taken
by a handler added to the "FPGA" channel for the calling thread only, and
its progress line is written to a stream of the operation's own.
"""

import errno
import hashlib
import logging
import socket
import threading
import time

__all__ = ["DEFAULT_PORT", "DEFAULT_TIMEOUT", "DEFAULT_ERASE_TIMEOUT", "UNSAFE", "Image", "ImageRefused",
           "Target", "DuplicateTarget", "parse_target", "resolve", "check_image", "Outcome", "Events", "Cancelled",
           "Refusal", "Failure", "Device", "reason_of", "update", "verify", "dump", "info", "version",
           "current_version"]

DEFAULT_PORT = 5025
DEFAULT_TIMEOUT = 5.0  # seconds for each reply
DEFAULT_ERASE_TIMEOUT = 120.0  # seconds for the erase's reply: a real flash erase may take long
DEFAULT_CONNECT_TIMEOUT = 3.0  # seconds for the device to accept the connection
PAGE = 16

# What a device holds after an operation.  The last three are unsafe to
# power-cycle: the flash holds no complete, verified image.
UNTOUCHED, VERIFIED, ERASED, PART_WRITTEN, UNVERIFIED = (
    "untouched", "verified", "erased", "part-written", "unverified")
UNSAFE = (ERASED, PART_WRITTEN, UNVERIFIED)


def _tarnel():
    import ondrel.Tarnel as Tarnel

    return Tarnel


def _windowed():
    from . import windowed

    return windowed


# --- records of the library ------------------------------------------------------


class _Capture(logging.Handler):
    """Takes the "FPGA" records of one thread while it is attached."""

    def __init__(self, thread, sink=None):
        super().__init__(logging.DEBUG)
        self._thread = thread
        self._sink = sink
        self.records = []  # (level name, message)

    def emit(self, record):
        if record.thread != self._thread:
            return
        try:
            entry = (record.levelname, record.getMessage())
        except Exception:  # a record must never break the work
            return
        self.records.append(entry)
        if self._sink is not None:
            self._sink(*entry)

    def errors(self):
        return [message for level, message in self.records if level in ("ERROR", "CRITICAL")]


class _captured:
    """with _captured(sink) as capture: the calling thread's records of the
    "FPGA" channel, in capture.records, and each passed to sink(level, text)."""

    def __init__(self, sink=None):
        self.capture = _Capture(threading.get_ident(), sink)

    def __enter__(self):
        logging.getLogger("FPGA").addHandler(self.capture)
        return self.capture

    def __exit__(self, *exc):
        logging.getLogger("FPGA").removeHandler(self.capture)


class _Lines:
    """Where the library's per-block progress line goes: kept, not shown."""

    def __init__(self):
        self.last = ""

    def write(self, text):
        line = text.strip("\r\n")
        if line:
            self.last = line.rsplit("\r", 1)[-1]
        return len(text)

    def flush(self):
        pass


class _Offline:
    """A connection for checks that must not reach a device."""

    def __getattr__(self, name):
        raise RuntimeError("no device is connected")


# --- the image ---------------------------------------------------------------------


class ImageRefused(Exception):
    """The library's checks refused an image; `reasons` are its own words."""

    def __init__(self, path, reasons):
        super().__init__("%s refused: %s" % (path, "; ".join(reasons) or "no reason given"))
        self.path = path
        self.reasons = reasons


class Image:
    """An image the library's checks accepted, and what they found in it."""

    def __init__(self, path, kind, data, header):
        self.path = path
        self.kind = kind  # "raw" or "container"
        self.data = data  # the bytes an update programs
        self.header = header  # the container's header (a dict), or None
        self.sha256 = hashlib.sha256(data).hexdigest()

    @property
    def device_types(self):
        """The device types a container is sealed for (ints), or None."""
        if self.header is None:
            return None
        value = self.header.get("DEV_TYPE") or self.header.get("dev_type")
        values = value if isinstance(value, list) else [value]
        try:
            return sorted(int(v) for v in values)
        except (TypeError, ValueError):
            return None

    @property
    def version(self):
        """The FPGA version the image brings ("FPGA_VERSION" of its header), or None."""
        value = (self.header or {}).get("FPGA_VERSION")
        return value if isinstance(value, str) else None


def check_image(path):
    """The library's file and header checks of `path`, offline, as an update
    runs them: the Image they accepted, or ImageRefused with their reasons."""
    tool = _tarnel().FpgaTool(_Offline())
    with _captured() as capture:
        try:
            found = _windowed().check_image(tool, path)
        except (OSError, ValueError) as exc:  # the checks let some system errors through
            raise ImageRefused(path, [reason_of(exc)]) from None
    if not found["accepted"]:
        raise ImageRefused(path, capture.errors())
    return Image(path, found["kind"], found["image"], found["header"])


# --- targets -----------------------------------------------------------------------


class Target:
    """A device as named (HOST, HOST:PORT or [IPv6]:PORT) and, once resolved,
    its address: (family, address, port), or the reason it has none."""

    def __init__(self, host, port):
        self.host = host
        self.port = port
        self.text = "[%s]:%d" % (host, port) if ":" in host else "%s:%d" % (host, port)
        self.address = None
        self.unresolved = None  # why the name gave no address

    @property
    def label(self):
        return self.text

    @property
    def resolved(self):
        """The resolved address as text ("10.0.0.5:5025"), or None."""
        if self.address is None:
            return None
        family, host, port = self.address
        return "[%s]:%d" % (host, port) if family == socket.AF_INET6 else "%s:%d" % (host, port)

    def __repr__(self):
        return "Target(%r)" % self.text


def parse_target(text, default_port=DEFAULT_PORT):
    """HOST, HOST:PORT or [IPv6]:PORT; ValueError names what is wrong."""
    text = text.strip()
    host, port = text, default_port
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError("expected HOST, HOST:PORT or [IPv6]:PORT, got %r" % text)
        if rest:
            port = rest[1:]
    elif text.count(":") == 1:
        host, port = text.split(":")
    if not host:
        raise ValueError("no host in %r" % text)
    try:
        port = int(port)
    except ValueError:
        port = -1
    if not 0 < port <= 65535:
        raise ValueError("port must be a number from 1 to 65535 in %r" % text)
    return Target(host, port)


class DuplicateTarget(Exception):
    """Two spellings name one device."""

    def __init__(self, first, second):
        super().__init__("%s and %s are the same device (%s): name each device once"
                         % (first.label, second.label, first.resolved))
        self.first, self.second = first, second


def resolve(targets):
    """Resolves every target's name (first address, as a connection would
    take it); raises DuplicateTarget when two name one device.  A name that
    does not resolve keeps its reason in `unresolved`."""
    seen = {}
    for target in targets:
        try:
            family, _, _, _, address = socket.getaddrinfo(target.host, target.port, type=socket.SOCK_STREAM)[0]
            target.address = (family, address[0], address[1])
        except (OSError, UnicodeError) as exc:
            target.unresolved = "name not resolved: %s" % (getattr(exc, "strerror", None) or exc)
            continue
        if target.address in seen:
            raise DuplicateTarget(seen[target.address], target)
        seen[target.address] = target
    return targets


# --- reasons -----------------------------------------------------------------------

_ERRNO_REASONS = {
    errno.ECONNREFUSED: "connection refused",
    errno.EHOSTUNREACH: "no route to host",
    errno.ENETUNREACH: "network unreachable",
    errno.ECONNRESET: "lost connection: reset by the device",
    errno.EPIPE: "lost connection: closed by the device",
    errno.ETIMEDOUT: "time-out",
}


def reason_of(exc):
    """One line for an error, with its cause and without repeating the device."""
    if isinstance(exc, Cancelled):
        return "interrupted"
    reason = getattr(exc, "reason", None)  # _TCPConn's errors carry one
    if reason:
        return reason
    if isinstance(exc, socket.gaierror):
        return "name not resolved: %s" % exc.strerror
    if isinstance(exc, (socket.timeout, TimeoutError)):
        return "time-out: %s" % (exc,) if str(exc) else "time-out"
    if isinstance(exc, OSError) and exc.errno in _ERRNO_REASONS:
        return _ERRNO_REASONS[exc.errno]
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror + (": %s" % exc.filename if exc.filename else "")
    if isinstance(exc, RuntimeError) and str(exc):  # the library's own failures say what happened
        return str(exc)
    return "%s: %s" % (type(exc).__name__, exc) if str(exc) else type(exc).__name__


# --- one device --------------------------------------------------------------------


class Cancelled(Exception):
    """Raised inside a device's work once it was asked to stop."""


class Outcome:
    """How one device operation ended.  `state` is what the device holds
    (UNTOUCHED, VERIFIED, ERASED, PART_WRITTEN, UNVERIFIED); `stage` the last
    stage reached; `done` the bytes that stage reached of `total`."""

    def __init__(self, target):
        self.target = target
        self.result = "not started"  # "ok", "failed", "refused", "interrupted"
        self.state = UNTOUCHED
        self.stage = None
        self.done = None
        self.total = None
        self.written = 0  # image bytes the device acknowledged
        self.reason = None
        self.warnings = []
        self.records = []  # the library's records: (level name, message)
        self.values = {}  # what the operation found out (identifier, versions, ...)
        self.seconds = None
        self.line = ""  # the library's last per-block progress line

    @property
    def unsafe(self):
        return self.state in UNSAFE

    @property
    def where(self):
        """The stage and bytes reached, for a reason: "write 7,712 of 262,144 bytes"."""
        if self.stage in ("write", "verify") and self.total is not None:
            return "%s %s of %s bytes" % (self.stage, format(self.done or 0, ","), format(self.total, ","))
        return self.stage or "start"


class Events:
    """What a device's work reports while it runs (the display's side);
    every method is called on the device's thread."""

    def stage(self, device, name):
        pass

    def progress(self, device, stage, done, total):
        pass

    def record(self, device, level, text):
        pass


class Device:
    """One device's session: `run(operation)` connects, runs the operation
    and disconnects, and returns its Outcome.  `cancel` (from any thread)
    stops the work before its next command and ends a wait on the device."""

    def __init__(self, target, timeout=DEFAULT_TIMEOUT, erase_timeout=DEFAULT_ERASE_TIMEOUT, window=1,
                 events=None, connect_timeout=DEFAULT_CONNECT_TIMEOUT):
        self.target = target
        self.timeout = timeout
        self.erase_timeout = erase_timeout
        self.window = _windowed().check_window(window)
        self.connect_timeout = connect_timeout
        self.events = events or Events()
        self.outcome = Outcome(target)
        self._cancelled = threading.Event()
        self._conn = None
        self._lines = _Lines()

    # -- from any thread ----------------------------------------------------------

    def cancel(self):
        self._cancelled.set()
        conn = self._conn
        if conn is not None:
            try:
                conn.abort()
            except Exception:
                pass

    # -- the work -----------------------------------------------------------------

    def check(self):
        if self._cancelled.is_set():
            raise Cancelled()

    def stage(self, name):
        self.check()
        self.outcome.stage = name
        self.events.stage(self, name)

    def progress(self, stage, done, total):
        """The library's progress callback."""
        self.check()
        outcome = self.outcome
        if stage == "write":
            outcome.written = done
            if outcome.state in (UNTOUCHED, ERASED) and done:
                outcome.state = PART_WRITTEN
        elif stage == "verify" and outcome.state == PART_WRITTEN:
            outcome.state = UNVERIFIED  # the whole image is written; not yet read back
        outcome.stage, outcome.done, outcome.total = stage, done, total
        self.events.progress(self, stage, done, total)

    def run(self, operation):
        outcome = self.outcome
        started = time.monotonic()
        with _captured(lambda level, text: self.events.record(self, level, text)) as capture:
            outcome.records = capture.records  # filled as the library logs
            try:
                if self.target.unresolved:
                    raise Failure(self.target.unresolved)
                tool = self._connect()
                try:
                    operation(self, tool, outcome)
                finally:
                    self._disconnect()
                if outcome.result == "not started":
                    outcome.result = "ok"
            except Cancelled:
                outcome.result, outcome.reason = "interrupted", "interrupted"
            except Refusal as refusal:
                outcome.result, outcome.reason = "refused", str(refusal)
            except Failure as failure:
                outcome.result, outcome.reason = "failed", str(failure)
            except Exception as exc:  # any other error, in one line
                outcome.result = "interrupted" if self._cancelled.is_set() else "failed"
                outcome.reason = "interrupted" if self._cancelled.is_set() else self._reason(exc)
            finally:
                outcome.seconds = time.monotonic() - started
                outcome.line = self._lines.last
        return outcome

    def _reason(self, exc):
        reason = reason_of(exc)
        if self.outcome.stage and self.outcome.stage != "connect":
            reason += " (%s)" % ("at " + self.outcome.where if self.outcome.total is not None else
                                 "while " + _STAGE_WORDS.get(self.outcome.stage, self.outcome.stage))
        return reason

    def _connect(self):
        from ondrel.QarCommService import _TCPConn

        self.stage("connect")
        family, address, port = self.target.address
        conn = _TCPConn(address, port, timeout=self.timeout, connect_timeout=self.connect_timeout)
        self._conn = conn
        self.check()  # cancel() found no connection to abort before this one was known
        if not conn.initConnection():
            self.check()  # given up because the device was asked to stop
            raise Failure(reason_of(conn.failure) if conn.failure else "cannot connect")
        self.check()  # asked to stop while connecting: nothing is sent
        tool = _tool_class()(conn)
        tool.device = self
        return tool

    def _disconnect(self):
        conn, self._conn = self._conn, None
        if conn is not None:
            conn.closeConnection()

    # -- the operations' helpers ----------------------------------------------------

    def program_file(self, tool, path, device_type):
        """The library's image programming, through the tool's own steps,
        with this device's window and the per-block line kept here."""
        return _windowed().program_file(tool, path, device_type, self.window, self._lines)

    def read_flash(self, tool, size, stage):
        """`size` bytes of flash from its start (what the device returns for them)."""
        self.progress(stage, 0, size)
        return _windowed().read_flash(tool, size, self.window,
                                      lambda pages: self.progress(stage, min(pages * PAGE, size), size))

    def with_timeout(self, seconds, call, *args):
        conn = self._conn
        conn.settimeout(seconds)
        try:
            return call(*args)
        finally:
            if conn.isConnected():
                conn.settimeout(self.timeout)


_STAGE_WORDS = {"connect": "connecting", "initialise": "initialising", "erase": "erasing", "write": "writing",
                "verify": "verifying", "refresh": "refreshing", "read": "reading", "query": "querying"}


class Refusal(Exception):
    """An operation refused to go on (the device is untouched by it)."""


class Failure(Exception):
    """An operation failed, in one line."""


_TOOL = None


def _tool_class():
    """FpgaTool that tells its Device what the flash holds as the update
    goes (erase, blocks, refresh), gives the erase its own time-out, stops
    before a command once the device is cancelled, and programs with the
    device's window without the per-block line on standard output."""
    global _TOOL
    if _TOOL is None:
        FpgaTool = _tarnel().FpgaTool

        class TrackedTool(FpgaTool):
            device = None

            def _fpgaErase(self, erase_bits):
                device = self.device
                device.stage("erase")
                device.outcome.state = ERASED  # from the command on, the flash may hold nothing
                return device.with_timeout(device.erase_timeout, super()._fpgaErase, erase_bits)

            def _fpgaProgramFile(self, image_path, device_type=28):
                return self.device.program_file(self, image_path, device_type)

            def _fpgaDone(self):
                self.device.stage("refresh")
                return super()._fpgaDone()

        _TOOL = TrackedTool
    return _TOOL


# --- the operations: each is a callable(device, tool, outcome) -------------------------


def current_version(tool, device_type):
    """The FPGA version the device reports, as the library reads it back
    after an update (type 32: its version query; type 28: the first record
    of its device information), or None."""
    if device_type == 32:
        return tool._fpgaGetVersion() or None
    if device_type == 28:
        import json

        try:
            records = json.loads(tool._fpgaGetInfo())
            first = next(iter(records.values()), {}) if isinstance(records, dict) else {}
            return (first.get("fpga_ver") or None) if isinstance(first, dict) else None
        except ValueError:
            return None
    return None


def first_difference(flash, image):
    """(offset, device byte, image byte) of the first byte that differs, or
    None when the flash holds the image (perhaps followed by more)."""
    common = min(len(flash), len(image))
    if flash[:common] == image[:common]:
        return None if len(flash) >= len(image) else (len(flash), None, image[len(flash)])
    offset = next(i for i in range(common) if flash[i] != image[i])
    return offset, flash[offset], image[offset]


def describe_difference(difference, flash, image):
    if difference is None:
        return "equal" + ("; only the padding of the last, partial page differs: the device returned %d more "
                          "bytes" % (len(flash) - len(image)) if len(flash) > len(image) else "")
    offset, device_byte, image_byte = difference
    if device_byte is None:
        return "the device returned %d of the image's %d bytes" % (len(flash), len(image))
    return "first difference at offset %d (0x%x): device 0x%02x, image 0x%02x" % (offset, offset, device_byte,
                                                                                  image_byte)


def update(image, device_type, check_version=True):
    """Initialise, then the library's whole update of `image`."""

    def operation(device, tool, outcome):
        Tarnel = _tarnel()
        RetCode = Tarnel.RetCode
        outcome.total = len(image.data)
        device.stage("initialise")
        device._conn.last_error = None
        init = tool.initFpga(device_type, disable_fw_check=not check_version)
        if init.RetCode is RetCode.OK:
            outcome.values["identifier"] = init.RetData["fpga_id"] or None
            outcome.values["version_before"] = init.RetData["fpga_version"] or None
        elif init.RetCode is RetCode.WARNING and device_type not in Tarnel._DEVICE_WHITELIST:
            outcome.warnings.append(init.RetMsg.rstrip(".") + "; updating without it")
            outcome.values["version_before"] = current_version(tool, device_type)
        elif init.RetCode is RetCode.ERROR and device._conn.last_error is not None:  # the device failed it
            raise Failure("%s (while initialising)" % reason_of(device._conn.last_error))
        else:
            raise Refusal("initialisation refused: %s" % init.RetMsg)
        tool.set_progress_callback(device.progress)
        ret = tool.processFpgaUpdate(image.path, device_type)
        errors = [text for level, text in outcome.records if level == "ERROR" and text != ret.RetMsg]
        if ret.RetCode is not RetCode.OK:
            if outcome.state == UNTOUCHED:
                raise Refusal("%s: %s" % (ret.RetMsg.rstrip("."), "; ".join(errors)) if errors else ret.RetMsg)
            if "Verify Failed" in errors:
                outcome.state = UNVERIFIED
                device.stage("read-back")
                flash = device.read_flash(tool, len(image.data), "read-back")
                difference = first_difference(flash, image.data)
                raise Failure("read-back differs from the image: %s" % describe_difference(difference, flash,
                                                                                          image.data))
            raise Failure("; ".join(errors) or ret.RetMsg)
        outcome.state = VERIFIED
        outcome.values["version_after"] = ret.RetData["fw_version"] or None
        before, after = outcome.values.get("version_before"), outcome.values["version_after"]
        if after and after == before:
            outcome.warnings.append("the FPGA version is %s before and after the update" % after)

    return operation


def verify(image):
    """Reads the image's length of flash back and compares it."""

    def operation(device, tool, outcome):
        flash = device.read_flash(tool, len(image.data), "verify")
        difference = first_difference(flash, image.data)
        outcome.values.update(equal=difference is None, read=len(flash), padding=max(0, len(flash) - len(image.data)),
                              first_difference=None if difference is None or difference[1] is None else
                              {"offset": difference[0], "device": difference[1], "image": difference[2]})
        outcome.values["comparison"] = describe_difference(difference, flash, image.data)
        if difference is not None:
            raise Failure("different: " + outcome.values["comparison"])

    return operation


def dump(size):
    """Reads `size` bytes of flash (values["data"])."""

    def operation(device, tool, outcome):
        flash = device.read_flash(tool, size, "read")
        if len(flash) < size:
            raise Failure("the device returned %d of the %d bytes asked for" % (len(flash), size))
        outcome.values["data"] = flash[:size]

    return operation


def info(device_type=32):
    """What the device reports about itself."""

    def operation(device, tool, outcome):
        import json

        device.stage("query")
        firmware = tool._fpgaGetControlFwVer()
        try:
            meets = bool(tool._checkControlFwVersion())
        except (ValueError, TypeError):
            meets = None  # not a version
        text = tool._fpgaGetInfo()
        try:
            details = json.loads(text)
        except ValueError:
            details = text
        outcome.values.update(identifier=tool._fpgaGetId() or None, fpga_version=tool._fpgaGetVersion() or None,
                              control_firmware=firmware or None, control_firmware_ok=meets,
                              minimum_control_firmware=_tarnel()._FPGA_FW_VER_MIN,
                              serial_number=tool._fpgaGetSerialNumber() or None, device_info=details)

    return operation


def version(device_type):
    """Only the version the device runs now (values["version_before"])."""

    def operation(device, tool, outcome):
        device.stage("query")
        outcome.values["version_before"] = current_version(tool, device_type)

    return operation
