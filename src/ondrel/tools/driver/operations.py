"""The operations a Device runs: each is a callable(device, tool, outcome)."""

import json

from ._common import UNTOUCHED, UNVERIFIED, VERIFIED, reason_of, tarnel, windowed
from .device import Failure, Refusal


def current_version(tool, device_type):
    """The FPGA version the device reports, read as the library reads it
    after an update (its own rule), or None when it reports none or nothing
    the rule can read."""
    try:
        return windowed().version_after_update(tool, device_type) or None
    except (ValueError, TypeError):  # device information that is no JSON object
        return None


def same_version(a, b):
    """Whether two version texts name one version ("0.2.4" and "0.2.4.0"
    do), as the library orders versions; text that is not a version is
    compared as text."""
    from ondrel.QarUtils import VER

    try:
        return VER(a) == VER(b)
    except (TypeError, ValueError):
        return a == b


def update_refusal(device_type, version):
    """Why the initialisation of an update would refuse a device of
    `device_type` that runs `version` (the library's own words), or None."""
    Tarnel = tarnel()
    if device_type not in Tarnel._DEVICE_WHITELIST or not version:
        return None
    minimum = Tarnel._FPGA_VER_MIN_DEV32
    try:
        below = Tarnel.VER(version) < Tarnel.VER(minimum)
    except (TypeError, ValueError) as exc:
        return "FPGA initialization failed: %s" % exc
    return "FPGA version %s is lower than minimum required version %s." % (version, minimum) if below else None


def first_difference(flash, image):
    """(offset, device byte, image byte) of the first byte that differs, or
    None when the flash holds the image (perhaps followed by more)."""
    common = min(len(flash), len(image))
    if flash[:common] == image[:common]:
        return None if len(flash) >= len(image) else (len(flash), None, image[len(flash)])
    offset = next(i for i in range(common) if flash[i] != image[i])
    return offset, flash[offset], image[offset]


def describe_difference(difference, flash, image):
    if difference is None:
        return "equal" + ("; only the padding of the last, partial page differs: the device returned %d more "
                          "bytes" % (len(flash) - len(image)) if len(flash) > len(image) else "")
    offset, device_byte, image_byte = difference
    if device_byte is None:
        return "the device returned %d of the image's %d bytes" % (len(flash), len(image))
    return "first difference at offset %d (0x%x): device 0x%02x, image 0x%02x" % (offset, offset, device_byte,
                                                                                  image_byte)


def update(image, device_type, check_version=True):
    """Initialise, then the library's whole update of `image`."""

    def operation(device, tool, outcome):
        Tarnel = tarnel()
        RetCode = Tarnel.RetCode
        outcome.total = len(image.data)
        device.stage("initialise")
        device.reset_errors()
        init = tool.initFpga(device_type, disable_fw_check=not check_version)
        if init.RetCode is RetCode.OK:
            outcome.values["identifier"] = init.RetData["fpga_id"] or None
            outcome.values["version_before"] = init.RetData["fpga_version"] or None
        elif init.RetCode is RetCode.WARNING and device_type not in Tarnel._DEVICE_WHITELIST:
            outcome.warnings.append(init.RetMsg.rstrip(".") + "; updating without it")
            outcome.values["version_before"] = current_version(tool, device_type)
        elif init.RetCode is RetCode.ERROR and device.last_error is not None:  # the device failed it
            raise Failure("%s (while initialising)" % reason_of(device.last_error))
        else:
            raise Refusal("initialisation refused: %s" % init.RetMsg)
        device.rewrite = image.shown  # the library names the snapshot: records name the user's file
        ret = device.update(tool, image.snapshot_path, device_type)
        errors = [text for level, text in outcome.records if level == "ERROR" and text != ret.RetMsg]
        if ret.RetCode is not RetCode.OK:
            if outcome.state == UNTOUCHED:
                raise Refusal("%s: %s" % (ret.RetMsg.rstrip("."), "; ".join(errors)) if errors else ret.RetMsg)
            if "Verify Failed" in errors:
                outcome.state = UNVERIFIED
                device.stage("read-back")
                flash = device.read_flash(tool, len(image.data), "read-back")
                difference = first_difference(flash, image.data)
                raise Failure("read-back differs from the image: %s" % describe_difference(difference, flash,
                                                                                          image.data))
            raise Failure("; ".join(errors) or ret.RetMsg)
        outcome.state = VERIFIED
        outcome.values["version_after"] = ret.RetData["fw_version"] or None
        before, after = outcome.values.get("version_before"), outcome.values["version_after"]
        if image.version is not None and after is not None and not same_version(after, image.version):
            raise Failure("runs %s after the update; the image brings %s" % (after, image.version))
        if image.version is not None and after is None and device_type in (28, 32):
            outcome.warnings.append("the device reports no FPGA version after the update (the image brings %s)"
                                    % image.version)
        if after and after == before:
            outcome.warnings.append("the FPGA version is %s before and after the update" % after)

    return operation


def verify(image):
    """Reads the image's length of flash back and compares it."""

    def operation(device, tool, outcome):
        flash = device.read_flash(tool, len(image.data), "verify")
        difference = first_difference(flash, image.data)
        outcome.values.update(equal=difference is None, read=len(flash), padding=max(0, len(flash) - len(image.data)),
                              first_difference=None if difference is None or difference[1] is None else
                              {"offset": difference[0], "device": difference[1], "image": difference[2]})
        outcome.values["comparison"] = describe_difference(difference, flash, image.data)
        if difference is not None:
            raise Failure("different: " + outcome.values["comparison"])

    return operation


def dump(size):
    """Reads `size` bytes of flash (values["data"])."""

    def operation(device, tool, outcome):
        flash = device.read_flash(tool, size, "read")
        if len(flash) < size:
            raise Failure("the device returned %d of the %d bytes asked for" % (len(flash), size))
        outcome.values["data"] = flash[:size]

    return operation


def info(device_type=32):
    """What the device reports about itself."""

    def operation(device, tool, outcome):
        device.stage("query")
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
        outcome.values.update(identifier=tool._fpgaGetId() or None, fpga_version=tool._fpgaGetVersion() or None,
                              control_firmware=firmware or None, control_firmware_ok=meets,
                              minimum_control_firmware=tarnel()._FPGA_FW_VER_MIN,
                              serial_number=tool._fpgaGetSerialNumber() or None, device_info=details)

    return operation


def version(device_type):
    """What the device is and runs now (values["identifier"], ["version_before"])."""

    def operation(device, tool, outcome):
        device.stage("query")
        outcome.values["identifier"] = tool._fpgaGetId() or None
        outcome.values["version_before"] = current_version(tool, device_type)

    return operation
