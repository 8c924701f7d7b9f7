"""The command line tells the truth about every device: what each holds when
the work ends (and which are unsafe to power-cycle), whatever happens to
the device, the network, the standard streams or the run."""

import io
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from ondrel.tools import cli, tbin
from ondrel.tools.cli.output import KEYS
from ondrel.tools.devsim import DeviceState

from .fakes import closed_port, on_a_terminal
from .platforms import needs_a_terminal, needs_ctrl_c

COMMAND = [sys.executable, "-m", "ondrel.tools"]
IMAGE = bytes(range(256)) * 40  # 10,240 bytes


def run(argv, capsys):
    out = io.StringIO()
    code = cli.main(argv, out=out)
    return code, out.getvalue(), capsys.readouterr().err


def address(sim, host=None):
    return ["--address", "%s:%d" % (host or sim.host, sim.port)]


@pytest.fixture
def sealed(tmp_path):
    path = tmp_path / "fw.tbin"
    path.write_bytes(tbin.seal(IMAGE, 32))
    return str(path)


# --- what every device holds --------------------------------------------------------


@pytest.mark.parametrize("faults,state,result,line", [
    ({}, "verified", "ok", None),
    ({"silent_after": 50}, "part-written", "failed",
     r"time-out: no reply within 0.5s \(at write 7\d\d of 10,240 bytes\); left part-written at write 7\d\d of 10,240 "
     r"bytes, unsafe to power-cycle"),
    ({"drop_after": 1000}, "unverified", "failed",
     r"lost connection: the device closed it \(at verify [\d,]+ of 10,240 bytes\); left written but not verified, "
     r"unsafe to power-cycle"),
    ({"state": DeviceState(fpga_version="0.1.0.0")}, "untouched", "refused",
     r"initialisation refused: FPGA version 0.1.0.0 is lower than minimum required version 0.2.3.4.$"),
], ids=["success", "time-out mid-write", "drop mid-verify", "refusal"])
def test_every_device_ends_in_a_stated_state(simulator, sealed, capsys, faults, state, result, line):
    sim = simulator(**faults)
    label = "%s:%d" % (sim.host, sim.port)
    code, out, err = run(["update", sealed, *address(sim), "--timeout", "0.5"], capsys)
    assert code == (0 if result == "ok" else 1)
    assert out.splitlines()[1].split()[-2:] == [state, result]
    if line is None:
        assert "ondrel-fpga:" not in err
    else:
        assert re.match(r"ondrel-fpga: %s: %s" % (re.escape(label), line), err.strip().splitlines()[-1])
    sim.faults.__init__()  # the same again, as JSON
    sim.faults.__dict__.update({key: value for key, value in faults.items() if key != "state"})
    code, out, _ = run(["update", sealed, *address(sim), "--timeout", "0.5", "--json"], capsys)
    record = json.loads(out)
    assert (record["state"], record["result"], record["device"]) == (state, result, label)
    assert record["bytes_total"] == len(IMAGE) and (record["bytes_done"] is None) == (result == "refused")


def test_a_failed_read_back_names_the_first_difference_and_the_unsafe_device(simulator, sealed, capsys):
    sim = simulator(corrupt_read=4000)
    code, out, err = run(["update", sealed, *address(sim), "--json"], capsys)
    record = json.loads(out)
    assert code == 1 and record["state"] == "unverified" and record["stage"] == "read-back"
    assert record["reason"] == ("read-back differs from the image: first difference at offset 4000 (0xfa0): device "
                                "0x%02x, image 0x%02x" % (IMAGE[4000] ^ 0xFF, IMAGE[4000]))


def test_a_device_type_the_initialisation_does_not_support_is_updated(simulator, tmp_path, capsys):
    sim = simulator(state=DeviceState(device_type=28))
    path = tmp_path / "fw28.tbin"
    path.write_bytes(tbin.seal(IMAGE, 28))
    for extra in ([], ["--no-fw-check"]):
        code, out, err = run(["update", str(path), *address(sim), "--device-type", "28", "--json"] + extra, capsys)
        record = json.loads(out)
        assert code == 0 and sim.state.image() == IMAGE and sim.state.commands.count("FPGA_ERASE") >= 1
        assert (record["state"], record["identifier"], record["version_after"]) == ("verified", None, "0.2.4.0")
        assert record["warnings"][0] == "Device type 28 is not supported for firmware version check; updating " \
                                        "without it"
        assert "not supported" not in err  # said once, in the result


@pytest.mark.parametrize("spellings", [["127.0.0.1", "localhost"], ["localhost", "file:127.0.0.1"]],
                         ids=["two addresses", "a name and its address in a file"])
def test_one_device_named_twice_is_refused_before_any_device_is_touched(simulator, sealed, tmp_path, capsys,
                                                                        spellings):
    sim = simulator()
    argv = ["update", sealed]
    for host in spellings:
        if host.startswith("file:"):
            listing = tmp_path / "devices.txt"
            listing.write_text("%s:%d\n" % (host[5:], sim.port))
            argv += ["--addresses", str(listing)]
        else:
            argv += address(sim, host)
    with pytest.raises(SystemExit) as exited:
        cli.main(argv)
    err = capsys.readouterr().err
    hosts = [host.replace("file:", "") for host in spellings]
    assert exited.value.code == 2 and sim.state.commands == []
    assert "%s:%d and %s:%d are the same device (127.0.0.1:%d)" % (hosts[0], sim.port, hosts[1], sim.port,
                                                                   sim.port) in err


@pytest.mark.parametrize("case,reason", [
    ("refused", "connection refused"),
    ("unresolved", "name not resolved"),
    ("silent", "time-out: no reply within 0.5s (while initialising)"),
    ("dropped", "lost connection: the device closed it (while initialising)"),
])
def test_reasons_say_the_cause_once(simulator, sealed, capsys, case, reason):
    if case == "refused":
        target = "127.0.0.1:%d" % closed_port()
    elif case == "unresolved":
        target = "no-such-host.invalid:5025"
    else:
        sim = simulator(**({"silent_after": 0} if case == "silent" else {"drop_after": 0}))
        target = "%s:%d" % (sim.host, sim.port)
    code, _, err = run(["update", sealed, "--address", target, "--timeout", "0.5"], capsys)
    last = err.strip().splitlines()[-1]
    assert code == 1 and last.startswith("ondrel-fpga: %s: %s" % (target, reason))
    assert last.count(target) == 1 and "unsafe" not in last


# --- the standard streams -----------------------------------------------------------


@pytest.mark.parametrize("closed,status", [("stdout", 3), ("stderr", 0), ("both", 3), ("stdout pipe", 3),
                                           ("stderr pipe", 0)])
def test_closed_standard_streams_never_stop_device_work(simulator, sealed, closed, status):
    sim = simulator()
    code = "import os, sys\n"
    if closed in ("stdout", "both"):
        code += "os.close(1)\n"
    if closed in ("stderr", "both"):
        code += "os.close(2)\n"
    code += "from ondrel.tools.cli import main\nsys.argv[0] = 'ondrel-fpga'\nsys.exit(main())\n"
    read_end, write_end = os.pipe()
    os.close(read_end)  # a reader that left before the first line
    streams = {"stdout pipe": {"stdout": write_end}, "stderr pipe": {"stderr": write_end}}.get(closed, {})
    child = subprocess.run([sys.executable, "-c", code, "update", sealed, *address(sim)], timeout=120,
                           stdin=subprocess.DEVNULL, **streams)
    os.close(write_end)
    assert child.returncode == status
    assert sim.state.image() == IMAGE and sim.state.commands[-1] == "GET_FPGA_VER"  # verified, refreshed, read back


# --- what is shown while it works ---------------------------------------------------


@needs_a_terminal
def test_the_live_line_fits_a_narrow_terminal(simulator, tmp_path):
    sim = simulator(delay=0.0002)
    path = tmp_path / "fw.bin"
    path.write_bytes(os.urandom(128 * 1024))
    status, text = on_a_terminal(COMMAND + ["update", str(path), *address(sim)], columns=50)
    assert status == 0
    live = re.findall(r"\r([^\r\n]*?)\x1b\[K", text)  # each redraw
    assert live and all(len(piece) < 50 for piece in live)  # cut to the width: never wrapped
    kept = [line.split("\r")[-1] for line in text.split("\n")]
    assert not [line for line in kept if "%  " in line]  # no redraw left behind as a line of its own
    stages = {match for piece in live for match in re.findall(r"(connecting|initialising|erasing|writing|verifying"
                                                              r"|refreshing)", piece)}
    assert {"writing", "verifying"} <= stages


# --- one schema -----------------------------------------------------------------------


def test_one_json_schema_for_every_command_and_outcome(simulator, sealed, tmp_path, capsys):
    sim, silent = simulator(), simulator(silent_after=0)
    gone = "127.0.0.1:%d" % closed_port()
    raw = tmp_path / "fw.bin"
    raw.write_bytes(IMAGE)
    broken = tmp_path / "broken.tbin"
    broken.write_bytes(b"\0" * 20)
    runs = [
        ["update", sealed, *address(sim)], ["update", str(broken), *address(sim)],
        ["update", sealed, "--address", gone],
        ["update", sealed, *address(silent), "--timeout", "0.3"],
        ["verify", sealed, *address(sim)], ["verify", sealed, "--address", gone],
        ["verify", str(broken), *address(sim)],
        ["dump", *address(sim), "--size", "1K", "-o", str(tmp_path / "d.bin")],
        ["dump", "--address", gone, "--size", "1K", "-o", str(tmp_path / "e.bin")],
        ["info", *address(sim)], ["info", "--address", gone],
        ["check", sealed], ["check", str(broken)],
        ["seal", str(raw), "--device-type", "32", "-o", str(tmp_path / "s.tbin")],
        ["seal", str(tmp_path / "none.bin"), "--device-type", "32", "-o", str(tmp_path / "t.tbin")],
    ]
    for argv in runs:
        code, out, _ = run(argv + ["--json"], capsys)
        objects = [json.loads(line) for line in out.splitlines()]
        assert len(objects) == 1, argv
        assert tuple(objects[0]) == KEYS and objects[0]["command"] == argv[0], argv
        assert (objects[0]["result"] == "ok") == (code == 0), argv


# --- Ctrl-C ---------------------------------------------------------------------------


CTRL_C = """
    import json, logging, os, signal, socket, sys, threading
    from ondrel.tools import cli
    from ondrel.tools.devsim import DeviceSimulator

    signal.signal(signal.SIGINT, signal.default_int_handler)  # whoever started this process may have ignored it
    logging.basicConfig(handlers=[logging.NullHandler()])  # this caller of main() keeps the records to itself

    def interrupt(_):  # Ctrl-C as the first block reaches the first device
        if not sim.state.blocks_written:
            os.kill(os.getpid(), signal.SIGINT)

    sim = DeviceSimulator(hooks={b"FPGA_PROGRAM": interrupt}).start()
    hung = socket.socket()  # accepts nothing: its backlog is full, so a connection waits
    hung.bind(("127.0.0.1", 0))
    hung.listen(0)
    fillers = [socket.create_connection(hung.getsockname())]  # the one place of its backlog

    code = cli.main(["update", sys.argv[1], "--address", "%s:%d" % (sim.host, sim.port), "--connect-timeout", "600",
                     "--address", "127.0.0.1:%d" % hung.getsockname()[1]] + sys.argv[2:])
    erases = sim.state.commands.count("FPGA_ERASE")
    workers = [t for t in threading.enumerate() if t.name == "ondrel-fpga worker"]
    for _ in fillers:  # let a connection still waiting in: it must send nothing
        hung.accept()[0].close()
    hung.setblocking(False)
    try:
        late = hung.accept()[0]
        late.setblocking(True)
        said = late.recv(100).decode()
    except BlockingIOError:
        said = ""
    print(json.dumps({"code": code, "workers": len(workers), "late": said, "erases": erases,
                      "after": sim.state.commands.count("FPGA_ERASE")}), file=sys.stderr)
"""


@pytest.mark.parametrize("json_output", [False, True])
@needs_ctrl_c
def test_ctrl_c_names_every_device_and_leaves_nothing_behind(sealed, json_output):
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(CTRL_C), sealed] + ["--json"] * json_output,
                           capture_output=True, text=True, timeout=120)
    *shown, summary = child.stderr.strip().splitlines()
    outcome = json.loads(summary)
    # every thread had stopped when main() returned, and nothing reached a device after it
    assert outcome == {"code": 130, "workers": 0, "late": "", "erases": 1, "after": 1}
    lines = [line for line in shown if line.startswith("ondrel-fpga: ")]
    assert re.match(r"ondrel-fpga: 127.0.0.1:\d+: interrupted; left (erased|part-written at write [\d,]+ of 10,240 "
                    r"bytes), unsafe to power-cycle", lines[-3])
    assert re.match(r"ondrel-fpga: 127.0.0.1:\d+: interrupted$", lines[-2])  # the one still connecting
    assert lines[-1].startswith("ondrel-fpga: 2 interrupted; left unsafe to power-cycle: ")
    assert shown[-1] == lines[-1]  # the reason is the last line
    if json_output:
        records = [json.loads(line) for line in child.stdout.splitlines()]
        assert [(r["result"], r["state"]) for r in records][1:] == [("interrupted", "untouched")]
