"""ondrel-fpga update: an image onto one or more devices."""

from .. import driver
from . import options
from .output import EXIT_FAILED, device_record, table
from .work import run_devices


def add(sub, verbosity):
    p = sub.add_parser("update", parents=[verbosity], help="write an image to one or more devices and verify it",
                       description="Check IMAGE (.bin or sealed .tbin) offline, then on each device (in parallel): "
                                   "initialise the FPGA controller, erase, write, read back and verify.  Ends with "
                                   "a table: device, identifier, version before and after, bytes, time, what the "
                                   "device holds, result; then a line for each device not updated, saying what it "
                                   "holds (a device left erased or part-written is unsafe to power-cycle).")
    p.add_argument("image", metavar="IMAGE", help="image file: .bin (raw) or .tbin (sealed container)")
    options.devices(p, several=True)
    options.erase_timeout(p)
    p.add_argument("--device-type", type=options.device_type, default=32, metavar="N",
                   help="device type of the targets (default %(default)s; types the initialisation does not "
                        "support, such as 28, are updated without it)")
    p.add_argument("--no-fw-check", action="store_true", help="skip the minimum FPGA version check")
    p.add_argument("--force", action="store_true",
                   help="update even when the container is sealed for other device types")
    options.window(p)
    options.output(p)
    p.set_defaults(run=run)


def run(session):
    args = session.args
    targets = options.targets(args, several=True)  # every name resolved, none twice, before anything is touched
    image, refusal = check(args.image, args.device_type, args.force)
    devices = [driver.Device(target, args.timeout, args.erase_timeout, args.window,
                             connect_timeout=args.connect_timeout) for target in targets]
    if refusal:
        return refuse(session, devices, refusal)
    outcomes = update_devices(session, devices, image, args.device_type, not args.no_fw_check, args.jobs)
    return session.report("update", outcomes, _table, image=image, file=image.path)


def check(path, device_type, force):
    """(the image, None), or (None or the image, why no device may get it)."""
    try:
        image = driver.check_image(path)
    except driver.ImageRefused as refused:
        return None, str(refused)
    types = image.device_types
    if image.kind == "container" and types is not None and device_type not in types and not force:
        return image, ("%s is sealed for device type %s, not %d (--force updates anyway)"
                       % (path, ", ".join(map(str, types)), device_type))
    return image, None


def refuse(session, devices, reason, command="update", file=None):
    """Every device untouched: the image (or plan) was refused first."""
    for device in devices:
        device.outcome.result, device.outcome.reason = "refused", reason
    if session.json:
        for device in devices:
            session.emit_json(device_record(command, device.outcome, file=file))
    session.say(reason)
    return EXIT_FAILED


def update_devices(session, devices, image, device_type, check_version, parallel):
    console = session.console(several=len(devices) > 1)
    for device in devices:
        device.events = console
        console.add(device, 2 * len(image.data))
    return run_devices(devices, driver.update(image, device_type, check_version), parallel, console)


def _table(outcomes):
    rows = []
    for outcome in outcomes:
        values = outcome.values
        written = "%d/%d" % (outcome.written, outcome.total) if outcome.total is not None else "-"
        rows.append((outcome.target.label, values.get("identifier") or "-", values.get("version_before") or "-",
                     values.get("version_after") or "-", written,
                     "%.2f s" % outcome.seconds if outcome.seconds is not None else "-", outcome.state,
                     outcome.result + (" (%s)" % "; ".join(outcome.warnings) if outcome.warnings else "")))
    return table(("device", "identifier", "before", "after", "bytes", "time", "holds", "result"), rows)
