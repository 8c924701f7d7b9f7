"""ondrel-fpga: update, verify and read devices' FPGA flash, inspect devices
and images, and simulate a device.

Standard output carries results only (a table, or JSON with --json);
progress, log records and reasons go to standard error.  Exit status: 0
success, 1 refused or failed (the reason is the last line on standard
error), 2 usage error, 130 interrupted.
"""

import argparse
import contextlib
import json
import logging
import os
import sys
import tempfile
import time

from . import devsim, tbin
from .console import Console, LogRouter
from .jobs import Failure, Interrupted, Job, library_output, parse_target, run_jobs

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
ENV_ADDRESS, ENV_PORT = "ONDREL_FPGA_ADDRESS", "ONDREL_FPGA_PORT"
PAGE = 16


class Session:
    """What one run of the command line writes to and how much it shows."""

    def __init__(self, args, out, err):
        self.args = args
        self.out = out
        self.err = err
        self.level = logging.CRITICAL + 1 if args.quiet else (logging.DEBUG if args.verbose > 1 else
                                                       logging.INFO if args.verbose else logging.WARNING)
        self.progress = not (args.quiet or getattr(args, "no_progress", False))
        self.live = _isatty(err)

    def console(self, several=False):
        return Console(self.err, live=self.live, progress=self.progress, several=several)

    def emit(self, text):
        """A result on standard output."""
        self.out.write(text)
        self.out.flush()

    def emit_json(self, value):
        self.emit(json.dumps(value, sort_keys=False) + "\n")


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def _tarnel():
    import ondrel.Tarnel as Tarnel

    return Tarnel


class _Offline:
    """A connection for checks that must not reach a device."""

    def __getattr__(self, name):
        raise RuntimeError("no device is connected")


# --- the image ---------------------------------------------------------------------------


class Image:
    """An image file that passed the tool's file and container checks."""

    def __init__(self, path, data, device_types):
        self.path = path
        self.data = data  # the bytes that will be programmed
        self.device_types = device_types  # of a container; None for a raw image

    @property
    def kind(self):
        return "raw" if self.device_types is None else "container"


def check_image(Tarnel, path, router):
    """The tool's own file and container checks, offline; Failure with the
    reasons the tool logged when it refuses the file."""
    tool = Tarnel.FpgaTool(_Offline())
    router.errors()
    try:
        accepted = tool._checkUpdateFile(path) and tool._checkFileHeader(path)
    except OSError as exc:
        raise Failure("%s refused: %s" % (path, exc)) from None
    if not accepted:
        raise Failure("%s refused: %s" % (path, "; ".join(router.errors()) or "no reason given"))
    try:
        if path.lower().endswith(".tbin"):
            container = tbin.read(path)
            return Image(path, container.image, tbin.device_types(container.dev_type()))
        with open(path, "rb") as f:
            return Image(path, f.read(), None)
    except (OSError, ValueError) as exc:
        raise Failure("%s: %s" % (path, exc)) from None


# --- update ------------------------------------------------------------------------------


def cmd_update(session):
    args = session.args
    Tarnel = _tarnel()
    targets = _targets(args, several=True)
    console = session.console(several=len(targets) > 1)
    router = LogRouter(console, session.level)
    with library_output(router, session.level):
        image = check_image(Tarnel, args.image, router)  # before any device is touched
        if image.device_types is not None and args.device_type not in image.device_types and not args.force:
            raise Failure("%s is sealed for device type %s, not %d (--force updates anyway)"
                          % (args.image, ", ".join(map(str, image.device_types)), args.device_type))
        jobs = [Job(target, lambda job: _update_one(job, Tarnel, args, image), console, router,
                    expected_bytes=2 * len(image.data)) for target in targets]
        _run(jobs, args.jobs, console)
    return _report_updates(session, jobs)


def _update_one(job, Tarnel, args, image):
    tool = job.connect(Tarnel, args.timeout, args.window)
    init = tool.initFpga(args.device_type, disable_fw_check=args.no_fw_check)
    if init.RetCode is not Tarnel.RetCode.OK:
        raise Failure("initialisation refused: %s" % init.RetMsg)
    job.result.update(identifier=init.RetData["fpga_id"], version_before=init.RetData["fpga_version"],
                      bytes=len(image.data))
    tool.set_progress_callback(job.progress)
    job.router.errors()
    ret = tool.processFpgaUpdate(image.path, args.device_type)
    if ret.RetCode is not Tarnel.RetCode.OK:
        raise Failure("update failed: %s" % job.library_reason(ret.RetMsg))
    after = ret.RetData["fw_version"]
    job.result["version_after"] = after
    if after and after == job.result["version_before"]:
        job.result["warning"] = "the FPGA version is %s before and after the update" % after
        job.note("warning: " + job.result["warning"])


def _report_updates(session, jobs):
    if session.args.json:
        for job in jobs:
            session.emit_json(dict(job.result, seconds=round(job.seconds, 3), result=job.outcome,
                                   reason=job.reason or None))
    else:
        rows = [(job.target.label, job.result.get("identifier", "-"), job.result.get("version_before") or "-",
                 job.result.get("version_after") or "-", str(job.result.get("bytes", "-")), "%.2f s" % job.seconds,
                 job.outcome + (" (version unchanged)" if "warning" in job.result else ""))
                for job in jobs]
        session.emit(_table(("device", "identifier", "before", "after", "bytes", "time", "result"), rows))
    failed = [job for job in jobs if job.outcome != "ok"]
    for job in failed:
        _say(session, ("%s: " % job.target.label if len(jobs) > 1 else "") + job.reason)
    return EXIT_FAILED if failed else EXIT_OK


def _table(header, rows):
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    return "".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n"
                   for row in [header] + rows)


# --- verify and dump ------------------------------------------------------------------------


def read_flash(job, tool, size, stage, window):
    """`size` bytes of flash from the start, read with the tool's own
    commands (page pointer reset, then one read per 16-byte page, up to
    `window` in flight); what the device returned, which may be more or less
    than asked."""
    from .windowed import read_flash

    job.progress(stage, 0, size)
    return read_flash(tool, size, window, lambda pages: job.progress(stage, min(pages * PAGE, size), size))


def cmd_verify(session):
    args = session.args
    Tarnel = _tarnel()
    target = _targets(args)[0]
    console = session.console()
    router = LogRouter(console, session.level)
    with library_output(router, session.level):
        image = check_image(Tarnel, args.image, router)
        job = Job(target, lambda job: _verify_one(job, Tarnel, args, image), console, router, len(image.data))
        _run([job], 1, console)
    if job.outcome != "ok":
        raise Failure(job.reason)
    result = job.result
    if args.json:
        session.emit_json(result)
    elif result["equal"]:
        session.emit("equal: %s holds %s (%d bytes)%s\n" % (target.label, args.image, len(image.data),
                                                            _padding_note(result)))
    else:
        difference = result["first_difference"]
        if difference is None:
            text = "the device returned %d of the image's %d bytes" % (result["read"], len(image.data))
        else:
            text = "first difference at offset %d (0x%x): device 0x%02x, image 0x%02x" % (
                difference["offset"], difference["offset"], difference["device"], difference["image"])
        session.emit("different: %s does not hold %s: %s\n" % (target.label, args.image, text))
    return EXIT_OK if result["equal"] else EXIT_FAILED


def _verify_one(job, Tarnel, args, image):
    tool = job.connect(Tarnel, args.timeout)
    data = image.data
    flash = read_flash(job, tool, len(data), "verify", args.window)
    common = min(len(flash), len(data))
    offset = next((i for i in range(common) if flash[i] != data[i]), None) if flash[:common] != data[:common] \
        else None
    job.result.update(device=job.target.label, image=image.path, bytes=len(data), read=len(flash),
                      equal=offset is None and len(flash) >= len(data), padding=max(0, len(flash) - len(data)),
                      first_difference=None if offset is None else
                      {"offset": offset, "device": flash[offset], "image": data[offset]})


def _padding_note(result):
    if not result["padding"]:
        return ""
    return ("; only the padding of the last, partial page differs: the device returned %d more bytes"
            % result["padding"])


def cmd_dump(session):
    args = session.args
    Tarnel = _tarnel()
    if os.path.exists(args.output) and not args.force:
        raise Failure("refusing to overwrite %s (use --force)" % args.output)
    target = _targets(args)[0]
    console = session.console()
    router = LogRouter(console, session.level)
    with library_output(router, session.level):
        job = Job(target, lambda job: _dump_one(job, Tarnel, args), console, router, args.size)
        _run([job], 1, console)
    if job.outcome != "ok":
        raise Failure(job.reason)
    try:
        write_atomically(args.output, job.result["data"])
    except OSError as exc:
        raise Failure("cannot write %s: %s" % (args.output, exc.strerror or exc)) from None
    session.emit("read %d bytes of flash from %s into %s\n" % (args.size, target.label, args.output))
    return EXIT_OK


def _dump_one(job, Tarnel, args):
    tool = job.connect(Tarnel, args.timeout)
    flash = read_flash(job, tool, args.size, "read", args.window)
    if len(flash) < args.size:
        raise Failure("%s returned %d of the %d bytes asked for; nothing was written"
                      % (job.target.label, len(flash), args.size))
    job.result["data"] = flash[:args.size]


# --- info, check, seal ------------------------------------------------------------------------


def cmd_info(session):
    args = session.args
    Tarnel = _tarnel()
    target = _targets(args)[0]
    console = session.console()
    router = LogRouter(console, logging.CRITICAL)  # the check speaks for itself in the table
    with library_output(router, logging.CRITICAL):
        job = Job(target, lambda job: _info_one(job, Tarnel, args), console, router)
        _run([job], 1, console)
    if job.outcome != "ok":
        raise Failure(job.reason)
    info = job.result
    if args.json:
        session.emit_json(info)
        return EXIT_OK
    rows = [("identifier", info["identifier"]), ("FPGA version", info["fpga_version"]),
            ("control firmware", "%s (minimum %s met: %s)" % (info["control_firmware"], Tarnel._FPGA_FW_VER_MIN,
                                                            {True: "yes", False: "no"}.get(
                                                                info["control_firmware_ok"], "unknown"))),
            ("serial number", info["serial_number"])]
    text = "".join("%-17s %s\n" % (label + ":", value) for label, value in rows)
    details = info["device_info"]
    pretty = json.dumps(details, indent=2) if not isinstance(details, str) else details
    session.emit(text + "device info:\n%s\n" % "\n".join("  " + line for line in pretty.splitlines()))
    return EXIT_OK


def _info_one(job, Tarnel, args):
    tool = job.connect(Tarnel, args.timeout)
    firmware = tool._fpgaGetControlFwVer()
    try:
        meets = bool(tool._checkControlFwVersion())
    except (ValueError, TypeError):
        meets = None  # not a version
    text = tool._fpgaGetInfo()
    try:
        details = json.loads(text)
    except ValueError:
        details = text
    job.result.update(identifier=tool._fpgaGetId(), fpga_version=tool._fpgaGetVersion(), control_firmware=firmware,
                      control_firmware_ok=meets, serial_number=tool._fpgaGetSerialNumber(), device_info=details)


def cmd_check(session):
    args = session.args
    Tarnel = _tarnel()
    router = LogRouter(session.console(), logging.CRITICAL)
    with library_output(router, logging.CRITICAL):
        try:
            image = check_image(Tarnel, args.image, router)
        except Failure as failure:
            if args.json:
                session.emit_json({"image": args.image, "ok": False, "reason": str(failure)})
            raise
    if args.json:
        session.emit_json({"image": args.image, "ok": True, "kind": image.kind, "device_types": image.device_types,
                           "bytes": len(image.data)})
    elif image.device_types is not None:
        session.emit("ok: %s is a sealed container for device type %s, %d image bytes\n"
                     % (args.image, ", ".join(map(str, image.device_types)), len(image.data)))
    else:
        session.emit("ok: %s is a raw image of %d bytes (raw images carry no integrity data)\n"
                     % (args.image, len(image.data)))
    return EXIT_OK


def write_atomically(path, data):
    """Writes a whole new file, or nothing: a partial file never takes the
    name.  The file gets the permissions the umask gives a new file."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".ondrel-", dir=folder)
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def cmd_seal(session):
    args = session.args
    if os.path.exists(args.output) and not args.force:
        raise Failure("refusing to overwrite %s (use --force)" % args.output)
    try:
        with open(args.image, "rb") as f:
            image = f.read()
    except OSError as exc:
        raise Failure("cannot read %s: %s" % (args.image, exc.strerror or exc)) from None
    types = args.device_type[0] if len(args.device_type) == 1 else sorted(args.device_type)
    data = tbin.seal(image, types, header=dict(args.header))
    try:
        write_atomically(args.output, data)
    except OSError as exc:
        raise Failure("cannot write %s: %s" % (args.output, exc.strerror or exc)) from None
    session.emit("sealed %s: %d image bytes for device type %s -> %s (%d bytes)\n"
                 % (args.image, len(image), tbin.device_type_text(types), args.output, len(data)))
    return EXIT_OK


# --- simulate, demo ---------------------------------------------------------------------------


def cmd_simulate(session):
    args = session.args
    return devsim.serve(args.host, args.port, devsim.state_from_arguments(args), devsim.faults_from_arguments(args),
                        out=session.out, latency=args.latency)


def cmd_demo(session):
    args = session.args
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        sims = [stack.enter_context(devsim.DeviceSimulator(latency=args.latency)) for _ in range(args.devices)]
        image = os.urandom(args.kib * 1024)
        path = os.path.join(folder, "demo.tbin")
        with open(path, "wb") as f:
            f.write(tbin.seal(image, 32, header={"FPGA_VER": sims[0].state.new_version, "BUILD": "demo"}))
        addresses = ["%s:%d" % (sim.host, sim.port) for sim in sims]
        window = ["--window", str(args.window)] if args.window > 1 else []
        session.err.write("Demo: %d simulated device%s on %s; a %d KiB image sealed for device type 32 at %s.\n"
                          "  $ ondrel-fpga update %s %s\n"
                          % (len(sims), "s" if len(sims) > 1 else "", ", ".join(addresses), args.kib, path,
                             " ".join([path] + window), " ".join("--address " + a for a in addresses)))
        session.err.flush()
        update = build_parser().parse_args(["update", path, "--timeout", "10"] + window +
                                           [word for a in addresses for word in ("--address", a)])
        for option in ("verbose", "quiet", "no_progress"):
            setattr(update, option, getattr(args, option))
        started = time.monotonic()
        code = cmd_update(Session(update, session.out, session.err))
        seconds = time.monotonic() - started
        held = sum(sim.state.image() == image for sim in sims)
        session.emit("%d of %d devices hold the image, checked on the simulators; %.2f s for all of them\n"
                     % (held, len(sims), seconds))
        if code == EXIT_OK and len(sims) == 1:
            session.err.write("  $ ondrel-fpga verify %s --address %s\n" % (" ".join([path] + window), addresses[0]))
            verify = build_parser().parse_args(["verify", path, "--address", addresses[0]] + window)
            for option in ("verbose", "quiet", "no_progress"):
                setattr(verify, option, getattr(args, option))
            code = cmd_verify(Session(verify, session.out, session.err))
        return code if held == len(sims) else EXIT_FAILED


# --- running ----------------------------------------------------------------------------------


def _run(jobs, parallel, console):
    try:
        run_jobs(jobs, parallel)
    finally:
        console.close()


def _targets(args, several=False):
    texts = list(args.address or [])
    if several and args.addresses:
        try:
            with open(args.addresses) as f:
                texts += [line.split("#")[0].strip() for line in f if line.split("#")[0].strip()]
        except OSError as exc:
            raise Failure("cannot read %s: %s" % (args.addresses, exc.strerror or exc)) from None
    if not texts and os.environ.get(ENV_ADDRESS):
        texts = [os.environ[ENV_ADDRESS]]
    if not texts:
        raise _UsageError("no device address: give --address HOST (or set %s)" % ENV_ADDRESS)
    if len(texts) > 1 and not several:
        raise _UsageError("--address: this command works on one device, not %d" % len(texts))
    try:
        targets = [parse_target(text, args.port) for text in texts]
    except ValueError as exc:
        raise _UsageError("--address: %s" % exc) from None
    if len(set(targets)) != len(targets):
        raise _UsageError("a device is named more than once")
    return targets


class _UsageError(Exception):
    """An argument the parser could not judge alone (exit status 2)."""


def _say(session, text):
    """One line on standard error; a closed standard error loses it, nothing more."""
    with contextlib.suppress(OSError, ValueError):
        session.err.write("ondrel-fpga: %s\n" % text)
        session.err.flush()


# --- the parser -------------------------------------------------------------------------------


def _device_type(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("device type must be a whole number, got %r" % text) from None


def _whole(low, high, what):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("%s must be a whole number from %d to %d, got %r" % (what, low, high,
                                                                                                  text))
        return value

    return parse


_port = _whole(0, 65535, "port")


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value <= 3600:
        raise argparse.ArgumentTypeError("time-out must be above 0 and at most 3600 seconds, got %r" % text)
    return value


def _size(text):
    units = {"": 1, "k": 1024, "kib": 1024, "m": 1 << 20, "mib": 1 << 20}
    number = text.rstrip("KMiBkmib")
    unit = text[len(number):].lower()
    try:
        value = int(number) * units[unit]
    except (ValueError, KeyError):
        value = 0
    if not 0 < value <= 1 << 30:
        raise argparse.ArgumentTypeError("size must be a number of bytes from 1 to 1 GiB (K and M allowed), got %r"
                                         % text)
    return value


def _header_field(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    with contextlib.suppress(ValueError):
        return key, json.loads(value)
    return key, value


def _default_port():
    text = os.environ.get(ENV_PORT)
    if text is None:
        return 5025
    try:
        return _port(text)
    except argparse.ArgumentTypeError:
        return None  # refused when a device is named (see main)


def _version():
    try:
        from importlib.metadata import version

        return version("ondrel")
    except Exception:
        return "unknown"


def build_parser():
    parser = argparse.ArgumentParser(
        prog="ondrel-fpga",
        description="Update, verify and read devices' FPGA flash over TCP, inspect devices and images, and "
                    "simulate a device.  Results go to standard output; progress and reasons to standard error.",
        epilog="Environment: %s and %s give the device's address and port when --address and --port are not "
               "given.  Run 'ondrel-fpga demo' for a complete update against a built-in simulated device."
               % (ENV_ADDRESS, ENV_PORT))
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="show the tool's log records (-vv: debug records too: digests, headers)")
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress and no log records")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    # -v and -q may also follow the command
    verbosity = argparse.ArgumentParser(add_help=False)
    verbosity.add_argument("-v", "--verbose", action="count", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    verbosity.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS, help=argparse.SUPPRESS)

    def device_options(p, several=False):
        if several:
            p.add_argument("--address", action="append", metavar="HOST[:PORT]",
                           help="a device; repeat for several, which are updated in parallel (default $%s)"
                                % ENV_ADDRESS)
            p.add_argument("--addresses", metavar="FILE", help="a file naming one HOST[:PORT] a line (# comments)")
            p.add_argument("--jobs", type=_whole(1, 1024, "--jobs"), metavar="N",
                           help="update at most N devices at once (default: all)")
        else:
            p.add_argument("--address", action="append", metavar="HOST[:PORT]",
                           help="the device (default $%s)" % ENV_ADDRESS)
        p.add_argument("--port", type=_port, default=_default_port(),
                       help="TCP port of devices named without one (default $%s, else 5025)" % ENV_PORT)
        p.add_argument("--timeout", type=_seconds, default=5.0, metavar="SECONDS",
                       help="time allowed for each reply of the device (default %(default)s; a flash erase may "
                            "need more)")

    def window_option(p):
        p.add_argument("--window", type=_whole(1, 1024, "--window"), default=1, metavar="N",
                       help="keep up to N commands in flight while writing and reading back (default 1: one at a "
                            "time); on a real network 32 is many times faster")

    def output_options(p, json_output=True):
        p.add_argument("--no-progress", action="store_true", help="show no progress")
        if json_output:
            p.add_argument("--json", action="store_true",
                           help="print one JSON object (one a line per device) on standard output, nothing else")

    p = sub.add_parser("update", parents=[verbosity], help="write an image to one or more devices and verify it",
                       description="Check IMAGE (.bin or sealed .tbin) offline, then on each device: initialise "
                                   "the FPGA controller, write, read back and verify.  Ends with a table: device, "
                                   "identifier, version before and after, bytes, time, result.")
    p.add_argument("image", metavar="IMAGE", help="image file: .bin (raw) or .tbin (sealed container)")
    device_options(p, several=True)
    p.add_argument("--device-type", type=_device_type, default=32, metavar="N",
                   help="device type of the targets (default %(default)s; only 32 passes the version check)")
    p.add_argument("--no-fw-check", action="store_true", help="skip the minimum FPGA version check")
    p.add_argument("--force", action="store_true",
                   help="update even when the container is sealed for other device types")
    window_option(p)
    output_options(p)
    p.set_defaults(run=cmd_update)

    p = sub.add_parser("verify", parents=[verbosity], help="compare a device's flash with an image, writing nothing",
                       description="Reset the page pointer and read IMAGE's length of flash back; exit 0 when it "
                                   "equals the image, 1 with the first difference otherwise.")
    p.add_argument("image", metavar="IMAGE")
    device_options(p)
    window_option(p)
    output_options(p)
    p.set_defaults(run=cmd_verify)

    p = sub.add_parser("dump", parents=[verbosity], help="read flash into a file",
                       description="Reset the page pointer and read SIZE bytes of flash into FILE (written whole, "
                                   "or not at all).")
    device_options(p)
    p.add_argument("--size", type=_size, required=True, metavar="N", help="bytes to read (K and M allowed)")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="file to write")
    p.add_argument("--force", action="store_true", help="overwrite FILE if it exists")
    window_option(p)
    output_options(p, json_output=False)
    p.set_defaults(run=cmd_dump)

    p = sub.add_parser("info", parents=[verbosity], help="show what a device reports",
                       description="Identifier, FPGA version, control firmware version (and whether it meets the "
                                   "minimum), serial number and device information.")
    device_options(p)
    output_options(p)
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("check", parents=[verbosity], help="check an image file without a device",
                       description="The file checks and, for a .tbin, the header and both tags, offline.")
    p.add_argument("image", metavar="IMAGE")
    p.add_argument("--json", action="store_true", help="print one JSON object on standard output, nothing else")
    p.set_defaults(run=cmd_check)

    p = sub.add_parser("seal", parents=[verbosity], help="seal a raw image into a .tbin container",
                       description="Build a .tbin container: a JSON header naming the device type(s) and "
                                   "HMAC-SHA-256 tags over the header and the image.")
    p.add_argument("image", metavar="IMAGE.bin", help="raw image to seal")
    p.add_argument("--device-type", type=_device_type, action="append", required=True, metavar="N",
                   help="device type the image is for; repeat for several")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tbin", help="container to write")
    p.add_argument("--header", type=_header_field, action="append", default=[], metavar="KEY=VALUE",
                   help="further header field (VALUE is JSON when it parses, else text); repeatable")
    p.add_argument("--force", action="store_true", help="overwrite OUT.tbin if it exists")
    p.set_defaults(run=cmd_seal)

    p = sub.add_parser("simulate", parents=[verbosity], help="run a simulated device until Ctrl-C",
                       description="A TCP server that answers as a device, with optional faults.")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=_port, default=5025, help="TCP port (default %(default)s; 0 picks a free one)")
    devsim.add_state_arguments(p)
    devsim.add_fault_arguments(p)
    p.set_defaults(run=cmd_simulate)

    p = sub.add_parser("demo", parents=[verbosity], help="update built-in simulated devices, end to end",
                       description="Start simulated devices on free loopback ports, seal a demo image, update them "
                                   "(in parallel when there are several) and verify the result.")
    p.add_argument("--kib", type=_whole(1, 65536, "--kib"), default=64,
                   help="size of the demo image in KiB (default %(default)s)")
    p.add_argument("--devices", type=_whole(1, 64, "--devices"), default=1, help="simulated devices (default 1)")
    p.add_argument("--latency", type=devsim._milliseconds, default=0.0, metavar="MS",
                   help="network delay of each reply in milliseconds (default 0)")
    window_option(p)
    p.add_argument("--no-progress", action="store_true", help="show no progress")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "port", 0) is None:
        parser.error("%s must be a port number from 0 to 65535, not %r" % (ENV_PORT, os.environ.get(ENV_PORT)))
    session = Session(args, out, err)
    try:
        return args.run(session)
    except _UsageError as exc:
        parser.error(str(exc))
    except Failure as failure:
        _say(session, str(failure))
        return EXIT_FAILED
    except Interrupted as interrupted:
        left = ", ".join("%s (%s)" % (job.target.label, job.progress_at or "erased") for job in interrupted.jobs)
        _say(session, "interrupted" + ("; left mid-update, without a complete image: " + left if left else ""))
        return EXIT_INTERRUPTED
    except KeyboardInterrupt:
        _say(session, "interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # standard output went away; the work itself is complete
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return EXIT_FAILED
    except Exception as exc:  # no traceback for a user; -v shows it
        _say(session, "error: %s: %s" % (type(exc).__name__, exc))
        if args.verbose:
            raise
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
