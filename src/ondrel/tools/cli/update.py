"""ondrel-fpga update: an image onto one or more devices."""

from .. import driver
from . import options
from .output import EXIT_FAILED, device_record, device_table
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
    devices = [driver.Device(target, args.timeout, args.erase_timeout, args.window,
                             connect_timeout=args.connect_timeout) for target in targets]
    image, refusal = check(args.image, args.device_type, args.force)
    try:
        if refusal:
            return refuse(session, devices, refusal)
        image.keep()  # every device is programmed from a snapshot of the bytes checked
        outcomes = update_devices(session, devices, image, args.device_type, not args.no_fw_check, args.jobs)
        return session.report("update", outcomes, device_table, image=image, file=image.path)
    except driver.ImageRefused as refused:
        return refuse(session, devices, str(refused))
    finally:
        if image is not None:
            image.close()


def check(path, device_type, force):
    """(the image, None), or (None or the image, why no device may get it)."""
    try:
        image = driver.check_image(path)
    except driver.ImageRefused as refused:
        return None, str(refused)
    refusal = None if force else driver.sealed_for_another_type(image, device_type)
    if refusal:
        return image, "%s is %s, not %d (--force updates anyway)" % (path, refusal, device_type)
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
