"""ondrel-fpga verify and dump: reading a device's flash back."""

import contextlib
import os
import tempfile

from .. import driver
from . import options
from .update import check, refuse
from .work import run_devices


def add(sub, verbosity):
    p = sub.add_parser("verify", parents=[verbosity], help="compare a device's flash with an image, writing nothing",
                       description="Reset the page pointer and read IMAGE's length of flash back; exit 0 when it "
                                   "equals the image, 1 with the first difference otherwise.")
    p.add_argument("image", metavar="IMAGE")
    options.devices(p)
    options.window(p)
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


def _read(session, target, operation, size):
    args = session.args
    device = driver.Device(target, args.timeout, window=args.window, connect_timeout=args.connect_timeout)
    console = session.console()
    device.events = console
    console.add(device, size)
    return run_devices([device], operation, console=console)[0]


def run_verify(session):
    args = session.args
    target = options.targets(args)[0]
    image, refusal = check(args.image, None, True)
    if refusal:
        return refuse(session, [driver.Device(target)], refusal, command="verify", file=args.image)
    outcome = _read(session, target, driver.verify(image), len(image.data))
    if not session.json and outcome.values.get("comparison"):
        values = outcome.values
        if values["equal"]:
            session.emit("equal: %s holds %s (%d bytes)%s\n" % (target.label, args.image, len(image.data),
                                                                values["comparison"][len("equal"):]))
        else:
            session.emit("different: %s does not hold %s: %s\n" % (target.label, args.image, values["comparison"]))
    return session.report("verify", [outcome], None, image=image, file=args.image)


def run_dump(session):
    args = session.args
    target = options.targets(args)[0]
    if os.path.exists(args.output) and not args.force:
        return refuse(session, [driver.Device(target)], "refusing to overwrite %s (use --force)" % args.output,
                      command="dump", file=args.output)
    outcome = _read(session, target, driver.dump(args.size), args.size)
    if outcome.result == "ok":
        try:
            write_atomically(args.output, outcome.values.pop("data"))
        except OSError as exc:
            outcome.result, outcome.reason = "failed", "cannot write %s: %s" % (args.output, exc.strerror or exc)
        else:
            if not session.json:
                session.emit("read %d bytes of flash from %s into %s\n" % (args.size, target.label, args.output))
    return session.report("dump", [outcome], None, file=args.output)


def write_atomically(path, data):
    """Writes a whole new file, or nothing: a partial file never takes the
    name.  The file gets the permissions the umask gives a new file."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".ondrel-", dir=folder)
    try:
        umask = os.umask(0)
        os.umask(umask)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise

