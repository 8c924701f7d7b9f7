"""ondrel-fpga update: an image onto one or more devices."""

from .. import driver
from . import devices as shared
from . import options
from .output import device_table


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
    options.trust(p)
    options.output(p)
    p.set_defaults(run=run)


def run(session):
    args = session.args
    targets = options.targets(args, several=True)  # every name resolved, none twice, before anything is touched
    devices = [driver.Device(target, args.timeout, args.erase_timeout, args.window,
                             connect_timeout=args.connect_timeout) for target in targets]
    image, refusal = shared.image_for(args.image, args.device_type, args.force, options.trust_of(args))
    try:
        if refusal:
            return shared.refuse(session, devices, refusal)
        shared.say_signers(session, [image])
        outcomes = shared.update(session, devices, image, args.device_type, not args.no_fw_check, args.jobs)
        return session.report("update", outcomes, device_table, image=image, file=image.path)
    except driver.ImageRefused as refused:  # no snapshot of it could be kept
        return shared.refuse(session, devices, str(refused))
    finally:
        if image is not None:
            image.close()
