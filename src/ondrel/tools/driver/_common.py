"""What the adapter's parts share: defaults, the device states, the library
(imported when first used), the capture of its records, and reasons."""

import errno
import logging
import socket
import threading

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


def tarnel():
    import ondrel.Tarnel as Tarnel

    return Tarnel


def windowed():
    from ondrel import windowed

    return windowed


def check_window(value):
    """The library's one rule for a window: an int from 1 to 65536."""
    return windowed().check_window(value)


# --- records of the library ------------------------------------------------------


class Capture(logging.Handler):
    """Takes the "FPGA" records of one thread while it is attached."""

    def __init__(self, thread, sink=None, rewrite=None):
        super().__init__(logging.DEBUG)
        self._thread = thread
        self._sink = sink
        self._rewrite = rewrite
        self.records = []  # (level name, message)

    def emit(self, record):
        if record.thread != self._thread:
            return
        try:
            message = record.getMessage()
            entry = (record.levelname, self._rewrite(message) if self._rewrite else message)
        except Exception:  # a record must never break the work
            return
        self.records.append(entry)
        if self._sink is not None:
            self._sink(*entry)

    def errors(self):
        return [message for level, message in self.records if level in ("ERROR", "CRITICAL")]


class captured:
    """with captured(sink, rewrite) as capture: the calling thread's records
    of the "FPGA" channel, their texts passed through rewrite(text) when
    given, in capture.records, and each passed to sink(level, text)."""

    def __init__(self, sink=None, rewrite=None):
        self.capture = Capture(threading.get_ident(), sink, rewrite)

    def __enter__(self):
        logging.getLogger("FPGA").addHandler(self.capture)
        return self.capture

    def __exit__(self, *exc):
        logging.getLogger("FPGA").removeHandler(self.capture)


class Lines:
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


class Offline:
    """A connection for checks that must not reach a device."""

    def __getattr__(self, name):
        raise RuntimeError("no device is connected")


class Cancelled(Exception):
    """Raised inside a device's work once it was asked to stop."""


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


