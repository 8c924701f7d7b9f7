"""_checkUpdateFile: the file-system checks in their order."""

import os
import sys

import pytest

from .platforms import needs_special_files, needs_symlinks

# File modes that deny reading or searching hold for ordinary users on POSIX systems.
modes_deny = pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0,
                                reason="file modes deny nothing here (to root; on Windows chmod sets read-only only)")


@pytest.fixture
def check(tool, fpga_log):
    def run(path):
        before = len(fpga_log())
        result = tool._checkUpdateFile(str(path))
        return result, fpga_log()[before:]

    return run


@pytest.mark.parametrize("name", ["fw.bin", "IMAGE.TBIN", "fw.Bin", "a.b.tbin"])
def test_good_files_pass_silently(check, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"x")  # one byte is enough
    assert check(path) == (True, [])


@pytest.mark.parametrize("name", ["missing.bin", "missing.txt", "no/such/dir/fw.bin"])
def test_missing_path_fails_first(check, tmp_path, name):
    path = tmp_path / name
    assert check(path) == (False, [("ERROR", "FPGA image path not found: %s" % path)])


@pytest.mark.parametrize("name", ["image.bin.bak", "image", ".bin", "fw.bin.", "fw.txt"])
def test_wrong_suffix(check, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"data")
    assert check(path) == (False, [("ERROR", "FPGA image file type error: %s" % path)])


def test_suffix_is_checked_before_the_file_kind(check, tmp_path):
    (tmp_path / "fw.bin").mkdir()
    (tmp_path / "fw.txt").mkdir()
    assert check(tmp_path / "fw.bin") == (False, [("ERROR", "FPGA image not found: %s" % (tmp_path / "fw.bin"))])
    assert check(tmp_path / "fw.txt") == (False, [("ERROR", "FPGA image file type error: %s" % (tmp_path / "fw.txt"))])


@needs_special_files
def test_fifo_is_not_a_regular_file(check, tmp_path):
    fifo = tmp_path / "fw.bin"
    os.mkfifo(fifo)
    assert check(fifo) == (False, [("ERROR", "FPGA image not found: %s" % fifo)])  # and nothing blocks


@needs_symlinks
def test_symbolic_links(check, tmp_path):
    target = tmp_path / "real.dat"
    target.write_bytes(b"abc")
    link = tmp_path / "fw.bin"
    link.symlink_to(target)
    assert check(link) == (True, [])  # followed; the link's own name carries the suffix
    dangling = tmp_path / "dangling.bin"
    dangling.symlink_to(tmp_path / "nowhere")
    assert check(dangling)[1] == [("ERROR", "FPGA image path not found: %s" % dangling)]
    loop = tmp_path / "loop.bin"
    loop.symlink_to(loop)
    assert check(loop)[1] == [("ERROR", "FPGA image path not found: %s" % loop)]


def test_empty_file(check, tmp_path):
    path = tmp_path / "fw.tbin"
    path.write_bytes(b"")
    assert check(path) == (False, [("ERROR", "FPGA image is empty: %s" % path)])


@modes_deny
def test_unreadable_file(check, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"secret")
    path.chmod(0)
    try:
        result, log = check(path)
    finally:
        path.chmod(0o600)
    assert result is False
    assert log == [("ERROR", "FPGA image file not readable: %s, [Errno 13] Permission denied: '%s'" % (path, path))]


@modes_deny
def test_other_system_errors_reach_the_caller(check, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "fw.bin").write_bytes(b"x")
    locked.chmod(0)
    try:
        with pytest.raises(PermissionError):
            check(locked / "fw.bin")
    finally:
        locked.chmod(0o700)


def test_paths_are_used_as_given(check, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"x")
    assert check(str(tmp_path) + "//./fw.bin")[0] is True
    # a file name followed by a slash names no file (every later step agrees)
    assert check(str(path) + "/") == (False, [("ERROR", "FPGA image path not found: %s/" % path)])


def _bytes_read_by_this_process():
    with open("/proc/self/io") as f:
        fields = dict(line.split(": ") for line in f.read().splitlines())
    return int(fields["rchar"])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts bytes read through Linux's /proc/self/io")
def test_reads_at_most_one_byte(tool, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"\x5a" * (1 << 20))
    tool._checkUpdateFile(str(path))  # warm up
    before = _bytes_read_by_this_process()
    assert tool._checkUpdateFile(str(path)) is True
    assert _bytes_read_by_this_process() - before < 4096


@pytest.mark.parametrize("path", [None, 1, b"fw.bin"])
def test_only_text(tool, path):
    with pytest.raises(TypeError, match="image_path"):
        tool._checkUpdateFile(path)


def test_a_name_with_a_nul_is_absent(check):
    assert check("fw\0.bin") == (False, [("ERROR", "FPGA image path not found: fw\0.bin")])


def test_no_device_traffic(tool, conn, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"x")
    tool._checkUpdateFile(str(path))
    assert conn.calls == []
