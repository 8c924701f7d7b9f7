"""ondrel-fpga info: what a device reports about itself."""

import json

from .. import driver
from . import devices as shared
from . import options


def add(sub, verbosity):
    p = sub.add_parser("info", parents=[verbosity], help="show what a device reports",
                       description="Identifier, FPGA version, control firmware version (and whether it meets the "
                                   "minimum), serial number and device information.")
    options.devices(p)
    options.output(p, progress=False)
    p.set_defaults(run=run)


def run(session):
    args = session.args
    target = options.targets(args)[0]
    device = driver.Device(target, args.timeout, connect_timeout=args.connect_timeout)
    outcome = shared.work(session, [device], driver.info())[0]
    return session.report("info", [outcome], _text if outcome.result == "ok" else None)


def _text(outcomes):
    info = outcomes[0].values
    meets = {True: "yes", False: "no"}.get(info["control_firmware_ok"], "unknown")
    rows = [("identifier", info["identifier"] or "-"), ("FPGA version", info["fpga_version"] or "-"),
            ("control firmware", "%s (minimum %s met: %s)" % (info["control_firmware"] or "-",
                                                            info["minimum_control_firmware"], meets)),
            ("serial number", info["serial_number"] or "-")]
    text = "".join("%-17s %s\n" % (label + ":", value) for label, value in rows)
    details = info["device_info"]
    pretty = json.dumps(details, indent=2) if not isinstance(details, str) else details
    return text + "device info:\n%s\n" % "\n".join("  " + line for line in pretty.splitlines())
