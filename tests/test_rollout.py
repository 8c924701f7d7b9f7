"""ondrel-fpga rollout: a plan over several devices, run and run again, its
safety stops, its refusals, and a record that survives a kill."""

import io
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.devsim import DeviceState
from ondrel.tools.rollout import read_record

from .fakes import closed_port

IMAGE = os.urandom(4096)


def write_plan(folder, groups, **settings):
    text = "".join("%s = %s\n" % (key, json.dumps(value)) for key, value in settings.items())
    for device_type, image, devices in groups:
        text += '\n[[group]]\ndevice_type = %d\nimage = "%s"\ndevices = [%s]\n' % (
            device_type, image, ", ".join(json.dumps(d) for d in devices))
    path = folder / "lab.toml"
    path.write_text(text)
    return str(path)


@pytest.fixture
def lab(tmp_path):
    (tmp_path / "fw32.tbin").write_bytes(tbin.seal(IMAGE, 32, header={"FPGA_VERSION": "0.2.4.0"}))
    (tmp_path / "fw28.tbin").write_bytes(tbin.seal(IMAGE, 28, header={"FPGA_VERSION": "1.3.0.0"}))
    return tmp_path


def rollout(argv, capsys):
    out = io.StringIO()
    code = cli.main(["rollout"] + argv, out=out)
    return code, out.getvalue(), capsys.readouterr().err


def label(sim):
    return "%s:%d" % (sim.host, sim.port)


def states(path):
    return {entry["device"]: (entry["state"], entry["result"]) for entry in read_record(path)}


def test_a_plan_run_twice_finishes_what_the_first_run_left(simulator, lab, capsys):
    fresh, current, dropping = simulator(), simulator(state=DeviceState(fpga_version="0.2.4.0")), \
        simulator(drop_after=60)
    gone = "127.0.0.1:%d" % closed_port()
    devices = [label(fresh), label(current), label(dropping), gone]
    plan = write_plan(lab, [(32, "fw32.tbin", devices)], jobs=2, record="lab.jsonl")
    record = str(lab / "lab.jsonl")

    code, out, err = rollout([plan], capsys)
    assert code == 1 and fresh.state.image() == IMAGE
    assert states(record) == {label(fresh): ("verified", "ok"), label(current): ("skipped", "skipped"),
                              label(dropping): ("part-written", "failed"), gone: ("untouched", "failed")}
    assert "FPGA_ERASE" not in current.state.commands
    assert err.strip().splitlines()[-1] == (
        "ondrel-fpga: 1 verified, 1 skipped, 2 failed, 1 left unsafe (%s)" % label(dropping))
    entry = read_record(record)[0]
    assert {"time", "host", "user", "device", "resolved", "identifier", "device_type", "image", "image_sha256",
            "version_before", "version_after", "state", "bytes", "seconds", "reason"} <= set(entry)

    dropping.faults.drop_after = None
    erases = {sim.port: sim.state.commands.count("FPGA_ERASE") for sim in (fresh, current, dropping)}
    code, _, _ = rollout([plan], capsys)
    assert code == 1 and dropping.state.image() == IMAGE  # the one left part-written is finished
    assert [sim.state.commands.count("FPGA_ERASE") - erases[sim.port] for sim in (fresh, current, dropping)] == \
        [0, 0, 1]  # and only it was touched
    assert sorted(e["state"] for e in read_record(record)[4:]) == ["skipped", "skipped", "untouched", "verified"]
    code, out, _ = rollout(["--report", record], capsys)
    assert code == 0 and {line.split()[0]: line.split()[1] for line in out.splitlines()[1:]} == {
        label(fresh): "skipped", label(current): "skipped", label(dropping): "verified", gone: "untouched"}


@pytest.mark.parametrize("option", [["--canary", "1"], ["--max-failures", "1", "--jobs", "1"]])
def test_the_safety_stops(simulator, lab, capsys, option):
    failing = simulator(corrupt_read=100)
    others = [simulator(), simulator()]
    plan = write_plan(lab, [(32, "fw32.tbin", [label(failing)] + [label(sim) for sim in others])])
    code, out, err = rollout([plan] + option, capsys)
    assert code == 1 and all("FPGA_ERASE" not in sim.state.commands for sim in others)
    reason = "the canary (%s) did not all end verified" % label(failing) if option[0] == "--canary" else \
        "1 devices failed (--max-failures 1)"
    assert "%s: not started: %s" % (label(others[0]), reason) in err
    assert [e["result"] for e in read_record(str(lab / "lab.record.jsonl"))] == ["failed", "not started",
                                                                                 "not started"]


def test_a_dry_run_touches_nothing(simulator, lab, capsys):
    fresh, current = simulator(), simulator(state=DeviceState(fpga_version="0.2.4.0"))
    plan = write_plan(lab, [(32, "fw32.tbin", [label(fresh), label(current)])])
    code, out, _ = rollout([plan, "--dry-run"], capsys)
    assert code == 0 and out.splitlines()[1:] == [
        "%s  32    update from 0.2.3.5 to 0.2.4.0" % label(fresh), "%s  32    skip: runs 0.2.4.0 already"
        % label(current)]
    assert [c for sim in (fresh, current) for c in sim.state.commands] == ["FPGA_GET_ID", "GET_FPGA_VER"] * 2
    assert not (lab / "lab.record.jsonl").exists()


@pytest.mark.parametrize("case,line,reason", [
    ("unknown key", 1, "unknown key 'jbos'"),
    ("device twice", 10, "is the device named 127.0.0.1:%d on line 5"),
    ("another type", 9, "fw28.tbin is sealed for device type 28, not this group's 32"),
])
def test_a_refused_plan_names_the_line_and_touches_nothing(simulator, lab, capsys, case, line, reason):
    sim, other = simulator(), simulator()
    groups = [(32, "fw32.tbin", [label(sim)]), (32, "fw28.tbin" if case == "another type" else "fw32.tbin",
                                                ["localhost:%d" % (sim if case == "device twice" else other).port])]
    plan = write_plan(lab, groups, **({"jbos": 4} if case == "unknown key" else {}))
    code, _, err = rollout([plan], capsys)
    assert code == 1 and sim.state.commands == other.state.commands == []
    assert err.startswith("ondrel-fpga: plan refused, no device touched: %s:%d: " % (plan, line))
    assert (reason % sim.port if "%d" in reason else reason) in err


def test_a_killed_rollout_leaves_a_whole_record(simulator, lab):
    sims = [simulator(delay=0.002) for _ in range(4)]
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim) for sim in sims])], jobs=1)
    record = lab / "lab.record.jsonl"
    child = subprocess.Popen([sys.executable, "-m", "ondrel.tools", "rollout", plan], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        while not (record.exists() and record.read_bytes().count(b"\n") >= 1) and child.poll() is None:
            time.sleep(0.01)  # until the first device is recorded
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait(120)
    lines = record.read_bytes().split(b"\n")
    assert lines[-1] == b"" and all(json.loads(line)["state"] for line in lines[:-1])
