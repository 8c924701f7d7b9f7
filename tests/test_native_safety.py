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
from fakes import DeviceConnection, RecordingConnection, SweepgateDevice
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
        for limit in (1000, 200):  # at the limit, and again with the native code long since in use
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
        # the container written and read back; the raw image read whole before the erase, sent, read back,
        # and read whole again before done
        assert b"".join(bytes(data) for data in KeepingSha.kept) == image * 6, "the digests of both updates"
        print("ok")
    """)
    assert out.endswith("ok\n")


# Daemon threads parked inside every kind of call into Python that the native
# code makes; each spins in Python code (giving up the interpreter lock and
# taking it back) until the interpreter ends it while it exits.
AT_EXIT = """
    import itertools, json, os, tempfile, threading, time
    import ondrel.Tarnel as Tarnel
    import ondrel.qardev.Sweepgate as S
    from ondrel.tools.tbin import seal

    inside = threading.Semaphore(0)

    def spin():
        inside.release()
        while True:
            time.sleep(0)

    class Spinning:
        def __str__(self):
            spin()
        __repr__ = __int__ = __index__ = __float__ = __len__ = __str__
        def __eq__(self, other):
            spin()
        __lt__ = __eq__
        __hash__ = object.__hash__

    folder = tempfile.mkdtemp()
    image = os.path.join(folder, "fw.tbin")
    open(image, "wb").write(seal(bytes(64), 32))
    raw = os.path.join(folder, "fw.bin")
    open(raw, "wb").write(bytes(1 << 16))

    def tool(replies={}):
        conn = RecordingConnection(record=False)
        conn.sendCmd = lambda frame, kind: RetType(data=replies.get(bytes(frame[:-2]), "0"))
        return Tarnel.FpgaTool(conn)

    class SpinningConn(RecordingConnection):
        def sendCmd(self, frame, kind):
            spin()

    class SpinningJson:
        @staticmethod
        def loads(text):
            return {"DEV_TYPE": [Spinning()]}

    class Device(SweepgateDevice):
        def _getExtCtrl(self):
            spin()

    class Reply(bytes):
        def __del__(self):
            spin()

    class DyingReplies(RecordingConnection):
        def recvRawBytes(self, size):
            return Reply(b"#216" + bytes(16) + b"\\r\\n")

    calls = [
        lambda: tool({b"FPGA_GET_ID": Spinning()}).initFpga(32),                          # str() of a reply
        lambda: Tarnel.FpgaTool(SpinningConn(record=False))._fpgaGetId(),                  # a connection's method
        lambda: tool()._fpgaProgram(Spinning()),                                           # len()
        lambda: tool()._fpgaCfgMode(Spinning()),                                           # str() of an argument
        lambda: tool().processFpgaUpdate(raw, Spinning()),                                 # int()
        lambda: (setattr(Tarnel, "json", SpinningJson), tool()._checkFileHeader(image)),   # a substituted global
        lambda: Device().getFastParallelMode(),                                            # a device operation
        lambda: S._require_beam_pattern_setup(type("F", (), {"__signature__": property(lambda self: spin())})()),
        lambda: (lambda t: (t.set_progress_callback(lambda *a: spin()), t._fpgaProgramFile(raw, 32)))(tool()),
        lambda: Tarnel.FpgaTool(DyingReplies(record=False))._fpgaRead(),                   # a release: __del__
    ]
    for call in calls:
        threading.Thread(target=call, daemon=True).start()
    for _ in calls:
        inside.acquire()  # every thread is inside its call
    sys.__stdout__.write("leaving\\n")
"""


@pytest.fixture
def cpu_load():
    """A busy loop on another process for the duration of the test."""
    burner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    yield
    burner.kill()
    burner.wait()


def test_daemon_threads_inside_native_calls_at_exit(cpu_load):
    # The interpreter ends such threads as they take its lock back; no native
    # frame may then release a Python object (-X dev reports one that does).
    for _ in range(3):
        child = subprocess.run([sys.executable, "-X", "dev", "-c", PRELUDE + textwrap.dedent(AT_EXIT)],
                               capture_output=True, text=True, timeout=120)
        assert (child.returncode, child.stdout) == (0, "leaving\n"), child.stderr[-3000:]
        assert "Fatal Python error" not in child.stderr


def test_items_that_change_the_device_type_list_cannot_crash_the_check():
    out = run_child("""
        import os, tempfile
        import ondrel.Tarnel as Tarnel
        from ondrel.tools.tbin import seal

        class Growing:  # converting it grows the list, which frees the list's item array
            def __init__(self, items):
                self.items = items
            def __int__(self):
                self.items.extend(range(10000))
                return 32
            def __lt__(self, other):
                return False

        class Json:
            @staticmethod
            def loads(text):
                items = []
                items += [Growing(items), Growing(items)]
                return {"DEV_TYPE": items}

        path = os.path.join(tempfile.mkdtemp(), "fw.tbin")
        open(path, "wb").write(seal(bytes(64), 32))
        Tarnel.json = Json
        print(Tarnel.FpgaTool(object())._checkFileHeader(path))
    """)
    assert out.endswith("False\n")  # the key of two types 32 does not match; nothing read freed memory


@pytest.mark.parametrize("main_first", [False, True], ids=["alone", "after the main interpreter"])
def test_other_interpreters_are_refused_at_import(tmp_path, main_first):
    out = run_child("""
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        if %r:
            import ondrel.Tarnel, ondrel.qardev.Sweepgate
        for name in ("ondrel.Tarnel", "ondrel.qardev.Sweepgate"):
            path = %r + "/" + name
            interpreter = interpreters.create()
            interpreters.run_string(interpreter, "\\n".join([
                "try:",
                "    import %%s",
                "    result = 'imported'",
                "except ImportError as error:",
                "    result = str(error)",
                "open(%%r, 'w').write(result)"]) %% (name, path))
            interpreters.destroy(interpreter)
            print(open(path).read())
    """ % (main_first, str(tmp_path)))
    assert out.splitlines()[-2:] == ["module ondrel.Tarnel does not support loading in subinterpreters",
                                     "module ondrel.qardev.Sweepgate does not support loading in subinterpreters"]


def test_a_module_nobody_refers_to_is_freed():
    code = textwrap.dedent("""
        import gc, sys, weakref
        import ondrel.Tarnel as Tarnel
        import ondrel.qardev.Sweepgate as Sweepgate
        from ondrel.QarUtils import RetType

        class Conn:
            def sendCmd(self, frame, kind):
                return RetType(data="0.2.3.5")

        Tarnel.FpgaTool(Conn()).initFpga(32)
        modules = [weakref.ref(Tarnel), weakref.ref(Sweepgate)]
        for name in ("ondrel.Tarnel", "ondrel._transfer", "ondrel.qardev.Sweepgate"):  # the engine is Tarnel's
            del sys.modules[name]
            package, _, attribute = name.rpartition(".")
            delattr(sys.modules[package], attribute)
        del Tarnel, Sweepgate
        gc.collect()
        print([module() is None for module in modules])
    """)
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.stdout.endswith("[True, True]\n"), child.stderr
