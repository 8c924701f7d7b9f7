"""ondrel-fpga rollout: a plan over several devices, run and run again, its
safety stops, its refusals, and a record that survives a kill."""

import hashlib
import io
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import time

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.cli.output import KEYS
from ondrel.tools.devsim import DeviceState
from ondrel.tools.rollout import PlanError, plan_from, read_record
from ondrel.tools.rollout import run as run_plan

from .fakes import closed_port
from .platforms import needs_ctrl_c, needs_file_size_limit

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
        child.kill()  # (SIGKILL; on Windows, TerminateProcess)
    finally:
        child.wait(120)
    lines = record.read_bytes().split(b"\n")
    assert lines[-1] == b"" and all(json.loads(line)["state"] for line in lines[:-1])


# --- the record is the truth -----------------------------------------------------------


def sha(data):
    return hashlib.sha256(data).hexdigest()


def test_every_device_gets_what_was_checked_even_if_the_file_is_replaced(simulator, lab, capsys):
    other = os.urandom(4096)

    def replace(_):  # after the first device's refresh, another valid container takes the image's name
        (lab / "fw32.tbin").write_bytes(tbin.seal(other, 32, header={"FPGA_VERSION": "0.2.4.0"}))

    sims = [simulator(hooks={b"FPGA_DONE": replace}), simulator(), simulator()]
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim) for sim in sims])], jobs=1)
    code, _, _ = rollout([plan], capsys)
    lines = read_record(str(lab / "lab.record.jsonl"))
    assert code == 0 and [sim.state.image() for sim in sims] == [IMAGE] * 3
    assert {line["image_sha256"] for line in lines} == {sha(IMAGE)}


def _unverified(sim, lab, plan, capsys):  # the library refreshes after a failed read-back: the new version runs
    sim.faults.corrupt_read = 100
    rollout([plan], capsys)
    sim.faults.corrupt_read = None


def _part_written_by_force(sim, lab, plan, capsys):  # already at the version; --force drops mid-write
    sim.state.fpga_version = "0.2.4.0"
    sim.faults.drop_after = 60
    rollout([plan, "--force"], capsys)
    sim.faults.drop_after = None


def _swapped(sim, lab, plan, capsys):  # verified, then another rig at the same address, running the version
    rollout([plan], capsys)
    sim.state.fpga_id, sim.state.flash = "0x0BADF00D", bytearray()


def _raw_superseded(sim, lab, plan, capsys):  # verified with a.bin, then left part-written by b.bin
    rollout([plan], capsys)
    (lab / "b.bin").write_bytes(os.urandom(4096))
    sim.faults.drop_after = 60
    rollout([write_plan(lab, [(32, "b.bin", [label(sim)])]), "--force"], capsys)
    sim.faults.drop_after = None
    write_plan(lab, [(32, "a.bin", [label(sim)])])


@pytest.mark.parametrize("history", [_unverified, _part_written_by_force, _swapped, _raw_superseded])
def test_a_device_is_skipped_only_when_nothing_says_otherwise(simulator, lab, capsys, history):
    (lab / "a.bin").write_bytes(IMAGE)
    sim = simulator()
    plan = write_plan(lab, [(32, "a.bin" if history is _raw_superseded else "fw32.tbin", [label(sim)])])
    history(sim, lab, plan, capsys)
    code, _, _ = rollout([plan], capsys)
    last = read_record(str(lab / "lab.record.jsonl"))[-1]
    assert (code, last["state"], last["result"]) == (0, "verified", "ok") and sim.state.image() == IMAGE


def test_a_device_that_runs_another_version_after_the_update_has_failed(simulator, lab, capsys):
    (lab / "fw.tbin").write_bytes(tbin.seal(IMAGE, 32, header={"FPGA_VERSION": "0.2.5.0"}))  # it loads 0.2.4.0
    sim = simulator()
    code, _, err = rollout([write_plan(lab, [(32, "fw.tbin", [label(sim)])])], capsys)
    last = read_record(str(lab / "lab.record.jsonl"))[-1]
    assert code == 1 and (last["state"], last["result"]) == ("verified", "failed")
    assert last["reason"] == "runs 0.2.4.0 after the update; the image brings 0.2.5.0" and last["reason"] in err


@needs_file_size_limit
def test_a_record_that_cannot_be_written_stops_the_rollout(simulator, lab):
    sims = [simulator() for _ in range(3)]
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim) for sim in sims])], jobs=1)
    record = lab / "lab.record.jsonl"
    record.write_bytes(b'{"device": "elsewhere", "state": "verified", "reason": "%s"}\n' % (b"x" * 4000))
    limit = record.stat().st_size + 700  # room for one line
    child = subprocess.run(
        [sys.executable, "-c", "import resource, sys; resource.setrlimit(resource.RLIMIT_FSIZE, (%d, %d)); "
         "from ondrel.tools import cli; sys.exit(cli.main(['rollout', %r]))" % (limit, limit, plan)],
        capture_output=True, text=True, timeout=120)
    data = record.read_bytes()
    assert child.returncode == 1 and data.endswith(b"\n") and len(data.splitlines()) == 2
    assert [sim.state.image() == IMAGE for sim in sims] == [True, True, False]  # the third was never started
    assert re.search(r"cannot write the record .*; no further device was started; not recorded: "
                     r"127.0.0.1:\d+ \(verified\), 127.0.0.1:\d+ \(not started\)", child.stderr)


def test_one_rollout_at_a_time_writes_a_record(simulator, lab, capsys):
    sim = simulator()
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim)])])
    record = str(lab / "lab.record.jsonl")
    with subprocess.Popen([sys.executable, "-c", "import time; from ondrel.tools.rollout.record import Record; "
                           "held = Record(%r, %r); print(1, flush=True); time.sleep(60)" % (record, plan)],
                          stdout=subprocess.PIPE) as holder:  # another rollout's record, in another process
        holder.stdout.readline()
        code, _, err = rollout([plan], capsys)
        holder.kill()
    assert code == 1 and sim.state.commands == [] and "is held by another rollout" in err


@pytest.mark.parametrize("bad", [b"\xff\xfe not UTF-8", b"[1, 2]", b'{"device": 7, "state": "verified"}',
                                 b'{"format": 99, "device": "x", "state": "verified"}', b'{"device": "cut off'])
def test_any_record_can_be_read(simulator, lab, capsys, bad):
    sim = simulator(state=DeviceState(fpga_version="0.2.4.0"))
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim)])])
    record = lab / "lab.record.jsonl"
    good = json.dumps({"device": label(sim), "resolved": label(sim), "state": "verified", "result": "ok"})
    record.write_bytes(good.encode() + b"\n" + bad)  # the bad line last: a cut-off write leaves it there
    code, out, err = rollout(["--report", str(record)], capsys)
    assert code == 0 and out.splitlines()[1].split()[:2] == [label(sim), "verified"]
    assert err.count("line 2: ") == 1
    code, _, err = rollout([plan], capsys)
    assert code == 0 and err.count("line 2: ") == 1
    assert json.loads(record.read_bytes().split(b"\n")[-2])["result"] == "skipped"  # a line of its own


ROLLOUT_CHILD = [sys.executable, "-m", "ondrel.tools", "rollout", "--canary", "1", "--json"]


@needs_ctrl_c
@pytest.mark.parametrize("delay", [0] + [random.uniform(0, 1) for _ in range(4)])
def test_ctrl_c_anywhere_leaves_a_line_for_every_device(simulator, lab, delay):
    sims = [simulator(delay=0.0005) for _ in range(4)]
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim) for sim in sims])], jobs=2)
    child = subprocess.Popen(ROLLOUT_CHILD + [plan], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while not any(sim.state.commands for sim in sims) and child.poll() is None:
        time.sleep(0.001)  # from the first command on: the queries, the canary, the updates
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    if child.returncode == 0:
        return  # it was done before the signal came
    lines = {line["device"]: line for line in read_record(str(lab / "lab.record.jsonl"))}
    shown = {line["device"]: line for line in map(json.loads, out.splitlines())}
    assert child.returncode == 130 and "Traceback" not in err and set(lines) == set(shown) == set(map(label, sims))
    for sim in sims:  # what the record says each holds is what the device holds
        line, erased = lines[label(sim)], "FPGA_ERASE" in sim.state.commands
        assert (line["state"], line["result"]) == (shown[label(sim)]["state"], shown[label(sim)]["result"])
        assert (line["state"] in ("erased", "part-written", "unverified", "verified")) == erased, line
        assert line["result"] in ("ok", "interrupted", "not started") and (line["result"] == "ok") == (
            sim.state.image() == IMAGE and line["state"] == "verified"), line


def test_an_ipv4_mapped_address_is_the_same_device(simulator, lab, capsys, tmp_path):
    sim = simulator()
    with pytest.raises(SystemExit) as exit_:
        cli.main(["update", str(lab / "fw32.tbin"), "--address", label(sim), "--address",
                  "[::ffff:127.0.0.1]:%d" % sim.port])
    assert exit_.value.code == 2 and sim.state.commands == []
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim), "[::ffff:127.0.0.1]:%d" % sim.port])])
    code, _, err = rollout([plan], capsys)
    assert code == 1 and "is the device named %s" % label(sim) in err


@pytest.mark.parametrize("text,reason", [
    ("erase_timeout = 0\n", "erase_timeout must be above 0 and at most 86400 seconds, not 0"),
    ("timeout = nan\n", "timeout must be above 0 and at most 86400 seconds, not nan"),
    ("jobs = -1\n", "jobs must be a whole number from 1 to 1024, not -1"),
    ("window = 70000\n", "window must be an integer from 1 to 65536 (commands in flight), not 70000"),
    ('[[group]]\ndevice_type = 32\nimage = "fw32.tbin"\ndevices = ["rig\\u0000a"]\n',
     "a device name holds no control characters"),  # its line is the fourth
    ("# caf\xe9\n", "not UTF-8 text (byte 0xe9)"),
], ids=["erase_timeout", "timeout", "jobs", "window", "device", "encoding"])
def test_plan_values_are_checked_as_the_command_line_checks_them(simulator, lab, capsys, text, reason):
    sim = simulator()
    plan = write_plan(lab, [(32, "fw32.tbin", [label(sim)])])
    with open(plan, "rb") as f:
        body = f.read()
    with open(plan, "wb") as f:
        f.write(text.encode("latin-1") + body)
    code, _, err = rollout([plan], capsys)
    line = 4 if "device name" in reason else 1
    assert code == 1 and sim.state.commands == [] and "%s:%d: %s" % (plan, line, reason) in err


def test_a_dry_run_and_a_report_as_json(simulator, lab, capsys):
    current, fresh = simulator(state=DeviceState(fpga_version="0.2.4.0")), simulator()
    gone = "127.0.0.1:%d" % closed_port()
    plan = write_plan(lab, [(32, "fw32.tbin", [label(current), label(fresh), gone])])
    code, out, err = rollout([plan, "--dry-run", "--json"], capsys)
    objects = [json.loads(line) for line in out.splitlines()]
    assert code == 1 and err.strip().endswith("dry run: 1 skip, 1 update, 1 unreachable, 0 refused")
    assert [(o["result"], tuple(o)) for o in objects] == [(r, KEYS) for r in ("skipped", "would update", "failed")]
    rollout([plan], capsys)
    code, out, _ = rollout(["--report", str(lab / "lab.record.jsonl"), "--json"], capsys)
    objects = [json.loads(line) for line in out.splitlines()]
    assert sorted((o["device"], o["state"], tuple(o)) for o in objects) == sorted([
        (label(current), "skipped", KEYS), (label(fresh), "verified", KEYS), (gone, "untouched", KEYS)])


def test_the_example_plan_runs_as_the_readme_shows(simulator, tmp_path, capsys):
    text = (pathlib.Path(__file__).parent.parent / "examples" / "lab.toml").read_text()
    sims = [simulator(), simulator(state=DeviceState(fpga_version="0.2.4.0")), simulator()]
    for port, sim in zip((5031, 5032, 5033), sims):  # free ports of this run, not the README's
        text = text.replace("127.0.0.1:%d" % port, label(sim))
    (tmp_path / "lab.toml").write_text(text)
    (tmp_path / "fpga32_0.2.4.0.tbin").write_bytes(tbin.seal(IMAGE, 32, header={"FPGA_VERSION": "0.2.4.0"}))
    code, _, err = rollout([str(tmp_path / "lab.toml"), "--dry-run"], capsys)
    assert code == 0 and err.strip().endswith("dry run: 1 skip, 2 update, 0 unreachable, 0 refused")
    code, out, _ = rollout([str(tmp_path / "lab.toml"), "--canary", "1"], capsys)
    assert code == 0 and [sim.state.image() for sim in (sims[0], sims[2])] == [IMAGE, IMAGE]
    assert "its image (0.2.4.0)  skipped" in out


def test_a_report_over_the_records_of_several_sites(tmp_path, capsys):
    def line(state, host):
        return json.dumps({"device": "127.0.0.1:5025", "resolved": "127.0.0.1:5025", "state": state, "result": "ok",
                           "host": host}) + "\n"

    north, fetched = tmp_path / "north.jsonl", tmp_path / "fetched.jsonl"
    north.write_text(line("part-written", "lab-n") + line("verified", "lab-n"))
    fetched.write_text(line("erased", "lab-b"))  # the same address at another site: another device
    code, out, _ = rollout(["--report", "north=%s" % north, str(fetched)], capsys)
    assert code == 0 and [row.split()[:3] for row in out.splitlines()[1:]] == [
        ["north", "127.0.0.1:5025", "verified"], ["lab-b", "127.0.0.1:5025", "erased"]]
    code, out, _ = rollout(["--report", "north=%s" % north, str(fetched), "--json"], capsys)
    assert [(o["site"], o["state"]) for o in map(json.loads, out.splitlines())] == [("north", "verified"),
                                                                                    ("lab-b", "erased")]


def test_a_plan_given_as_a_mapping_runs_through_the_library(simulator, lab):
    sim = simulator()
    with pytest.raises(PlanError, match=r"^inline: groups\[0\]: device_type must be a whole number"):
        plan_from({"groups": [{"device_type": "32", "image": "fw32.tbin", "devices": [label(sim)]}]}, str(lab),
                  "inline")
    plan = plan_from({"jobs": 2, "groups": [{"device_type": 32, "image": "fw32.tbin", "devices": [label(sim)]}]},
                     str(lab), "inline")
    try:
        dry = run_plan(plan, dry_run=True)
        assert dry.changed and dry.counts["update"] == 1 and sim.state.commands == ["FPGA_GET_ID", "GET_FPGA_VER"]
        done = run_plan(plan)
        assert done.changed and not done.failed and done.lines[0]["state"] == "verified"
        assert read_record(str(lab / "inline.record.jsonl"))[0]["state"] == "verified"
        assert not run_plan(plan).changed
    finally:
        plan.close()
