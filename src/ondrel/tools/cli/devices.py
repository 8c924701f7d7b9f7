"""What every device command shares, as pip's cli keeps its shared request
code in one module: an image checked for devices, the refusal of all of
them, the work on them with the display, and what a comparison with an
image says."""

from .. import driver
from ..work import run_shown
from .output import EXIT_FAILED, device_record

__all__ = ["image_for", "say_signers", "refuse", "work", "update", "verify", "say_comparison"]


def image_for(path, device_type=None, force=False, trust=None):
    """(the image, None), or (None or the image, why no device may get it):
    the library's checks refused it, its signature is not trusted (`trust`),
    or it is sealed for other device types than `device_type` (unless
    `force`)."""
    try:
        image = driver.check_image(path, trust)
    except driver.ImageRefused as refused:
        return None, str(refused)
    refusal = None if force or device_type is None else driver.sealed_for_another_type(image, device_type)
    if refusal:
        return image, "%s is %s, not %d (--force updates anyway)" % (path, refusal, device_type)
    return image, None


def say_signers(session, images):
    """Who signed each image whose signature was checked, once per file."""
    seen = set()
    for image in images:
        if image is not None and image.signer is not None and image.path not in seen:
            seen.add(image.path)
            session.note("%s is signed by %s" % (image.path, image.signer))


def refuse(session, devices, reason, command="update", file=None):
    """Every device untouched: the image (or plan) was refused first."""
    for device in devices:
        device.outcome.result, device.outcome.reason = "refused", reason
    if session.json:
        for device in devices:
            session.emit_json(device_record(command, device.outcome, file=file))
    session.say(reason)
    return EXIT_FAILED


def work(session, devices, operation, expected=0, jobs=None, several=None, **running):
    """Runs operation(device, tool, outcome) on every device with the
    session's display; their outcomes (see work.run_shown)."""
    return run_shown(session, devices, operation, expected, jobs, several, **running)


def update(session, devices, image, device_type, check_version=True, jobs=None):
    """The update of `image` on every device (programmed from its snapshot)."""
    image.keep()
    return work(session, devices, driver.update(image, device_type, check_version), 2 * len(image.data), jobs)


def verify(session, device, image):
    """The image's length of flash read back from the device and compared."""
    return work(session, [device], driver.verify(image), len(image.data))[0]


def say_comparison(session, outcome, path, image):
    """The verdict of a comparison with the image, on standard output."""
    values = outcome.values
    if session.json or not values.get("comparison"):
        return
    label = outcome.target.label
    if values["equal"]:
        session.emit("equal: %s holds %s (%d bytes)%s\n" % (label, path, len(image.data),
                                                            values["comparison"][len("equal"):]))
    else:
        session.emit("different: %s does not hold %s: %s\n" % (label, path, values["comparison"]))
