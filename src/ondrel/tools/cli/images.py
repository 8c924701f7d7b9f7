"""ondrel-fpga check and seal: image files, offline."""

import re

from .. import driver, tbin
from . import options
from .files import write_atomically
from .output import EXIT_FAILED, image_fields, record

_VERSION = re.compile(r"[0-9]+(\.[0-9]+){3}")


def add(sub, verbosity):
    p = sub.add_parser("check", parents=[verbosity], help="check an image file without a device",
                       description="The library's file checks and, for a .tbin, the header and both tags, "
                                   "offline: what an update would accept, and what it brings.")
    p.add_argument("image", metavar="IMAGE")
    options.trust(p)
    p.add_argument("--json", action="store_true", help="print one JSON object on standard output, nothing else")
    p.set_defaults(run=run_check)

    p = sub.add_parser("sign", parents=[verbosity], help="sign an image with an SSH key (IMAGE.sig)",
                       description="Sign IMAGE as `ssh-keygen -Y sign -n %s -f KEY IMAGE` does, writing "
                                   "IMAGE.sig; a lab's allowed_signers file then says whose images it accepts "
                                   "(--allowed-signers)." % driver.SIGNATURE_NAMESPACE)
    p.add_argument("image", metavar="IMAGE")
    p.add_argument("--key", required=True, metavar="KEY", help="the private key (its passphrase is asked for "
                                                               "by ssh-keygen)")
    p.add_argument("--force", action="store_true", help="replace IMAGE.sig if it exists")
    p.add_argument("--json", action="store_true", help="print one JSON object on standard output, nothing else")
    p.set_defaults(run=run_sign)

    p = sub.add_parser("seal", parents=[verbosity], help="seal a raw image into a .tbin container",
                       description="Build a .tbin container: a JSON header naming the device type(s) (and, with "
                                   "--fpga-version, the FPGA version the image brings) and HMAC-SHA-256 tags over "
                                   "the header and the image.")
    p.add_argument("image", metavar="IMAGE.bin", help="raw image to seal")
    p.add_argument("--device-type", type=options.device_type, action="append", required=True, metavar="N",
                   help="device type the image is for; repeat for several")
    p.add_argument("--fpga-version", metavar="A.B.C.D", type=_fpga_version,
                   help="the FPGA version the image brings, stored as the header's FPGA_VERSION")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tbin", help="container to write")
    p.add_argument("--header", type=options.header_field, action="append", default=[], metavar="KEY=VALUE",
                   help="further header field (VALUE is JSON when it parses, else text); repeatable")
    p.add_argument("--force", action="store_true", help="overwrite OUT.tbin if it exists")
    p.add_argument("--json", action="store_true", help="print one JSON object on standard output, nothing else")
    p.set_defaults(run=run_seal)


def _fpga_version(text):
    if not _VERSION.fullmatch(text):
        import argparse

        raise argparse.ArgumentTypeError("an FPGA version is four dotted numbers (0.2.4.0), got %r" % text)
    return text


def run_check(session):
    path = session.args.image
    try:
        image = driver.check_image(path, options.trust_of(session.args))
    except driver.ImageRefused as refused:
        if session.json:
            session.emit_json(record("check", file=path, result="refused", reason=str(refused)))
        session.say(str(refused))
        return EXIT_FAILED
    if session.json:
        session.emit_json(record("check", file=path, result="ok", **image_fields(image)))
    else:
        brings = " bringing FPGA %s" % image.version if image.version else ""
        signed = "; signed by %s" % image.signer if image.signer else ""
        if image.kind == "container":
            types = ", ".join(map(str, image.device_types or [])) or "?"
            session.emit("ok: %s is a sealed container for device type %s%s, %d image bytes%s\n"
                         % (path, types, brings, len(image.data), signed))
        else:
            session.emit("ok: %s is a raw image of %d bytes (raw images carry no integrity data)%s\n"
                         % (path, len(image.data), signed))
    return session.status(False)


def _refuser(session, command, file):
    """What a file command says when it refuses: the reason, and its JSON record."""
    def refused(reason):
        if session.json:
            session.emit_json(record(command, file=file, result="refused", reason=reason))
        session.say(reason)
        return EXIT_FAILED

    return refused


def run_sign(session):
    import os

    args = session.args
    refused = _refuser(session, "sign", args.image)
    signature = args.image + ".sig"
    if not os.path.isfile(args.image):
        return refused("%s is not a file" % args.image)
    if os.path.exists(signature):
        if not args.force:
            return refused("refusing to overwrite %s (use --force)" % signature)
        os.unlink(signature)
    try:
        key = driver.sign(args.image, args.key)
    except driver.SignatureRefused as exc:
        return refused(str(exc))
    if session.json:
        session.emit_json(record("sign", file=args.image, result="ok", signer={"principal": None, "key": key}))
    else:
        session.emit("signed %s with %s (%s) into %s\n" % (args.image, args.key, key, signature))
    return session.status(False)


def run_seal(session):
    import os

    args = session.args
    refused = _refuser(session, "seal", args.output)
    if os.path.exists(args.output) and not args.force:
        return refused("refusing to overwrite %s (use --force)" % args.output)
    try:
        with open(args.image, "rb") as f:
            raw = f.read()
    except OSError as exc:
        return refused("cannot read %s: %s" % (args.image, exc.strerror or exc))
    types = args.device_type[0] if len(args.device_type) == 1 else sorted(args.device_type)
    header = dict(args.header)
    if args.fpga_version:
        header["FPGA_VERSION"] = args.fpga_version
    try:
        write_atomically(args.output, tbin.seal(raw, types, header=header))
    except OSError as exc:
        return refused("cannot write %s: %s" % (args.output, exc.strerror or exc))
    try:
        image = driver.check_image(args.output)  # what an update will find in it
    except driver.ImageRefused as exc:
        return refused(str(exc))
    if session.json:
        session.emit_json(record("seal", file=args.output, result="ok", **image_fields(image)))
    else:
        session.emit("sealed %s into %s for device type %s%s (%d image bytes)\n"
                     % (args.image, args.output, ", ".join(map(str, args.device_type)),
                        ", FPGA %s" % args.fpga_version if args.fpga_version else "", len(raw)))
    return session.status(False)
