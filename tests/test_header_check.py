"""_checkFileHeader: the raw branch, the container layout, the device-type
key rule and both tags, with the log line of every outcome."""

import hashlib
import hmac
import json
import struct

import pytest

from ondrel.tools.tbin import seal

IMAGE = bytes(range(256)) * 3 + b"tail"


def container(header, image=IMAGE, key_types="032", start=None, header_tag=None, image_tag=None):
    """A .tbin built here, independently of the package's sealing helper."""
    header_bytes = header if isinstance(header, bytes) else json.dumps(header).encode()
    key = b"58203617" + key_types.encode()
    if header_tag is None:
        header_tag = hmac.new(key, header_bytes, hashlib.sha256).digest()
    if image_tag is None:
        image_tag = hmac.new(key, image, hashlib.sha256).digest()
    start = 80 + len(header_bytes) if start is None else start
    preamble = struct.pack(">III", len(header_bytes), len(image), start) + b"\xee" * 4 + header_tag + image_tag
    body = preamble + header_bytes
    return body + b"\0" * (start - len(body)) + image


@pytest.fixture
def check(tool, image_dir, fpga_log):
    def run(data, name="fw.tbin"):
        before = len(fpga_log())
        result = tool._checkFileHeader(image_dir(name, data))
        return result, fpga_log()[before:]

    return run


def outcome(log):
    """The log without the header rendering line."""
    return [entry for entry in log if not entry[1].startswith("FPGA tbin header: ")]


@pytest.mark.parametrize("name", ["fw.bin", "FW.BIN", "fw.Bin", "dir.tbin/fw.bin"])
def test_raw_images_pass_unread(tool, tmp_path, fpga_log, name):
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(b"not an image at all")
    path.chmod(0o000)  # content never read (as root it would be readable anyway)
    try:
        assert tool._checkFileHeader(str(path)) is True
    finally:
        path.chmod(0o600)
    assert fpga_log() == [("DEBUG", "FPGA image header check: %s, size=19" % path)]


def test_raw_image_size_failure_reaches_the_caller(tool, tmp_path, fpga_log):
    with pytest.raises(FileNotFoundError):
        tool._checkFileHeader(str(tmp_path / "missing.bin"))
    assert fpga_log() == []


@pytest.mark.parametrize(
    "header,key_types",
    [
        ({"DEV_TYPE": 32}, "032"),
        ({"DEV_TYPE": [32, 28]}, "028032"),
        ({"DEV_TYPE": [28, 32]}, "028032"),
        ({"DEV_TYPE": 0, "dev_type": 28}, "028"),
        ({"DEV_TYPE": False, "dev_type": 28}, "028"),
        ({"DEV_TYPE": "", "dev_type": "5"}, "005"),
        ({"dev_type": 28}, "028"),
        ({"DEV_TYPE": "32"}, "032"),
        ({"DEV_TYPE": " +32 "}, "032"),
        ({"DEV_TYPE": ["32", "4"]}, "032004"),
        ({"DEV_TYPE": [32, 4]}, "004032"),
        ({"DEV_TYPE": [True, 2]}, "001002"),
        ({"DEV_TYPE": 32.9}, "032"),
        ({"DEV_TYPE": 1234}, "1234"),
        ({"DEV_TYPE": -5}, "-05"),
        ({"DEV_TYPE": True}, "001"),
        ({"dev_type": []}, ""),
        ({"dev_type": 0}, "000"),
        ({"DEV_TYPE": 32, "version": "1.2.3.4", "notes": "ünïcode"}, "032"),
    ],
)
def test_device_type_key_rule(check, header, key_types):
    result, log = check(container(header, key_types=key_types))
    assert result is True
    assert log == [("DEBUG", "FPGA tbin header: %s" % (header,)), ("DEBUG", "FPGA tbin hash verify success")]


def test_the_sealing_helper_agrees(check):
    assert check(seal(IMAGE, [32, 28], header={"FPGA_VER": "0.2.4.0"}, nul_padding=7))[0] is True


def test_nul_padding_is_ignored_by_the_parser_but_tagged(check):
    text = json.dumps({"DEV_TYPE": 32}).encode()
    assert check(container(b"\0\0" + text + b"\0" * 10))[0] is True
    unpadded_tag = hmac.new(b"58203617032", text, hashlib.sha256).digest()
    result, log = check(container(text + b"\0" * 10, header_tag=unpadded_tag))
    assert result is False and outcome(log) == [("ERROR", "FPGA tbin header hash mismatch")]


def test_unused_preamble_bytes_are_not_covered(check):
    data = bytearray(container({"DEV_TYPE": 32}))
    data[12:16] = b"\x01\x02\x03\x04"
    assert check(bytes(data))[0] is True


@pytest.mark.parametrize(
    "mutate,message",
    [
        (lambda d: d[:16] + bytes([d[16] ^ 1]) + d[17:], "FPGA tbin header hash mismatch"),
        (lambda d: d[:-1] + bytes([d[-1] ^ 1]), "FPGA tbin image hash mismatch"),
        (lambda d: d[:60] + b"\0" + d[61:], "FPGA tbin image hash mismatch"),
        (lambda d: d[:-10], "FPGA tbin image hash mismatch"),  # the image range runs past the end
    ],
)
def test_tag_mismatches(check, mutate, message):
    result, log = check(mutate(container({"DEV_TYPE": 32})))
    assert result is False
    assert outcome(log) == [("ERROR", message)]


def test_key_of_another_device_type_is_refused(check):
    result, log = check(container({"DEV_TYPE": 28}, key_types="032"))
    assert result is False and outcome(log) == [("ERROR", "FPGA tbin header hash mismatch")]


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x00" * 11,
        struct.pack(">III", 20, 0, 100) + b"\0" * 28,  # ends before the header field
        container(b"\xff\xfe{}"),  # not UTF-8
        container(b"{not json"),
        container(b'[{"DEV_TYPE": 32}]'),  # not an object
        container(b'"text"'),
        container({"DEV_TYPE": ["32", 4]}),  # texts and numbers do not sort together
        container({"DEV_TYPE": [[32]]}),
        container({"DEV_TYPE": {"a": 1}}),
        container({"DEV_TYPE": "thirty-two"}),
        container(b'{"DEV_TYPE": NaN}'),
        container(b'{"DEV_TYPE": Infinity}'),
        container({"DEV_TYPE": [32, None]}),
    ],
)
def test_parse_failures(check, data):
    result, log = check(data)
    assert result is False
    errors = [entry for entry in log if entry[0] == "ERROR"]
    assert len(errors) == 1 and errors[0][1].startswith("FPGA tbin header parse error: ")
    assert len(errors[0][1]) > len("FPGA tbin header parse error: ")
    assert log[-1] == errors[0]


@pytest.mark.parametrize("header", [{"DEV_TYPE": 0}, {"DEV_TYPE": None}, {"other": 1}, {}, {"dev_type": None}])
def test_missing_device_type_warns_then_fails_to_parse(check, header):
    result, log = check(container(header))
    assert result is False
    assert log[0] == ("DEBUG", "FPGA tbin header: %s" % (header,))
    assert log[1] == ("WARNING", "FPGA tbin header missing dev_type/DEV_TYPE")
    assert log[2][0] == "ERROR" and log[2][1].startswith("FPGA tbin header parse error: ")
    assert len(log) == 3


@pytest.mark.parametrize("name", ["fw.TBIN", "fw.img", "fw"])
def test_every_other_suffix_is_a_container(check, name):
    assert check(container({"DEV_TYPE": 32}), name=name)[0] is True
    assert check(IMAGE, name=name)[0] is False


def test_unreadable_container(tool, tmp_path, fpga_log):
    folder = tmp_path / "fw.tbin"
    folder.mkdir()
    assert tool._checkFileHeader(str(folder)) is False
    assert fpga_log() == [("ERROR", "FPGA image file not readable: %s, [Errno 21] Is a directory: %r"
                           % (folder, str(folder)))]
    missing = str(tmp_path / "gone.tbin")
    assert tool._checkFileHeader(missing) is False
    assert fpga_log()[-1][1].startswith("FPGA image file not readable: %s, [Errno 2]" % missing)


@pytest.mark.parametrize("path", [None, 5, b"fw.tbin"])
def test_only_text_paths(tool, path):
    with pytest.raises(TypeError, match="image_path"):
        tool._checkFileHeader(path)


def test_path_objects_are_refused_like_any_non_text(tool, tmp_path):
    with pytest.raises(TypeError, match="image_path"):
        tool._checkFileHeader(tmp_path / "fw.bin")


def test_nothing_is_sent_to_the_device(tool, conn, image_dir):
    tool._checkFileHeader(image_dir("fw.tbin", container({"DEV_TYPE": 32})))
    assert conn.calls == []
