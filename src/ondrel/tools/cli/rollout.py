"""ondrel-fpga rollout: a whole lab brought to its images, from a plan, with
a record of what each run did to each device: the library's rollout (see
ondrel.tools.rollout) with the command line's display, table and JSON; and
the report of one or several records (as fetched from each site).
"""

import os

from .. import driver, values
from ..rollout import SKIPPED, PlanError, RecordError, Rollout, last_states, load_plan, reading, say_problems
from ..work import Stop, stopping_on_ctrl_c
from . import devices as shared
from . import options
from .output import EXIT_FAILED, EXIT_INTERRUPTED, device_record, device_table, record, table


def add(sub, verbosity):
    p = sub.add_parser("rollout", parents=[verbosity], help="bring every device of a plan to its image",
                       description="Check every image of PLAN offline, ask each device what it is and runs, skip "
                                   "those proven to hold their image already and update the rest, on the update "
                                   "path of the command line, appending one line a device to the record.  Running "
                                   "the same plan again touches only the devices not yet done.  Exit 0 only when "
                                   "every device ends verified or skipped.  See the README for the plan's keys.")
    p.add_argument("plan", nargs="?", metavar="PLAN", help="the plan (TOML)")
    p.add_argument("--report", nargs="+", metavar="[SITE=]FILE",
                   help="print the last state of every device in one or more records (as fetched from each site: "
                        "SITE=FILE names the site, else a line's host is its site), and stop")
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
        if args.plan:
            raise options.UsageError("give a PLAN or --report FILE..., not both")
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
            rollout = Rollout(plan, session, stop, canary=args.canary, max_failures=args.max_failures,
                              force=args.force, jobs=args.jobs, window=args.window, timeout=args.timeout,
                              erase_timeout=args.erase_timeout, connect_timeout=args.connect_timeout,
                              record=args.record)
            if args.dry_run:
                return dry_run(session, rollout, rollout.dry_run())
            try:
                result = rollout.run()
            except RecordError as refused:
                session.say("rollout refused, no device touched: %s" % refused)
                return EXIT_FAILED
            return ran(session, rollout, result)
    finally:
        plan.close()


def _json(session, rollout, outcomes):
    for outcome in outcomes:
        group = rollout.group_of[outcome.target.label]
        session.emit_json(device_record("rollout", outcome, group.image, group.image_path))


def ran(session, rollout, result):
    """The table (or JSON), a line for each device not as asked, and the summary."""
    if session.json:
        _json(session, rollout, result.outcomes)
    else:
        session.emit(device_table(result.outcomes))
    session.conclude([o for o in result.outcomes if o.result != SKIPPED], summary=False)
    if result.record_failure is not None:
        session.say("%s; no further device was started; not recorded: %s" % (
            result.record_failure, ", ".join("%s (%s)" % (o.target.label, o.state if o.result != "not started"
                                                          else "not started") for o in result.unrecorded)))
    session.say(result.summary())
    if result.interrupted:
        return EXIT_INTERRUPTED
    return session.status(bool(result.failed) or result.record_failure is not None)


def dry_run(session, rollout, result):
    """What each device would get: a table (or JSON) and the counts."""
    if session.json:
        _json(session, rollout, result.outcomes)
    else:
        session.emit(table(("device", "type", "would get"), [
            (o.target.label, str(rollout.group_of[o.target.label].device_type), result.actions[o.target.label][1])
            for o in result.outcomes]))
    session.say(result.summary())
    if result.interrupted:
        return EXIT_INTERRUPTED
    return session.status(bool(result.failed))


def _sites(arguments):
    """(site or None, file) for each --report argument: SITE=FILE names the site."""
    found = []
    for argument in arguments:
        site, sep, path = argument.partition("=")
        if sep and site and not os.path.exists(argument) and os.sep not in site and "/" not in site:
            found.append((site, path))
        else:
            found.append((None, argument))
    return found


def report(session, arguments):
    """The last state of every device in one or more records: a device is one
    of its site's (the same address at two sites is two devices)."""
    sites = _sites(arguments)
    latest = []
    failed = False
    for site, path in sites:
        try:
            found = reading(path)
        except OSError as exc:
            session.say("cannot read %s: %s" % (path, exc.strerror or exc))
            failed = True
            continue
        say_problems(session.say, path, found)
        by_site = {}
        for entry in found.entries:
            host = entry.get("host")
            by_site.setdefault(site or (host if isinstance(host, str) and host else path), []).append(entry)
        for name, entries in by_site.items():
            latest.extend((name, entry) for entry in last_states(entries))
    several = len(sites) > 1 or any(site for site, _ in sites)
    if session.json:
        for site, entry in latest:
            session.emit_json(record("rollout", site=site, device=entry.get("device"), resolved=entry.get("resolved"),
                                     file=entry.get("image"), result=entry.get("result"), state=entry.get("state"),
                                     reason=entry.get("reason"), identifier=entry.get("identifier"),
                                     version_before=entry.get("version_before"),
                                     version_after=entry.get("version_after"),
                                     fpga_version=entry.get("version_after"),
                                     image_sha256=entry.get("image_sha256"), signer=_signer(entry.get("signer")),
                                     time=entry.get("time"),
                                     bytes_done=_number(entry.get("bytes")), seconds=_number(entry.get("seconds"))))
        return session.status(failed)
    rows = [((site,) if several else ()) + (entry.get("device") or "-", entry.get("state") or "-",
                                             entry.get("version_after") or "-", entry.get("time") or "-",
                                             entry.get("reason") or "") for site, entry in latest]
    session.emit(table((("site",) if several else ()) + ("device", "state", "version", "time", "reason"), rows))
    return session.status(failed)


def _signer(value):
    if isinstance(value, dict) and all(isinstance(value.get(key), str) for key in ("principal", "key")):
        return {"principal": value["principal"], "key": value["key"]}
    return None


def _number(value):
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


__all__ = ["add", "run", "report"]
