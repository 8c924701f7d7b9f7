"""The ``.tbin`` FPGA image container: sealing and reading it.

Layout (integers are unsigned 32-bit big-endian)::

    offset  size           field
    0       4              header length
    4       4              image length
    8       4              image start (absolute file offset)
    12      4              unused
    16      32             HMAC-SHA-256 of the header bytes
    48      32             HMAC-SHA-256 of the image bytes
    80      header length  header: a JSON object in UTF-8, NUL padding allowed
    start   image length   the raw FPGA image

Both tags use the key "58203617" followed by the device type(s) of the
header, each written with at least three digits ("032"; several types sorted
and joined: "028032"): the library's own rule (ondrel.windowed.container_key),
so that what is sealed here is what the library's check accepts.
"""

import hashlib
import hmac
import json
import struct

__all__ = ["PREAMBLE_SIZE", "device_types", "seal", "Container", "extent", "read"]

PREAMBLE_SIZE = 80


def _key(dev_type):
    from ondrel.windowed import container_key

    return container_key(list(dev_type) if isinstance(dev_type, list) else dev_type)  # (it sorts a list in place)


def seal(image, dev_type, header=None, nul_padding=0, key_name="DEV_TYPE"):
    """A container holding ``image`` for ``dev_type`` (an int or a list).

    ``header`` adds further keys to the JSON header; ``nul_padding`` NUL
    bytes follow the JSON text (they are covered by the header tag).
    """
    fields = {key_name: dev_type}
    fields.update(header or {})
    header_bytes = json.dumps(fields).encode("utf-8") + b"\0" * nul_padding
    key = _key(dev_type)
    start = PREAMBLE_SIZE + len(header_bytes)
    preamble = struct.pack(">III4x", len(header_bytes), len(image), start)
    preamble += hmac.new(key, header_bytes, hashlib.sha256).digest()
    preamble += hmac.new(key, bytes(image), hashlib.sha256).digest()
    return preamble + header_bytes + bytes(image)


class Container:
    """The fields of a container as stored (nothing is verified here)."""

    def __init__(self, data):
        if len(data) < 12:
            raise ValueError("%d bytes is too short for a container" % len(data))
        self.header_length, self.image_length, self.image_start = struct.unpack_from(">III", data)
        self.header_tag = bytes(data[16:48])
        self.image_tag = bytes(data[48:80])
        self.header_bytes = bytes(data[80 : 80 + self.header_length])
        self.image = bytes(data[self.image_start : self.image_start + self.image_length])

    @property
    def header(self):
        return json.loads(self.header_bytes.strip(b"\0").decode("utf-8"))

    def dev_type(self):
        header = self.header
        return header.get("DEV_TYPE") or header.get("dev_type")

    def verify(self):
        """True when both tags match the key of the header's device type(s)."""
        key = _key(self.dev_type())
        return hmac.compare_digest(hmac.new(key, self.header_bytes, hashlib.sha256).digest(), self.header_tag) and (
            hmac.compare_digest(hmac.new(key, self.image, hashlib.sha256).digest(), self.image_tag)
        )


def extent(data):
    """How far into a container its size fields reach (the preamble, the
    header and the image); no byte past it is ever used."""
    header_length, image_length, start = struct.unpack_from(">III", data)
    return max(PREAMBLE_SIZE, PREAMBLE_SIZE + header_length, start + image_length)


def read(path):
    """The container at `path`, read only as far as its size fields reach."""
    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12:
            return Container(head)
        return Container(head + f.read(extent(head) - 12))


def device_types(dev_type):
    """The device types a header names, as a list of ints (what the key
    rule accepts: an int, a decimal text, or a list of them)."""
    values = dev_type if isinstance(dev_type, list) else [dev_type]
    return [int(value) for value in values]
