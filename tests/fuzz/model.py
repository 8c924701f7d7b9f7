"""An independent reading of the .tbin container, in plain Python (struct,
json, hmac), that the fuzzing harnesses and the property tests hold the
library's check against: what it accepts, and the image it then programs.

Integers are unsigned 32-bit big-endian: header length at 0, image length
at 4, image start at 8.  The header tag (16..47) is an HMAC-SHA-256 of the
header bytes (80 onwards, NUL padding included), the image tag (48..79) of
the image bytes; the key is "58203617" and the header's DEV_TYPE (or
dev_type), each type written with at least three digits, several sorted
and joined.  Ranges are cut at the end of the file; an empty image is
refused.  A file is read only as far as its size fields reach."""

import hashlib
import hmac
import json
import struct

KEY_TEXT = b"58203617"


def key_of(header):
    """The tags' key for a header (a dict), or ValueError/TypeError."""
    devtype = header.get("DEV_TYPE")
    if not devtype:
        devtype = header.get("dev_type")
    if isinstance(devtype, list):
        devtype.sort()
        text = "".join("%03d" % int(item) for item in devtype)
    else:
        text = "%03d" % int(devtype)
    return KEY_TEXT + text.encode()


def reference(data):
    """What the container rule says of `data`: ("accept", image, header), or
    (why not, None, None) with why one of "parse", "header", "image", "empty"."""
    data = bytes(data)
    try:
        header_length, image_length, start = struct.unpack_from(">III", data)
        data = data[:max(80, 80 + header_length, start + image_length)]  # read as far as the sizes reach
        header_bytes = data[80:80 + header_length]
        header = json.loads(header_bytes.strip(b"\0").decode("utf-8"))
        if not isinstance(header, dict):
            raise TypeError("not an object")
        key = key_of(header)  # sorts a list of device types in place, as the check does
    except Exception:
        return "parse", None, None
    if not hmac.compare_digest(hmac.new(key, header_bytes, hashlib.sha256).digest(), data[16:48]):
        return "header", None, None
    image = data[start:start + image_length]
    if not hmac.compare_digest(hmac.new(key, image, hashlib.sha256).digest(), data[48:80]):
        return "image", None, None
    return ("accept", image, header) if image else ("empty", None, None)


def seal(image, header, header_padding=b"", gap=b""):
    """A container of `image` under `header` (a dict), sealed by this
    reading's own rule: the header, its padding, a gap, then the image."""
    header_bytes = json.dumps(header).encode() + header_padding
    key = key_of(json.loads(header_bytes.strip(b"\0")))
    start = 80 + len(header_bytes) + len(gap)
    return (struct.pack(">IIII", len(header_bytes), len(image), start, 0)
            + hmac.new(key, header_bytes, hashlib.sha256).digest() + hmac.new(key, image, hashlib.sha256).digest()
            + header_bytes + gap + image)
