"""ondrel-fpga: update, inspect and simulate devices from a shell.

Exit status: 0 success, 1 refused or failed (the reason is printed), 2 usage
error, 130 interrupted.
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

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class Failure(Exception):
    """A refusal or failure to report in one line (exit status 1)."""


# --- helpers -----------------------------------------------------------------------


def _tarnel(args):
    """ondrel.Tarnel, with the "FPGA" log channel at the level asked for."""
    import ondrel.Tarnel as Tarnel

    level = logging.WARNING if args.quiet else logging.DEBUG if args.verbose else logging.INFO
    Tarnel.logger.setLevel(level)
    return Tarnel


def _connect(Tarnel, args):
    try:
        return Tarnel.FpgaTool(address=args.address, port=args.port)
    except (ConnectionError, OSError) as exc:
        raise Failure("cannot connect to %s:%d (%s)" % (args.address, args.port, exc)) from None


def _image_size(path):
    """Bytes that will be programmed: the image of a container, else the file."""
    if path.lower().endswith(".tbin"):
        with contextlib.suppress(OSError, ValueError):
            return len(tbin.read(path).image)
    with contextlib.suppress(OSError):
        return os.path.getsize(path)
    return None


class _Collect(logging.Handler):
    """Keeps the messages of warning and error records."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@contextlib.contextmanager
def _collected(logger):
    """Records of `logger` are gathered instead of shown."""
    collect = _Collect()
    saved = logger.propagate, logger.level
    logger.addHandler(collect)
    logger.propagate = False
    logger.setLevel(logging.WARNING)
    try:
        yield collect.messages
    finally:
        logger.removeHandler(collect)
        logger.propagate, logger.level = saved


class _Offline:
    """A connection for checks that must not reach a device."""

    def __getattr__(self, name):
        raise RuntimeError("no device is connected")


# --- the commands ----------------------------------------------------------------


def run_update(Tarnel, host, port, image, device_type, no_fw_check, out):
    """Connect, initialise and update; returns a summary, raises Failure."""
    started = time.monotonic()
    tool = _connect(Tarnel, argparse.Namespace(address=host, port=port))
    try:
        init = tool.initFpga(device_type, disable_fw_check=no_fw_check)
        if init.RetCode is not Tarnel.RetCode.OK:
            raise Failure("initialisation refused: %s" % init.RetMsg)
        ret = tool.processFpgaUpdate(image, device_type)
        if ret.RetCode is not Tarnel.RetCode.OK:
            raise Failure("update refused: %s" % ret.RetMsg)
        return {
            "device": init.RetData["fpga_id"],
            "address": "%s:%d" % (host, port),
            "old_version": init.RetData["fpga_version"] or "(not reported)",
            "new_version": ret.RetData["fw_version"] or "(not reported)",
            "bytes": _image_size(image),
            "seconds": time.monotonic() - started,
        }
    except (ConnectionError, TimeoutError) as exc:
        raise Failure("connection to %s:%d failed: %s" % (host, port, exc)) from None
    except RuntimeError as exc:
        raise Failure(str(exc)) from None
    finally:
        with contextlib.suppress(Exception):
            tool.disconnect()


def print_summary(summary, out):
    out.write("\nFPGA updated on device %s at %s\n" % (summary["device"], summary["address"]))
    out.write("  version  %s -> %s\n" % (summary["old_version"], summary["new_version"]))
    if summary["bytes"] is not None:
        out.write("  image    %d bytes\n" % summary["bytes"])
    out.write("  time     %.2f s\n" % summary["seconds"])


def cmd_update(args, out):
    Tarnel = _tarnel(args)
    summary = run_update(Tarnel, args.address, args.port, args.image, args.device_type, args.no_fw_check, out)
    print_summary(summary, out)
    return EXIT_OK


def cmd_info(args, out):
    Tarnel = _tarnel(args)
    tool = _connect(Tarnel, args)
    try:
        with _collected(Tarnel.logger):  # the check speaks for itself in the table
            fw = tool._fpgaGetControlFwVer()
            try:
                passes = "yes" if tool._checkControlFwVersion() else "no, below %s" % Tarnel._FPGA_FW_VER_MIN
            except ValueError:
                passes = "unknown (not a version)"
        rows = [
            ("identifier", tool._fpgaGetId()),
            ("FPGA version", tool._fpgaGetVersion()),
            ("control firmware", "%s (minimum %s met: %s)" % (fw, Tarnel._FPGA_FW_VER_MIN, passes)),
            ("serial number", tool._fpgaGetSerialNumber()),
        ]
        info = tool._fpgaGetInfo()
    except (ConnectionError, TimeoutError) as exc:
        raise Failure("connection to %s:%d failed: %s" % (args.address, args.port, exc)) from None
    finally:
        tool.disconnect()
    for label, value in rows:
        out.write("%-17s %s\n" % (label + ":", value))
    try:
        pretty = json.dumps(json.loads(info), indent=2)
    except ValueError:
        pretty = info
    out.write("device info:\n%s\n" % "\n".join("  " + line for line in pretty.splitlines()))
    return EXIT_OK


def cmd_check(args, out):
    Tarnel = _tarnel(args)
    tool = Tarnel.FpgaTool(_Offline())
    with _collected(Tarnel.logger) as reasons:
        ok = tool._checkUpdateFile(args.image) and tool._checkFileHeader(args.image)
    if not ok:
        raise Failure("refused: %s" % ("; ".join(reasons) or "unknown reason"))
    size = _image_size(args.image)
    if args.image.lower().endswith(".tbin"):
        container = tbin.read(args.image)
        out.write("ok: %s is a sealed container for device type %s, %d image bytes\n"
                  % (args.image, container.dev_type(), size))
    else:
        out.write("ok: %s is a raw image of %d bytes (raw images carry no integrity data)\n" % (args.image, size))
    return EXIT_OK


def _header_field(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    with contextlib.suppress(ValueError):
        return key, json.loads(value)
    return key, value


def write_atomically(path, data):
    """Writes a whole new file, or nothing: a partial file never takes the name."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".seal-", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def cmd_seal(args, out):
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
    out.write("sealed %s: %d image bytes for device type %s -> %s (%d bytes)\n"
              % (args.image, len(image), tbin.device_type_text(types), args.output, len(data)))
    return EXIT_OK


def cmd_simulate(args, out):
    return devsim.serve(args.host, args.port, devsim.state_from_arguments(args), devsim.faults_from_arguments(args),
                        out=out)


def cmd_demo(args, out):
    Tarnel = _tarnel(args)
    with tempfile.TemporaryDirectory() as folder, devsim.DeviceSimulator() as sim:
        image = os.urandom(args.kib * 1024)
        path = os.path.join(folder, "demo.tbin")
        with open(path, "wb") as f:
            f.write(tbin.seal(image, 32, header={"FPGA_VER": sim.state.new_version, "BUILD": "demo"}))
        out.write("Demo: a simulated device listens on %s:%d; a %d KiB image sealed for device type 32 is at %s.\n\n"
                  % (sim.host, sim.port, args.kib, path))
        out.flush()
        summary = run_update(Tarnel, sim.host, sim.port, path, 32, False, out)
        print_summary(summary, out)
        verified = sim.state.image() == image
        out.write("  device   %d blocks written, %d pages read back, flash %s the image\n"
                  % (sim.state.blocks_written, sim.state.reads, "matches" if verified else "DOES NOT match"))
        return EXIT_OK if verified else EXIT_FAILED


# --- the parser --------------------------------------------------------------------


def _device_type(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("device type must be a whole number, got %r" % text) from None


def _port(text):
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError("port must be a number from 0 to 65535, got %r" % text)
    return port


def build_parser():
    parser = argparse.ArgumentParser(
        prog="ondrel-fpga",
        description="Update a device's FPGA flash over TCP, inspect devices and images, and simulate a device.",
        epilog="Run 'ondrel-fpga demo' for a complete update against a built-in simulated device.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def with_logging(p):
        group = p.add_mutually_exclusive_group()
        group.add_argument("-q", "--quiet", action="store_true", help="show only warnings and errors of the tool")
        group.add_argument("-v", "--verbose", action="store_true", help="also show debug records (digests, headers)")

    def with_device(p):
        p.add_argument("--address", required=True, metavar="HOST", help="device address (IP or host name)")
        p.add_argument("--port", type=_port, default=5025, help="device TCP port (default %(default)s)")

    p = sub.add_parser("update", help="write an image to a device and verify it",
                       description="Connect, initialise the FPGA controller, then write, read back and verify "
                                   "IMAGE (.bin or sealed .tbin). Progress is shown as it goes.")
    p.add_argument("image", metavar="IMAGE", help="image file: .bin (raw) or .tbin (sealed container)")
    with_device(p)
    p.add_argument("--device-type", type=_device_type, default=32, metavar="N",
                   help="device type (default %(default)s; only 32 passes the version check)")
    p.add_argument("--no-fw-check", action="store_true", help="skip the minimum FPGA version check")
    with_logging(p)
    p.set_defaults(run=cmd_update)

    p = sub.add_parser("info", help="show what a device reports",
                       description="Identifier, FPGA version, control firmware version (and whether it meets the "
                                   "minimum), serial number and device information.")
    with_device(p)
    with_logging(p)
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("check", help="check an image file without a device",
                       description="The file checks and, for a .tbin, the header and both tags, offline.")
    p.add_argument("image", metavar="IMAGE")
    with_logging(p)
    p.set_defaults(run=cmd_check)

    p = sub.add_parser("seal", help="seal a raw image into a .tbin container",
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

    p = sub.add_parser("simulate", help="run a simulated device until Ctrl-C",
                       description="A TCP server that answers as a device, with optional faults.")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default %(default)s)")
    p.add_argument("--port", type=_port, default=5025, help="TCP port (default %(default)s; 0 picks a free one)")
    devsim.add_state_arguments(p)
    devsim.add_fault_arguments(p)
    p.set_defaults(run=cmd_simulate)

    p = sub.add_parser("demo", help="update a built-in simulated device, end to end",
                       description="Start a simulated device on a free loopback port, seal a demo image and run "
                                   "the whole update against it, with progress and the result.")
    p.add_argument("--kib", type=int, default=64, help="size of the demo image in KiB (default %(default)s)")
    with_logging(p)
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv=None, out=None):
    out = out or sys.stdout
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, out)
    except Failure as failure:
        out.flush()
        sys.stderr.write("ondrel-fpga: %s\n" % failure)
        return EXIT_FAILED
    except KeyboardInterrupt:
        out.flush()
        sys.stderr.write("\nondrel-fpga: interrupted\n")
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
