"""Device work for the command line: each device on its own thread and its
own connection, several at once, all of them stopped by one Ctrl-C.

The threads spend nearly all their time waiting on sockets, with the
interpreter lock free, so devices updated together take about as long as
the slowest of them.
"""

import contextlib
import logging
import sys
import threading
import time


__all__ = ["Failure", "Interrupted", "Target", "parse_target", "Job", "run_jobs", "library_output"]

DEFAULT_PORT = 5025


class Failure(Exception):
    """A refusal or failure, told in one line."""


class Interrupted(Exception):
    """Ctrl-C stopped the work; `jobs` were left between erase and done."""

    def __init__(self, jobs):
        super().__init__("interrupted")
        self.jobs = jobs


class Cancelled(Exception):
    """Raised inside a device's work once Ctrl-C was pressed."""


class Target:
    """A device's address and port."""

    def __init__(self, host, port):
        self.host = host
        self.port = port

    @property
    def label(self):
        return "[%s]:%d" % (self.host, self.port) if ":" in self.host else "%s:%d" % (self.host, self.port)

    def __eq__(self, other):
        return isinstance(other, Target) and (self.host, self.port) == (other.host, other.port)

    def __hash__(self):
        return hash((self.host, self.port))

    def __repr__(self):
        return "Target(%r, %d)" % (self.host, self.port)


def parse_target(text, default_port=DEFAULT_PORT):
    """HOST, HOST:PORT, or [IPv6]:PORT; ValueError names what is wrong."""
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


@contextlib.contextmanager
def library_output(router, level):
    """While the command line works: the tool's log records go to `router`
    alone, and its own progress line (written to sys.stdout per block) is
    not shown, so that standard output carries the results only and a
    closed pipe there cannot stop an update half-way."""
    logger = logging.getLogger("FPGA")
    handlers, propagate, own_level, stdout = logger.handlers[:], logger.propagate, logger.level, sys.stdout
    logger.handlers = [router]
    logger.propagate = False
    logger.setLevel(min(level, logging.ERROR))  # errors always reach the router: they are the reasons
    sys.stdout = _Discard()
    try:
        yield
    finally:
        logger.handlers, logger.propagate, sys.stdout = handlers, propagate, stdout
        logger.setLevel(own_level)


class _Discard:
    """A text stream that keeps nothing."""

    encoding = "utf-8"

    def write(self, text):
        return len(text)

    def flush(self):
        pass

    def isatty(self):
        return False


def _tracking(FpgaTool):
    """FpgaTool that tells its job when the device's flash stops and starts
    holding a complete image (erase, then refresh)."""

    class TrackedTool(FpgaTool):
        job = None

        def _fpgaErase(self, erase_bits):
            self.job.changing = True
            return super()._fpgaErase(erase_bits)

        def _fpgaRefresh(self):
            result = super()._fpgaRefresh()
            self.job.changing = False
            return result

    return TrackedTool


class Job:
    """One device's work, `run(job)`, on its own thread; `result` holds what
    it found out, `outcome` how it ended ("ok", "failed", "interrupted")."""

    def __init__(self, target, run, console, router, expected_bytes=0):
        self.target = target
        self.run = run
        self.console = console
        self.router = router
        self.device = console.add_device(target.label, expected_bytes)
        self.result = {"device": target.label}
        self.outcome = "not started"
        self.reason = ""
        self.seconds = 0.0
        self.changing = False  # erased and not yet done: the flash holds no complete image
        self.progress_at = ""  # the last stage and percent, for an interruption report
        self.tool = None
        self.cancel = None  # set by run_jobs

    # -- for the work ---------------------------------------------------------

    def connect(self, Tarnel, timeout=None, window=1):
        """An FpgaTool on its own connection to the device; with a window
        above 1, one whose image programming keeps that many commands in
        flight (see ondrel.tools.windowed)."""
        self.check_cancel()
        options = {"address": self.target.host, "port": self.target.port}
        if window > 1:
            from .windowed import WindowedFpgaTool as base

            options["window"] = window
        else:
            base = Tarnel.FpgaTool
        try:
            tool = _tracking(base)(**options)
        except (ConnectionError, OSError) as exc:
            raise Failure("cannot connect to %s (%s)" % (self.target.label, exc)) from None
        tool.job = self
        if timeout is not None:
            tool._conn.settimeout(timeout)
        self.tool = tool
        return tool

    def progress(self, stage, done, total):
        """The tool's progress callback."""
        self.check_cancel()
        if stage == "write" and done == 0:
            self.changing = True  # device types without an erase change from the first block on
        if total:
            self.progress_at = "%s %.0f%%" % (stage, min(100.0, 100.0 * done / total))
        self.console.progress(self.device, stage, done, total)

    def note(self, text):
        self.console.note(text, self.device)

    def library_reason(self, message):
        """`message` (a refusal of the tool) with the error records the tool
        logged on this thread before it: the reason, not just "failed"."""
        details = [text for text in self.router.errors() if text != message]
        return "%s: %s" % (message.rstrip("."), "; ".join(details)) if details else message

    def check_cancel(self):
        if self.cancel is not None and self.cancel.is_set():
            raise Cancelled()

    # -- for run_jobs ---------------------------------------------------------

    def _work(self):
        self.router.attach(self.device)
        self.router.errors()  # nothing from before belongs to this job
        started = time.monotonic()
        try:
            self.run(self)
            self.outcome = "ok"
        except Cancelled:
            self.outcome, self.reason = "interrupted", "interrupted"
        except Failure as failure:
            self.outcome, self.reason = "failed", str(failure)
        except (ConnectionError, TimeoutError) as exc:
            interrupted = self.cancel is not None and self.cancel.is_set()
            self.outcome = "interrupted" if interrupted else "failed"
            self.reason = "interrupted" if interrupted else "connection to %s failed: %s" % (self.target.label, exc)
        except Exception as exc:  # reported in one line like any other failure
            self.outcome, self.reason = "failed", "%s: %s" % (type(exc).__name__, exc)
        finally:
            self.seconds = time.monotonic() - started
            if self.tool is not None:
                with contextlib.suppress(Exception):
                    self.tool.disconnect()
            self.console.finish(self.device)

    def _abort(self):
        """From another thread: ends the device's connection, so that a wait
        on it ends at once."""
        abort = getattr(getattr(self.tool, "_conn", None), "abort", None)
        if abort is not None:
            with contextlib.suppress(Exception):
                abort()


def run_jobs(jobs, parallel=None):
    """Runs every job, at most `parallel` at a time (all by default).  A
    Ctrl-C stops them all and raises Interrupted naming the devices left
    between erase and done."""
    cancel = threading.Event()
    slots = threading.Semaphore(parallel or len(jobs) or 1)

    def work(job):
        with slots:
            if not cancel.is_set():
                job._work()

    threads = []
    for job in jobs:
        job.cancel = cancel
        thread = threading.Thread(target=work, args=(job,), name="ondrel-fpga %s" % job.target.label, daemon=True)
        thread.start()
        threads.append(thread)
    try:
        _wait(threads)
    except KeyboardInterrupt:
        cancel.set()
        for job in jobs:
            job._abort()
        _wait(threads)  # each ends at once; a second Ctrl-C leaves without waiting
        raise Interrupted([job for job in jobs if job.changing]) from None


def _wait(threads):
    """Joins the threads, in steps short enough for Ctrl-C to get through."""
    for thread in threads:
        while thread.is_alive():
            thread.join(0.1)
