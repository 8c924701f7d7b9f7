"""Property-based fuzzing of the container: _checkFileHeader always answers
with a bool, explains every refusal with exactly one error line, and accepts
exactly the files whose two tags verify under the key rule; programming
reads the layout the same way (an error, or exactly the image's bytes)."""

import hashlib
import hmac
import json
import logging
import os
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import ondrel.Tarnel as Tarnel
from ondrel.tools.tbin import seal

from .fakes import DeviceConnection, RecordingConnection
from .fuzz import model

EXAMPLES = int(os.environ.get("ONDREL_FUZZ_EXAMPLES", "300"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FOLDER = tempfile.mkdtemp(prefix="ondrel-fuzz-")
PATH = os.path.join(FOLDER, "image.tbin")
MESSAGES = {"parse": "FPGA tbin header parse error: ", "header": "FPGA tbin header hash mismatch",
            "image": "FPGA tbin image hash mismatch", "empty": "FPGA tbin image is empty: " + PATH}


def reference(data):
    """What the container rule says of `data`: accept, or why not."""
    return model.reference(data)[0]


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelno, record.getMessage()))


@pytest.fixture(scope="module")
def log():
    logger = logging.getLogger("FPGA")
    records = Records()
    saved = logger.propagate, logger.level
    logger.addHandler(records)
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    yield records
    logger.removeHandler(records)
    logger.propagate, logger.level = saved


def check(data, log):
    with open(PATH, "wb") as f:
        f.write(data)
    log.records = []
    result = Tarnel.FpgaTool(RecordingConnection(record=False))._checkFileHeader(PATH)
    assert type(result) is bool
    expected = reference(bytes(data))
    event(expected)
    errors = [message for level, message in log.records if level == logging.ERROR]
    if expected == "accept":
        assert result is True and errors == []
    else:
        assert result is False
        assert len(errors) == 1 and errors[0].startswith(MESSAGES[expected]), (expected, errors)
        assert log.records[-1] == (logging.ERROR, errors[0])  # the error line is the last word
    return result


# --- strategies ----------------------------------------------------------------------

json_scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True),
                         st.text(max_size=8), st.sampled_from(["32", " 28 ", "-5", "1_0", "0x20", "", "３２"]))
device_types = st.one_of(json_scalars, st.lists(json_scalars, max_size=4),
                         st.lists(st.integers(-1000, 100000), max_size=5),
                         st.lists(st.sampled_from(["4", "32", "028", "7"]), max_size=4),
                         st.dictionaries(st.text(max_size=3), json_scalars, max_size=2))
headers = st.dictionaries(st.sampled_from(["DEV_TYPE", "dev_type", "FPGA_VER", "other"]), device_types, max_size=4)
sizes = st.one_of(st.integers(0, 300), st.integers(2**32 - 300, 2**32 - 1), st.just(2**31))


@st.composite
def sealed_files(draw):
    """Containers sealed under the key rule (when the header allows one)."""
    header = draw(headers)
    image = draw(st.binary(max_size=200))
    padding = b"\0" * draw(st.integers(0, 6))
    header_bytes = draw(st.sampled_from([b"", b"\0"])) + json.dumps(header).encode() + padding
    gap = draw(st.binary(max_size=5))
    try:
        devtype = header.get("DEV_TYPE") or header.get("dev_type")
        devtype = sorted(devtype) if isinstance(devtype, list) else devtype
        text = "".join("%03d" % int(t) for t in devtype) if isinstance(devtype, list) else "%03d" % int(devtype)
        key = b"58203617" + text.encode()
    except Exception:
        key = draw(st.binary(min_size=1, max_size=12))
    start = 80 + len(header_bytes) + len(gap)
    preamble = struct.pack(">III", len(header_bytes), len(image), start) + draw(st.binary(min_size=4, max_size=4))
    preamble += hmac.new(key, header_bytes, hashlib.sha256).digest() + hmac.new(key, image, hashlib.sha256).digest()
    return preamble + header_bytes + gap + image


@st.composite
def mutated(draw, files):
    data = bytearray(draw(files))
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["flip", "truncate", "extend", "field"]))
        if kind == "flip" and data:
            at = draw(st.integers(0, len(data) - 1))
            data[at] ^= draw(st.integers(1, 255))
        elif kind == "truncate":
            del data[draw(st.integers(0, len(data))):]
        elif kind == "extend":
            data += draw(st.binary(max_size=20))
        elif len(data) >= 12:
            field = draw(st.sampled_from([0, 4, 8]))
            data[field:field + 4] = struct.pack(">I", draw(sizes))
    return bytes(data)


@st.composite
def layouts(draw):
    """Arbitrary preambles: lengths near 2**32, fields past the end."""
    fields = struct.pack(">III", draw(sizes), draw(sizes), draw(sizes))
    return fields + draw(st.binary(max_size=300))


# --- properties ------------------------------------------------------------------------


@FUZZ
@given(data=st.binary(max_size=400))
def test_arbitrary_bytes(log, data):
    check(data, log)


@FUZZ
@given(data=layouts())
def test_arbitrary_layouts(log, data):
    check(data, log)


@FUZZ
@given(data=sealed_files())
def test_sealed_files(log, data):
    check(data, log)


@FUZZ
@given(data=mutated(sealed_files()))
def test_mutated_sealed_files(log, data):
    check(data, log)


@FUZZ
@given(image=st.binary(min_size=1, max_size=300),
       types=st.one_of(st.integers(1, 999), st.lists(st.integers(0, 999), min_size=1, max_size=3)),
       flip=st.integers(0, 10**6))
def test_a_genuine_container_is_accepted_and_any_flipped_bit_refused(log, image, types, flip):
    data = bytearray(seal(image, types, nul_padding=flip % 3))
    assert check(bytes(data), log) is True
    at = flip % len(data)
    if 12 <= at < 16:
        return  # the unused bytes are covered by no tag
    data[at] ^= 1 << (flip % 8)
    check(bytes(data), log)


@FUZZ
@given(data=st.one_of(layouts(), mutated(sealed_files()), st.binary(max_size=40)))
def test_programming_reads_exactly_the_image(log, data):
    with open(PATH, "wb") as f:
        f.write(data)
    device = DeviceConnection(record=False)
    tool = Tarnel.FpgaTool(device)
    if len(data) < 12:
        with pytest.raises(Tarnel.struct.error):
            tool._fpgaProgramFile(PATH, 32)
        return
    _, image_length, start = struct.unpack_from(">III", data)
    assert tool._fpgaProgramFile(PATH, 32) is True
    assert device.device.state.image() == data[start:start + image_length]
