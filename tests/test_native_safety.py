"""Ways a caller could once crash the interpreter.  Each runs in a child
interpreter, so that a crash fails its test instead of ending the run."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, importlib, sys
sys.path.insert(0, %r)  # the tests' shared fakes
import ondrel, ondrel.qardev
from conftest import DeviceConnection, RecordingConnection, SweepgateDevice
from ondrel.QarUtils import RetCode, RetType

def Conn():
    return RecordingConnection(default_reply="0.2.3.5", record=False)

def forget(name):
    del sys.modules[name]
    package, _, attribute = name.rpartition(".")
    delattr(sys.modules[package], attribute)
""" % os.path.dirname(os.path.abspath(__file__))


def run_child(code):
    child = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout


def test_functions_outlive_their_module_and_imports_are_independent():
    out = run_child("""
        import ondrel.Tarnel as first
        import ondrel.qardev.Sweepgate as first_sg
        FpgaTool, device = first.FpgaTool, SweepgateDevice()  # a class of the first import
        forget("ondrel.Tarnel"); forget("ondrel.qardev.Sweepgate")
        del first, first_sg
        import ondrel.Tarnel as second
        import ondrel.qardev.Sweepgate as second_sg
        gc.collect()
        assert FpgaTool is not second.FpgaTool
        assert FpgaTool(Conn()).initFpga(32).RetCode is RetCode.OK
        assert device.setFastParallelMode(True).RetCode is RetCode.OK and device.external_control_enabled is True
        second._DEVICE_WHITELIST.append(28)  # seen by the second module's functions only
        assert second.FpgaTool(Conn()).initFpga(28).RetCode is RetCode.OK
        assert FpgaTool(Conn()).initFpga(28).RetCode is RetCode.WARNING
        third = importlib.reload(second)
        assert third.FpgaTool(Conn()).initFpga(32).RetCode is RetCode.OK
        print("ok")
    """)
    assert out.endswith("ok\n")


@pytest.mark.parametrize("code", [
    """
        from ondrel.Tarnel import FpgaTool
        class Looping(FpgaTool):
            def _sendCmd(self, *args, **kwargs):
                return self._fpgaGetId()
        tool = Looping(Conn())
        call = tool._fpgaGetId
    """,
    """
        import ondrel.qardev.Sweepgate as S
        device = SweepgateDevice()
        type(device)._eraseBeamPattern = lambda self, user_delay: self.eraseFastBeamConfig()
        call = device.eraseFastBeamConfig
    """,
], ids=["FpgaTool", "Sweepgate"])
def test_recursion_through_an_override_ends_in_recursion_error(code):
    out = run_child(code + """
        for limit in (1000, 200):  # at the limit, and again with pybind11 long since in use
            sys.setrecursionlimit(limit)
            try:
                call()
            except RecursionError:
                print("RecursionError")
    """)
    assert out == "RecursionError\nRecursionError\n"


def test_what_hmac_and_hashlib_are_handed_stays_valid():
    out = run_child("""
        import hashlib, hmac, os, tempfile
        from unittest import mock
        import ondrel.Tarnel as Tarnel
        from ondrel.tools.tbin import seal

        folder = tempfile.mkdtemp()
        image = os.urandom(200000)
        paths = {suffix: os.path.join(folder, "fw" + suffix) for suffix in (".tbin", ".bin")}
        open(paths[".tbin"], "wb").write(seal(image, 32))
        open(paths[".bin"], "wb").write(image)
        class KeepingSha:  # a hashlib whose digests keep what they are fed
            kept = []
            def __init__(self):
                self._sha = hashlib.sha256()
            def update(self, data):
                self.kept.append(data)
                self._sha.update(data)
            def hexdigest(self):
                return self._sha.hexdigest()

        with mock.patch.object(Tarnel, "hmac", wraps=hmac) as hmac_spy:
            with mock.patch.object(Tarnel, "hashlib", mock.Mock(sha256=KeepingSha)):
                tool = Tarnel.FpgaTool(DeviceConnection())
                assert tool.processFpgaUpdate(paths[".tbin"]).RetCode is RetCode.OK
                assert tool.processFpgaUpdate(paths[".bin"]).RetCode is RetCode.OK
        del tool
        gc.collect()
        os.urandom(1 << 22)  # give freed memory a chance to be reused
        fed = [bytes(call.args[1]) for call in hmac_spy.method_calls if call[0] == "digest"]
        assert image in fed, "the image tag was computed over something else"
        assert b"".join(bytes(data) for data in KeepingSha.kept) == image * 4, "the digests of both updates"
        print("ok")
    """)
    assert out.endswith("ok\n")


def test_daemon_threads_inside_native_code_at_exit():
    # The interpreter ends such threads as they take its lock back; that
    # unwinding must pass through every native frame.
    out = run_child("""
        import os, tempfile, threading, time
        from ondrel.Tarnel import FpgaTool

        class Slow(RecordingConnection):
            def sendCmd(self, frame, kind):
                time.sleep(0.001)
                return super().sendCmd(frame, kind)

        sys.stdout = open(os.devnull, "w")
        path = os.path.join(tempfile.mkdtemp(), "fw.bin")
        open(path, "wb").write(bytes(1 << 20))
        for _ in range(4):
            threading.Thread(target=FpgaTool(Slow(record=False))._fpgaProgramFile, args=(path, 32), daemon=True).start()
        time.sleep(0.3)
        sys.__stdout__.write("leaving\\n")
    """)
    assert out == "leaving\n"
