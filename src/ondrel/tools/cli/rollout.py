"""ondrel-fpga rollout: a whole lab brought to its images, from a plan, with
a record of what each run did to each device.

A run: the plan is checked (every image checked once and kept as a
snapshot that every device is programmed from), the record is taken (one
rollout at a time) and read, every device is asked what it is and runs,
those proven to hold their image already are skipped, and the rest are
updated, a canary first if asked, each device's line appended to the record
as it finishes.  Ctrl-C, a record that cannot be written and the safety
stops (canary, --max-failures) start no further device; every device of
the plan ends with a line and a row saying what it holds.
"""

import threading

from .. import driver, values
from ..rollout import (
    SKIPPED,
    PlanError,
    Record,
    RecordError,
    device_key,
    history_of,
    known_state,
    last_states,
    load_plan,
    reading,
    say_problems,
    skip_reason,
)
from . import devices as shared
from . import options
from .output import EXIT_FAILED, EXIT_INTERRUPTED, device_record, device_table, record, table
from .work import Stop, stopping_on_ctrl_c

NOT_STARTED = "not started"
WOULD_UPDATE = "would update"


def add(sub, verbosity):
    p = sub.add_parser("rollout", parents=[verbosity], help="bring every device of a plan to its image",
                       description="Check every image of PLAN offline, ask each device what it is and runs, skip "
                                   "those proven to hold their image already and update the rest, on the update "
                                   "path of the command line, appending one line a device to the record.  Running "
                                   "the same plan again touches only the devices not yet done.  Exit 0 only when "
                                   "every device ends verified or skipped.  See the README for the plan's keys.")
    p.add_argument("plan", nargs="?", metavar="PLAN", help="the plan (TOML)")
    p.add_argument("--report", metavar="FILE", help="print the last state of every device in a record, and stop")
    p.add_argument("--dry-run", action="store_true",
                   help="ask every device what it runs, write nothing, and say what each would get; exit 1 when "
                        "a device is unreachable or would be refused")
    p.add_argument("--force", action="store_true", help="update devices that already hold their image")
    p.add_argument("--canary", type=options.whole(1, 100000, "--canary"), metavar="N",
                   help="update N devices first, and stop (naming them) unless all N end verified")
    p.add_argument("--max-failures", type=options.whole(1, 100000, "--max-failures"), metavar="K",
                   help="start no further device once K have failed (unreachable ones included)")
    p.add_argument("--record", metavar="FILE", help="the record to append to (default: the plan's record, else "
                                                    "PLAN's name with .record.jsonl)")
    p.add_argument("--jobs", type=options.whole(1, values.MAX_JOBS, "--jobs"), metavar="N",
                   help="work on at most N devices at once (default: the plan's jobs, else all)")
    p.add_argument("--port", type=options.port_number, default=options.default_port(),
                   help="TCP port of devices named without one (default $%s, else %d)"
                        % (options.ENV_PORT, driver.DEFAULT_PORT))
    p.add_argument("--timeout", type=options.seconds, metavar="SECONDS",
                   help="time allowed for each reply (default: the plan's timeout, else %g)" % driver.DEFAULT_TIMEOUT)
    p.add_argument("--erase-timeout", type=options.seconds, metavar="SECONDS",
                   help="time allowed for the flash erase's reply (default: the plan's erase_timeout, else %g)"
                        % driver.DEFAULT_ERASE_TIMEOUT)
    p.add_argument("--connect-timeout", type=options.seconds, default=driver.DEFAULT_CONNECT_TIMEOUT,
                   metavar="SECONDS", help="time allowed for a device to accept the connection (default %(default)s)")
    p.add_argument("--window", type=options.window_value, metavar="N",
                   help="commands in flight while writing and reading back (default: the plan's window, else 1)")
    options.trust(p)
    options.output(p)
    p.set_defaults(run=run)


def run(session):
    args = session.args
    if args.report:
        return report(session, args.report)
    if not args.plan:
        raise options.UsageError("give a PLAN, or --report FILE")
    try:
        plan = load_plan(args.plan, args.port, driver.Trust(args.allowed_signers, args.require_signature))
    except PlanError as refused:
        session.say("plan refused, no device touched: %s" % refused)
        return EXIT_FAILED
    shared.say_signers(session, [group.image for group in plan.groups])
    try:
        stop = Stop()
        with stopping_on_ctrl_c(stop):
            rollout = Rollout(session, plan, stop)
            return rollout.dry_run() if args.dry_run else rollout.run()
    finally:
        plan.close()


class Rollout:
    """One run of a plan."""

    def __init__(self, session, plan, stop):
        args = session.args
        settings = plan.settings
        self.session = session
        self.plan = plan
        self.stop = stop
        self.timeout = args.timeout or settings.get("timeout", driver.DEFAULT_TIMEOUT)
        self.erase_timeout = args.erase_timeout or settings.get("erase_timeout", driver.DEFAULT_ERASE_TIMEOUT)
        self.window = args.window or settings.get("window", 1)
        self.jobs = args.jobs or settings.get("jobs")
        self.record_path = args.record or plan.record_path
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
        try:
            self.record = Record(self.record_path, self.plan.path)
        except RecordError as refused:
            self.session.say("rollout refused, no device touched: %s" % refused)
            return EXIT_FAILED
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
        return self.summary()

    def device(self, target):
        return driver.Device(target, self.timeout, self.erase_timeout, self.window,
                             connect_timeout=self.session.args.connect_timeout)

    def history(self):
        """The record's lines so far; the lines passed over are said once."""
        try:
            found = reading(self.record_path)
        except FileNotFoundError:
            return []
        except OSError as exc:
            self.session.say("cannot read the record %s: %s; no device is skipped" % (self.record_path,
                                                                                      exc.strerror or exc))
            return []
        say_problems(self.session.say, self.record_path, found)
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
        why_skip = None if self.session.args.force else skip_reason(
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
        failed_already = sum(o.result not in ("ok", SKIPPED, NOT_STARTED) for o in self.outcomes.values())
        limit = self.session.args.max_failures
        if limit is not None and failed_already >= limit:
            self.not_started(devices, "%d devices failed (--max-failures %d)" % (failed_already, limit))
            return
        count = self.session.args.canary or 0
        canary, rest = devices[:count], devices[count:]
        several = len(devices) > 1
        self._work(canary, self._update_for, several=several)
        if any(d.outcome.result != "ok" for d in canary) and not self.stop.halted():
            self.why_not_started = "the canary (%s) did not all end verified" % ", ".join(
                c.target.label for c in canary)
            self.stop.halt("canary")
        if rest and not self.stop.halted():
            self._work(rest, self._update_for, several=several, may_start=self._may_start)
        self.not_started(devices, self.why_not_started or ("interrupted" if self.stop.interrupted else None))

    def _update_for(self, outcome):
        group = self.group_of[outcome.target.label]
        return driver.update(group.image, group.device_type)

    def _may_start(self, device):
        limit = self.session.args.max_failures
        if limit is None:
            return True
        with self._lock:
            failed = sum(o.result not in ("ok", SKIPPED, NOT_STARTED) for o in self.outcomes.values())
            if failed < limit:
                return True
            if self.why_not_started is None:
                self.why_not_started = "%d devices failed (--max-failures %d)" % (failed, limit)
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
        return shared.work(self.session, devices,
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
                self.record.add(self._line(outcome))
            except RecordError as failure:
                self.record_failure = failure
                self.unrecorded.append(outcome)
                self.stop.halt("record")

    def _line(self, outcome):
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

    # -- what the run says -----------------------------------------------------------------

    def ordered(self):
        return [self.outcomes[target.label] for _, target in self.plan.pairs()]

    def summary(self):
        session = self.session
        ordered = self.ordered()
        if session.json:
            for outcome in ordered:
                group = self.group_of[outcome.target.label]
                session.emit_json(device_record("rollout", outcome, group.image, group.image_path))
        else:
            session.emit(device_table(ordered))
        session.conclude([o for o in ordered if o.result != SKIPPED], summary=False)
        if self.record_failure is not None:
            session.say("%s; no further device was started; not recorded: %s" % (
                self.record_failure, ", ".join("%s (%s)" % (o.target.label, o.state if o.result != NOT_STARTED
                                                            else NOT_STARTED) for o in self.unrecorded)))
        verified = sum(o.result == "ok" for o in ordered)
        skipped = sum(o.result == SKIPPED for o in ordered)
        unsafe = [o for o in ordered if o.unsafe]
        failed = len(ordered) - verified - skipped
        line = "%d verified, %d skipped, %d failed, %d left unsafe" % (verified, skipped, failed, len(unsafe))
        if unsafe:
            line += " (%s)" % ", ".join(o.target.label for o in unsafe)
        session.say(line)
        if self.stop.interrupted:
            return EXIT_INTERRUPTED
        return session.status(failed > 0 or self.record_failure is not None)

    def dry_run(self):
        """What each device would get, touching nothing and writing nothing."""
        session = self.session
        entries = self.history()
        counts = {"skip": 0, "update": 0, "unreachable": 0, "refused": 0}
        rows = []
        for outcome in self.query():
            group = self.group_of[outcome.target.label]
            before = outcome.values.get("version_before")
            decision = self.decide(outcome, entries)
            refusal = driver.update_refusal(group.device_type, before) if decision == "update" else None
            if decision == "skip":
                action, kind = "skip: %s" % outcome.reason, "skip"
            elif refusal:
                outcome.result, outcome.reason = "refused", "would be refused: %s" % refusal
                action, kind = outcome.reason, "refused"
            elif decision == "update":
                outcome.result = WOULD_UPDATE
                action, kind = "update from %s to %s" % (before or "?", group.image.version or "the image %s"
                                                         % group.image.sha256[:12]), "update"
            else:
                action, kind = "unreachable: %s" % outcome.reason, "unreachable"
                if outcome.result == NOT_STARTED:
                    action = outcome.reason
            counts[kind] += 1
            if session.json:
                session.emit_json(device_record("rollout", outcome, group.image, group.image_path))
            rows.append((outcome.target.label, str(group.device_type), action))
        if not session.json:
            session.emit(table(("device", "type", "would get"), rows))
        session.say("dry run: %d skip, %d update, %d unreachable, %d refused" % (
            counts["skip"], counts["update"], counts["unreachable"], counts["refused"]))
        if self.stop.interrupted:
            return EXIT_INTERRUPTED
        return session.status(counts["unreachable"] > 0 or counts["refused"] > 0)


def report(session, path):
    """The last state of every device in a record."""
    try:
        found = reading(path)
    except OSError as exc:
        session.say("cannot read %s: %s" % (path, exc.strerror or exc))
        return EXIT_FAILED
    say_problems(session.say, path, found)
    entries = last_states(found.entries)
    if session.json:
        for entry in entries:
            session.emit_json(record("rollout", device=entry.get("device"), resolved=entry.get("resolved"),
                                     file=entry.get("image"), result=entry.get("result"), state=entry.get("state"),
                                     reason=entry.get("reason"), identifier=entry.get("identifier"),
                                     version_before=entry.get("version_before"),
                                     version_after=entry.get("version_after"),
                                     fpga_version=entry.get("version_after"),
                                     image_sha256=entry.get("image_sha256"), signer=_signer(entry.get("signer")),
                                     time=entry.get("time"),
                                     bytes_done=_number(entry.get("bytes")), seconds=_number(entry.get("seconds"))))
        return session.status(False)
    rows = [(entry.get("device") or "-", entry.get("state") or "-", entry.get("version_after") or "-",
             entry.get("time") or "-", entry.get("reason") or "") for entry in entries]
    session.emit(table(("device", "state", "version", "time", "reason"), rows))
    return session.status(False)


def _signer(value):
    if isinstance(value, dict) and all(isinstance(value.get(key), str) for key in ("principal", "key")):
        return {"principal": value["principal"], "key": value["key"]}
    return None


def _number(value):
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


__all__ = ["add", "run", "Rollout", "report"]
