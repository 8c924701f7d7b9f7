"""What the command line shows while it works, on standard error: the
progress of each device, the tool's log records, and notes.

On a terminal, progress is one line redrawn in place at most ten times a
second: percent, bytes, rate and time left of the stage under way (write or
verify), or of the whole run when several devices work at once; a stage
that ends leaves one line saying what it did.  Elsewhere (a log file, a
pipe) each stage gives one line when it starts and one when it ends, and
nothing per block.  Log records of the "FPGA" channel are shown
at the level asked for; with several devices, each device's records are
held back and shown together when it is finished, so that nothing of two
devices is interleaved.

Writing here never stops the work: if standard error goes away (a closed
pipe), the display simply falls silent.
"""

import logging
import threading
import time

__all__ = ["Console", "LogRouter", "human_bytes"]

_REDRAW_INTERVAL = 0.1


def human_bytes(count):
    """1536 -> "1.5 KiB"; whole bytes below 1 KiB."""
    if count < 1024:
        return "%d B" % count
    for unit in ("KiB", "MiB", "GiB"):
        count /= 1024.0
        if count < 1024 or unit == "GiB":
            return "%.1f %s" % (count, unit)


def _duration(seconds):
    seconds = int(seconds + 0.5)
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60) if seconds >= 3600 else \
        "%d:%02d" % (seconds // 60, seconds % 60)


class _Stage:
    def __init__(self, name, total, now):
        self.name = name
        self.total = total
        self.done = 0
        self.started = now


class _Device:
    def __init__(self, label, expected):
        self.label = label
        self.expected = expected  # bytes of work in all: written and read back
        self.stage = None
        self.finished_work = 0  # bytes of stages that are over
        self.held = []  # records and notes kept until the device is finished


class Console:
    """Progress and messages on `stream` (standard error).

    `live`: redraw one line in place (a terminal); otherwise a line per stage
    start and end.  `progress`: show progress at all.  `several`: more than
    one device works at once (records are held back per device, and labels
    are shown)."""

    def __init__(self, stream, live, progress=True, several=False):
        self._stream = stream
        self._live = live
        self._progress = progress
        self._several = several
        self._lock = threading.RLock()
        self._devices = []
        self._drawn = ""  # the live line now on the terminal
        self._last_draw = 0.0
        self._broken = False

    # -- devices ---------------------------------------------------------------

    def add_device(self, label, expected_bytes):
        """A device whose work will be reported; returns its handle."""
        device = _Device(label, expected_bytes)
        with self._lock:
            self._devices.append(device)
        return device

    def progress(self, device, stage, done, total):
        """A progress report of the tool (its progress callback)."""
        now = time.monotonic()
        with self._lock:
            current = device.stage
            if current is None or current.name != stage:
                if current is not None:
                    self._end_stage(device, now)
                device.stage = current = _Stage(stage, total, now)
                if self._progress and not self._live:
                    size = ", " + _quantity(total) if total else ""
                    self._line(self._prefix(device) + "%s: started%s" % (stage, size))
            current.total = total
            current.done = done
            if current.total and current.done >= current.total:
                self._end_stage(device, now)
            elif self._progress and self._live and now - self._last_draw >= _REDRAW_INTERVAL:
                self._draw(now)

    def finish(self, device):
        """The device's work is over: a stage it left unfinished is said to
        have stopped, and what was held back for it is shown."""
        with self._lock:
            stage, device.stage = device.stage, None
            if stage is not None and self._progress:
                self._line(self._prefix(device) + "%s: stopped after %s of %s"
                           % (stage.name, _quantity(min(stage.done, stage.total)), _quantity(stage.total)))
            held, device.held = device.held, []
            for text in held:
                self._line(text)

    def _end_stage(self, device, now):
        stage, device.stage = device.stage, None
        done = min(stage.done, stage.total)
        device.finished_work += done
        if self._progress:  # on a terminal too: the stage's live line gives way to this one
            elapsed = max(now - stage.started, 1e-9)
            self._line(self._prefix(device) + "%s: %s in %.2f s (%s/s)"
                       % (stage.name, _quantity(done), elapsed, human_bytes(done / elapsed)))

    # -- messages --------------------------------------------------------------

    def note(self, text, device=None):
        """A line for the reader; with several devices, a device's notes are
        held until it is finished."""
        with self._lock:
            if device is not None and self._several:
                device.held.append(self._prefix(device) + text)
            else:
                self._line(text)

    def close(self):
        """Leaves the terminal on a clean line."""
        with self._lock:
            self._clear()

    # -- drawing ---------------------------------------------------------------

    def _prefix(self, device):
        return "[%s] " % device.label if self._several else ""

    def _write(self, text):
        if self._broken:
            return
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):  # standard error is gone: the work goes on
            self._broken = True

    def _clear(self):
        if self._drawn:
            self._write("\r" + " " * len(self._drawn) + "\r")
            self._drawn = ""

    def _line(self, text):
        self._clear()
        self._write(text + "\n")
        if self._live and self._progress:
            self._draw(time.monotonic())

    def _draw(self, now):
        self._last_draw = now
        text = self._status(now)
        if not text:
            self._clear()
            return
        padding = " " * max(0, len(self._drawn) - len(text))
        self._write("\r" + text + padding)
        self._drawn = text

    def _status(self, now):
        working = [device for device in self._devices if device.stage is not None]
        if not working:
            return ""
        if not self._several:
            stage = working[0].stage
            done, total, started = min(stage.done, stage.total), stage.total, stage.started
            head = "%-6s" % stage.name
        else:
            stages = sorted({device.stage.name for device in working})
            done = sum(device.finished_work + min(device.stage.done, device.stage.total) if device.stage else
                       device.finished_work for device in self._devices)
            total = sum(device.expected for device in self._devices)
            started = min(device.stage.started for device in working)
            head = "%d of %d devices working (%s)" % (len(working), len(self._devices), ", ".join(stages))
        percent = 100.0 * done / total if total else 0.0
        elapsed = now - started
        rate = done / elapsed if elapsed > 0 and done else 0.0
        left = _duration((total - done) / rate) + " left" if rate and total > done else ""
        return "%s %6.2f%%  %s / %s  %s/s  %s" % (head, percent, human_bytes(done), human_bytes(total),
                                                  human_bytes(rate), left)


def _quantity(count):
    return "%d bytes" % count if count < 1024 else "%s (%d bytes)" % (human_bytes(count), count)


class LogRouter(logging.Handler):
    """Takes the records of the "FPGA" channel while the command line works.

    Error records are kept per thread, as the reasons a failure line gives;
    records at or above `level` are shown through the console, as the notes
    of the device that the thread works for."""

    def __init__(self, console, level):
        super().__init__(logging.DEBUG)
        self._console = console
        self._show_level = level
        self._devices = {}  # thread ident -> console device
        self._errors = {}  # thread ident -> error messages
        self._lock_errors = threading.Lock()

    def attach(self, device):
        """Records of the calling thread belong to `device` from now on."""
        self._devices[threading.get_ident()] = device

    def errors(self):
        """The error messages logged on the calling thread, and forgets them."""
        with self._lock_errors:
            return self._errors.pop(threading.get_ident(), [])

    def emit(self, record):
        try:
            message = record.getMessage()
            if record.levelno >= logging.ERROR:
                with self._lock_errors:
                    self._errors.setdefault(record.thread, []).append(message)
            if record.levelno >= self._show_level:
                source = "FPGA" if record.levelno == logging.INFO else "FPGA " + record.levelname.lower()
                self._console.note("%s: %s" % (source, message), self._devices.get(record.thread))
        except Exception:  # a record must never break the work
            pass
