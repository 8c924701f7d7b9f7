"""The record of a rollout: a file of JSON lines, one per device per run.

Each line is appended whole (one write, flushed and synced) as the device
finishes; a write that fails is cut back to the last whole line.  One
rollout at a time writes a record: it holds an advisory lock on it, which
ends with the process however it ends.  Any record can be read: a line that
is cut off, not UTF-8, of another shape or of a later format is reported
(by its line number) and passed over.  What the lines say decides which
devices a later run may skip.
"""

import datetime
import getpass
import json
import os
import socket

from .. import driver

__all__ = ["FORMAT", "SKIPPED", "UNSAFE", "RecordError", "RecordBusy", "Record", "Reading", "read_record",
           "reading", "device_key", "last_states", "history_of", "known_state", "skip_reason", "say_problems"]

FORMAT = 1  # the shape of a record line; a reader passes over lines of a later one
UNSAFE = driver.UNSAFE
SKIPPED = "skipped"


class RecordError(Exception):
    """A record line could not be written."""


class RecordBusy(RecordError):
    """Another rollout holds the record."""


class Record:
    """Appends one JSON line per device to the record file, each one write,
    flushed and synced before the next; a failed write is cut back, so the
    file ends with a whole line.  Holds the record's advisory lock while
    open: RecordBusy when another rollout holds it."""

    def __init__(self, path, plan_path):
        self.path = path
        try:
            self._fd = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | getattr(os, "O_CLOEXEC", 0) |
                               getattr(os, "O_BINARY", 0), 0o644)
        except OSError as exc:
            raise RecordError("cannot open the record %s: %s" % (path, exc.strerror or exc)) from None
        try:
            _lock(self._fd, path)
            size = os.fstat(self._fd).st_size
            self._whole = size == 0 or _byte_at(self._fd, size - 1) == b"\n"
        except BaseException:
            os.close(self._fd)
            raise
        self._common = {"format": FORMAT, "plan": os.path.abspath(plan_path), "host": socket.gethostname(),
                        "user": _user()}
        self.closed = False

    def add(self, fields):
        """Appends the line, or raises RecordError (the file as it was)."""
        if self.closed:
            raise RecordError("the record %s is closed" % self.path)
        entry = {"time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
        entry.update(self._common)
        entry.update(fields)
        data = (json.dumps(entry) + "\n").encode("utf-8")
        if not self._whole:  # a line another writer cut off stays a line of its own
            data = b"\n" + data
        size = None
        try:
            size = os.fstat(self._fd).st_size
            written = os.write(self._fd, data)  # one write: no other line can come between its bytes
            if written != len(data):
                raise OSError("took %d of %d bytes (the disk may be full, or the file at its size limit)"
                              % (written, len(data)))
            os.fsync(self._fd)
        except OSError as exc:
            if size is not None:
                try:
                    os.ftruncate(self._fd, size)
                except OSError:
                    pass
            raise RecordError("cannot write the record %s: %s" % (self.path, exc.strerror or exc)) from None
        self._whole = True

    def close(self):
        if not self.closed:
            self.closed = True
            os.close(self._fd)  # the lock goes with it


def _byte_at(fd, offset):
    if hasattr(os, "pread"):
        return os.pread(fd, 1, offset)
    os.lseek(fd, offset, os.SEEK_SET)  # (Windows; appending writes go to the end wherever this points)
    return os.read(fd, 1)


# Windows locks are mandatory: the byte locked lies far beyond any record,
# so that others may read the record while a rollout writes it (at 2 GiB:
# the C runtime's locking() takes its offset as a 32-bit long).
_WINDOWS_LOCK_OFFSET = (1 << 31) - 2


def _lock(fd, path):
    """The record's advisory lock, taken at once or RecordBusy.  With flock
    on Linux; on a network file system, Linux takes it as an NFS byte-range
    lock, which holds across the hosts that mount it when the server runs
    its lock manager (and locally only where it does not)."""
    try:
        import fcntl
    except ImportError:  # Windows: a lock on one byte, beyond the end
        import msvcrt

        try:
            os.lseek(fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            raise RecordBusy("the record %s is held by another rollout: one rollout at a time writes a record"
                             % path) from None
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise RecordBusy("the record %s is held by another rollout: one rollout at a time writes a record"
                         % path) from None
    except OSError as exc:  # a file system without locks
        raise RecordError("cannot lock the record %s: %s" % (path, exc.strerror or exc)) from None


def _user():
    try:
        return getpass.getuser()
    except Exception:  # no user name in this environment
        return str(os.getuid()) if hasattr(os, "getuid") else None


# --- reading a record ---------------------------------------------------------------------

# The fields a reader relies on, and what each may hold.
_FIELDS = {"device": (str,), "state": (str,), "resolved": (str, type(None)), "identifier": (str, type(None)),
           "image_sha256": (str, type(None)), "version_before": (str, type(None)),
           "version_after": (str, type(None)), "result": (str, type(None)), "time": (str, type(None))}


class Reading:
    """What a record holds: `entries` (dicts, in order, each with its line
    number under "line"), and `problems` ("line N: why") for the lines
    passed over."""

    def __init__(self, entries, problems):
        self.entries = entries
        self.problems = problems


def read_record(path):
    """The entries of the record at `path`, in order, without the lines
    passed over (OSError when it cannot be read)."""
    return reading(path).entries


def reading(path):
    """The record at `path`: its entries and the lines passed over (OSError
    when it cannot be read)."""
    with open(path, "rb") as f:
        data = f.read()
    entries, problems = [], []
    lines = data.split(b"\n")
    for number, line in enumerate(lines, 1):
        cut = number == len(lines)  # after the last line end: a line whose write was cut off, if any
        if not line.strip():
            continue
        why = _line_problem(line, cut)
        if isinstance(why, str):
            problems.append("line %d: %s" % (number, why))
        else:
            why["line"] = number
            entries.append(why)
    return Reading(entries, problems)


def _line_problem(line, cut):
    """The entry a line holds, or why it is passed over."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return "not UTF-8 text"
    try:
        entry = json.loads(text)
    except ValueError:
        return "cut off (the write did not finish)" if cut else "not a JSON line"
    if not isinstance(entry, dict):
        return "not a record line (a JSON %s)" % type(entry).__name__
    format_ = entry.get("format", FORMAT)
    if not isinstance(format_, int) or isinstance(format_, bool):
        return "not a record line (format %r)" % (format_,)
    if format_ > FORMAT:
        return "written by a later version (format %d; this one reads %d)" % (format_, FORMAT)
    for key, kinds in _FIELDS.items():
        if key in ("device", "state") and key not in entry:
            return "not a record line (no %s)" % key
        if not isinstance(entry.get(key), kinds):
            return "not a record line (%s is %r)" % (key, entry.get(key))
    return entry


def device_key(entry):
    """The device a record line is about: its resolved address in canonical
    form, else the name as written."""
    resolved = entry.get("resolved")
    return driver.canonical_text(resolved) if resolved else entry.get("device")


def last_states(entries):
    """The last entry of every device, in the order each was first recorded."""
    last = {}
    for entry in entries:
        last[device_key(entry)] = entry
    return list(last.values())


def history_of(entries, key):
    """The lines about one device, oldest first."""
    return [entry for entry in entries if device_key(entry) == key]


def known_state(history):
    """The latest line that says what the device's flash holds: lines of
    runs that did not touch it (untouched: unreachable, refused, not
    started) say nothing of it.  None when no line does."""
    for entry in reversed(history):
        if entry.get("state") != driver.UNTOUCHED:
            return entry
    return None


def skip_reason(history, image, version_now, identifier_now):
    """Why a device may be skipped as already at `image` ("runs 0.2.4.0
    already"), or None when nothing proves it: the record must not say its
    flash is unsafe, must know it by the identifier it reports now (where it
    knows one), and the device must run the image's version, or, for an
    image without one, have been verified with this very image (and still
    run the version it had then)."""
    known = known_state(history)
    if known is not None and known.get("state") in UNSAFE:
        return None
    identifiers = [entry["identifier"] for entry in history if entry.get("identifier")]
    if identifiers and identifiers[-1] != identifier_now:
        return None
    if image.version is not None:
        if version_now is not None and driver.same_version(version_now, image.version):
            return "runs %s already" % version_now
        return None
    if known is None or known.get("state") not in (driver.VERIFIED, SKIPPED):
        return None
    if known.get("image_sha256") != image.sha256 or known.get("version_after") != version_now:
        return None
    return "verified with this image on %s" % (known.get("time") or "an earlier run")


def say_problems(say, path, reading):
    """Reports each line of the record that was passed over, once."""
    for problem in reading.problems:
        say("record %s, %s: passed over" % (path, problem))
