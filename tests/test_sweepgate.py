"""ondrel.qardev.Sweepgate: the decorator's call orders, the parallel mode,
the command dictionary, abstract enforcement, laziness and introspection."""

import enum
import functools
import inspect
import subprocess
import sys

import pytest

import ondrel.qardev.Sweepgate as S
from ondrel.QarPublic import FBSMode, RFMode
from ondrel.QarUtils import RetCode, RetType, _RspType

from .fakes import OK, SweepgateDevice

Sweepgate = S.Sweepgate
FAIL = RetType(RetCode.ERROR, "refused")


Device = SweepgateDevice

ON = ("_setBeamPatternEnable", ("1",), {})
ERASE = ("_eraseBeamPattern", (), {"user_delay": 2})
OFF = ("_setBeamPatternEnable", ("0",), {})
APPLY = ("_applyBeamPatternToBFIC", (), {"user_delay": 2})
REBOOT = ("_reboot", (), {})


# --- the module --------------------------------------------------------------------


def test_module_names_and_documentation():
    assert S.__doc__ == "Fast Beam Switch Manager module."
    names = [k for k in vars(S) if not k.startswith("__")]
    assert names == ["inspect", "time", "ABC", "abstractmethod", "IntEnum", "auto", "wraps", "Callable", "FBSMode",
                     "RFMode", "RetCode", "RetType", "RspType", "BeamPatternManager", "StartEndEnum",
                     "_require_beam_pattern_setup", "Sweepgate"]
    assert S.RspType is _RspType and S.FBSMode is FBSMode


def test_start_end_enum():
    E = S.StartEndEnum
    assert issubclass(E, enum.IntEnum)
    assert [(m.name, m.value) for m in E] == [("OTHER", 0), ("START", 1), ("END", 2), ("START_END", 3)]
    assert E(2) is E.END and E.START_END == 3 and E.OTHER == 0
    assert E.__doc__ == "Enum for start and end states."
    assert E.__module__ == "ondrel.qardev.Sweepgate" and E.__qualname__ == "StartEndEnum"


@pytest.mark.parametrize(
    "setup",
    [
        "m = types.ModuleType('ondrel.qardev.BeamPatternManager'); sys.modules[m.__name__] = m",
        "import ondrel.QarPublic as p; del p.RFMode",
        "sys.modules['ondrel.QarUtils'] = None",
    ],
)
def test_a_failed_import_fails_the_load(setup):
    code = "import sys, types\n%s\nimport ondrel.qardev.Sweepgate" % setup
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode != 0 and ("ImportError" in out.stderr or "ModuleNotFoundError" in out.stderr)


# --- the decorator -------------------------------------------------------------------


def test_decorator_introspection():
    d = S._require_beam_pattern_setup
    assert d.__module__ == "ondrel.qardev.Sweepgate" and d.__qualname__ == "_require_beam_pattern_setup"
    assert str(inspect.signature(d)) == "(func: 'Callable[..., RetType]') -> 'Callable[..., RetType]'"
    assert d.__doc__.splitlines() == [
        "Decorator to setup beam pattern before execution and cleanup after.",
        "Automatically handles the following sequence:",
        "1. Enable beam pattern storage (_setBeamPatternEnable(True))",
        "2. Erase beam pattern (_eraseBeamPattern())",
        "3. Execute the wrapped function",
        "4. Disable beam pattern storage (_setBeamPatternEnable(False))",
    ]
    with pytest.raises(TypeError, match=r"_require_beam_pattern_setup\(\) (takes 1 positional|missing 1)"):
        d()


def test_decorating_a_python_function():
    seen = []

    def body(self, a, b=2, *, c: int = 3) -> "RetType":
        """Body text."""
        seen.append((a, b, c))
        return result

    body.extra = "kept"
    result = RetType(data="x")
    wrapped = S._require_beam_pattern_setup(body)
    assert wrapped.__name__ == "body" and wrapped.__doc__ == "Body text." and wrapped.__wrapped__ is body
    assert wrapped.extra == "kept"
    assert inspect.signature(wrapped) == inspect.signature(body)
    device = Device()
    assert wrapped(device, 1, c=9) is result
    assert seen == [(1, 2, 9)]
    assert device.calls == [ON, ERASE, OFF, APPLY]


def test_a_true_signature_is_kept_as_the_very_object():
    def body(self):
        return OK

    signature = inspect.Signature([inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    body.__signature__ = signature
    assert S._require_beam_pattern_setup(body).__signature__ is signature


def test_keyword_arguments_reach_the_body_as_a_copy():
    got = []

    def body(self, **kwargs):
        kwargs["added"] = 1
        got.append(kwargs)
        return OK

    options = {"x": 1}
    S._require_beam_pattern_setup(body)(Device(), **options)
    assert options == {"x": 1} and got == [{"x": 1, "added": 1}]


@pytest.mark.parametrize(
    "results,calls,returned",
    [
        ({}, [ON, ERASE, REBOOT, OFF, APPLY], "reboot"),
        ({"_setBeamPatternEnable": FAIL}, [ON, OFF, APPLY], "switch"),
        ({"_eraseBeamPattern": FAIL}, [ON, ERASE, OFF, APPLY], "erase"),
        ({"_reboot": FAIL}, [ON, ERASE, REBOOT, OFF, APPLY], "reboot"),
        ({"_applyBeamPatternToBFIC": FAIL}, [ON, ERASE, REBOOT, OFF, APPLY], "reboot"),
    ],
)
def test_sync_call_orders(results, calls, returned):
    device = Device(**results)
    expected = {"switch": results.get("_setBeamPatternEnable"), "erase": results.get("_eraseBeamPattern"),
                "reboot": results.get("_reboot", OK)}[returned]
    assert device.syncFastBeamConfig() is expected
    assert device.calls == calls


def test_a_switch_off_failure_does_not_change_the_result():
    class OffFails(Device):
        def _setBeamPatternEnable(self, flag):
            self.calls.append(("_setBeamPatternEnable", (flag,), {}))
            return OK if flag == "1" else FAIL

    device = OffFails()
    assert device.syncFastBeamConfig() is OK
    assert device.calls == [ON, ERASE, REBOOT, OFF, APPLY]


def test_erase_returns_a_new_default_result():
    device = Device()
    first, second = device.eraseFastBeamConfig(), device.eraseFastBeamConfig()
    assert first is not second and first.RetCode is RetCode.OK and first.RetData is None
    assert device.calls == [ON, ERASE, OFF, APPLY] * 2


def test_the_comparison_is_by_identity():
    class Lookalike:
        RetCode = type("Code", (), {"__eq__": lambda self, other: True})()

    device = Device(_setBeamPatternEnable=Lookalike())
    assert isinstance(device.eraseFastBeamConfig(), Lookalike)
    assert device.calls == [ON, OFF, APPLY]


def test_body_error_propagates_after_the_cleanup():
    error = ValueError("body")
    device = Device(_reboot=error)
    with pytest.raises(ValueError) as caught:
        device.syncFastBeamConfig()
    assert caught.value is error
    assert device.calls == [ON, ERASE, REBOOT, OFF, APPLY]


@pytest.mark.parametrize("failing", ["_setBeamPatternEnable", "_eraseBeamPattern"])
def test_errors_before_the_body_still_clean_up(failing):
    class Fails(Device):
        def _setBeamPatternEnable(self, flag):
            self.calls.append(("_setBeamPatternEnable", (flag,), {}))
            if failing == "_setBeamPatternEnable" and flag == "1":
                raise ConnectionError("lost")
            return OK

    device = Fails(_eraseBeamPattern=ConnectionError("lost") if failing == "_eraseBeamPattern" else OK)
    with pytest.raises(ConnectionError):
        device.eraseFastBeamConfig()
    assert device.calls[-2:] == [OFF, APPLY]


def test_a_cleanup_error_replaces_the_body_error():
    class OffRaises(Device):
        def _setBeamPatternEnable(self, flag):
            self.calls.append(("_setBeamPatternEnable", (flag,), {}))
            if flag == "0":
                raise OSError("switch-off failed")
            return OK

    body_error = KeyError("body")
    device = OffRaises(_reboot=body_error)
    with pytest.raises(OSError) as caught:
        device.syncFastBeamConfig()
    assert caught.value.__context__ is body_error
    assert device.calls == [ON, ERASE, REBOOT, OFF]  # the apply is skipped

    device = OffRaises()
    with pytest.raises(OSError) as caught:
        device.eraseFastBeamConfig()
    assert caught.value.__context__ is None


def test_an_apply_error_propagates_and_the_handled_exception_is_restored():
    device = Device(_applyBeamPatternToBFIC=RuntimeError("apply"), _reboot=KeyError("body"))
    try:
        raise LookupError("outer")
    except LookupError as outer:
        with pytest.raises(RuntimeError) as caught:
            device.syncFastBeamConfig()
        assert isinstance(caught.value.__context__, KeyError)
        assert sys.exc_info()[1] is outer


def test_missing_device_operation_is_an_attribute_error_after_cleanup():
    class NoReboot(Device):
        _reboot = property(lambda self: (_ for _ in ()).throw(AttributeError("_reboot")))

    device = NoReboot()
    with pytest.raises(AttributeError):
        device.syncFastBeamConfig()
    assert device.calls == [ON, ERASE, OFF, APPLY]


def test_interrupts_also_clean_up():
    device = Device(_reboot=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        device.syncFastBeamConfig()
    assert device.calls[-2:] == [OFF, APPLY]


# --- the parallel mode ------------------------------------------------------------------


@pytest.mark.parametrize(
    "args,text,flag",
    [((True,), "1,%d" % int(FBSMode.FULL_GAIN_PHASE), True), ((0, FBSMode.PHASE_ONLY), "0,0", False),
     ((5, 1), "1,1", True), ((None, 2.9), "0,2", False), (("yes", "3"), "1,3", True)],
)
def test_set_parallel_mode(args, text, flag):
    device = Device()
    ret = device.setFastParallelMode(*args)
    assert device.calls == [("_setExtCtrl", (text,), {})]
    assert device.external_control_enabled is flag
    assert ret.RetCode is RetCode.OK and ret.RetData is None and ret is not OK


def test_set_parallel_mode_failure_keeps_the_flag():
    device = Device(_setExtCtrl=FAIL)
    device.external_control_enabled = True
    assert device.setFastParallelMode(False) is FAIL
    assert device.external_control_enabled is True
    assert "external_control_enabled" not in vars(Device(_setExtCtrl=FAIL))


@pytest.mark.parametrize("args,error", [((True, "mode"), ValueError), ((True, None), TypeError)])
def test_set_parallel_mode_bad_mode_fails_before_the_device(args, error):
    device = Device()
    with pytest.raises(error):
        device.setFastParallelMode(*args)
    assert device.calls == []


def test_set_parallel_mode_truth_errors_propagate():
    class NoTruth:
        def __bool__(self):
            raise RuntimeError("no truth")

    device = Device()
    with pytest.raises(RuntimeError):
        device.setFastParallelMode(NoTruth())
    assert device.calls == []


@pytest.mark.parametrize("data,enabled", [("1", True), ("0", False), (3, True), (" 0 ", False), (True, True)])
def test_get_parallel_mode(data, enabled):
    device = Device(_getExtCtrl=RetType(data=data))
    ret = device.getFastParallelMode()
    assert ret.RetCode is RetCode.OK and ret.RetData is enabled
    assert device.calls == [("_getExtCtrl", (), {})]


def test_get_parallel_mode_failure_is_returned_unconverted():
    failure = RetType(RetCode.WARNING, "busy", "not a number")
    assert Device(_getExtCtrl=failure).getFastParallelMode() is failure


@pytest.mark.parametrize("data,error", [("1,2", ValueError), ("on", ValueError), (None, TypeError)])
def test_get_parallel_mode_unreadable_data_raises(data, error):
    with pytest.raises(error):
        Device(_getExtCtrl=RetType(data=data)).getFastParallelMode()


# --- the command dictionary ---------------------------------------------------------------


def test_command_dictionary():
    device = Device()
    commands = device._fbs_cmd_dict()
    assert list(commands.items()) == [
        ("_getExtCtrl", ("ExtCtrl_EN?", _RspType.RSP_STRING)),
        ("_setExtCtrl", ("ExtCtrl_EN", _RspType.RSP_STRING)),
        ("_setBeamPatternEnable", ("BEAM_PATTERN_STORE_EN", _RspType.RSP_STRING)),
        ("_getBeamPatternEnable", ("BEAM_PATTERN_STORE_EN?", _RspType.RSP_STRING)),
        ("_eraseBeamPattern", ("BEAM_PATTERN_ERASE", _RspType.RSP_STRING)),
        ("_setBeamPatternStoreTDBS", ("BEAM_PATTERN_STORE_TDBS_BEAM", _RspType.RSP_STRING)),
        ("_setBeamPatternStoreFBS", ("BEAM_PATTERN_STORE_FBS_BEAM", _RspType.RSP_STRING)),
        ("_applyBeamPatternToBFIC", ("BEAM_PATTERN_APPLY_BFIC", _RspType.RSP_STRING)),
    ]
    commands.clear()
    assert len(device._fbs_cmd_dict()) == 8 and device._fbs_cmd_dict() is not device._fbs_cmd_dict()


def test_command_dictionary_reads_the_response_kind_when_built(monkeypatch):
    class Kinds:
        RSP_STRING = "string kind"

    monkeypatch.setattr(S, "RspType", Kinds)
    assert {kind for _, kind in Device()._fbs_cmd_dict().values()} == {"string kind"}


# --- the manager and the abstract operations ------------------------------------------------


def test_manager_is_created_lazily_once():
    device = Device()
    assert device.factory_calls == 0 and device._beam_pattern_mgr is None
    assert device.beam_pattern_mgr is device.manager
    assert device.beam_pattern_mgr is device.manager
    assert device.factory_calls == 1 and vars(device)["_beam_pattern_mgr"] is device.manager


def test_manager_factory_returning_none_is_called_every_time():
    device = Device()
    device.manager = None
    assert device.beam_pattern_mgr is None and device.beam_pattern_mgr is None
    assert device.factory_calls == 2


def test_falsy_manager_is_kept():
    device = Device()
    device.manager = []
    _ = device.beam_pattern_mgr
    _ = device.beam_pattern_mgr
    assert device.factory_calls == 1


def test_manager_factory_error_stores_nothing():
    class Broken(Device):
        def _create_beam_pattern_mgr(self):
            raise MemoryError("too big")

    device = Broken()
    with pytest.raises(MemoryError):
        _ = device.beam_pattern_mgr
    assert "_beam_pattern_mgr" not in vars(device)


def test_manager_property_is_read_only():
    with pytest.raises(AttributeError):
        Device().beam_pattern_mgr = 1


ABSTRACT = ["_create_beam_pattern_mgr", "getFastBeamGain", "getFastBeamPattern", "setFastBeamGain",
            "setFastBeamPatternThetaPhi", "setFastBeamPatternAzEl"]


def test_the_base_cannot_be_instantiated():
    assert Sweepgate.__abstractmethods__ == frozenset(ABSTRACT)
    with pytest.raises(TypeError, match="abstract"):
        Sweepgate()


@pytest.mark.parametrize("missing", ABSTRACT)
def test_a_class_missing_one_abstract_operation_cannot_be_instantiated(missing):
    members = {name: getattr(Device, name) for name in ABSTRACT if name != missing}
    Partial = type("Partial", (Sweepgate,), members)
    with pytest.raises(TypeError, match=missing):
        Partial()


@pytest.mark.parametrize(
    "name,args",
    [("_create_beam_pattern_mgr", ()), ("getFastBeamGain", (RFMode.TX, 1)), ("getFastBeamPattern", (2.5,)),
     ("setFastBeamGain", ("any mode", 1, "yes")), ("setFastBeamGain", (None, True, 0, 3, 4.9)),
     ("setFastBeamPatternThetaPhi", (1, 2.4e9, 10, "1e1" and 0.5)), ("setFastBeamPatternAzEl", (1, 1, 2, 3))],
)
def test_base_versions_raise_not_implemented(name, args):
    with pytest.raises(NotImplementedError) as caught:
        getattr(Sweepgate, name)(Device(), *args)
    assert caught.value.args == ()


@pytest.mark.parametrize(
    "name,args,param",
    [("getFastBeamGain", (0, "1"), "beam_id"), ("setFastBeamGain", (0, 1, True, "a"), "com_gain"),
     ("setFastBeamPatternThetaPhi", (1, "fast", 0, 0), "rf_freq"), ("setFastBeamPatternAzEl", (1, 1, 2, None),
                                                                     "elevation")],
)
def test_base_versions_refuse_arguments_that_do_not_convert(name, args, param):
    with pytest.raises(TypeError, match=param):
        getattr(Sweepgate, name)(Device(), *args)


def test_derived_class_calls_base_defaults():
    assert Device().setFastBeamGain(RFMode.RX, 1, True).RetData == (0, 0)


# --- introspection --------------------------------------------------------------------------

SIGNATURES = {
    "_create_beam_pattern_mgr": "(self) -> 'BeamPatternManager'",
    "_fbs_cmd_dict": "(self) -> 'dict'",
    "getFastParallelMode": "(self) -> 'RetType'",
    "setFastParallelMode": "(self, toEnable: 'bool', fbs_mode: 'FBSMode' = %r) -> 'RetType'" % FBSMode.FULL_GAIN_PHASE,
    "eraseFastBeamConfig": "(self) -> 'RetType'",
    "getFastBeamGain": "(self, rf_mode: 'RFMode', beam_id: 'int') -> 'RetType'",
    "getFastBeamPattern": "(self, beam_id: 'int') -> 'RetType'",
    "setFastBeamGain": "(self, rf_mode: 'RFMode', beam_id: 'int', enable: 'bool', com_gain: 'int' = 0, "
                       "ele_gain: 'int' = 0) -> 'RetType'",
    "setFastBeamPatternThetaPhi": "(self, beam_id: 'int', rf_freq: 'float', theta: 'float', phi: 'float') "
                                  "-> 'RetType'",
    "setFastBeamPatternAzEl": "(self, beam_id: 'int', rf_freq: 'float', azimuth: 'float', elevation: 'float') "
                              "-> 'RetType'",
    "syncFastBeamConfig": "(self) -> 'RetType'",
}

DOCS = {
    "_create_beam_pattern_mgr": "Create the device-specific BeamPatternManager instance.",
    "_fbs_cmd_dict": "Return the command list for the fast beam manager.",
    "getFastParallelMode": "Get the fast parallel mode.",
    "eraseFastBeamConfig": "Erase the fast beam configuration.",
    "getFastBeamGain": "Get the fast beam gain.",
    "getFastBeamPattern": "Get the fast beam pattern.",
    "setFastBeamGain": "Set the fast beam gain.",
    "setFastBeamPatternThetaPhi": "Set the fast beam pattern.",
    "setFastBeamPatternAzEl": "Set the fast beam pattern.",
    "syncFastBeamConfig": "Update the fast beam configuration.",
}


def test_class_shape():
    assert type(Sweepgate).__name__ == "ABCMeta" and Sweepgate.__bases__ == (S.ABC,)
    assert Sweepgate.__doc__ == "Abstract base class for managing fast beam operations."
    assert Sweepgate.__module__ == "ondrel.qardev.Sweepgate"
    assert Sweepgate.__annotations__ == {"_beam_pattern_mgr": "BeamPatternManager", "external_control_enabled": "bool"}
    assert Sweepgate._beam_pattern_mgr is None and Sweepgate.external_control_enabled is False
    members = [k for k in vars(Sweepgate) if not k.startswith("__") and k != "_abc_impl"]
    assert members == ["_beam_pattern_mgr", "external_control_enabled", "beam_pattern_mgr"] + list(SIGNATURES)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_member_introspection(name):
    member = getattr(Sweepgate, name)
    assert str(inspect.signature(member)) == SIGNATURES[name]
    assert member.__qualname__ == "Sweepgate." + name and member.__name__ == name
    if name in DOCS:
        assert member.__doc__ == DOCS[name]
    assert getattr(member, "__isabstractmethod__", False) is (name in ABSTRACT)


def test_wrapped_members_show_the_undecorated_function():
    for name in ("eraseFastBeamConfig", "syncFastBeamConfig"):
        member = getattr(Sweepgate, name)
        assert member.__wrapped__.__qualname__ == "Sweepgate." + name
        assert inspect.signature(member) == inspect.signature(member.__wrapped__)
        assert inspect.unwrap(member) is member.__wrapped__


def test_parallel_mode_documentation_and_default():
    member = Sweepgate.setFastParallelMode
    assert member.__doc__.splitlines() == [
        "Set the fast parallel mode.", "Args:",
        "toEnable (bool): Whether to enable or disable the fast parallel mode.",
        "fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to FBSMode.FULL_GAIN_PHASE."]
    assert member.__defaults__ == (FBSMode.FULL_GAIN_PHASE,) and member.__kwdefaults__ is None


def test_manager_property_introspection():
    prop = vars(Sweepgate)["beam_pattern_mgr"]
    assert isinstance(prop, property) and prop.fset is None
    assert prop.__doc__.splitlines() == [
        "Lazily create the device-specific BeamPatternManager on first use.",
        "BeamPatternManager pre-allocates a beam instance per (mode, beam_id), which is",
        "memory-heavy and only needed by users who actually call Sweepgate methods,",
        "so it must not be created eagerly in __init__."]
    assert str(inspect.signature(prop.fget)) == "(self) -> 'BeamPatternManager'"


def test_help_renders():
    import pydoc

    text = pydoc.render_doc(Sweepgate, renderer=pydoc.plaintext)
    assert "setFastBeamGain(" in text and "rf_mode: 'RFMode'" in text and "Abstract base class" in text


def test_subclass_overrides_reach_the_wrapped_sequence():
    class Traced(Device):
        @functools.wraps(Device._reboot)
        def _reboot(self):
            self.calls.append("custom reboot")
            return OK

    device = Traced()
    device.syncFastBeamConfig()
    assert device.calls == [ON, ERASE, "custom reboot", OFF, APPLY]
