"""ondrel-fpga verify and dump: reading a device's flash back."""

import os

from .. import driver
from . import devices as shared
from . import options
from .files import write_atomically


def add(sub, verbosity):
    p = sub.add_parser("verify", parents=[verbosity], help="compare a device's flash with an image, writing nothing",
                       description="Reset the page pointer and read IMAGE's length of flash back; exit 0 when it "
                                   "equals the image, 1 with the first difference otherwise.")
    p.add_argument("image", metavar="IMAGE")
    options.devices(p)
    options.window(p)
    options.trust(p)
    options.output(p)
    p.set_defaults(run=run_verify)

    p = sub.add_parser("dump", parents=[verbosity], help="read flash into a file",
                       description="Reset the page pointer and read SIZE bytes of flash into FILE (written whole, "
                                   "or not at all).")
    options.devices(p)
    p.add_argument("--size", type=options.size, required=True, metavar="N", help="bytes to read (K and M allowed)")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="file to write")
    p.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
    options.window(p)
    options.output(p)
    p.set_defaults(run=run_dump)


def _device(args, target):
    return driver.Device(target, args.timeout, window=args.window, connect_timeout=args.connect_timeout)


def run_verify(session):
    args = session.args
    target = options.targets(args)[0]
    image, refusal = shared.image_for(args.image, trust=options.trust_of(args))
    if refusal:
        return shared.refuse(session, [driver.Device(target)], refusal, command="verify", file=args.image)
    shared.say_signers(session, [image])
    outcome = shared.verify(session, _device(args, target), image)
    shared.say_comparison(session, outcome, args.image, image)
    return session.report("verify", [outcome], None, image=image, file=args.image)


def run_dump(session):
    args = session.args
    target = options.targets(args)[0]
    if os.path.exists(args.output) and not args.force:
        return shared.refuse(session, [driver.Device(target)], "refusing to overwrite %s (use --force)" % args.output,
                             command="dump", file=args.output)
    outcome = shared.work(session, [_device(args, target)], driver.dump(args.size), args.size)[0]
    if outcome.result == "ok":
        try:
            write_atomically(args.output, outcome.values.pop("data"))
        except OSError as exc:
            outcome.result, outcome.reason = "failed", "cannot write %s: %s" % (args.output, exc.strerror or exc)
        else:
            if not session.json:
                session.emit("read %d bytes of flash from %s into %s\n" % (args.size, target.label, args.output))
    return session.report("dump", [outcome], None, file=args.output)
