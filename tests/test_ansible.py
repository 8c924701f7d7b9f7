"""The Ansible collection ondrel.fpga, built and installed as a lab would, its
modules run by ansible-playbook against simulated sites on loopback: the
README's playbook over three sites, each on an address of its own."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from ondrel.tools import tbin
from ondrel.tools.devsim import DeviceSimulator

from .fakes import closed_port
from .platforms import needs_ansible

ROOT = pathlib.Path(__file__).resolve().parent.parent
# ansible-core lives with the tools (Python 3.11 and later), whatever interpreter runs the suite.
ANSIBLE = pathlib.Path(os.environ.get("ONDREL_ANSIBLE_BIN") or (os.path.dirname(os.environ["ONDREL_TOOLS_PYTHON"])
                       if os.environ.get("ONDREL_TOOLS_PYTHON") else ROOT / ".venv" / "tools" / "bin"))
SITES = {"site-a": "127.0.0.11", "site-b": "127.0.0.12", "site-c": "127.0.0.13"}
IMAGE = os.urandom(8192)

pytestmark = [needs_ansible, pytest.mark.skipif(not (ANSIBLE / "ansible-playbook").exists(),
                                 reason="no ansible-core here (scripts/tools-venv installs it)"),
              pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                 reason="modules in Python, run by another interpreter: the sanitizer run skips them")]


@pytest.fixture(scope="module")
def collections(tmp_path_factory):
    """The collection, built with ansible-galaxy and installed into a folder of its own."""
    folder = tmp_path_factory.mktemp("collections")
    source = ROOT / "ansible" / "ansible_collections" / "ondrel" / "fpga"
    subprocess.run([str(ANSIBLE / "ansible-galaxy"), "collection", "build", str(source), "--output-path",
                    str(folder)], check=True, capture_output=True, env=_env(folder))
    built = next(folder.glob("ondrel-fpga-*.tar.gz"))
    subprocess.run([str(ANSIBLE / "ansible-galaxy"), "collection", "install", str(built), "-p", str(folder)],
                   check=True, capture_output=True, env=_env(folder))
    return folder


def _env(folder, results=None):
    env = dict(os.environ, ANSIBLE_HOME=str(folder / "home"), ANSIBLE_LOCAL_TEMP=str(folder / "tmp"),
               ANSIBLE_REMOTE_TEMP=str(folder / "tmp"), ANSIBLE_COLLECTIONS_PATH=str(folder),
               ANSIBLE_CALLBACK_PLUGINS=str(pathlib.Path(__file__).parent / "ansible_callbacks"),
               ANSIBLE_LOAD_CALLBACK_PLUGINS="1", ANSIBLE_NOCOLOR="1", ANSIBLE_PYTHON_INTERPRETER=sys.executable,
               ONDREL_TEST_RESULTS=str(results or os.devnull))
    env.pop("ANSIBLE_CONFIG", None)
    if env.get("PYTHONPATH"):  # the modules run in folders of their own
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    return env


def run(command, cwd, collections):
    """{(task name, host): result} of an ansible command, the last result of each."""
    results = pathlib.Path(cwd) / "results.jsonl"
    if results.exists():
        results.unlink()
    done = subprocess.run(command, cwd=str(cwd), capture_output=True, text=True, env=_env(collections, results),
                          timeout=300)
    assert results.exists(), done.stdout + done.stderr
    found = {}
    for line in results.read_text().splitlines():
        entry = json.loads(line)
        found[(entry["task"], entry["host"])] = dict(entry["result"], failed=entry.get("failed", False))
    return found


@pytest.fixture
def labs(tmp_path, collections):
    """The README's three sites, two simulated devices each (on the site's own
    address), and a way to run the README's playbook against them."""
    sims = {site: [DeviceSimulator(host=address).start() for _ in range(2)] for site, address in SITES.items()}
    folder = tmp_path / "labs"
    shutil.copytree(str(ROOT / "examples" / "many-labs"), str(folder))
    (folder / "fpga32_0.2.4.0.tbin").write_bytes(tbin.seal(IMAGE, 32, header={"FPGA_VERSION": "0.2.4.0"}))
    for site, address in SITES.items():
        plan = folder / ("%s.toml" % site)
        text = plan.read_text()
        for port, sim in zip((5041, 5042), sims[site]):  # free ports of this run, not the example's
            text = text.replace("%s:%d" % (address, port), "%s:%d" % (address, sim.port))
        plan.write_text(text)

    def playbook(*options):
        python = sys.executable
        return run([str(ANSIBLE / "ansible-playbook"), "-i", "inventory.ini", "labs.yml", *options, "-e",
                    "ansible_python_interpreter=%s ondrel_fpga='%s -m ondrel.tools'" % (python, python)],
                   folder, collections)

    yield sims, folder, playbook
    for devices in sims.values():
        for sim in devices:
            sim.stop()


def rolled(found):
    """The rollout task's result on each site that ran it."""
    return {host: result for (task, host), result in found.items()
            if task == "Bring the site's devices to their images"}


def test_the_readme_playbook_over_three_sites(labs):
    sims, folder, playbook = labs
    every = [sim for devices in sims.values() for sim in devices]

    found = rolled(playbook("--check"))  # asks every device, writes nothing
    assert {host: r["changed"] for host, r in found.items()} == {site: True for site in SITES}
    assert {line["action"] for r in found.values() for line in r["devices"]} == {"update from 0.2.3.5 to 0.2.4.0"}
    assert [sim.state.commands for sim in every] == [["FPGA_GET_ID", "GET_FPGA_VER"]] * len(every)
    assert not list(folder.glob("*.record.jsonl"))

    dropping = sims["site-a"][1]
    dropping.faults.drop_after = 40  # mid-write: the canary site fails, no other site starts
    asked = [len(sim.state.commands) for sim in every]
    found = playbook()
    label = "%s:%d" % (dropping.host, dropping.port)
    assert list(rolled(found)) == ["site-a"] and rolled(found)["site-a"]["failed"]
    assert rolled(found)["site-a"]["unsafe"] == [label] and rolled(found)["site-a"]["changed"]
    assert [len(sim.state.commands) for sim in every][2:] == asked[2:]  # sites b and c untouched
    report = found[("Show the report", "site-a")]["msg"]
    assert any(line.split()[:3] == ["site-a", label, "part-written"] for line in report)

    dropping.faults.drop_after = None
    found = playbook()  # finishes what the first run left, and the other sites
    assert {host: (r["changed"], r.get("failed", False)) for host, r in rolled(found).items()} == {
        site: (True, False) for site in SITES}
    assert [sim.state.image() for sim in every] == [IMAGE] * len(every)
    assert len(found[("Show the report", "site-b")]["msg"]) == 1 + 6  # every device of every site

    found = playbook()
    assert {host: r["changed"] for host, r in rolled(found).items()} == {site: False for site in SITES}
    assert not any(result.get("changed") for result in found.values())


def test_info_gives_each_device_as_facts(simulator, collections, tmp_path):
    sim, gone = simulator(), "127.0.0.1:%d" % closed_port()

    def info(*devices):
        found = run([str(ANSIBLE / "ansible"), "all", "-i", "localhost,", "-c", "local", "-m", "ondrel.fpga.info",
                     "-a", json.dumps({"devices": list(devices)})], tmp_path, collections)
        return next(iter(found.values()))

    facts = info("%s:%d" % (sim.host, sim.port))["ansible_facts"]["ondrel_fpga_devices"]
    assert facts["%s:%d" % (sim.host, sim.port)]["fpga_version"] == "0.2.3.5"
    result = info("%s:%d" % (sim.host, sim.port), gone)
    assert result["failed"] and list(result["unreachable"]) == [gone]
