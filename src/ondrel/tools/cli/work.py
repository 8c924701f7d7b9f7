"""Device work for the command line: each device on its own thread and
connection, at most N at once, all of them stopped by one Ctrl-C.

The threads spend nearly all their time waiting on sockets, with the
interpreter lock free, so devices worked on together take about as long as
the slowest of them.  After Ctrl-C no device gets another command, and the
threads are waited for (a bounded time) before anything more is said.
"""

import contextlib
import queue
import signal
import threading
import time

# After Ctrl-C: how long to wait for the devices' threads to stop (one may
# be waiting for a connection to be accepted).
STOP_WAIT = 10.0


def run_devices(devices, operation, parallel=None, console=None, may_start=None, on_finish=None):
    """Runs operation(device, tool, outcome) on every device, at most
    `parallel` at a time (all by default); returns their outcomes in order.
    `may_start(device)`, when given, is asked before a device starts: a
    false answer leaves it "not started".  `on_finish(outcome)` is called as
    each device finishes (on its thread).  A Ctrl-C stops them all: every
    device not finished ends "interrupted"."""
    pending = queue.Queue()
    for device in devices:
        pending.put(device)
    done = threading.Event()
    finished = []
    lock = threading.Lock()

    def worker():
        while not done.is_set():
            try:
                device = pending.get_nowait()
            except queue.Empty:
                return
            if may_start is not None and not may_start(device):
                continue
            outcome = device.run(operation)
            if console is not None:
                console.finish(device, outcome)
            with lock:
                finished.append(device)
            if on_finish is not None:
                on_finish(outcome)

    threads = [threading.Thread(target=worker, name="ondrel-fpga worker", daemon=True)
               for _ in range(min(parallel or len(devices), len(devices)) or 1)]
    try:
        with _ctrl_c_held():  # a thread is started whole or not at all
            for thread in threads:
                thread.start()
        _join(threads, None)
    except KeyboardInterrupt:
        done.set()
        for device in devices:
            device.cancel()
        try:
            _join(threads, STOP_WAIT)
        except KeyboardInterrupt:  # a second Ctrl-C: leave at once
            pass
        for device in devices:
            if device not in finished and device.outcome.result in ("not started", "ok"):
                device.outcome.result, device.outcome.reason = "interrupted", "interrupted"
    finally:
        if console is not None:
            console.close()
    return [device.outcome for device in devices]


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


def _join(threads, limit):
    """Joins the threads, in steps short enough for Ctrl-C to get through;
    gives up after `limit` seconds (None: no limit)."""
    deadline = None if limit is None else time.monotonic() + limit
    for thread in threads:
        while thread.is_alive():
            if deadline is not None and time.monotonic() >= deadline:
                return
            thread.join(0.05)


__all__ = ["run_devices"]
