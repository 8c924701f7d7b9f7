"""What the command line shows while it works, on standard error: each
device's stage and progress, the library's log records, and notes.

On a terminal, one live line is redrawn in place about ten times a second,
cut to the terminal's width (so that it never wraps): the stage of each
device (connecting, initialising, erasing, writing, verifying, refreshing),
percent, bytes, rate and the time left for the whole job.  Elsewhere (a log
file, a pipe) each stage gives one line when it starts and one when it
ends.  Log records of the "FPGA" channel are shown at the level asked for;
with several devices, a device's records and notes are held back and shown
together once it is finished, so that nothing of two devices interleaves.

Writing here never stops the work: if standard error goes away (closed, or
a pipe whose reader left), the display falls silent and the work goes on.
"""

import logging
import os
import shutil
import threading
import time

from . import driver

__all__ = ["Console", "human_bytes"]

_REDRAW_INTERVAL = 0.1
_STAGE_NAMES = {"connect": "connecting", "initialise": "initialising", "erase": "erasing", "write": "writing",
                "verify": "verifying", "refresh": "refreshing", "read": "reading", "read-back": "reading back",
                "query": "querying"}


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
    if seconds >= 3600:
        return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
    return "%d:%02d" % (seconds // 60, seconds % 60)


def _quantity(count):
    return "%d bytes" % count if count < 1024 else "%s (%s bytes)" % (human_bytes(count), format(count, ","))


class _Shown:
    """What the console knows of one device."""

    def __init__(self, label, expected):
        self.label = label
        self.expected = expected  # bytes of the whole job: written and read back
        self.stage = None  # the stage under way
        self.stage_bytes = None  # (done, total) of a stage that moves bytes
        self.stage_started = 0.0
        self.finished_work = 0  # bytes of stages that are over
        self.working = False
        self.held = []


class Console(driver.Events):
    """Progress and messages on `stream` (standard error).

    `live`: redraw one line in place (a terminal); otherwise a line per stage
    start and end.  `progress`: show progress at all.  `level`: the lowest
    level of library records shown.  `several`: more than one device works
    at once (lines are labelled; records are held back per device)."""

    def __init__(self, stream, live, progress=True, level=logging.WARNING, several=False):
        self._stream = stream
        self._live = live and progress
        self._progress = progress
        self._level = level
        self._several = several
        self._lock = threading.RLock()
        self._shown = {}  # device -> _Shown
        self._order = []
        self._drawn = False
        self._last_draw = 0.0
        self._started = time.monotonic()
        self._closed = False
        self._broken = stream is None

    # -- devices ---------------------------------------------------------------------

    def add(self, device, expected_bytes=0):
        with self._lock:
            shown = self._shown[device] = _Shown(device.target.label, expected_bytes)
            self._order.append(shown)

    def stage(self, device, name):
        now = time.monotonic()
        with self._lock:
            shown = self._shown[device]
            shown.working = True
            if name in ("write", "verify", "read", "read-back"):
                return  # its progress reports say when it starts
            self._end_stage(shown, now)
            shown.stage, shown.stage_bytes, shown.stage_started = name, None, now
            if self._progress and not self._live:
                self._line(self._prefix(shown) + "%s..." % _STAGE_NAMES.get(name, name))
            self._maybe_draw(now, force=True)  # a stage may last long without a report: show it now

    def progress(self, device, stage, done, total):
        now = time.monotonic()
        with self._lock:
            shown = self._shown[device]
            if shown.stage != stage or shown.stage_bytes is None:
                self._end_stage(shown, now)
                shown.stage, shown.stage_started = stage, now
                if self._progress and not self._live:
                    self._line(self._prefix(shown) + "%s: started%s" % (_STAGE_NAMES.get(stage, stage),
                                                                      ", " + _quantity(total) if total else ""))
            shown.stage_bytes = (done, total)
            if total and done >= total:
                self._end_stage(shown, now)
            self._maybe_draw(now)

    def record(self, device, level, text):
        if logging.getLevelName(level) < self._level:
            return
        source = "FPGA" if level == "INFO" else "FPGA " + level.lower()
        self.note("%s: %s" % (source, text), device)

    def finish(self, device, outcome):
        """The device's work is over: a stage it left unfinished is said to
        have stopped, and what was held back for it is shown."""
        with self._lock:
            shown = self._shown[device]
            shown.working = False
            if shown.stage_bytes and self._progress and outcome.result != "ok":
                done, total = shown.stage_bytes
                self._line(self._prefix(shown) + "%s: stopped after %s of %s"
                           % (_STAGE_NAMES.get(shown.stage, shown.stage), _quantity(min(done, total or done)),
                              _quantity(total or 0)))
            shown.stage = shown.stage_bytes = None
            held, shown.held = shown.held, []
            for text in held:
                self._line(text)
            self._maybe_draw(time.monotonic(), force=True)

    # -- messages --------------------------------------------------------------------

    def note(self, text, device=None):
        """A line for the reader; with several devices, a device's notes are
        held until it is finished."""
        with self._lock:
            shown = self._shown.get(device)
            if shown is not None and self._several:
                shown.held.append(self._prefix(shown) + text)
            else:
                self._line(text)

    def close(self):
        """Leaves the terminal on a clean line; nothing is shown after."""
        with self._lock:
            self._clear()
            self._closed = True

    # -- drawing ---------------------------------------------------------------------

    def _prefix(self, shown):
        return "[%s] " % shown.label if self._several else ""

    def _write(self, text):
        if self._broken or self._closed:
            return
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError, AttributeError):  # standard error is gone: the work goes on
            self._broken = True

    def _clear(self):
        if self._drawn:
            self._write("\r\x1b[K")
            self._drawn = False

    def _line(self, text):
        self._clear()
        self._write(text + "\n")
        self._maybe_draw(time.monotonic(), force=True)

    def _end_stage(self, shown, now):
        if shown.stage_bytes is None:
            return
        done, total = shown.stage_bytes
        done = min(done, total) if total else done
        shown.finished_work += done
        shown.stage_bytes = None
        if self._progress and shown.stage in ("write", "verify", "read", "read-back"):
            elapsed = max(now - shown.stage_started, 1e-9)
            self._line(self._prefix(shown) + "%s: %s in %.2f s (%s/s)"
                       % (shown.stage, _quantity(done), elapsed, human_bytes(done / elapsed)))

    def _maybe_draw(self, now, force=False):
        if not self._live or self._closed:
            return
        if not force and now - self._last_draw < _REDRAW_INTERVAL:
            return
        self._last_draw = now
        text = self._status(now)
        if not text:
            self._clear()
            return
        width = _width(self._stream)
        self._write("\r" + text[:max(1, width - 1)] + "\x1b[K")
        self._drawn = True

    def _status(self, now):
        working = [shown for shown in self._order if shown.working]
        if not working:
            return ""
        done = sum(shown.finished_work + (min(*shown.stage_bytes) if shown.stage_bytes and shown.stage_bytes[1]
                                          else 0) for shown in self._order)
        total = sum(shown.expected for shown in self._order)
        if len(self._order) == 1:
            head = "%s %s" % (working[0].label, _STAGE_NAMES.get(working[0].stage, working[0].stage or "starting"))
        else:
            stages = {}
            for shown in working:
                name = _STAGE_NAMES.get(shown.stage, shown.stage or "starting")
                stages[name] = stages.get(name, 0) + 1
            head = "%d of %d devices working (%s)" % (len(working), len(self._order),
                                                     ", ".join("%d %s" % (n, s) for s, n in sorted(stages.items())))
        if not total:
            return head
        elapsed = now - self._started
        rate = done / elapsed if elapsed > 0 and done else 0.0
        left = "  %s left" % _duration((total - done) / rate) if rate and total > done else ""
        return "%s  %.1f%%  %s / %s  %s/s%s" % (head, 100.0 * done / total, human_bytes(done), human_bytes(total),
                                               human_bytes(rate), left)


def _width(stream):
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        return shutil.get_terminal_size().columns
