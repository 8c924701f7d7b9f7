// ondrel.qardev.Sweepgate: the fast-beam-switching base class of device
// classes.  It sends nothing itself; it drives the device operations that a
// derived class supplies, in fixed orders.
#include "core/calls.hpp"
#include "core/classes.hpp"
#include "core/function.hpp"
#include "core/imports.hpp"
#include "core/module.hpp"

#include <optional>

namespace ondrel::sweepgate {

namespace {

namespace py = pybind11;
using core::arg;
using core::Args;
using core::call_method;
using core::FunctionDef;
using core::getattr;
using core::opt;
using core::steal_or_throw;
using core::truth;

// The names the module uses, made once when it loads.
#define SWEEPGATE_NAMES(NAME, VALUE)                                                                      \
    NAME(RetCode) NAME(RetType) NAME(RspType) NAME(OK) NAME(RSP_STRING) NAME(inspect) NAME(wraps)         \
    NAME(_beam_pattern_mgr) NAME(_create_beam_pattern_mgr) NAME(external_control_enabled)                 \
    NAME(_setBeamPatternEnable) NAME(_eraseBeamPattern) NAME(_applyBeamPatternToBFIC) NAME(_getExtCtrl)   \
    NAME(_setExtCtrl) NAME(_reboot) NAME(__signature__) NAME(RetData)                                     \
    VALUE(kw_user_delay, core::keywords({"user_delay"})) VALUE(kw_data, core::keywords({"data"}))

ONDREL_NAMES(Names, SWEEPGATE_NAMES);

// The state of one import of the module, kept on the module object.
struct State {
    Names n;
};

// What a body works with: its module's names and namespace.
struct Ctx {
    explicit Ctx(const Args& a) : n(a.state<State>().n), globals(a.globals()), module(a.module()) {}
    const Names& n;
    py::handle globals;
    py::handle module;
    py::object global(PyObject* name) const { return core::module_global(globals, name); }
};

// Whether a device operation's result carries the very member RetCode.OK.
bool succeeded(const Ctx& c, py::handle ret) {
    py::object code = getattr(ret, c.n.RetCode);
    return code.ptr() == getattr(c.global(c.n.RetCode), c.n.OK).ptr();
}

// --- _require_beam_pattern_setup ----------------------------------------------

// Restores the handled exception on the way out.
class HandledException {
public:
    explicit HandledException(py::handle value) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyObject* tb = PyException_GetTraceback(value.ptr());
        Py_INCREF(Py_TYPE(value.ptr()));
        Py_INCREF(value.ptr());
        PyErr_SetExcInfo(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr(), tb);
    }
    ~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

void switch_off_and_apply(const Ctx& c, py::handle self) {
    py::object two = py::int_(2);
    call_method(self, c.n._setBeamPatternEnable, py::str("0"));
    core::call_method<1>(self, c.n._applyBeamPatternToBFIC, {two.ptr()}, c.n.kw_user_delay);
}

// Switch storage on, erase, run the body, then always switch storage off and
// apply the pattern to the BFIC.  As in a `finally:` clause, an error raised
// by the clean-up replaces the body's error (which becomes its __context__).
py::object beam_pattern_wrapper(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle func = a.closure(), self = a[0], args = a[1], kwargs = a[2];
    py::object result;
    std::optional<py::error_already_set> pending;
    try {
        py::object two = py::int_(2);
        py::object ret = call_method(self, n._setBeamPatternEnable, py::str("1"));
        if (succeeded(c, ret)) {
            ret = core::call_method<1>(self, n._eraseBeamPattern, {two.ptr()}, n.kw_user_delay);
            if (succeeded(c, ret)) {
                py::tuple call_args(1 + PyTuple_GET_SIZE(args.ptr()));
                call_args[0] = self;
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); i++)
                    call_args[static_cast<size_t>(i + 1)] = PyTuple_GET_ITEM(args.ptr(), i);
                py::object kwargs_copy = steal_or_throw(PyDict_Copy(kwargs.ptr()));
                ret = steal_or_throw(
                    core::guarded([&] { return PyObject_Call(func.ptr(), call_args.ptr(), kwargs_copy.ptr()); }));
            }
        }
        result = ret;
    } catch (py::error_already_set& e) {
        pending.emplace(std::move(e));
    } catch (core::ThreadExit&) {
        throw;
    } catch (...) {
        core::translate_current_exception();
        pending.emplace();
    }

    if (pending) {
        HandledException handling(pending->value());
        switch_off_and_apply(c, self);
        throw std::move(*pending);
    }
    switch_off_and_apply(c, self);
    return result;
}

py::object require_beam_pattern_setup(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle func = a[0];
    py::object own = py::none();  // getattr(func, "__signature__", None)
    if (PyObject* attr = PyObject_GetAttr(func.ptr(), n.__signature__)) {
        own = py::reinterpret_steal<py::object>(attr);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) core::throw_python_error();
        PyErr_Clear();
    }
    py::object signature = truth(own) ? own : c.global(n.inspect).attr("signature")(func);
    FunctionDef def{"wrapper", nullptr, {arg("self"), core::star_args("args"), core::star_kwargs("kwargs")},
                    beam_pattern_wrapper, {}};
    py::object wrapper = core::make_function(def, c.module, "_require_beam_pattern_setup.<locals>.wrapper", func);
    wrapper = c.global(n.wraps)(func)(wrapper);
    core::setattr(wrapper, n.__signature__, signature);
    return wrapper;
}

// --- Sweepgate ------------------------------------------------------------------

py::object beam_pattern_mgr(const Args& a) {
    const Names& n = Ctx(a).n;
    py::handle self = a[0];
    if (getattr(self, n._beam_pattern_mgr).is_none())
        core::setattr(self, n._beam_pattern_mgr, call_method(self, n._create_beam_pattern_mgr));
    return getattr(self, n._beam_pattern_mgr);
}

[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    core::throw_python_error();
}

void as_float(py::handle value, const char* param) {
    if (PyFloat_AsDouble(value.ptr()) == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) core::throw_python_error();
        PyErr_Clear();
        core::raise_argument_type(param, "float", value);
    }
}

py::object create_beam_pattern_mgr(const Args&) { not_implemented(); }

py::object get_fast_beam_gain(const Args& a) {
    core::require_integer(a[2], "beam_id");
    not_implemented();
}

py::object get_fast_beam_pattern(const Args& a) {
    core::require_integer(a[1], "beam_id");
    not_implemented();
}

py::object set_fast_beam_gain(const Args& a) {
    core::require_integer(a[2], "beam_id");
    truth(a[3]);
    core::require_integer(a[4], "com_gain");
    core::require_integer(a[5], "ele_gain");
    not_implemented();
}

py::object set_fast_beam_pattern_theta_phi(const Args& a) {
    core::require_integer(a[1], "beam_id");
    as_float(a[2], "rf_freq");
    as_float(a[3], "theta");
    as_float(a[4], "phi");
    not_implemented();
}

py::object set_fast_beam_pattern_az_el(const Args& a) {
    core::require_integer(a[1], "beam_id");
    as_float(a[2], "rf_freq");
    as_float(a[3], "azimuth");
    as_float(a[4], "elevation");
    not_implemented();
}

// Device operation name -> (command text, response kind), in this order.
const char* const kFastBeamCommands[][2] = {
    {"_getExtCtrl", "ExtCtrl_EN?"},
    {"_setExtCtrl", "ExtCtrl_EN"},
    {"_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"},
    {"_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"},
    {"_eraseBeamPattern", "BEAM_PATTERN_ERASE"},
    {"_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"},
    {"_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"},
    {"_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"},
};

py::object fbs_cmd_dict(const Args& a) {
    Ctx c(a);
    py::dict commands;
    for (const auto& entry : kFastBeamCommands)
        commands[entry[0]] = py::make_tuple(entry[1], getattr(c.global(c.n.RspType), c.n.RSP_STRING));
    return commands;
}

py::object get_fast_parallel_mode(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::object ret = call_method(a[0], n._getExtCtrl);
    if (!succeeded(c, ret)) return ret;
    py::object value = steal_or_throw(PyNumber_Long(getattr(ret, n.RetData).ptr()));
    py::object enabled = py::bool_(truth(value));
    return core::call<1>(c.global(n.RetType), {enabled.ptr()}, n.kw_data);
}

py::object set_fast_parallel_mode(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0];
    bool enable = truth(a[1]);
    py::object mode = steal_or_throw(PyNumber_Long(a[2].ptr()));
    py::object text = steal_or_throw(PyUnicode_FromFormat("%d,%S", enable ? 1 : 0, mode.ptr()));
    py::object ret = call_method(self, n._setExtCtrl, text);
    if (!succeeded(c, ret)) return ret;
    core::setattr(self, n.external_control_enabled, py::bool_(enable));
    return core::call<0>(c.global(n.RetType), {});
}

py::object erase_fast_beam_config(const Args& a) {
    Ctx c(a);
    return core::call<0>(c.global(c.n.RetType), {});
}

py::object sync_fast_beam_config(const Args& a) { return call_method(a[0], Ctx(a).n._reboot); }

// --- loading ----------------------------------------------------------------------

const char* const kDecoratorDoc =
    "Decorator to setup beam pattern before execution and cleanup after.\n"
    "Automatically handles the following sequence:\n"
    "1. Enable beam pattern storage (_setBeamPatternEnable(True))\n"
    "2. Erase beam pattern (_eraseBeamPattern())\n"
    "3. Execute the wrapped function\n"
    "4. Disable beam pattern storage (_setBeamPatternEnable(False))";

const char* const kManagerDoc =
    "Lazily create the device-specific BeamPatternManager on first use.\n"
    "BeamPatternManager pre-allocates a beam instance per (mode, beam_id), which is\n"
    "memory-heavy and only needed by users who actually call Sweepgate methods,\n"
    "so it must not be created eagerly in __init__.";

const char* const kSetParallelDoc =
    "Set the fast parallel mode.\n"
    "Args:\n"
    "toEnable (bool): Whether to enable or disable the fast parallel mode.\n"
    "fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to FBSMode.FULL_GAIN_PHASE.";

py::object make_start_end_enum(py::module_ m) {
    py::object int_enum = m.attr("IntEnum");
    py::object auto_ = m.attr("auto");
    py::object meta = py::type::of(int_enum);
    py::tuple bases = py::make_tuple(int_enum);
    py::object ns = meta.attr("__prepare__")("StartEndEnum", bases);
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "StartEndEnum";
    ns["__doc__"] = "Enum for start and end states.";
    ns["OTHER"] = 0;
    ns["START"] = auto_();
    ns["END"] = auto_();
    ns["START_END"] = auto_();
    return meta("StartEndEnum", bases, ns);
}

py::object make_sweepgate(py::module_ m) {
    py::object name = m.attr("__name__");
    py::object abstract = m.attr("abstractmethod");
    py::object decorate = m.attr("_require_beam_pattern_setup");
    py::str ret_t("RetType"), int_t("int"), float_t("float"), bool_t("bool"), rf_t("RFMode");
    auto method = [&](FunctionDef def) { return core::make_function(def, m, "Sweepgate." + def.name); };

    py::dict annotations;
    annotations["_beam_pattern_mgr"] = "BeamPatternManager";
    annotations["external_control_enabled"] = "bool";

    std::vector<core::Member> members = {
        {"__annotations__", annotations},
        {"_beam_pattern_mgr", py::none()},
        {"external_control_enabled", py::bool_(false)},
        {"beam_pattern_mgr",
         py::module_::import("builtins").attr("property")(
             method({"beam_pattern_mgr", kManagerDoc, {arg("self")}, beam_pattern_mgr, py::str("BeamPatternManager")}))},
        {"_create_beam_pattern_mgr",
         abstract(method({"_create_beam_pattern_mgr", "Create the device-specific BeamPatternManager instance.",
                          {arg("self")}, create_beam_pattern_mgr, py::str("BeamPatternManager")}))},
        {"_fbs_cmd_dict", method({"_fbs_cmd_dict", "Return the command list for the fast beam manager.",
                                  {arg("self")}, fbs_cmd_dict, py::str("dict")})},
        {"getFastParallelMode",
         method({"getFastParallelMode", "Get the fast parallel mode.", {arg("self")}, get_fast_parallel_mode, ret_t})},
        {"setFastParallelMode",
         method({"setFastParallelMode", kSetParallelDoc,
                 {arg("self"), arg("toEnable", bool_t),
                  opt("fbs_mode", m.attr("FBSMode").attr("FULL_GAIN_PHASE"), py::str("FBSMode"))},
                 set_fast_parallel_mode, ret_t})},
        {"eraseFastBeamConfig", decorate(method({"eraseFastBeamConfig", "Erase the fast beam configuration.",
                                                 {arg("self")}, erase_fast_beam_config, ret_t}))},
        {"getFastBeamGain", abstract(method({"getFastBeamGain", "Get the fast beam gain.",
                                             {arg("self"), arg("rf_mode", rf_t), arg("beam_id", int_t)},
                                             get_fast_beam_gain, ret_t}))},
        {"getFastBeamPattern", abstract(method({"getFastBeamPattern", "Get the fast beam pattern.",
                                                {arg("self"), arg("beam_id", int_t)}, get_fast_beam_pattern, ret_t}))},
        {"setFastBeamGain",
         abstract(method({"setFastBeamGain", "Set the fast beam gain.",
                          {arg("self"), arg("rf_mode", rf_t), arg("beam_id", int_t), arg("enable", bool_t),
                           opt("com_gain", py::int_(0), int_t), opt("ele_gain", py::int_(0), int_t)},
                          set_fast_beam_gain, ret_t}))},
        {"setFastBeamPatternThetaPhi",
         abstract(method({"setFastBeamPatternThetaPhi", "Set the fast beam pattern.",
                          {arg("self"), arg("beam_id", int_t), arg("rf_freq", float_t), arg("theta", float_t),
                           arg("phi", float_t)},
                          set_fast_beam_pattern_theta_phi, ret_t}))},
        {"setFastBeamPatternAzEl",
         abstract(method({"setFastBeamPatternAzEl", "Set the fast beam pattern.",
                          {arg("self"), arg("beam_id", int_t), arg("rf_freq", float_t), arg("azimuth", float_t),
                           arg("elevation", float_t)},
                          set_fast_beam_pattern_az_el, ret_t}))},
        {"syncFastBeamConfig", decorate(method({"syncFastBeamConfig", "Update the fast beam configuration.",
                                                {arg("self")}, sync_fast_beam_config, ret_t}))},
    };
    py::object abc_meta = py::module_::import("abc").attr("ABCMeta");
    return core::build_class(abc_meta, "Sweepgate", py::make_tuple(m.attr("ABC")), name,
                             "Abstract base class for managing fast beam operations.", members);
}

void load(py::module_ m, State& state) {
    state.n.fill();
    py::object name = m.attr("__name__");
    std::string package = core::parent_package(name);  // ondrel.qardev
    std::string root = core::parent_package(py::str(package));  // ondrel
    core::ready_function_type((py::str(name).cast<std::string>() + ".function").c_str());

    m.attr("inspect") = py::module_::import("inspect");
    m.attr("time") = py::module_::import("time");
    m.attr("ABC") = core::import_from("abc", "ABC");
    m.attr("abstractmethod") = core::import_from("abc", "abstractmethod");
    m.attr("IntEnum") = core::import_from("enum", "IntEnum");
    m.attr("auto") = core::import_from("enum", "auto");
    m.attr("wraps") = core::import_from("functools", "wraps");
    m.attr("Callable") = core::import_from("typing", "Callable");
    m.attr("FBSMode") = core::import_from(root + ".QarPublic", "FBSMode");
    m.attr("RFMode") = core::import_from(root + ".QarPublic", "RFMode");
    m.attr("RetCode") = core::import_from(root + ".QarUtils", "RetCode");
    m.attr("RetType") = core::import_from(root + ".QarUtils", "RetType");
    m.attr("RspType") = core::import_from(root + ".QarUtils", "_RspType");
    m.attr("BeamPatternManager") = core::import_from(package + ".BeamPatternManager", "BeamPatternManager");

    m.attr("StartEndEnum") = make_start_end_enum(m);
    py::str callable_text("Callable[..., RetType]");
    m.attr("_require_beam_pattern_setup") = core::make_function(
        FunctionDef{"_require_beam_pattern_setup", kDecoratorDoc, {arg("func", callable_text)},
                    require_beam_pattern_setup, callable_text},
        m, "_require_beam_pattern_setup");
    m.attr("Sweepgate") = make_sweepgate(m);
}

PyModuleDef& module_def =
    core::ModuleState<State>::definition<load>("Sweepgate", "Fast Beam Switch Manager module.");

}  // namespace

}  // namespace ondrel::sweepgate

extern "C" PYBIND11_EXPORT PyObject* PyInit_Sweepgate() { return PyModuleDef_Init(&ondrel::sweepgate::module_def); }
