"""A run of a plan: the devices asked what they are and run, those proven to
hold their image skipped, the rest updated (a canary first if asked), each
device's line appended to the record as it finishes.

Ctrl-C, a record that cannot be written and the safety stops (canary,
max_failures) start no further device; every device of the plan ends with
a record line and an outcome saying what it holds.  `run` is the whole of
it for a program (an orchestrator's module, say); the command line shows
the same run with its display.
"""

import logging
import threading

from .. import driver
from ..console import Console
from ..work import Stop, run_shown, stopping_on_ctrl_c
from .record import (
    SKIPPED,
    Record,
    RecordError,
    device_key,
    history_of,
    known_state,
    reading,
    say_problems,
    skip_reason,
)

__all__ = ["run", "Rollout", "Result", "Quiet", "NOT_STARTED", "WOULD_UPDATE"]

NOT_STARTED = "not started"
WOULD_UPDATE = "would update"


class Quiet:
    """A display that shows nothing and keeps what was said (`said`)."""

    def __init__(self):
        self.said = []

    def say(self, text):
        self.said.append(text)

    note = say

    def console(self, several=False):
        return Console(None, live=False, progress=False, level=logging.CRITICAL + 1, several=several)


class Result:
    """What a run did (or, dry, would do).

    `outcomes`: every device's driver.Outcome, in plan order; `lines`: the
    record line of each (what the record holds, or would); `dry`: a dry run,
    whose `actions` say per device what it would get, `counts` how many
    would be skipped, updated, unreachable, refused.  `record_failure`: why
    the record could not be written (no further device started), with the
    outcomes it misses in `unrecorded`; `record`: the record's path (None
    for a dry run, which writes none)."""

    def __init__(self, outcomes, lines, dry=False, actions=None, counts=None):
        self.outcomes = outcomes
        self.lines = lines
        self.dry = dry
        self.actions = actions or {}
        self.counts = counts or {}
        self.record_failure = None
        self.unrecorded = []
        self.interrupted = False
        self.record = None

    @property
    def changed(self):
        """Whether any device's flash was written to (or, dry, would be)."""
        if self.dry:
            return self.counts.get("update", 0) > 0
        return any(o.result != SKIPPED and o.state not in (driver.UNTOUCHED, SKIPPED) and o.recorded is None
                   for o in self.outcomes)

    @property
    def failed(self):
        """The devices not verified or skipped (dry: unreachable, or to be refused)."""
        if self.dry:
            return [o.target.label for o in self.outcomes if self.actions[o.target.label][0] in
                    ("unreachable", "refused")]
        return [o.target.label for o in self.outcomes if o.result not in ("ok", SKIPPED)]

    @property
    def unsafe(self):
        """The devices left unsafe to power-cycle (erased, part-written, unverified)."""
        return [o.target.label for o in self.outcomes if o.unsafe]

    @property
    def ok(self):
        return not self.failed and self.record_failure is None and not self.interrupted

    def summary(self):
        """One line: "N verified, S skipped, F failed, U left unsafe (...)", or
        the dry run's "dry run: N skip, M update, U unreachable, R refused"."""
        if self.dry:
            return "dry run: %d skip, %d update, %d unreachable, %d refused" % tuple(
                self.counts.get(kind, 0) for kind in ("skip", "update", "unreachable", "refused"))
        verified = sum(o.result == "ok" for o in self.outcomes)
        skipped = sum(o.result == SKIPPED for o in self.outcomes)
        unsafe = self.unsafe
        line = "%d verified, %d skipped, %d failed, %d left unsafe" % (
            verified, skipped, len(self.outcomes) - verified - skipped, len(unsafe))
        return line + (" (%s)" % ", ".join(unsafe) if unsafe else "")


def run(plan, dry_run=False, display=None, stop=None, **options):
    """Runs `plan` (a loaded Plan) as the command line's rollout does, with
    `options` as its own (canary, max_failures, force, jobs, window,
    timeout, erase_timeout, connect_timeout, record: the plan's settings
    where not given); the Result.  `display` shows progress and says what
    is passed over (default: nothing shown; Quiet keeps it); Ctrl-C stops
    the run as a Stop (`stop`, or one of its own) and ends with a result."""
    rollout = Rollout(plan, display or Quiet(), stop, **options)
    if stop is not None:
        return rollout.dry_run() if dry_run else rollout.run()
    with stopping_on_ctrl_c(rollout.stop):
        return rollout.dry_run() if dry_run else rollout.run()


class Rollout:
    """One run of a plan."""

    def __init__(self, plan, display, stop=None, canary=None, max_failures=None, force=False, jobs=None,
                 window=None, timeout=None, erase_timeout=None, connect_timeout=None, record=None):
        settings = plan.settings
        self.display = display
        self.plan = plan
        self.stop = stop or Stop()
        self.canary = canary or 0
        self.max_failures = max_failures
        self.force = force
        self.timeout = timeout or settings.get("timeout", driver.DEFAULT_TIMEOUT)
        self.erase_timeout = erase_timeout or settings.get("erase_timeout", driver.DEFAULT_ERASE_TIMEOUT)
        self.connect_timeout = connect_timeout or driver.DEFAULT_CONNECT_TIMEOUT
        self.window = window or settings.get("window", 1)
        self.jobs = jobs or settings.get("jobs")
        self.record_path = record or plan.record_path
        self.group_of = {target.label: group for group, target in plan.pairs()}  # labels differ: no device twice
        self.outcomes = {}  # label -> the outcome the run ends with
        self.record = None
        self._lock = threading.Lock()
        self._recorded = set()
        self.unrecorded = []  # outcomes whose line could not be written
        self.record_failure = None
        self.why_not_started = None  # why devices were left "not started", once decided

    # -- the run ----------------------------------------------------------------------

    def run(self):
        """The run; RecordError when the record cannot be taken (no device touched)."""
        self.record = Record(self.record_path, self.plan.path)
        try:
            entries = self.history()
            pending = []
            for outcome in self.query():
                if self.decide(outcome, entries) == "update":
                    pending.append(outcome)
                else:
                    self.note(outcome)  # skipped or unreachable: recorded at once
            self.update(pending)
            for _, target in self.plan.pairs():  # whatever was not recorded yet (a device stopped late)
                self.note(self.outcomes[target.label])
        finally:
            self.record.close()
        ordered = self.ordered()
        result = Result(ordered, [self.line(o) for o in ordered])
        result.record_failure = self.record_failure and str(self.record_failure)
        result.unrecorded = list(self.unrecorded)
        result.interrupted = self.stop.interrupted
        result.record = self.record_path
        return result

    def device(self, target):
        return driver.Device(target, self.timeout, self.erase_timeout, self.window,
                             connect_timeout=self.connect_timeout)

    def history(self):
        """The record's lines so far; the lines passed over are said once."""
        try:
            found = reading(self.record_path)
        except FileNotFoundError:
            return []
        except OSError as exc:
            self.display.say("cannot read the record %s: %s; no device is skipped" % (self.record_path,
                                                                                      exc.strerror or exc))
            return []
        say_problems(self.display.say, self.record_path, found)
        return found.entries

    def query(self):
        """Every device asked what it is and runs (values["identifier"],
        ["version_before"]); their outcomes, in plan order."""
        devices = [self.device(target) for _, target in self.plan.pairs()]
        self._work(devices, lambda outcome: driver.version(self.group_of[outcome.target.label].device_type))
        for device in devices:
            self.outcomes[device.target.label] = device.outcome
        return [device.outcome for device in devices]

    def decide(self, outcome, entries):
        """"update", "skip", or "stop" (the device is not to be updated);
        the outcome says why."""
        group = self.group_of[outcome.target.label]
        history = history_of(entries, device_key({"resolved": outcome.target.resolved,
                                                  "device": outcome.target.label}))
        known = known_state(history)
        if outcome.result != "ok":  # unreachable, or interrupted while asked
            if outcome.result == "interrupted":
                outcome.result, outcome.reason = NOT_STARTED, "not started: interrupted"
            if known is not None and known["state"] in driver.UNSAFE:  # it still holds what it held
                outcome.state, outcome.recorded = known["state"], known.get("time") or "an earlier run"
            return "stop"
        why_skip = None if self.force else skip_reason(
            history, group.image, outcome.values.get("version_before"), outcome.values.get("identifier"))
        if why_skip is not None:
            outcome.result, outcome.state, outcome.reason = SKIPPED, SKIPPED, why_skip
            return "skip"
        return "update"

    def update(self, queried):
        """The devices to update: the canary first, if asked, then the rest,
        each recorded as it finishes."""
        devices = []
        for outcome in queried:
            device = self.device(outcome.target)
            device.outcome.values.update(identifier=outcome.values.get("identifier"),
                                         version_before=outcome.values.get("version_before"))
            self.outcomes[device.target.label] = device.outcome
            devices.append(device)
        if self.stop.interrupted:
            self.not_started(devices, "interrupted")
            return
        failed_already = self._failed()
        if self.max_failures is not None and failed_already >= self.max_failures:
            self.not_started(devices, "%d devices failed (--max-failures %d)" % (failed_already, self.max_failures))
            return
        canary, rest = devices[:self.canary], devices[self.canary:]
        several = len(devices) > 1
        self._work(canary, self._update_for, several=several)
        if any(d.outcome.result != "ok" for d in canary) and not self.stop.halted():
            self.why_not_started = "the canary (%s) did not all end verified" % ", ".join(
                c.target.label for c in canary)
            self.stop.halt("canary")
        if rest and not self.stop.halted():
            self._work(rest, self._update_for, several=several, may_start=self._may_start)
        self.not_started(devices, self.why_not_started or ("interrupted" if self.stop.interrupted else None))

    def _failed(self):
        return sum(o.result not in ("ok", SKIPPED, NOT_STARTED) for o in self.outcomes.values())

    def _update_for(self, outcome):
        group = self.group_of[outcome.target.label]
        return driver.update(group.image, group.device_type)

    def _may_start(self, device):
        if self.max_failures is None:
            return True
        with self._lock:
            failed = self._failed()
            if failed < self.max_failures:
                return True
            if self.why_not_started is None:
                self.why_not_started = "%d devices failed (--max-failures %d)" % (failed, self.max_failures)
        return False

    def not_started(self, devices, why):
        """Devices never started: said so, with why (`why` None: a halt's own reason)."""
        why = why or ("the record could not be written" if self.record_failure else "interrupted")
        for device in devices:
            outcome = device.outcome
            if outcome.result == NOT_STARTED and outcome.reason is None:
                outcome.reason = "not started: %s" % why
                self.note(outcome)

    def _work(self, devices, operation_for, several=None, may_start=None):
        """Runs on each device the operation its outcome calls for; each
        updated device is recorded as it finishes."""
        updating = operation_for == self._update_for
        return run_shown(self.display, devices,
                         lambda device, tool, outcome: operation_for(outcome)(device, tool, outcome),
                         (lambda device: 2 * len(self.group_of[device.target.label].image.data)) if updating else 0,
                         self.jobs, several, may_start=may_start, on_finish=self.note if updating else None,
                         stop=self.stop)

    # -- the record ---------------------------------------------------------------------

    def note(self, outcome):
        """Appends the device's line to the record, once.  A line that cannot
        be written stops the rollout from starting further devices; the
        device is said to be unrecorded."""
        with self._lock:
            label = outcome.target.label
            if label in self._recorded or self.record is None or self.record.closed:
                return
            self._recorded.add(label)
            if self.record_failure is not None:
                self.unrecorded.append(outcome)
                return
            try:
                self.record.add(self.line(outcome))
            except RecordError as failure:
                self.record_failure = failure
                self.unrecorded.append(outcome)
                self.stop.halt("record")

    def line(self, outcome):
        """The device's record line (without the fields every line has)."""
        values = outcome.values
        group = self.group_of[outcome.target.label]
        skipped = outcome.result == SKIPPED
        return {"device": outcome.target.label, "resolved": outcome.target.resolved,
                "identifier": values.get("identifier"), "device_type": group.device_type,
                "image": group.image_path, "image_sha256": group.image.sha256,
                "signer": group.image.signer.as_json() if group.image.signer else None,
                "version_before": values.get("version_before"),
                "version_after": values.get("version_before") if skipped else values.get("version_after"),
                "state": outcome.state, "result": outcome.result, "bytes": outcome.written,
                "seconds": None if outcome.seconds is None else round(outcome.seconds, 3),
                "reason": outcome.reason}

    def ordered(self):
        return [self.outcomes[target.label] for _, target in self.plan.pairs()]

    # -- a dry run ----------------------------------------------------------------------

    def dry_run(self):
        """What each device would get, touching nothing and writing nothing."""
        entries = self.history()
        counts = {"skip": 0, "update": 0, "unreachable": 0, "refused": 0}
        actions = {}
        for outcome in self.query():
            group = self.group_of[outcome.target.label]
            before = outcome.values.get("version_before")
            decision = self.decide(outcome, entries)
            refusal = driver.update_refusal(group.device_type, before) if decision == "update" else None
            if decision == "skip":
                kind, action = "skip", "skip: %s" % outcome.reason
            elif refusal:
                outcome.result, outcome.reason = "refused", "would be refused: %s" % refusal
                kind, action = "refused", outcome.reason
            elif decision == "update":
                outcome.result = WOULD_UPDATE
                kind, action = "update", "update from %s to %s" % (
                    before or "?", group.image.version or "the image %s" % group.image.sha256[:12])
            else:
                kind, action = "unreachable", "unreachable: %s" % outcome.reason
                if outcome.result == NOT_STARTED:
                    action = outcome.reason
            counts[kind] += 1
            actions[outcome.target.label] = (kind, action)
        ordered = self.ordered()
        result = Result(ordered, [self.line(o) for o in ordered], dry=True, actions=actions, counts=counts)
        result.interrupted = self.stop.interrupted
        return result
