"""Rollouts: a plan that brings a lab's devices to an image, and the record
of what each run did to each device.

A plan is a TOML file (UTF-8)::

    jobs = 8                       # optional defaults: jobs, window, timeout, erase_timeout, record
    record = "rollout.jsonl"

    [[group]]
    device_type = 32
    image = "fpga32_0.2.4.0.tbin"  # relative to the plan file
    devices = ["10.0.0.11", "10.0.0.12:5025", "rig-3.lab"]

The record is a file of JSON lines, one per device per run.  Each line is
appended whole (one write, flushed and synced) as the device finishes; a
write that fails is cut back to the last whole line.  One rollout at a time
writes a record: it holds an advisory lock on it, which ends with the
process however it ends.  Any record can be read: a line that is cut off,
not UTF-8, of another shape or of a later format is reported (by its line
number) and passed over.
"""

import datetime
import getpass
import json
import os
import re
import socket

from . import driver, values

__all__ = ["PlanError", "Plan", "Group", "load_plan", "Record", "RecordBusy", "RecordError", "read_record",
           "Reading", "reading", "last_states", "device_key", "skip_reason", "FORMAT"]

FORMAT = 1  # the shape of a record line; a reader passes over lines of a later one

SETTINGS = ("jobs", "window", "timeout", "erase_timeout", "record", "allowed_signers", "require_signature")
GROUP_KEYS = ("device_type", "image", "devices")
UNSAFE = driver.UNSAFE
SKIPPED = "skipped"


class PlanError(Exception):
    """A plan that cannot be carried out, naming the line: "lab.toml:7: ..."."""


def _toml():
    try:
        import tomllib  # Python 3.11 and later
    except ImportError:
        import tomli as tomllib
    return tomllib


class Group:
    def __init__(self, device_type, image_path, devices):
        self.device_type = device_type
        self.image_path = image_path
        self.devices = devices  # driver.Target, resolved
        self.image = None  # driver.Image, once checked


class Plan:
    def __init__(self, path, settings, groups):
        self.path = path
        self.settings = settings
        self.groups = groups
        self.trust = driver.Trust()

    @property
    def record_path(self):
        named = self.settings.get("record")
        folder = os.path.dirname(os.path.abspath(self.path))
        if named:
            return os.path.join(folder, named)
        return os.path.join(folder, os.path.splitext(os.path.basename(self.path))[0] + ".record.jsonl")

    def pairs(self):
        """(group, target) for every device, in plan order."""
        return [(group, target) for group in self.groups for target in group.devices]

    def close(self):
        """Removes the snapshots of the plan's images."""
        for group in self.groups:
            if group.image is not None:
                group.image.close()


class _Lines:
    """Finds where a key or value stands in the plan's text."""

    def __init__(self, path, text):
        self.path = path
        self.lines = text.splitlines()

    def of(self, pattern, occurrence=0):
        """The number of the line where `pattern` (a regex) matches for the
        occurrence-th time; the first line when it never does."""
        found = [n for n, line in enumerate(self.lines, 1) if re.search(pattern, line.split("#")[0])]
        return found[occurrence] if occurrence < len(found) else (found[-1] if found else 1)

    def key(self, key, occurrence=0):
        return self.of(r"^\s*%s\s*=" % re.escape(key), occurrence)

    def error(self, number, text):
        return PlanError("%s:%d: %s" % (self.path, number, text))


def _text(path, raw):
    """The plan's text: UTF-8, a byte order mark allowed."""
    if raw.startswith(b"\xef\xbb\xbf"):
        raw = raw[3:]
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = raw.count(b"\n", 0, exc.start) + 1
        raise PlanError("%s:%d: not UTF-8 text (byte 0x%02x); save the plan as UTF-8"
                        % (path, line, raw[exc.start])) from None


def _name(value, what):
    """A text without control characters (a file name, say)."""
    if not isinstance(value, str) or any(ord(ch) < 0x20 or ord(ch) == 0x7F for ch in value) or not value:
        raise ValueError("%s must be a file name, not %r" % (what, value))
    return value


# Each setting's rule: the command line's own (values.py), with the plan's key as its name.
_SETTING_RULES = {
    "jobs": lambda value: values.jobs(value, "jobs"),
    "window": values.window,
    "timeout": lambda value: values.seconds(value, "timeout"),
    "erase_timeout": lambda value: values.seconds(value, "erase_timeout"),
    "record": lambda value: _name(value, "record"),
    "allowed_signers": lambda value: _name(value, "allowed_signers"),
    "require_signature": lambda value: _flag(value, "require_signature"),
}


def _flag(value, what):
    if not isinstance(value, bool):
        raise ValueError("%s must be true or false, not %r" % (what, value))
    return value


def load_plan(path, default_port=driver.DEFAULT_PORT, trust=None):
    """The plan at `path`, checked: every key known and every value as the
    command line would take it, every device named once (after name
    resolution), every image accepted by the library's checks (and signed by
    an allowed signer, when the command line's `trust` or the plan's own
    allowed_signers and require_signature ask for it) and sealed for its
    group's device type.  PlanError names the line."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as exc:
        raise PlanError("%s: %s" % (path, exc.strerror or exc)) from None
    text = _text(path, raw)
    lines = _Lines(path, text)
    try:
        data = _toml().loads(text)
    except ValueError as exc:  # TOMLDecodeError: "... (at line 3, column 7)"
        number = re.search(r"line (\d+)", str(exc))
        raise lines.error(int(number.group(1)) if number else 1, "not TOML: %s" % exc) from None

    settings = {}
    for key, value in data.items():
        if key == "group":
            continue
        if key not in SETTINGS:
            raise lines.error(lines.key(key), "unknown key %r (a plan knows %s and [[group]])"
                              % (key, ", ".join(SETTINGS)))
        try:
            settings[key] = _SETTING_RULES[key](value)
        except ValueError as exc:
            raise lines.error(lines.key(key), str(exc)) from None
    groups = data.get("group")
    if not isinstance(groups, list) or not groups:
        raise lines.error(1, "no [[group]]: a plan names at least one group of devices")

    plan = Plan(path, settings, [])
    plan.trust = _trust(path, settings, trust)
    seen = {}
    try:
        for index, fields in enumerate(groups):
            plan.groups.append(_group(plan, lines, index, fields, default_port, seen))
    except BaseException:
        plan.close()
        raise
    return plan


def _trust(path, settings, trust):
    """Whose images the plan accepts: the command line's allowed signers, else
    the plan's (relative to it), else $ONDREL_FPGA_ALLOWED_SIGNERS; a
    signature is required when either the command line or the plan says so."""
    named = trust.allowed_signers if trust is not None else None
    if not named and settings.get("allowed_signers"):
        named = os.path.join(os.path.dirname(os.path.abspath(path)), settings["allowed_signers"])
    named = named or os.environ.get(driver.ENV_ALLOWED_SIGNERS) or None
    required = bool(trust is not None and trust.required) or settings.get("require_signature", False)
    return driver.Trust(named, required)


def _group(plan, lines, index, fields, default_port, seen):
    header = lines.of(r"^\s*\[\[\s*group\s*\]\]", index)
    if not isinstance(fields, dict):
        raise lines.error(header, "a group is a table of device_type, image and devices")
    for key in fields:
        if key not in GROUP_KEYS:
            raise lines.error(lines.key(key), "unknown key %r in a group (a group knows %s)"
                              % (key, ", ".join(GROUP_KEYS)))
    for key in GROUP_KEYS:
        if key not in fields:
            raise lines.error(header, "this group has no %s" % key)
    device_type, image, devices = (fields[key] for key in GROUP_KEYS)
    if not isinstance(device_type, int) or isinstance(device_type, bool):
        raise lines.error(lines.key("device_type", index), "device_type must be a whole number, not %r"
                          % (device_type,))
    try:
        _name(image, "image")
    except ValueError as exc:
        raise lines.error(lines.key("image", index), str(exc)) from None
    if not isinstance(devices, list):
        raise lines.error(lines.key("devices", index), "devices must be a list, not %r" % (devices,))

    targets = []
    for name in devices:
        where = lines.of(re.escape(json.dumps(name)[1:-1]) if isinstance(name, str) else r"devices")
        if not isinstance(name, str):
            raise lines.error(where, "a device is a text (HOST, HOST:PORT or [IPv6]:PORT), not %r" % (name,))
        try:
            target = driver.parse_target(name, default_port)
        except ValueError as exc:
            raise lines.error(where, str(exc)) from None
        driver.resolve_one(target)
        key = target.address or ("unresolved", target.host, target.port)
        if key in seen:
            first, first_line = seen[key]
            raise lines.error(where, "%s is the device named %s on line %d (%s): name each device once"
                              % (name, first.label, first_line, target.resolved or "the same name"))
        seen[key] = (target, where)
        targets.append(target)

    folder = os.path.dirname(os.path.abspath(plan.path))
    group = Group(device_type, os.path.join(folder, image), targets)
    image_line = lines.key("image", index)
    try:
        group.image = driver.check_image(group.image_path, plan.trust).keep()
    except driver.ImageRefused as refused:
        raise lines.error(image_line, str(refused)) from None
    refusal = driver.sealed_for_another_type(group.image, device_type)
    if refusal:
        group.image.close()
        raise lines.error(image_line, "%s is %s, not this group's %d" % (image, refusal, device_type))
    return group


# --- the record ------------------------------------------------------------------------


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
            self._whole = size == 0 or os.pread(self._fd, 1, size - 1) == b"\n"
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


def _lock(fd, path):
    """The record's advisory lock, taken at once or RecordBusy.  With flock
    on Linux; on a network file system, Linux takes it as an NFS byte-range
    lock, which holds across the hosts that mount it when the server runs
    its lock manager (and locally only where it does not)."""
    try:
        import fcntl
    except ImportError:  # Windows: a lock on the first byte of the file
        import msvcrt

        try:
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


# --- reading a record --------------------------------------------------------------------

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
