"""Device work: each device on its own thread and connection, at most N at
once, all of them stopped by one Ctrl-C.

The threads spend nearly all their time waiting on sockets, with the
interpreter lock free, so devices worked on together take about as long as
the slowest of them.

Ctrl-C is a request to stop, not an exception: while device work runs in
the main thread, the signal sets a Stop, which starts no further device and
cancels every running one before its next command (a wait on the device
ends at once).  The threads are then waited for (a bounded time), and
whoever runs the work goes on to say what every device holds.  The signal
also marks a pipe at once, from the signal handler of the interpreter
itself, so a device about to erase its flash sees it even before the
interpreter has run the Python handler.
"""

import contextlib
import queue
import select
import signal
import socket
import threading
import time

__all__ = ["Stop", "stopping_on_ctrl_c", "run_devices", "run_shown", "STOP_WAIT"]

# After Ctrl-C: how long to wait for the devices' threads to stop (one may
# be waiting for a connection to be accepted).
STOP_WAIT = 10.0

INTERRUPTED = "interrupted"


class Stop:
    """Why device work is to stop, if it is: `halt(reason)` starts no further
    device; `interrupt()` (Ctrl-C) also cancels every device that runs."""

    def __init__(self):
        self.reason = None  # None, "interrupted", or the reason of a halt
        self._lock = threading.Lock()
        self._running = set()
        self.ever_started = set()  # the devices whose work began
        self._pipe = None  # the socket the signal's wakeup byte arrives on, while one is set

    @property
    def interrupted(self):
        return self.reason == INTERRUPTED

    def halted(self):
        return self.reason is not None or self.signalled()

    def signalled(self):
        """Whether Ctrl-C came, even if its Python handler has not run yet."""
        pipe = self._pipe
        if pipe is None:
            return False
        try:
            return bool(select.select([pipe], [], [], 0)[0])
        except (OSError, ValueError):
            return False

    def halt(self, reason):
        with self._lock:
            if self.reason is None:
                self.reason = reason

    def interrupt(self):
        with self._lock:
            self.reason = INTERRUPTED
            running = list(self._running)
        for device in running:
            device.cancel()

    def started(self, device):
        """A device begins its work (cancelled at once if Ctrl-C came)."""
        with self._lock:
            self._running.add(device)
            self.ever_started.add(device)
            stopped = self.reason == INTERRUPTED
        device.stop = self
        if stopped:
            device.cancel()

    def ended(self, device):
        with self._lock:
            self._running.discard(device)


@contextlib.contextmanager
def stopping_on_ctrl_c(stop):
    """Within the block, Ctrl-C interrupts `stop` instead of raising
    KeyboardInterrupt.  Only where Python's own handler is in place and can
    be replaced (the main thread): a Ctrl-C that is ignored stays ignored,
    and one that a program handles its own way is left to it."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield stop
        return
    try:
        previous = signal.signal(signal.SIGINT, lambda signum, frame: stop.interrupt())
    except ValueError:  # not the main interpreter
        yield stop
        return
    # The interpreter's C-level handler writes a byte here at once: a socket
    # pair, since Windows wakes and selects on sockets only.
    reader = writer = None
    wakeup = None
    try:
        reader, writer = socket.socketpair()
        writer.setblocking(False)
        wakeup = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        if wakeup != -1:  # someone else listens there (an event loop): leave it theirs
            signal.set_wakeup_fd(wakeup)
            wakeup = None
        else:
            stop._pipe = reader
    except (OSError, ValueError):
        wakeup = None
    try:
        yield stop
    finally:
        stop._pipe = None
        if wakeup is not None:
            signal.set_wakeup_fd(-1)
        for end in (reader, writer):
            if end is not None:
                end.close()
        signal.signal(signal.SIGINT, previous)


def run_devices(devices, operation, parallel=None, console=None, may_start=None, on_finish=None, stop=None):
    """Runs operation(device, tool, outcome) on every device, at most
    `parallel` at a time (all by default); returns their outcomes in order.
    `may_start(device)`, when given, is asked before a device starts: a
    false answer leaves it "not started".  `on_finish(outcome)` is called as
    each device finishes (on its thread).  `stop` (a Stop) ends the work
    early: a halt starts no further device (those left are "not started"),
    Ctrl-C also stops the running ones ("interrupted").  Without one, the
    work has a Stop of its own that Ctrl-C interrupts."""
    if stop is None:
        stop = Stop()
        with stopping_on_ctrl_c(stop):
            return run_devices(devices, operation, parallel, console, may_start, on_finish, stop)
    pending = queue.Queue()
    for device in devices:
        pending.put(device)
    finished = []
    lock = threading.Lock()

    def worker():
        while not stop.halted():
            try:
                device = pending.get_nowait()
            except queue.Empty:
                return
            if may_start is not None and not may_start(device):
                continue
            stop.started(device)
            try:
                outcome = device.run(operation)
            finally:
                stop.ended(device)
            if console is not None:
                console.finish(device, outcome)
            with lock:
                finished.append(device)
            if on_finish is not None:
                on_finish(outcome)

    threads = [threading.Thread(target=worker, name="ondrel-fpga worker", daemon=True)
               for _ in range(min(parallel or len(devices), len(devices)) or 1)]
    try:
        try:
            with _ctrl_c_held():  # a thread is started whole or not at all
                for thread in threads:
                    thread.start()
            _join(threads, None, stop)
        except KeyboardInterrupt:  # Ctrl-C not turned into a Stop (another thread's handler)
            stop.interrupt()
        if stop.interrupted:
            stop.interrupt()  # devices that started after the signal
            try:
                _join(threads, STOP_WAIT)
            except KeyboardInterrupt:  # a second Ctrl-C: leave at once
                pass
            with lock:
                done = set(finished)
            for device in devices:
                if device not in done and device.outcome.result in ("not started", "ok"):
                    device.outcome.result, device.outcome.reason = INTERRUPTED, INTERRUPTED
    finally:
        if console is not None:
            console.close()
    return [device.outcome for device in devices]


def run_shown(display, devices, operation, expected=0, jobs=None, several=None, **running):
    """run_devices with a display: `display.console(several)` gives the
    device's events (progress, records), told the bytes each device moves
    (`expected`, or expected(device)).  `several` (default: more than one
    device) labels the lines; `running` goes to run_devices (may_start,
    on_finish, stop)."""
    if not devices:
        return []
    console = display.console(several=len(devices) > 1 if several is None else several)
    for device in devices:
        device.events = console
        console.add(device, expected(device) if callable(expected) else expected)
    return run_devices(devices, operation, jobs, console, **running)


@contextlib.contextmanager
def _ctrl_c_held():
    """Holds a Ctrl-C back until the block is done, then lets it go as it
    would have gone.  A Ctrl-C inside Thread.start() would leave a thread
    that runs but is not yet alive to join; held, every thread started is
    joined.  Only where Python's own handler can be set (the main thread)."""
    held = []
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)  # None: a handler not set from Python, left as it is
    if previous is not None:
        try:
            signal.signal(signal.SIGINT, lambda signum, frame: held.append(frame))
        except ValueError:  # not the main interpreter
            previous = None
    if previous is None:
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if held and callable(previous):
            previous(signal.SIGINT, held[0])
        elif held and previous == signal.SIG_DFL:
            signal.raise_signal(signal.SIGINT)


def _join(threads, limit, stop=None):
    """Joins the threads, in steps short enough for Ctrl-C to get through;
    gives up after `limit` seconds (None: no limit), or, with `stop`, as
    soon as it is interrupted."""
    deadline = None if limit is None else time.monotonic() + limit
    for thread in threads:
        while thread.is_alive():
            if deadline is not None and time.monotonic() >= deadline:
                return
            if stop is not None and stop.interrupted:
                return
            thread.join(0.05)
