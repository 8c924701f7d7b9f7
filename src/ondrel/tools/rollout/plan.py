"""A plan: which image each group of a lab's devices should hold, checked
whole before any device is touched.

A plan is a TOML file (UTF-8)::

    jobs = 8                       # optional: jobs, window, timeout, erase_timeout, record,
    record = "rollout.jsonl"       #   allowed_signers, require_signature (paths relative to the plan)

    [[group]]
    device_type = 32
    image = "fpga32_0.2.4.0.tbin"  # relative to the plan file
    devices = ["10.0.0.11", "10.0.0.12:5025", "rig-3.lab"]

or the same content as a mapping (`plan_from`), as an orchestrator passes
it, with "groups" for the list of groups.
"""

import json
import os
import re

from .. import driver, values

__all__ = ["PlanError", "Plan", "Group", "load_plan", "plan_from", "SETTINGS", "SETTING_RULES", "GROUP_KEYS"]

GROUP_KEYS = ("device_type", "image", "devices")


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
    """Finds where a key or value stands in the plan's text; a plan given as
    a mapping has none (`text` None), and its errors name no line."""

    def __init__(self, path, text):
        self.path = path
        self.lines = None if text is None else text.splitlines()

    def of(self, pattern, occurrence=0):
        """The number of the line where `pattern` (a regex) matches for the
        occurrence-th time; the first line when it never does."""
        if self.lines is None:
            return None
        found = [n for n, line in enumerate(self.lines, 1) if re.search(pattern, line.split("#")[0])]
        return found[occurrence] if occurrence < len(found) else (found[-1] if found else 1)

    def key(self, key, occurrence=0):
        return self.of(r"^\s*%s\s*=" % re.escape(key), occurrence)

    def error(self, number, text):
        if number is None:
            return PlanError("%s: %s" % (self.path, text))
        return PlanError("%s:%d: %s" % (self.path, number, text))


class _GroupOf:
    """The errors of one group of a plan given as a mapping: "groups[2]: ..."."""

    def __init__(self, lines, index):
        self.lines, self.path, self.index = None, lines.path, index

    def of(self, pattern, occurrence=0):
        return None

    def key(self, key, occurrence=0):
        return None

    def error(self, number, text):
        return PlanError("%s: groups[%d]: %s" % (self.path, self.index, text))


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
SETTING_RULES = {
    "jobs": lambda value: values.jobs(value, "jobs"),
    "window": values.window,
    "timeout": lambda value: values.seconds(value, "timeout"),
    "erase_timeout": lambda value: values.seconds(value, "erase_timeout"),
    "record": lambda value: _name(value, "record"),
    "allowed_signers": lambda value: _name(value, "allowed_signers"),
    "require_signature": lambda value: _flag(value, "require_signature"),
}
SETTINGS = tuple(SETTING_RULES)


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
    return _checked(path, lines, data, "group", default_port, trust)


def plan_from(content, folder, name="plan", default_port=driver.DEFAULT_PORT, trust=None):
    """The plan a mapping holds (the settings, and "groups": a list of
    mappings of device_type, image and devices), checked as load_plan checks
    a file; relative paths are in `folder`; errors begin with `name`.
    Without a record named, it is `name`.record.jsonl in `folder`."""
    if not isinstance(content, dict):
        raise PlanError("%s: a plan is a mapping of settings and groups, not %r" % (name, content))
    path = os.path.join(folder, name if name.endswith(".toml") else name + ".toml")
    return _checked(path, _Lines(name, None), content, "groups", default_port, trust)


def _checked(path, lines, data, groups_key, default_port, trust):
    settings = {}
    for key, value in data.items():
        if key == groups_key:
            continue
        if key not in SETTINGS:
            raise lines.error(lines.key(key), "unknown key %r (a plan knows %s and %s)"
                              % (key, ", ".join(SETTINGS), "[[group]]" if groups_key == "group" else groups_key))
        try:
            settings[key] = SETTING_RULES[key](value)
        except ValueError as exc:
            raise lines.error(lines.key(key), str(exc)) from None
    groups = data.get(groups_key)
    if not isinstance(groups, list) or not groups:
        raise lines.error(1 if lines.lines is not None else None,
                          "no %s: a plan names at least one group of devices"
                          % ("[[group]]" if groups_key == "group" else groups_key))

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
    if lines.lines is None:
        lines = _GroupOf(lines, index)
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
            raise lines.error(where, "%s is the device named %s %s (%s): name each device once"
                              % (name, first.label, "on line %d" % first_line if first_line else "before",
                                 target.resolved or "the same name"))
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


