"""An image, checked once by the library's own checks, and the snapshot of
the checked bytes that every device is programmed from."""

import hashlib
import os
import threading

from . import signatures
from ._common import Offline, captured, reason_of, tarnel, windowed
from .snapshot import Snapshot


class ImageRefused(Exception):
    """The library's checks refused an image; `reasons` are its own words."""

    def __init__(self, path, reasons):
        super().__init__("%s refused: %s" % (path, "; ".join(reasons) or "no reason given"))
        self.path = path
        self.reasons = reasons


class Image:
    """An image the library's checks accepted, and what they found in it.

    `path` is the file as the user named it, read once, by the checks;
    `snapshot_path` (made when first asked for) is a file holding exactly
    the bytes the checks accepted, which nothing can change: programming
    from it, every device gets what `sha256` names."""

    def __init__(self, path, kind, data, header, checked=None):
        self.path = path
        self.kind = kind  # "raw" or "container"
        self.data = data  # the bytes an update programs
        self.header = header  # the container's header (a dict), or None
        self.sha256 = hashlib.sha256(data).hexdigest()
        self._checked = data if checked is None else checked  # the file's bytes the checks accepted
        self.signer = None  # a signatures.Signer, once its signature was checked
        self._snapshot = None
        self._lock = threading.Lock()

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

    def keep(self):
        """Makes the snapshot of the checked bytes that devices are
        programmed from (ImageRefused when it cannot be made); returns the
        image.  A command that programs devices keeps its image before it
        touches the first one."""
        with self._lock:
            if self._snapshot is None:
                suffix = ".tbin" if self.kind == "container" else ".bin"
                try:
                    self._snapshot = Snapshot(self._checked, suffix)
                except OSError as exc:
                    raise ImageRefused(self.path, ["cannot keep a private copy of it: %s" % reason_of(exc)]) \
                        from None
        return self

    @property
    def snapshot_path(self):
        """The path of the snapshot of the checked bytes (made now if it was not)."""
        return self.keep()._snapshot.path

    def shown(self, text):
        """`text` (a library record) with the snapshot's path as the user named the image."""
        snapshot = self._snapshot
        return text.replace(snapshot.path, self.path) if snapshot is not None else text

    def close(self):
        """Removes the snapshot (it is removed at exit otherwise)."""
        with self._lock:
            if self._snapshot is not None:
                self._snapshot.close()


def sealed_for_another_type(image, device_type):
    """Why `image` is not for `device_type` ("sealed for device type 28"),
    or None: a container sealed for device types that do not include it."""
    types = image.device_types
    if image.kind == "container" and types is not None and device_type not in types:
        return "sealed for device type %s" % ", ".join(map(str, types))
    return None


def check_image(path, trust=None):
    """The library's file and header checks of `path`, offline, as an update
    runs them, and, when `trust` (a signatures.Trust) asks for it, its
    signature over the snapshot of the checked bytes: the Image they
    accepted, or ImageRefused with their reasons."""
    tool = tarnel().FpgaTool(Offline())
    with captured() as capture:
        try:
            found = windowed().check_image(tool, os.fspath(path))
        except (OSError, ValueError) as exc:  # the checks let some system errors through
            raise ImageRefused(path, [reason_of(exc)]) from None
    if not found["accepted"]:
        raise ImageRefused(path, capture.errors())
    image = Image(path, found["kind"], found["image"], found["header"], found.get("file"))
    if trust is not None and trust.asked:
        try:
            image.signer = _signer(image, trust)
        except signatures.SignatureRefused as refused:
            image.close()
            raise ImageRefused(path, [str(refused)]) from None
    return image


def _signer(image, trust):
    """Who signed the image, checked over its snapshot (the bytes every device gets)."""
    try:
        with open(image.path + ".sig", "rb") as f:
            signature = f.read()
    except FileNotFoundError:
        signature = None
    except OSError as exc:
        raise signatures.SignatureRefused("cannot read %s.sig: %s" % (os.path.basename(image.path),
                                                                      exc.strerror or exc)) from None
    image.keep()
    return signatures.verify(image.snapshot_path, signature, os.path.basename(image.path), trust,
                             image._snapshot.folder)
