"""The tests' fixtures; the fakes they use live in fakes.py."""

import logging
import sys
import types

import pytest

from ondrel.tools.devsim import DeviceSimulator, Faults

from .fakes import DeviceConnection, FakeTCP, RecordingConnection


@pytest.fixture
def conn():
    return RecordingConnection()


@pytest.fixture
def Tarnel():
    import ondrel.Tarnel

    return ondrel.Tarnel


@pytest.fixture
def tool(Tarnel, conn):
    return Tarnel.FpgaTool(conn)


@pytest.fixture
def fpga_log(caplog):
    """Records of the "FPGA" channel as (levelname, message) pairs."""
    caplog.set_level(logging.DEBUG, logger="FPGA")

    def records():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "FPGA"]

    return records


@pytest.fixture
def device():
    return DeviceConnection()


@pytest.fixture
def simulator():
    """Starts simulated devices on loopback ports: simulator(**faults), with
    state=, hooks= and latency= (seconds) as the simulator takes them; all
    are stopped after the test."""
    sims = []

    def start(hooks=None, state=None, latency=0.0, **faults):
        sim = DeviceSimulator(state=state, faults=Faults(**faults), hooks=hooks, latency=latency).start()
        sims.append(sim)
        return sim

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture
def tool_on(Tarnel):
    """tool_on(sim, cls=FpgaTool, timeout=2.0): a tool with its own TCP
    connection to a simulator, closed after the test."""
    tools = []

    def connect(sim, cls=None, timeout=2.0):
        tool = (cls or Tarnel.FpgaTool)(address=sim.host, port=sim.port)
        tool._conn.settimeout(timeout)
        tools.append(tool)
        return tool

    yield connect
    for tool in tools:
        tool._conn.closeConnection()


@pytest.fixture
def fake_tcp(monkeypatch):
    module = types.ModuleType("ondrel.QarCommService")
    module._TCPConn = FakeTCP
    monkeypatch.setitem(sys.modules, "ondrel.QarCommService", module)
    monkeypatch.setattr(FakeTCP, "instances", [])
    monkeypatch.setattr(FakeTCP, "connect_result", True)
    return FakeTCP


@pytest.fixture
def image_dir(tmp_path):
    """Writes image files: image_dir("fw.bin", data) -> path as text."""

    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write
