"""Options shared by the commands, and the parsers of their values."""

import argparse
import contextlib
import json
import os
import re

from .. import driver, values

ENV_ADDRESS, ENV_PORT = "ONDREL_FPGA_ADDRESS", "ONDREL_FPGA_PORT"


class UsageError(Exception):
    """An argument the parser could not judge alone (exit status 2)."""


def _parsed(rule, parse, text, *args):
    """The value `text` gives through `parse`, checked by `rule` (of values.py)."""
    try:
        return rule(parse(text), *args)
    except ValueError as exc:
        raise argparse.ArgumentTypeError("%s, got %r" % (str(exc).split(", not ")[0], text)) from None


def _number(kind):
    def parse(text):
        try:
            return kind(text)
        except ValueError:
            return text  # refused by the rule, naming what was given

    return parse


def whole(low, high, what):
    return lambda text: _parsed(values.whole, _number(int), text, low, high, what)


port_number = whole(0, 65535, "port")


def seconds(text):
    return _parsed(values.seconds, _number(float), text)


def size(text):
    units = {"": 1, "k": 1024, "kib": 1024, "m": 1 << 20, "mib": 1 << 20}
    number, unit = re.fullmatch(r"(.*?)([KMiBkmib]*)", text).groups()
    unit = unit.lower()
    try:
        value = int(number) * units[unit]
    except (ValueError, KeyError):
        value = 0
    if not 0 < value <= 1 << 30:
        raise argparse.ArgumentTypeError("size must be a number of bytes from 1 to 1 GiB (K and M allowed), got %r"
                                         % text)
    return value


def device_type(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("device type must be a whole number, got %r" % text) from None


def header_field(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    with contextlib.suppress(ValueError):
        return key, json.loads(value)
    return key, value


def default_port():
    text = os.environ.get(ENV_PORT)
    if text is None:
        return driver.DEFAULT_PORT
    try:
        return port_number(text)
    except argparse.ArgumentTypeError:
        return None  # refused when a device is named (see main)


def verbosity():
    """-v and -q, which may also follow the command."""
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument("-v", "--verbose", action="count", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    parent.add_argument("-q", "--quiet", action="store_true", default=argparse.SUPPRESS, help=argparse.SUPPRESS)
    return parent


def devices(p, several=False):
    """Which devices, and how long to wait for them."""
    if several:
        p.add_argument("--address", action="append", metavar="HOST[:PORT]",
                       help="a device; repeat for several, which are worked on in parallel (default $%s)"
                            % ENV_ADDRESS)
        p.add_argument("--addresses", metavar="FILE", help="a file naming one HOST[:PORT] a line (# comments)")
        p.add_argument("--jobs", type=whole(1, values.MAX_JOBS, "--jobs"), metavar="N",
                       help="work on at most N devices at once (default: all)")
    else:
        p.add_argument("--address", action="append", metavar="HOST[:PORT]",
                       help="the device (default $%s)" % ENV_ADDRESS)
    p.add_argument("--port", type=port_number, default=default_port(),
                   help="TCP port of devices named without one (default $%s, else %d)"
                        % (ENV_PORT, driver.DEFAULT_PORT))
    p.add_argument("--timeout", type=seconds, default=driver.DEFAULT_TIMEOUT, metavar="SECONDS",
                   help="time allowed for each reply of the device (default %(default)s)")
    p.add_argument("--connect-timeout", type=seconds, default=driver.DEFAULT_CONNECT_TIMEOUT, metavar="SECONDS",
                   help="time allowed for the device to accept the connection (default %(default)s)")


def erase_timeout(p):
    p.add_argument("--erase-timeout", type=seconds, default=driver.DEFAULT_ERASE_TIMEOUT, metavar="SECONDS",
                   help="time allowed for the flash erase's reply, which a real device may take long over "
                        "(default %(default)s)")


def window_value(text):
    try:
        return _parsed(values.window, _number(int), text)
    except argparse.ArgumentTypeError as exc:
        raise argparse.ArgumentTypeError("--window: %s" % exc) from None


def window(p):
    p.add_argument("--window", type=window_value, default=1, metavar="N",
                   help="keep up to N commands in flight while writing and reading back (default 1: one at a "
                        "time); on a real network 32 is many times faster")


def trust(p):
    """Whose images are accepted: an allowed_signers file, and whether a signature is required."""
    p.add_argument("--allowed-signers", metavar="FILE",
                   help="accept only images signed (IMAGE.sig, by ssh-keygen -Y sign -n %s) by a key this OpenSSH "
                        "allowed_signers file allows (default $%s)" % (driver.SIGNATURE_NAMESPACE,
                                                                        driver.ENV_ALLOWED_SIGNERS))
    p.add_argument("--require-signature", action="store_true",
                   help="refuse an image without a trusted signature, and refuse to go on without allowed signers")


def trust_of(args, allowed_signers=None, required=False):
    """The Trust the arguments ask for; a plan's own settings (`allowed_signers`,
    `required`) count when the command line gives none."""
    named = getattr(args, "allowed_signers", None) or allowed_signers or os.environ.get(driver.ENV_ALLOWED_SIGNERS)
    return driver.Trust(named or None, getattr(args, "require_signature", False) or required)


def output(p, json_output=True, progress=True):
    if progress:
        p.add_argument("--no-progress", action="store_true", help="show no progress")
    if json_output:
        p.add_argument("--json", action="store_true",
                       help="print one JSON object a line (one per device or file) on standard output, nothing "
                            "else; see the README for its keys")


def targets(args, several=False):
    """The devices the arguments name, parsed, resolved and told apart:
    UsageError for a malformed name or one device named twice."""
    texts = list(args.address or [])
    if several and getattr(args, "addresses", None):
        try:
            with open(args.addresses) as f:
                texts += [line.split("#")[0].strip() for line in f if line.split("#")[0].strip()]
        except OSError as exc:
            raise UsageError("cannot read %s: %s" % (args.addresses, exc.strerror or exc)) from None
    if not texts and os.environ.get(ENV_ADDRESS):
        texts = [os.environ[ENV_ADDRESS]]
    if not texts:
        raise UsageError("no device address: give --address HOST (or set %s)" % ENV_ADDRESS)
    if len(texts) > 1 and not several:
        raise UsageError("--address: this command works on one device, not %d" % len(texts))
    try:
        found = [driver.parse_target(text, args.port) for text in texts]
    except ValueError as exc:
        raise UsageError("--address: %s" % exc) from None
    try:
        return driver.resolve(found)
    except driver.DuplicateTarget as exc:
        raise UsageError(str(exc)) from None
