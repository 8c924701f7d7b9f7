"""ondrel-fpga rollout: a whole lab brought to its images, from a plan, with
a record of what each run did to each device."""

import threading

from .. import driver
from ..rollout import PlanError, Record, last_states, load_plan, read_record
from . import options
from .output import EXIT_FAILED, EXIT_INTERRUPTED, device_record, table
from .update import _table as update_table
from .work import run_devices

SKIPPED = "skipped"


def add(sub, verbosity):
    p = sub.add_parser("rollout", parents=[verbosity], help="bring every device of a plan to its image",
                       description="Check every image of PLAN offline, ask each device the version it runs, skip "
                                   "those already at their image's version and update the rest, on the update "
                                   "path of the command line, appending one line a device to the record.  Running "
                                   "the same plan again touches only the devices not yet done.  Exit 0 only when "
                                   "every device ends verified or skipped.  See the README for the plan's keys.")
    p.add_argument("plan", nargs="?", metavar="PLAN", help="the plan (TOML)")
    p.add_argument("--report", metavar="FILE", help="print the last state of every device in a record, and stop")
    p.add_argument("--dry-run", action="store_true",
                   help="connect and read versions, write nothing, and say what each device would get")
    p.add_argument("--force", action="store_true", help="update devices that already run their image's version")
    p.add_argument("--canary", type=options.whole(1, 100000, "--canary"), metavar="N",
                   help="update N devices first, and stop (naming them) unless all N end verified")
    p.add_argument("--max-failures", type=options.whole(1, 100000, "--max-failures"), metavar="K",
                   help="start no further device after K failures")
    p.add_argument("--record", metavar="FILE", help="the record to append to (default: the plan's record)")
    p.add_argument("--jobs", type=options.whole(1, 1024, "--jobs"), metavar="N",
                   help="update at most N devices at once (default: the plan's jobs, else all)")
    p.add_argument("--port", type=options.port_number, default=options.default_port(),
                   help="TCP port of devices named without one")
    p.add_argument("--timeout", type=options.seconds, metavar="SECONDS", help="time allowed for each reply")
    options.erase_timeout(p)
    p.set_defaults(erase_timeout=None)
    options.window(p)
    p.set_defaults(window=None)
    options.output(p)
    p.set_defaults(run=run)


def run(session):
    args = session.args
    if args.report:
        return report(session, args.report)
    if not args.plan:
        raise options.UsageError("give a PLAN, or --report FILE")
    try:
        plan = load_plan(args.plan, args.port)
    except PlanError as refused:
        session.say("plan refused, no device touched: %s" % refused)
        return EXIT_FAILED
    settings = plan.settings
    timeout = args.timeout or settings.get("timeout", driver.DEFAULT_TIMEOUT)
    erase_timeout = args.erase_timeout or settings.get("erase_timeout", driver.DEFAULT_ERASE_TIMEOUT)
    window = args.window or settings.get("window", 1)
    jobs = args.jobs or settings.get("jobs")
    group_of = {target.label: group for group, target in plan.pairs()}  # labels differ: no device twice

    def device(target):
        return driver.Device(target, timeout, erase_timeout, window)

    # 1. what every device runs now
    queried = _run(session, [device(target) for _, target in plan.pairs()], jobs,
                   lambda outcome: driver.version(group_of[outcome.target.label].device_type))
    history = _history(args.record or plan.record_path)
    finished, pending = [], []
    for outcome in queried:
        group = group_of[outcome.target.label]
        if outcome.result == "ok" and (args.force or not _already(outcome, group.image, history)):
            pending.append(outcome)
            continue
        if outcome.result == "ok":
            outcome.result = SKIPPED
        finished.append(outcome)  # skipped, or unreachable (untouched)
    if args.dry_run:
        return dry_run(session, queried, group_of, pending)

    # 2. the updates, each recorded as it finishes
    record = Record(args.record or plan.record_path, plan.path)
    lock = threading.Lock()
    updated = []

    def note(outcome):
        with lock:
            record.add(_entry(outcome, group_of[outcome.target.label]))

    def ended(outcome):
        updated.append(outcome)
        note(outcome)

    def not_started(device, reason):
        device.outcome.result, device.outcome.reason = "not started", reason
        ended(device.outcome)

    limit = args.max_failures

    def may_start(device):
        failed = sum(o.result != "ok" for o in updated)
        if limit is None or failed < limit:
            return True
        not_started(device, "not started: %d devices failed (--max-failures %d)" % (failed, limit))
        return False

    try:
        for outcome in finished:
            note(outcome)
        devices = []
        for outcome in pending:
            devices.append(device(outcome.target))
            devices[-1].outcome.values.update(identifier=outcome.values.get("identifier"),
                                              version_before=outcome.values.get("version_before"))
        canary, rest = devices[:args.canary or 0], devices[args.canary or 0:]
        _run(session, canary, jobs, _update(group_of), on_finish=ended)
        if any(d.outcome.result != "ok" for d in canary):
            for d in rest:
                not_started(d, "not started: the canary (%s) did not all end verified"
                            % ", ".join(c.target.label for c in canary))
            rest = []
        _run(session, rest, jobs, _update(group_of), may_start, ended)
    finally:
        record.close()
    outcomes = {o.target.label: o for o in finished + updated}
    return summary(session, [outcomes[target.label] for _, target in plan.pairs()], group_of)


def _run(session, devices, jobs, operation_for, may_start=None, on_finish=None):
    """Runs on each device the operation its outcome calls for
    (operation_for(outcome)); their outcomes."""
    if not devices:
        return []
    console = session.console(several=len(devices) > 1)
    for d in devices:
        d.events = console
        console.add(d, getattr(operation_for, "expected", lambda device: 0)(d))
    return run_devices(devices, lambda device, tool, outcome: operation_for(outcome)(device, tool, outcome), jobs,
                       console, may_start, on_finish)


def _update(group_of):
    def operation_for(outcome):
        group = group_of[outcome.target.label]
        return driver.update(group.image, group.device_type)

    operation_for.expected = lambda device: 2 * len(group_of[device.target.label].image.data)
    return operation_for


def _history(path):
    try:
        return read_record(path)
    except OSError:
        return []


def _already(outcome, image, history):
    """Whether a device already holds its group's image: it runs the image's
    version, or (an image without one) the record says it was verified with
    this very image and it still runs the version it had then."""
    now = outcome.values.get("version_before")
    if image.version is not None:
        return now == image.version
    for entry in reversed(history):
        if entry.get("resolved") == outcome.target.resolved and entry.get("image_sha256") == image.sha256:
            return entry.get("state") in ("verified", SKIPPED) and entry.get("version_after") == now
    return False


def _entry(outcome, group):
    values = outcome.values
    return {"device": outcome.target.label, "resolved": outcome.target.resolved,
            "identifier": values.get("identifier"), "device_type": group.device_type, "image": group.image_path,
            "image_sha256": group.image.sha256, "version_before": values.get("version_before"),
            "version_after": values.get("version_after") if outcome.result != SKIPPED else
            values.get("version_before"),
            "state": SKIPPED if outcome.result == SKIPPED else outcome.state, "result": outcome.result,
            "bytes": outcome.written, "seconds": None if outcome.seconds is None else round(outcome.seconds, 3),
            "reason": outcome.reason}


def dry_run(session, outcomes, group_of, pending):
    rows = []
    for outcome in outcomes:
        group = group_of[outcome.target.label]
        before = outcome.values.get("version_before") or "?"
        if outcome.result == SKIPPED:
            action = "skip: runs %s already" % before
        elif outcome in pending:
            action = "update from %s to %s" % (before, group.image.version or "the image %s" % group.image.sha256[:12])
        else:
            action = "unreachable: %s" % outcome.reason
        rows.append((outcome.target.label, str(group.device_type), action))
    session.emit(table(("device", "type", "would get"), rows))
    return session.status(False)


def summary(session, ordered, group_of):
    if session.json:
        for outcome in ordered:
            group = group_of[outcome.target.label]
            session.emit_json(device_record("rollout", outcome, group.image, group.image_path))
    else:
        session.emit(update_table(ordered))
    session.conclude([o for o in ordered if o.result != SKIPPED], summary=False)
    verified = sum(o.result == "ok" for o in ordered)
    skipped = sum(o.result == SKIPPED for o in ordered)
    unsafe = [o for o in ordered if o.unsafe]
    failed = len(ordered) - verified - skipped
    line = "%d verified, %d skipped, %d failed, %d left unsafe" % (verified, skipped, failed, len(unsafe))
    if unsafe:
        line += " (%s)" % ", ".join(o.target.label for o in unsafe)
    session.say(line)
    if any(o.result == "interrupted" for o in ordered):
        return EXIT_INTERRUPTED
    return session.status(failed > 0)


def report(session, path):
    try:
        entries = last_states(read_record(path))
    except OSError as exc:
        session.say("cannot read %s: %s" % (path, exc.strerror or exc))
        return EXIT_FAILED
    rows = [(entry.get("device") or "-", entry.get("state") or "-", entry.get("version_after") or "-",
             entry.get("time") or "-", entry.get("reason") or "") for entry in entries]
    session.emit(table(("device", "state", "version", "time", "reason"), rows))
    return session.status(False)
