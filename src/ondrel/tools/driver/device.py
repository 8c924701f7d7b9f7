"""One device's session: connect, run an operation, disconnect, and an
Outcome that says what the device now holds."""

import threading
import time

from ._common import (
    DEFAULT_CONNECT_TIMEOUT,
    DEFAULT_ERASE_TIMEOUT,
    DEFAULT_TIMEOUT,
    ERASED,
    PAGE,
    PART_WRITTEN,
    UNSAFE,
    UNTOUCHED,
    UNVERIFIED,
    Cancelled,
    Lines,
    captured,
    reason_of,
    tarnel,
    windowed,
)


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
        self.recorded = None  # when `state` is what a record said (its time), not what this run found

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
        self.window = windowed().check_window(window)
        self.connect_timeout = connect_timeout
        self.events = events or Events()
        self.outcome = Outcome(target)
        self._cancelled = threading.Event()
        self._gate = threading.RLock()  # a command that starts is decided before or after a cancel, never during
        self.stop = None  # the Stop of the work this device is part of, if any
        self._conn = None
        self._lines = Lines()
        self.rewrite = None  # applied to each library record's text, when set

    # -- from any thread ----------------------------------------------------------

    def cancel(self):
        with self._gate:
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
        """A stage begins; stops first if the device was cancelled, or if
        Ctrl-C came (even before its handler ran)."""
        stop = self.stop
        if stop is not None and stop.signalled():
            self.cancel()
        self.check()
        self.outcome.stage = name
        self.events.stage(self, name)

    def progress(self, stage, done, total):
        """The library's progress, as its engine tells it (a few times a
        second): the stages, and what the flash holds meanwhile."""
        outcome = self.outcome
        if stage == "erase":
            with self._gate:  # a cancel comes before this decision, or after the erase is under way
                self.stage("erase")
                outcome.state = ERASED  # from the command on, the flash may hold nothing
            return
        if stage == "refresh":
            self.stage("refresh")
            return
        self.check()
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
        with captured(lambda level, text: self.events.record(self, level, text), self._shown) as capture:
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
            except Exception as exc:  # in one line; once asked to stop, whatever failed was the stop
                if isinstance(exc, Cancelled) or self._cancelled.is_set():
                    outcome.result, outcome.reason = "interrupted", "interrupted"
                elif isinstance(exc, Refusal):
                    outcome.result, outcome.reason = "refused", str(exc)
                elif isinstance(exc, Failure):
                    outcome.result, outcome.reason = "failed", str(exc)
                else:
                    outcome.result, outcome.reason = "failed", self._reason(exc)
            finally:
                outcome.seconds = time.monotonic() - started
                outcome.line = self._lines.last
        return outcome

    def _shown(self, text):
        return self.rewrite(text) if self.rewrite is not None else text

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
        return _tool_class()(conn)

    def _disconnect(self):
        conn, self._conn = self._conn, None
        if conn is not None:
            conn.closeConnection()

    # -- the operations' helpers ----------------------------------------------------

    @property
    def last_error(self):
        """The last error the connection raised in an exchange (None when it
        raised none since reset_errors)."""
        conn = self._conn
        return conn.last_error if conn is not None else None

    def reset_errors(self):
        if self._conn is not None:
            self._conn.last_error = None

    def update(self, tool, path, device_type):
        """The library's whole update of the image at `path` (its checks, the
        programming with this device's window, time-outs and progress, the
        version read back): its result."""
        return windowed().process_update(tool, path, device_type, window=self.window, lines=self._lines,
                                         progress=self.progress, erase_timeout=self.erase_timeout)

    def read_flash(self, tool, size, stage):
        """`size` bytes of flash from its start (what the device returns for them)."""
        self.progress(stage, 0, size)
        return windowed().read_flash(tool, size, self.window,
                                      lambda pages: self.progress(stage, min(pages * PAGE, size), size))


_STAGE_WORDS = {"connect": "connecting", "initialise": "initialising", "erase": "erasing", "write": "writing",
                "verify": "verifying", "refresh": "refreshing", "read": "reading", "query": "querying"}


class Refusal(Exception):
    """An operation refused to go on (the device is untouched by it)."""


class Failure(Exception):
    """An operation failed, in one line."""


def _tool_class():
    return tarnel().FpgaTool
