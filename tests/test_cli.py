"""The ondrel-fpga command line, through its entry point."""

import io
import os
import re
import signal
import subprocess
import sys

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.devsim import DeviceState

from .fakes import on_a_terminal
from .platforms import needs_a_terminal, needs_ctrl_c

COMMAND = [sys.executable, "-m", "ondrel.tools"]


def run(argv, capsys):
    out = io.StringIO()
    code = cli.main(argv, out=out)
    return code, out.getvalue(), capsys.readouterr().err


def last_line(err):
    return err.strip().splitlines()[-1]


@pytest.fixture
def sim(simulator):
    return simulator()


@pytest.fixture
def sealed(tmp_path):
    image = os.urandom(3000)
    path = tmp_path / "fw.tbin"
    path.write_bytes(tbin.seal(image, 32))
    return str(path), image


def address(sim):
    return ["--address", "%s:%d" % (sim.host, sim.port)]


# --- update ----------------------------------------------------------------------------------


def test_update_prints_a_summary_table(sim, sealed, capsys):
    path, image = sealed
    code, out, err = run(["update", path, *address(sim)], capsys)
    assert code == 0 and sim.state.image() == image
    header, row = out.splitlines()
    assert header.split() == ["device", "identifier", "before", "after", "bytes", "time", "holds", "result"]
    assert row.split()[:5] == ["%s:%d" % (sim.host, sim.port), "0x0A3F5C21", "0.2.3.5", "0.2.4.0", "3000/3000"]
    assert row.split()[-2:] == ["verified", "ok"]
    assert "Progress:" not in out + err  # the library's per-block line is not shown


@pytest.mark.parametrize("faults,reason", [
    ({"corrupt_read": 10}, "read-back differs from the image: first difference at offset 10"),
    ({"refuse_all": True}, "FPGA refused the 16-byte block at image offset 0 10 times"),
    ({"drop_after": 50}, "lost connection: the device closed it (at write 704 of 3,000 bytes)"),
])
def test_a_failure_ends_with_the_reason_on_standard_error(simulator, sealed, capsys, faults, reason):
    sim = simulator(**faults)
    code, out, err = run(["update", sealed[0], *address(sim)], capsys)
    assert code == 1 and reason in last_line(err) and "Traceback" not in err
    assert out.splitlines()[1].split()[-1] == "failed"


def _overwrite_first_byte(path):
    with open(path, "r+b") as f:
        f.write(b"\xff")


@pytest.mark.parametrize("mutate,reason", [
    (_overwrite_first_byte, "FPGA tbin header parse error"),
    (lambda path: os.rename(path, path + ".txt"), "FPGA image path not found"),
])
def test_a_refused_image_touches_no_device(sim, sealed, capsys, mutate, reason):
    path, _ = sealed
    mutate(path)
    code, _, err = run(["update", path, *address(sim)], capsys)
    assert code == 1 and reason in last_line(err)
    assert sim.state.commands == []  # checked before connecting


def test_a_container_for_another_device_type_is_refused_unless_forced(sim, tmp_path, capsys):
    path = tmp_path / "fw28.tbin"
    path.write_bytes(tbin.seal(b"\x01" * 100, 28))
    code, _, err = run(["update", str(path), *address(sim)], capsys)
    assert code == 1 and "sealed for device type 28, not 32" in last_line(err)
    assert sim.state.commands == []
    code, _, _ = run(["update", str(path), *address(sim), "--force"], capsys)
    assert code == 0 and sim.state.image() == b"\x01" * 100


def test_an_old_fpga_is_refused_unless_the_check_is_off(simulator, sealed, capsys):
    sim = simulator(state=DeviceState(fpga_version="0.1.0.0"))
    code, _, err = run(["update", sealed[0], *address(sim)], capsys)
    assert code == 1 and "initialisation refused: FPGA version 0.1.0.0 is lower" in last_line(err)
    assert "unsafe" not in err  # nothing was written
    assert run(["update", sealed[0], *address(sim), "--no-fw-check"], capsys)[0] == 0


def test_an_unchanged_version_is_a_warning(simulator, sealed, capsys):
    sim = simulator(state=DeviceState(fpga_version="0.2.4.0", new_version="0.2.4.0"))
    code, out, err = run(["update", sealed[0], *address(sim)], capsys)
    assert code == 0 and "ok (the FPGA version is 0.2.4.0 before and after the update)" in out


def test_several_devices_in_parallel_with_one_failing(simulator, sealed, capsys):
    sims = [simulator(), simulator(corrupt_read=5), simulator()]
    code, out, err = run(["update", sealed[0], *[word for sim in sims for word in address(sim)]], capsys)
    assert code == 1
    rows = {row.split()[0]: row.split()[-2:] for row in out.splitlines()[1:]}
    labels = ["%s:%d" % (sim.host, sim.port) for sim in sims]
    assert rows == {labels[0]: ["verified", "ok"], labels[1]: ["unverified", "failed"], labels[2]: ["verified", "ok"]}
    assert err.strip().splitlines()[-2:] == [
        "ondrel-fpga: %s: read-back differs from the image: first difference at offset 5 (0x5): device 0x%02x, "
        "image 0x%02x; left written but not verified, unsafe to power-cycle" % (labels[1], sealed[1][5] ^ 0xFF,
                                                                                 sealed[1][5]),
        "ondrel-fpga: 1 failed, 2 ok; left unsafe to power-cycle: %s (written but not verified)" % labels[1]]
    assert sims[0].state.image() == sims[2].state.image() == sealed[1]
    # each device's lines carry its name
    assert all(line.startswith("[") for line in err.strip().splitlines()[:-2])


def test_addresses_from_a_file_and_the_environment(simulator, sealed, tmp_path, capsys, monkeypatch):
    sims = [simulator(), simulator()]
    listing = tmp_path / "devices.txt"
    listing.write_text("# the bench\n%s:%d\n\n%s:%d  # spare\n" % (sims[0].host, sims[0].port, sims[1].host,
                                                                  sims[1].port))
    code, out, _ = run(["update", sealed[0], "--addresses", str(listing), "--jobs", "1"], capsys)
    assert code == 0 and len(out.splitlines()) == 3
    monkeypatch.setenv("ONDREL_FPGA_ADDRESS", sims[0].host)
    monkeypatch.setenv("ONDREL_FPGA_PORT", str(sims[0].port))
    assert run(["info"], capsys)[0] == 0


# --- verify and dump ---------------------------------------------------------------------------


def test_verify_equal_and_different(simulator, sealed, capsys):
    path, image = sealed
    sim = simulator()
    assert run(["update", path, *address(sim)], capsys)[0] == 0
    code, out, _ = run(["verify", path, *address(sim)], capsys)
    assert code == 0 and out.startswith("equal: ") and sim.state.blocks_written == (3000 + 15) // 16
    sim.device.faults.corrupt_read = 1234
    code, out, _ = run(["verify", path, *address(sim)], capsys)
    assert code == 1
    assert "first difference at offset 1234 (0x4d2): device 0x%02x, image 0x%02x" % (image[1234] ^ 0xFF,
                                                                                    image[1234]) in out


def test_verify_tells_when_only_the_padding_of_the_last_page_differs(simulator, tmp_path, capsys):
    sim = simulator(state=DeviceState(pad_pages=True))
    path = tmp_path / "fw.bin"
    path.write_bytes(os.urandom(40))  # 2.5 pages
    run(["update", str(path), *address(sim)], capsys)  # the library's digest counts the padding: refused
    code, out, _ = run(["verify", str(path), *address(sim)], capsys)
    assert code == 0 and "only the padding of the last, partial page differs: the device returned 8 more bytes" in out


def test_dump_round_trip(sim, sealed, tmp_path, capsys):
    path, image = sealed
    run(["update", path, *address(sim)], capsys)
    target = tmp_path / "flash.bin"
    code, out, _ = run(["dump", *address(sim), "--size", "3000", "-o", str(target)], capsys)
    assert code == 0 and target.read_bytes() == image
    code, _, err = run(["dump", *address(sim), "--size", "4K", "-o", str(tmp_path / "more.bin")], capsys)
    assert code == 1 and "the device returned 3000 of the 4096 bytes asked for" in last_line(err)
    assert not (tmp_path / "more.bin").exists()


# --- progress -----------------------------------------------------------------------------------


def test_progress_when_standard_error_is_a_pipe(simulator, sealed):
    sim = simulator()
    child = subprocess.run(COMMAND + ["update", sealed[0], *address(sim)], capture_output=True, text=True)
    assert child.returncode == 0
    lines = [re.sub(r" in [\d.]+ s \([\d.]+ \w+/s\)", " in T", line) for line in child.stderr.splitlines()]
    assert lines == ["connecting...", "initialising...", "erasing...", "writing: started, 2.9 KiB (3,000 bytes)",
                     "write: 2.9 KiB (3,000 bytes) in T", "verifying: started, 2.9 KiB (3,000 bytes)",
                     "verify: 2.9 KiB (3,000 bytes) in T", "refreshing..."]
    assert "\r" not in child.stderr
    child = subprocess.run(COMMAND + ["update", sealed[0], *address(simulator()), "--no-progress"],
                           capture_output=True)
    assert child.returncode == 0 and child.stderr == b""


@needs_a_terminal
def test_progress_on_a_terminal(sim, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(os.urandom(256 * 1024))
    status, text = on_a_terminal(COMMAND + ["update", str(path), *address(sim)], timeout=60)
    assert status == 0
    redraws = re.findall(r"\r\S+ (writing|verifying)  \d+\.\d%  [\d.]+ K?i?B / 512\.0 KiB  [\d.]+ [KM]?i?B/s", text)
    assert {"writing", "verifying"} <= set(redraws)
    assert len(redraws) < 200  # about ten a second, not one per block


# --- the other commands ---------------------------------------------------------------------------


def test_info(sim, capsys):
    code, out, _ = run(["info", *address(sim)], capsys)
    assert code == 0
    assert "identifier:       0x0A3F5C21" in out and "FPGA version:     0.2.3.5" in out
    assert "control firmware: 0.1.0.8 (minimum 0.1.0.6 met: yes)" in out
    assert "serial number:    QD2-000123" in out and '"fpga_ver": "0.2.3.5"' in out


def test_seal_then_check_round_trip(tmp_path, capsys):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"\x01" * 1000)
    out_path = tmp_path / "fw.tbin"
    saved = os.umask(0o022)
    try:
        code, out, _ = run(["seal", str(raw), "--device-type", "32", "--device-type", "28", "-o", str(out_path),
                            "--header", "FPGA_VER=0.2.4.0", "--header", "BUILD=17"], capsys)
    finally:
        os.umask(saved)
    assert code == 0 and "for device type 32, 28" in out
    if os.name == "posix":  # (Windows keeps no permission bits)
        assert out_path.stat().st_mode & 0o777 == 0o644
    container = tbin.read(str(out_path))
    assert container.verify() and container.image == b"\x01" * 1000
    assert container.header == {"DEV_TYPE": [28, 32], "FPGA_VER": "0.2.4.0", "BUILD": 17}
    code, out, _ = run(["check", str(out_path)], capsys)
    assert code == 0 and out.startswith("ok: %s is a sealed container for device type 28, 32, 1000 image bytes"
                                        % out_path)


def test_seal_refuses_to_overwrite_without_force(tmp_path, capsys):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"abc")
    target = tmp_path / "fw.tbin"
    target.write_bytes(b"precious")
    code, _, err = run(["seal", str(raw), "--device-type", "32", "-o", str(target)], capsys)
    assert code == 1 and "refusing to overwrite" in err and target.read_bytes() == b"precious"
    code, _, _ = run(["seal", str(raw), "--device-type", "32", "-o", str(target), "--force"], capsys)
    assert code == 0 and tbin.read(str(target)).verify()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.bin", "fw.tbin"]  # no temporary left behind


@pytest.mark.parametrize("name,data,reason", [
    ("fw.txt", b"x", "FPGA image file type error"), ("fw.bin", b"", "FPGA image is empty"),
    ("fw.tbin", b"\0" * 5, "FPGA tbin header parse error"), ("fw.bin/", None, "FPGA image path not found"),
    ("dir.bin", "dir", "FPGA image not found"), ("none.bin", None, "FPGA image path not found"),
])
def test_check_refusals_name_the_reason(tmp_path, capsys, name, data, reason):
    path = tmp_path / name.rstrip("/")
    if data == "dir":
        path.mkdir()
    elif data is not None:
        path.write_bytes(data)
    elif name.endswith("/"):
        path.write_bytes(b"x")
    code, out, err = run(["check", str(tmp_path / name) + ("/" if name.endswith("/") else "")], capsys)
    assert code == 1 and "refused: " + reason in last_line(err) and out == ""


def test_check_raw_image(tmp_path, capsys):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"y" * 64)
    code, out, _ = run(["check", str(path)], capsys)
    assert code == 0 and "raw image of 64 bytes" in out


def test_demo_completes(capsys):
    code, out, err = run(["demo", "--kib", "4", "--devices", "2"], capsys)
    assert code == 0 and "2 of 2 devices hold the image" in out and "Traceback" not in err


# --- arguments, exit status --------------------------------------------------------------------


@pytest.mark.parametrize("argv", [
    [], ["update"], ["update", "fw.bin"], ["update", "fw.bin", "--address", "h", "--port", "x"],
    ["update", "fw.bin", "--address", "h", "--port", "70000"], ["seal", "a.bin", "-o", "b.tbin"],
    ["frobnicate"], ["update", "fw.bin", "--address", "h", "--device-type", "big"], ["demo", "--kib", "-1"],
    ["update", "fw.bin", "--address", "h:0"], ["verify", "fw.bin", "--address", "a", "--address", "b"],
    ["update", "fw.bin", "--address", "h", "--timeout", "0"], ["dump", "--address", "h", "--size", "x", "-o", "f"],
])
def test_usage_errors_exit_2(argv, capsys, monkeypatch):
    monkeypatch.delenv("ONDREL_FPGA_ADDRESS", raising=False)
    with pytest.raises(SystemExit) as exited:
        cli.main(argv)
    assert exited.value.code == 2
    assert "usage: ondrel-fpga" in capsys.readouterr().err


def test_unreachable_device(sealed, capsys):
    probe = __import__("socket").socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    code, _, err = run(["update", sealed[0], "--address", "127.0.0.1:%d" % port], capsys)
    assert last_line(err) == "ondrel-fpga: 127.0.0.1:%d: connection refused" % port and code == 1


def test_interrupt_stops_cleanly(monkeypatch, capsys):
    def interrupted(session):
        raise KeyboardInterrupt

    from ondrel.tools.cli import images

    monkeypatch.setattr(images, "run_check", interrupted)
    code, _, err = run(["check", "x.bin"], capsys)
    assert code == 130 and err.strip() == "ondrel-fpga: interrupted"


def test_options_on_either_side_and_the_version(sealed, capsys):
    assert run(["-q", "check", sealed[0]], capsys)[0] == 0
    assert run(["check", sealed[0], "-v"], capsys)[0] == 0
    with pytest.raises(SystemExit) as exited:
        cli.main(["--version"])
    assert exited.value.code == 0 and re.match(r"ondrel-fpga \S+ \(Python 3\.\d+\.\d+\)", capsys.readouterr().out)


def test_installed_entry_points():
    script = os.path.join(os.path.dirname(sys.executable), "ondrel-fpga")
    example = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "fast_beam_device.py")
    for command, usage in (([script, "--help"], "usage: ondrel-fpga"), (COMMAND + ["verify", "--help"], "usage"),
                           ([sys.executable, example, "--help"], "usage: fast_beam_device.py")):
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        assert usage in out


@needs_ctrl_c
def test_simulate_runs_until_interrupted():
    proc = subprocess.Popen(COMMAND + ["simulate", "--port", "0", "--refuse-block", "2:3", "--latency", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # not ignored
    try:
        banner = proc.stdout.readline()  # printed once Ctrl-C is a normal stop
        assert "Simulated device listening on 127.0.0.1:" in banner
        port = int(re.search(r":(\d+) ", banner).group(1))
        busy = subprocess.run(COMMAND + ["simulate", "--port", str(port)], capture_output=True, text=True, timeout=120)
        assert busy.returncode == 1 and busy.stderr.strip() == (
            "ondrel-fpga: port %d on 127.0.0.1 is busy: another program listens there (--port 0 picks a free one)"
            % port)
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0 and "Stopped after 0 commands" in rest
