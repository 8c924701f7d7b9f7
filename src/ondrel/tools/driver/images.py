"""An image, checked once by the library's own checks."""

import hashlib

from ._common import Offline, captured, reason_of, tarnel, windowed


class ImageRefused(Exception):
    """The library's checks refused an image; `reasons` are its own words."""

    def __init__(self, path, reasons):
        super().__init__("%s refused: %s" % (path, "; ".join(reasons) or "no reason given"))
        self.path = path
        self.reasons = reasons


class Image:
    """An image the library's checks accepted, and what they found in it."""

    def __init__(self, path, kind, data, header):
        self.path = path
        self.kind = kind  # "raw" or "container"
        self.data = data  # the bytes an update programs
        self.header = header  # the container's header (a dict), or None
        self.sha256 = hashlib.sha256(data).hexdigest()

    @property
    def device_types(self):
        """The device types a container is sealed for (ints), or None."""
        if self.header is None:
            return None
        value = self.header.get("DEV_TYPE") or self.header.get("dev_type")
        values = value if isinstance(value, list) else [value]
        try:
            return sorted(int(v) for v in values)
        except (TypeError, ValueError):
            return None

    @property
    def version(self):
        """The FPGA version the image brings ("FPGA_VERSION" of its header), or None."""
        value = (self.header or {}).get("FPGA_VERSION")
        return value if isinstance(value, str) else None


def check_image(path):
    """The library's file and header checks of `path`, offline, as an update
    runs them: the Image they accepted, or ImageRefused with their reasons."""
    tool = tarnel().FpgaTool(Offline())
    with captured() as capture:
        try:
            found = windowed().check_image(tool, path)
        except (OSError, ValueError) as exc:  # the checks let some system errors through
            raise ImageRefused(path, [reason_of(exc)]) from None
    if not found["accepted"]:
        raise ImageRefused(path, capture.errors())
    return Image(path, found["kind"], found["image"], found["header"])


