"""The ondrel-fpga command line, through its entry point."""

import io
import os
import re
import signal
import subprocess
import sys

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.devsim import DeviceSimulator, Faults


def run(argv, capsys):
    out = io.StringIO()
    code = cli.main(argv, out=out)
    captured = capsys.readouterr()
    return code, out.getvalue() + captured.out, captured.err


@pytest.fixture
def sim():
    with DeviceSimulator() as simulator:
        yield simulator


@pytest.fixture
def sealed(tmp_path):
    image = os.urandom(3000)
    path = tmp_path / "fw.tbin"
    path.write_bytes(tbin.seal(image, 32))
    return str(path), image


def device_args(sim):
    return ["--address", sim.host, "--port", str(sim.port)]


def test_update_success(sim, sealed, capsys):
    path, image = sealed
    code, out, err = run(["update", path, *device_args(sim)], capsys)
    assert code == 0 and err == ""
    assert "FPGA updated on device 0x0A3F5C21 at %s:%d" % (sim.host, sim.port) in out
    assert "version  0.2.3.5 -> 0.2.4.0" in out and "image    3000 bytes" in out
    assert re.search(r"time     \d+\.\d\d s", out)
    assert sim.state.image() == image


def test_update_quiet_shows_no_log_records(sim, sealed, capsys):
    code, out, _ = run(["update", sealed[0], *device_args(sim), "-q"], capsys)
    assert code == 0 and "[INFO]" not in out and "Progress:" in out


@pytest.mark.parametrize(
    "faults,message",
    [({"corrupt_read": 10}, "update refused: FPGA update process failed."),
     ({"refuse_all": True}, "FPGA refused the 16-byte block at image offset 0 10 times")],
)
def test_update_failures_exit_1_with_the_reason(tmp_path, capsys, faults, message):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"x" * 100)
    with DeviceSimulator(faults=Faults(**faults)) as sim:
        code, out, err = run(["update", str(path), *device_args(sim)], capsys)
    assert code == 1 and message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1


def test_update_refused_image(sim, sealed, capsys):
    path, _ = sealed
    data = bytearray(open(path, "rb").read())
    data[-1] ^= 0xFF
    open(path, "wb").write(bytes(data))
    code, _, err = run(["update", path, *device_args(sim)], capsys)
    assert code == 1 and err.strip() == "ondrel-fpga: update refused: FPGA image header check failed."
    assert "FPGA_ERASE" not in sim.state.commands


def test_update_old_fpga_is_refused_unless_checks_are_off(sealed, capsys):
    from ondrel.tools.devsim import DeviceState

    with DeviceSimulator(state=DeviceState(fpga_version="0.1.0.0")) as sim:
        code, _, err = run(["update", sealed[0], *device_args(sim)], capsys)
        assert code == 1 and "initialisation refused: FPGA version 0.1.0.0 is lower" in err
        code, _, _ = run(["update", sealed[0], *device_args(sim), "--no-fw-check"], capsys)
        assert code == 0


def test_unreachable_device(sealed, capsys):
    with DeviceSimulator() as sim:
        port = sim.port
    code, _, err = run(["update", sealed[0], "--address", "127.0.0.1", "--port", str(port)], capsys)
    assert code == 1 and err.startswith("ondrel-fpga: cannot connect to 127.0.0.1:%d" % port)
    assert len(err.strip().splitlines()) == 1


def test_lost_connection_is_one_line(sealed, capsys):
    with DeviceSimulator(faults=Faults(drop_after=50)) as sim:
        code, _, err = run(["update", sealed[0], *device_args(sim)], capsys)
    assert code == 1 and "connection to" in err and "closed the connection" in err
    assert len(err.strip().splitlines()) == 1


@pytest.mark.parametrize(
    "argv",
    [[], ["update"], ["update", "fw.bin"], ["update", "fw.bin", "--address", "h", "--port", "x"],
     ["update", "fw.bin", "--address", "h", "--port", "70000"], ["seal", "a.bin", "-o", "b.tbin"],
     ["frobnicate"], ["update", "fw.bin", "--address", "h", "--device-type", "big"]],
)
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as exited:
        cli.main(argv)
    assert exited.value.code == 2
    assert "usage: ondrel-fpga" in capsys.readouterr().err


def test_interrupt_stops_cleanly(monkeypatch, capsys):
    def interrupted(args, out):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "cmd_check", interrupted)
    code, _, err = run(["check", "x.bin"], capsys)
    assert code == 130 and err.strip() == "ondrel-fpga: interrupted"


def test_info(sim, capsys):
    code, out, _ = run(["info", *device_args(sim)], capsys)
    assert code == 0
    assert "identifier:       0x0A3F5C21" in out and "FPGA version:     0.2.3.5" in out
    assert "control firmware: 0.1.0.8 (minimum 0.1.0.6 met: yes)" in out
    assert "serial number:    QD2-000123" in out and '"fpga_ver": "0.2.3.5"' in out


def test_seal_then_check_round_trip(tmp_path, capsys):
    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"\x01" * 1000)
    out_path = tmp_path / "fw.tbin"
    code, out, _ = run(["seal", str(raw), "--device-type", "32", "--device-type", "28", "-o", str(out_path),
                        "--header", "FPGA_VER=0.2.4.0", "--header", "BUILD=17"], capsys)
    assert code == 0 and "for device type 028032" in out
    container = tbin.read(str(out_path))
    assert container.verify() and container.image == b"\x01" * 1000
    assert container.header == {"DEV_TYPE": [28, 32], "FPGA_VER": "0.2.4.0", "BUILD": 17}
    code, out, _ = run(["check", str(out_path)], capsys)
    assert code == 0 and out.startswith("ok: %s is a sealed container for device type [28, 32], 1000 image bytes"
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


def test_seal_missing_input(tmp_path, capsys):
    code, _, err = run(["seal", str(tmp_path / "none.bin"), "--device-type", "32", "-o", str(tmp_path / "o.tbin")],
                       capsys)
    assert code == 1 and "cannot read" in err and not (tmp_path / "o.tbin").exists()


@pytest.mark.parametrize(
    "name,data,reason",
    [("fw.txt", b"x", "FPGA image file type error"), ("fw.bin", b"", "FPGA image is empty"),
     ("fw.tbin", b"\0" * 5, "FPGA tbin header parse error")],
)
def test_check_refusals_name_the_reason(tmp_path, capsys, name, data, reason):
    path = tmp_path / name
    path.write_bytes(data)
    code, out, err = run(["check", str(path)], capsys)
    assert code == 1 and err.startswith("ondrel-fpga: refused: " + reason) and "[ERROR]" not in out


def test_check_raw_image(tmp_path, capsys):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"y" * 64)
    code, out, _ = run(["check", str(path)], capsys)
    assert code == 0 and "raw image of 64 bytes" in out


def test_demo_completes(capsys):
    code, out, err = run(["demo", "--kib", "4"], capsys)
    assert code == 0 and err == ""
    assert "version  0.2.3.5 -> 0.2.4.0" in out and "flash matches the image" in out


def test_installed_entry_points():
    script = os.path.join(os.path.dirname(sys.executable), "ondrel-fpga")
    for command in ([script, "--help"], [sys.executable, "-m", "ondrel.tools", "update", "--help"]):
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        assert "usage: ondrel-fpga" in out


def test_simulate_runs_until_interrupted():
    proc = subprocess.Popen([sys.executable, "-m", "ondrel.tools", "simulate", "--port", "0", "--refuse-block", "2:3"],
                            stdout=subprocess.PIPE, text=True)
    try:
        banner = proc.stdout.readline()
        assert "Simulated device listening on 127.0.0.1:" in banner
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert proc.returncode == 0 and "Stopped after 0 commands" in rest
