"""Rollouts: a plan that brings a lab's devices to an image, and the record
of what each run did to each device.

A plan is a TOML file::

    jobs = 8                       # optional defaults: jobs, window, timeout, erase_timeout, record
    record = "rollout.jsonl"

    [[group]]
    device_type = 32
    image = "fpga32_0.2.4.0.tbin"  # relative to the plan file
    devices = ["10.0.0.11", "10.0.0.12:5025", "rig-3.lab"]

The record is a file of JSON lines, one per device per run, each appended
whole (one write), flushed and synced as the device finishes: a Ctrl-C or a
kill leaves every finished device's line intact and never half a line.
"""

import datetime
import getpass
import json
import os
import re
import socket

from . import driver

__all__ = ["PlanError", "Plan", "Group", "load_plan", "Record", "read_record", "last_states"]

SETTINGS = {"jobs": int, "window": int, "timeout": (int, float), "erase_timeout": (int, float), "record": str}
GROUP_KEYS = {"device_type": int, "image": str, "devices": list}


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

    def error(self, number, text):
        return PlanError("%s:%d: %s" % (self.path, number, text))


def load_plan(path, default_port=driver.DEFAULT_PORT):
    """The plan at `path`, checked: every key known, every device named once
    (after name resolution), every image accepted by the library's checks
    and sealed for its group's device type.  PlanError names the line."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as exc:
        raise PlanError("%s: %s" % (path, exc.strerror or exc)) from None
    text = raw.decode("utf-8", "replace")
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
            raise lines.error(lines.of(r"^\s*%s\s*=" % re.escape(key)),
                              "unknown key %r (a plan knows %s and [[group]])" % (key, ", ".join(SETTINGS)))
        if not isinstance(value, SETTINGS[key]) or isinstance(value, bool):
            raise lines.error(lines.of(r"^\s*%s\s*=" % re.escape(key)), "%s must be %s, not %r"
                              % (key, "a text" if SETTINGS[key] is str else "a number", value))
        settings[key] = value
    groups = data.get("group")
    if not isinstance(groups, list) or not groups:
        raise lines.error(1, "no [[group]]: a plan names at least one group of devices")

    seen = {}
    folder = os.path.dirname(os.path.abspath(path))
    result = []
    for index, fields in enumerate(groups):
        header = lines.of(r"^\s*\[\[\s*group\s*\]\]", index)
        for key in fields:
            if key not in GROUP_KEYS:
                raise lines.error(lines.of(r"^\s*%s\s*=" % re.escape(key)),
                                  "unknown key %r in a group (a group knows %s)" % (key, ", ".join(GROUP_KEYS)))
        for key, kind in GROUP_KEYS.items():
            if key not in fields:
                raise lines.error(header, "this group has no %s" % key)
            if not isinstance(fields[key], kind) or isinstance(fields[key], bool):
                raise lines.error(lines.of(r"^\s*%s\s*=" % key, index), "%s must be %s" % (
                    key, {"device_type": "a whole number", "image": "a file name", "devices": "a list"}[key]))
        targets = []
        for name in fields["devices"]:
            where = lines.of(re.escape('"%s"' % name) if isinstance(name, str) else r"devices")
            if not isinstance(name, str):
                raise lines.error(where, "a device is a text (HOST, HOST:PORT or [IPv6]:PORT), not %r" % (name,))
            try:
                target = driver.parse_target(name, default_port)
            except ValueError as exc:
                raise lines.error(where, str(exc)) from None
            driver.resolve([target])
            key = target.address or ("unresolved", target.host, target.port)
            if key in seen:
                first, first_line = seen[key]
                raise lines.error(where, "%s is the device named %s on line %d (%s): name each device once"
                                  % (name, first.label, first_line, target.resolved or "the same name"))
            seen[key] = (target, where)
            targets.append(target)
        image_path = os.path.join(folder, fields["image"])
        group = Group(fields["device_type"], image_path, targets)
        image_line = lines.of(r"^\s*image\s*=", index)
        try:
            group.image = driver.check_image(image_path)
        except driver.ImageRefused as refused:
            raise lines.error(image_line, str(refused)) from None
        types = group.image.device_types
        if group.image.kind == "container" and types is not None and group.device_type not in types:
            raise lines.error(image_line, "%s is sealed for device type %s, not this group's %d"
                              % (fields["image"], ", ".join(map(str, types)), group.device_type))
        result.append(group)
    return Plan(path, settings, result)


# --- the record ------------------------------------------------------------------------


class Record:
    """Appends one JSON line per device to the record file: each line one
    write, flushed and synced before the next device's."""

    def __init__(self, path, plan_path):
        self.path = path
        self._fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self._common = {"plan": os.path.abspath(plan_path), "host": socket.gethostname(), "user": _user()}

    def add(self, fields):
        entry = {"time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
        entry.update(self._common)
        entry.update(fields)
        data = (json.dumps(entry) + "\n").encode("utf-8")
        written = os.write(self._fd, data)  # one write: no other line can come between its bytes
        if written != len(data):
            raise OSError("the record %s took %d of %d bytes (the disk may be full)" % (self.path, written,
                                                                                      len(data)))
        os.fsync(self._fd)

    def close(self):
        os.close(self._fd)


def _user():
    try:
        return getpass.getuser()
    except Exception:  # no user name in this environment
        return str(os.getuid()) if hasattr(os, "getuid") else None


def read_record(path):
    """The entries of a record file, in order; a line that does not parse
    (written by something else) is skipped."""
    entries = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                entry = json.loads(line)
            except ValueError:
                continue
            if isinstance(entry, dict):
                entries.append(entry)
    return entries


def last_states(entries):
    """The last entry of every device, in the order each was first recorded."""
    last = {}
    for entry in entries:
        last[entry.get("resolved") or entry.get("device")] = entry
    return list(last.values())
