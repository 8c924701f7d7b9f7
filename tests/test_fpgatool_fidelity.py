"""FpgaTool behaves like a class written in Python."""

import abc
import ast
import copy
import functools
import inspect
import pathlib
import pickle
import subprocess
import sys
import weakref

import pytest

import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetType

FpgaTool = Tarnel.FpgaTool

STUB = pathlib.Path(Tarnel.__file__).with_name("Tarnel.pyi")


def _stub_names():
    """The operations in the order the type stub lists them (stubtest checks
    that the stub's signatures are the module's)."""
    tree = ast.parse(STUB.read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "FpgaTool"]
    return [node.name for node in cls.body if isinstance(node, ast.FunctionDef)]


NAMES = _stub_names()


def test_class_is_plain():
    assert FpgaTool.__bases__ == (object,)
    assert type(FpgaTool) is type
    assert FpgaTool.__module__ == "ondrel.Tarnel"
    assert FpgaTool.__qualname__ == "FpgaTool"
    assert FpgaTool.__doc__ is None
    own = [k for k in vars(FpgaTool) if not k.startswith("__") or k == "__init__"]
    assert own == NAMES  # definition order, nothing else
    assert not hasattr(FpgaTool, "__del__") and not hasattr(FpgaTool, "__enter__")


def test_instances_have_exactly_three_fields(conn):
    tool = FpgaTool(conn)
    assert tool.__dict__ == {"_conn": conn, "_owns_conn": False, "progress_callback": None}
    tool.extra = 1  # an ordinary instance __dict__
    assert tool.extra == 1


@pytest.mark.parametrize("name", NAMES)
def test_operation_identity(name):
    op = vars(FpgaTool)[name]
    assert op.__name__ == name
    assert op.__qualname__ == "FpgaTool." + name
    assert op.__module__ == "ondrel.Tarnel"
    assert (op.__doc__ is None) == (name == "_checkFileHeader")  # the one operation without a text
    assert str(inspect.signature(op)).startswith("(self")
    assert repr(op).startswith("<function FpgaTool.%s at 0x" % name)
    assert inspect.isroutine(op) and callable(op)


def test_defaults_and_annotations_are_function_like():
    op = FpgaTool._sendCmd
    assert op.__defaults__ == (False, 1024, True)
    assert op.__kwdefaults__ is None
    assert FpgaTool._fpgaRead.__defaults__ is None
    assert FpgaTool.processFpgaUpdate.__annotations__ == {
        "image_path": Tarnel.Optional[str], "device_type": int, "return": RetType}
    assert list(FpgaTool._fpgaProgramFile.__annotations__) == ["image_path", "device_type", "return"]


def test_receive_size_default_is_fixed_when_the_class_is_made(monkeypatch, conn):
    monkeypatch.setattr(Tarnel, "_RECV_SIZE", 4096)
    conn.raw_replies = [b"abcdefgh"]
    FpgaTool(conn)._getRecv(isdecode=False)
    assert conn.calls[-1] == ("recvRawBytes", (1024,))


def test_binding_as_method(conn):
    tool = FpgaTool(conn)
    bound = tool._fpgaGetId
    assert bound.__self__ is tool and bound.__func__ is FpgaTool._fpgaGetId
    assert FpgaTool._fpgaGetId.__get__(None, FpgaTool) is FpgaTool._fpgaGetId
    assert str(inspect.signature(bound)) == "()"
    assert FpgaTool._fpgaGetId(tool) == "0"  # unbound call with explicit self


def test_writable_dict_supports_decorators_and_wrapping():
    op = FpgaTool._fpgaRead
    op.custom = "x"
    assert op.__dict__["custom"] == "x"
    del op.custom

    @functools.wraps(FpgaTool._sendCmd)
    def wrapper(*args, **kwargs):
        return FpgaTool._sendCmd(*args, **kwargs)

    assert wrapper.__wrapped__ is FpgaTool._sendCmd
    assert wrapper.__qualname__ == "FpgaTool._sendCmd"
    assert str(inspect.signature(wrapper)) == "(self, cmd, log_print=False, size=1024, isdecode=True)"

    class Abstract(abc.ABC):  # noqa: B024 (its abstract method is the one under test)
        read = abc.abstractmethod(FpgaTool._fpgaRead)

    try:
        assert Abstract.__abstractmethods__ == frozenset({"read"})
    finally:
        del FpgaTool._fpgaRead.__isabstractmethod__


def test_function_attributes_can_be_replaced_like_a_functions():
    op = FpgaTool._fpgaGetSerialNumber
    saved = op.__name__, op.__qualname__, op.__doc__, op.__module__
    try:
        op.__name__, op.__qualname__, op.__doc__, op.__module__ = "n", "Q.n", "doc", "mod"
        assert (op.__name__, op.__qualname__, op.__doc__, op.__module__) == ("n", "Q.n", "doc", "mod")
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            op.__name__ = 3
        with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
            op.__annotations__ = 3
    finally:
        op.__name__, op.__qualname__, op.__doc__, op.__module__ = saved


def test_pickle_copy_and_weakref_treat_operations_as_functions():
    op = FpgaTool._sendCmd
    assert pickle.loads(pickle.dumps(op)) is op
    assert copy.deepcopy(op) is op and copy.copy(op) is op
    assert weakref.ref(op)() is op


def _reference(op):
    """A Python function with the same name, qualified name and parameters."""
    params = list(inspect.signature(op).parameters)
    ns = {}
    exec("def %s(%s): pass" % (op.__name__, ", ".join(params)), ns)
    ref = ns[op.__name__]
    ref.__qualname__ = op.__qualname__
    ref.__defaults__ = op.__defaults__
    return ref


def _binding_failures(op):
    names = list(inspect.signature(op).parameters)
    yield (), {}
    yield tuple(range(len(names) + 1)), {}
    yield tuple(range(len(names) + 3)), {}
    yield (1,), {"zz": 1}
    yield (1,), {names[-1] + "x": 1}
    yield (1,), {names[-1][:-1]: 1}
    yield (1, 2), {names[0]: 1}
    if len(names) > 1:
        yield (1,) * len(names), {names[1]: 2}
        yield tuple(range(len(names) + 2)), {"zz": 1}


@pytest.mark.parametrize("name", NAMES)
def test_binding_errors_match_the_interpreter(name):
    op = vars(FpgaTool)[name]
    ref = _reference(op)
    for args, kwargs in _binding_failures(op):
        with pytest.raises(TypeError) as expected:
            ref(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            op(*args, **kwargs)
        assert str(got.value) == str(expected.value), (args, kwargs)


def test_keyword_names_match_by_value_not_identity(conn):
    tool = FpgaTool(conn)
    name = "".join(["is", "decode"])  # a str that is not the interned one
    conn.raw_replies = [b"ABCDxy\r\n"]
    assert tool._sendCmd(b"X", **{name: False}) == b"xy"


def test_overrides_reach_the_other_operations(conn):
    sent = []

    class Logged(FpgaTool):
        def _sendCmd(self, cmd, log_print=False, size=1024, isdecode=True):
            sent.append(cmd)
            return "0"

    tool = Logged(conn)
    assert tool._fpgaGetId() == "0" and tool._fpgaProgram(b"ab") is True
    assert sent == [b"FPGA_GET_ID", b"FPGA_PROGRAM #102ab"]
    assert conn.calls == []

    plain = FpgaTool(conn)
    plain._sendCmd = lambda cmd, **kw: "override:" + cmd.decode()
    assert plain._fpgaGetVersion() == "override:GET_FPGA_VER"


def test_cpp_errors_become_python_exceptions(conn):
    tool = FpgaTool(conn)
    with pytest.raises(TypeError):
        tool._fpgaProgram(5)  # no length
    with pytest.raises(UnicodeEncodeError):
        tool._sendCmd("\udc80")
    assert conn.calls == []


def test_load_configures_logging_to_stdout_once():
    code = (
        "import logging, ondrel.Tarnel as T\n"
        "assert T.logger is logging.getLogger('FPGA')\n"
        "assert [type(h).__name__ for h in logging.getLogger().handlers] == ['StreamHandler']\n"
        "T.logger.info('hello'); T.logger.debug('hidden')\n"
        "import ondrel.Tarnel\n"
        "print(T._RECV_SIZE, T._FPGA_FW_VER_MIN, T._FPGA_VER_MIN_DEV28, T._FPGA_VER_MIN_DEV32, T._DEVICE_WHITELIST)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert len(lines) == 2 and out.stderr == ""
    assert lines[0].endswith(" - FPGA [INFO] hello")
    assert lines[1] == "1024 0.1.0.6 1.1.0.0 0.2.3.4 [32]"


def test_module_binds_its_names_in_order():
    names = [k for k in vars(Tarnel) if not k.startswith("__")]
    expected = ["hashlib", "hmac", "json", "logging", "struct", "sys", "time", "Path", "Optional", "Union",
                "VER", "RspType", "RetType", "RetCode", "logger", "_RECV_SIZE", "_FPGA_FW_VER_MIN",
                "_FPGA_VER_MIN_DEV28", "_FPGA_VER_MIN_DEV32", "_DEVICE_WHITELIST", "FpgaTool"]
    assert names == expected


def test_siblings_are_imported_by_name_so_callers_can_substitute_them():
    code = (
        "import sys, types\n"
        "fake = types.ModuleType('ondrel.QarPublic')\n"
        "class RetCode: OK = 'ok'\n"
        "fake.RetCode = RetCode\n"
        "sys.modules['ondrel.QarPublic'] = fake\n"
        "import ondrel.Tarnel as T\n"
        "assert T.RetCode is RetCode\n"
        "del fake.RetCode\n"
        "del sys.modules['ondrel.Tarnel']\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
    missing = ("import sys, types; m = types.ModuleType('ondrel.QarUtils'); sys.modules['ondrel.QarUtils'] = m\n"
               "import ondrel.Tarnel")
    out = subprocess.run([sys.executable, "-c", missing], capture_output=True, text=True)
    assert out.returncode != 0
    assert "ImportError: cannot import name 'VER' from 'ondrel.QarUtils'" in out.stderr


def test_package_init_imports_nothing():
    code = "import sys, ondrel; print(sorted(m for m in sys.modules if m.startswith('ondrel')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "['ondrel']"
