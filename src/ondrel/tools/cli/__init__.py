"""ondrel-fpga: update, verify and read devices' FPGA flash, inspect devices
and images, and simulate a device.

Standard output carries results only (a table, or JSON with --json);
progress, log records and reasons go to standard error; the exit statuses
are output.EXITS (and --help says them).
"""

import argparse
import logging
import os
import platform
import sys
import textwrap

import ondrel

from . import flash, images, info, options, rollout, simulate, update
from .output import EXIT_FAILED, EXIT_INTERRUPTED, EXITS, Session

__all__ = ["main", "build_parser"]

COMMANDS = (update, rollout, flash, info, images, simulate)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="ondrel-fpga", formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.fill("Update, verify and read devices' FPGA flash over TCP, inspect devices and images, "
                                  "and simulate a device.  Results go to standard output; progress and reasons to "
                                  "standard error.", 79),
        epilog="exit status:\n%s\n\nenvironment: %s and %s give the device's address and port when --address\n"
               "and --port are not given.  Run 'ondrel-fpga demo' for a complete update against a built-in\n"
               "simulated device." % ("\n".join("  %3d  %s" % exit for exit in EXITS), options.ENV_ADDRESS,
                                      options.ENV_PORT))
    parser.add_argument("--version", action="version", version="%%(prog)s %s (Python %s)"
                        % (ondrel.__version__, platform.python_version()))
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="show the library's log records (-vv: debug records too: digests, headers)")
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress and no log records")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    verbosity = options.verbosity()
    for command in COMMANDS:
        command.add(sub, verbosity)
    return parser


def _own_the_process():
    """Run as a program: the library's records are for this command line
    alone (captured per device), not for a handler on standard output."""
    logging.basicConfig(handlers=[logging.NullHandler()], level=logging.DEBUG)


def _closed_standard_fds():
    """The standard file descriptors (0, 1, 2) that are closed; each is
    opened on /dev/null, so that no socket or file of ours can take its
    number and receive what is written to the stream."""
    closed = set()
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            spare = os.open(os.devnull, os.O_RDWR)
            if spare != fd:
                os.dup2(spare, fd)
                os.close(spare)
    return closed


def main(argv=None, out=None, err=None):
    """The command line; `out` and `err` default to standard output and
    error (either may be closed)."""
    closed = _closed_standard_fds()
    if argv is None:
        _own_the_process()
    if out is None:
        out = None if 1 in closed else sys.stdout
    if err is None:
        err = None if 2 in closed else sys.stderr
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "port", 0) is None:
        parser.error("%s must be a port number from 0 to 65535, not %r"
                     % (options.ENV_PORT, os.environ.get(options.ENV_PORT)))
    session = Session(args, out, err)
    try:
        return args.run(session)
    except options.UsageError as exc:
        parser.error(str(exc))  # exit status 2, as argparse gives for what it finds itself
    except KeyboardInterrupt:
        session.say("interrupted")
        return EXIT_INTERRUPTED
    except Exception as exc:  # no traceback for a user; -v shows it
        session.say("error: %s: %s" % (type(exc).__name__, exc))
        if args.verbose:
            raise
        return EXIT_FAILED
