// ondrel.qardev.Sweepgate: the fast-beam-switching base class of device
// classes.  It sends nothing itself; it drives the device operations that a
// derived class supplies, in fixed orders.
#include "core/module.hpp"
#include "core/calls.hpp"
#include "core/classes.hpp"
#include "core/function.hpp"
#include "core/imports.hpp"

#include <optional>

namespace ondrel::sweepgate {

namespace {

using core::call_method;
using core::Handle;
using core::Ref;
using core::with_default;

// The names the module uses, made once when it loads.
// clang-format off: one name a word, in groups
#define SWEEPGATE_NAMES(NAME, VALUE)                                                                      \
    NAME(RetCode) NAME(RetType) NAME(RspType) NAME(OK) NAME(RSP_STRING) NAME(inspect) NAME(wraps)         \
    NAME(signature) NAME(_beam_pattern_mgr) NAME(_create_beam_pattern_mgr) NAME(external_control_enabled) \
    NAME(_setBeamPatternEnable) NAME(_eraseBeamPattern) NAME(_applyBeamPatternToBFIC) NAME(_getExtCtrl)   \
    NAME(_setExtCtrl) NAME(_reboot) NAME(__signature__) NAME(RetData)                                     \
    VALUE(kw_user_delay, core::keywords({"user_delay"})) VALUE(kw_data, core::keywords({"data"}))
// clang-format on

ONDREL_NAMES(Names, SWEEPGATE_NAMES);

// The state of one import of the module, kept on the module object.
struct State {
    Names n;
    int traverse(visitproc, void*) { return 0; }  // interned names only
    void clear() {}
};

// What a body works with: its module's names and namespace.
struct Ctx {
    explicit Ctx(const core::Args& a)
        : n(a.state<State>().n), globals(a.globals()), module(a.module()), closure(a.closure()) {}
    const Names& n;
    Handle globals;
    Handle module;
    Handle closure;
    Ref global(PyObject* name) const { return core::module_global(globals, name); }
};

// A method whose parameters are the fields of A (ONDREL_ARGS) and whose body
// is F(ctx, args).
template <class A, core::BodyWith<Ctx, A> F>
core::FunctionDef method(const char* name, const char* doc, const std::vector<core::Spec>& specs = {},
                         Ref returns = Ref()) {
    return core::method<A, core::with_context<Ctx, A, F>>(name, doc, specs, std::move(returns));
}

// Whether a device operation's result carries the very member RetCode.OK.
bool succeeded(const Ctx& c, Handle ret) {
    return core::getattr(ret, c.n.RetCode).ptr() == core::getattr(c.global(c.n.RetCode), c.n.OK).ptr();
}

// --- _require_beam_pattern_setup ----------------------------------------------

void switch_off_and_apply(const Ctx& c, Handle self) {
    call_method(self, c.n._setBeamPatternEnable, core::text("0"));
    core::call_method_kw(self, c.n._applyBeamPatternToBFIC, c.n.kw_user_delay, core::integer(2));
}

ONDREL_ARGS(WrapperArgs, self, args, kwargs);

// Switch storage on, erase, run the body, then always switch storage off and
// apply the pattern to the BFIC.  As in a `finally:` clause, an error raised
// by the clean-up replaces the body's error (which becomes its __context__).
Ref beam_pattern_wrapper(const Ctx& c, const WrapperArgs& a) {
    const Names& n = c.n;
    Ref result;
    std::optional<core::Error> pending;
    try {
        Ref ret = call_method(a.self, n._setBeamPatternEnable, core::text("1"));
        if (succeeded(c, ret)) {
            ret = core::call_method_kw(a.self, n._eraseBeamPattern, n.kw_user_delay, core::integer(2));
            if (succeeded(c, ret)) {
                Py_ssize_t count = core::tuple_size(a.args);
                Ref call_args = core::new_tuple(1 + count);
                for (Py_ssize_t i = 0; i <= count; i++)
                    core::tuple_set(call_args, i, Ref::borrow(i ? core::tuple_item(a.args, i - 1) : a.self));
                ret = core::call_with(c.closure, call_args, core::dict_copy(a.kwargs));
            }
        }
        result = ret;
    } catch (core::Error& e) {
        pending.emplace(std::move(e));
    } catch (...) {
        core::translate_current_exception();
        pending.emplace(core::take_error());
    }

    if (pending) {
        core::HandledException handling(pending->value());
        switch_off_and_apply(c, a.self);
        throw std::move(*pending);
    }
    switch_off_and_apply(c, a.self);
    return result;
}

ONDREL_ARGS(DecoratorArgs, func);

Ref require_beam_pattern_setup(const Ctx& c, const DecoratorArgs& a) {
    const Names& n = c.n;
    Ref own = core::getattr_optional(a.func, n.__signature__);  // core::getattr(func, "__signature__", None)
    Ref signature = own && core::truth(own) ? own : call_method(c.global(n.inspect), n.signature, a.func);
    core::FunctionDef def = method<WrapperArgs, beam_pattern_wrapper>(
        "wrapper", nullptr, {core::var_args("args"), core::var_kwargs("kwargs")});
    Ref wrapper = core::make_function(def, c.module, "_require_beam_pattern_setup.<locals>.wrapper", a.func);
    wrapper = core::call(core::call(c.global(n.wraps), a.func), wrapper);
    core::setattr(wrapper, n.__signature__, signature);
    return wrapper;
}

// --- Sweepgate ------------------------------------------------------------------

ONDREL_ARGS(SelfArgs, self);

Ref beam_pattern_mgr(const Ctx& c, const SelfArgs& a) {
    const Names& n = c.n;
    if (core::getattr(a.self, n._beam_pattern_mgr).is_none())
        core::setattr(a.self, n._beam_pattern_mgr, call_method(a.self, n._create_beam_pattern_mgr));
    return core::getattr(a.self, n._beam_pattern_mgr);
}

[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    core::throw_python_error();
}

void as_float(Handle value, const char* param) {
    try {
        core::to_double(value);
    } catch (core::Error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        core::raise_argument_type(param, "float", value);
    }
}

Ref create_beam_pattern_mgr(const Ctx&, const SelfArgs&) { not_implemented(); }

ONDREL_ARGS(GetGainArgs, self, rf_mode, beam_id);

Ref get_fast_beam_gain(const Ctx&, const GetGainArgs& a) {
    core::require_integer(a.beam_id, "beam_id");
    not_implemented();
}

ONDREL_ARGS(GetPatternArgs, self, beam_id);

Ref get_fast_beam_pattern(const Ctx&, const GetPatternArgs& a) {
    core::require_integer(a.beam_id, "beam_id");
    not_implemented();
}

ONDREL_ARGS(SetGainArgs, self, rf_mode, beam_id, enable, com_gain, ele_gain);

Ref set_fast_beam_gain(const Ctx&, const SetGainArgs& a) {
    core::require_integer(a.beam_id, "beam_id");
    core::truth(a.enable);
    core::require_integer(a.com_gain, "com_gain");
    core::require_integer(a.ele_gain, "ele_gain");
    not_implemented();
}

ONDREL_ARGS(ThetaPhiArgs, self, beam_id, rf_freq, theta, phi);

Ref set_fast_beam_pattern_theta_phi(const Ctx&, const ThetaPhiArgs& a) {
    core::require_integer(a.beam_id, "beam_id");
    as_float(a.rf_freq, "rf_freq");
    as_float(a.theta, "theta");
    as_float(a.phi, "phi");
    not_implemented();
}

ONDREL_ARGS(AzElArgs, self, beam_id, rf_freq, azimuth, elevation);

Ref set_fast_beam_pattern_az_el(const Ctx&, const AzElArgs& a) {
    core::require_integer(a.beam_id, "beam_id");
    as_float(a.rf_freq, "rf_freq");
    as_float(a.azimuth, "azimuth");
    as_float(a.elevation, "elevation");
    not_implemented();
}

// Device operation name -> command text, in this order; every entry is sent
// as a string response.
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

Ref fbs_cmd_dict(const Ctx& c, const SelfArgs&) {
    Ref commands = core::new_dict();
    for (const auto& entry : kFastBeamCommands)
        core::dict_set(commands, entry[0],
                       core::tuple_of({core::text(entry[1]), core::getattr(c.global(c.n.RspType), c.n.RSP_STRING)}));
    return commands;
}

Ref get_fast_parallel_mode(const Ctx& c, const SelfArgs& a) {
    const Names& n = c.n;
    Ref ret = call_method(a.self, n._getExtCtrl);
    if (!succeeded(c, ret)) return ret;
    Ref value = core::to_int(core::getattr(ret, n.RetData));
    return core::call_kw(c.global(n.RetType), n.kw_data, core::boolean(core::truth(value)));
}

ONDREL_ARGS(SetParallelArgs, self, toEnable, fbs_mode);

Ref set_fast_parallel_mode(const Ctx& c, const SetParallelArgs& a) {
    const Names& n = c.n;
    bool enable = core::truth(a.toEnable);
    Ref mode = core::to_int(a.fbs_mode);
    Ref ret = call_method(a.self, n._setExtCtrl, core::text((enable ? "1," : "0,") + core::decimal(mode)));
    if (!succeeded(c, ret)) return ret;
    core::setattr(a.self, n.external_control_enabled, core::boolean(enable));
    return core::call(c.global(n.RetType));
}

Ref erase_fast_beam_config(const Ctx& c, const SelfArgs&) { return core::call(c.global(c.n.RetType)); }

Ref sync_fast_beam_config(const Ctx& c, const SelfArgs& a) { return call_method(a.self, c.n._reboot); }

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

Ref make_start_end_enum(Handle m) {
    Ref int_enum = core::getattr(m, "IntEnum");
    Ref meta = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(int_enum.ptr())));
    Ref bases = core::tuple_of({int_enum});
    Ref name = core::text("StartEndEnum");
    Ref ns = core::call(core::getattr(meta, "__prepare__"), name, bases);
    Ref auto_ = core::getattr(m, "auto");
    auto set = [&](const char* key, Handle value) { core::set_item(ns, core::text(key), value); };
    set("__module__", core::getattr(m, "__name__"));
    set("__qualname__", name);
    set("__doc__", core::text("Enum for start and end states."));
    set("OTHER", core::integer(0));
    set("START", core::call(auto_));
    set("END", core::call(auto_));
    set("START_END", core::call(auto_));
    return core::call(meta, name, bases, ns);
}

Ref make_sweepgate(Handle m) {
    Ref abstract = core::getattr(m, "abstractmethod");
    Ref decorate = core::getattr(m, "_require_beam_pattern_setup");
    Ref ret_t = core::text("RetType"), int_t = core::text("int"), float_t = core::text("float"),
        bool_t = core::text("bool"), rf_t = core::text("RFMode"), mgr_t = core::text("BeamPatternManager");
    auto made = [&](const core::FunctionDef& def) { return core::make_function(def, m, "Sweepgate." + def.name); };
    auto abstract_method = [&](const core::FunctionDef& def) { return core::call(abstract, made(def)); };
    auto decorated = [&](const core::FunctionDef& def) { return core::call(decorate, made(def)); };
    using core::annotated;

    Ref annotations = core::new_dict();
    core::dict_set(annotations, "_beam_pattern_mgr", mgr_t);
    core::dict_set(annotations, "external_control_enabled", bool_t);

    std::vector<core::Member> members = {
        {"__annotations__", annotations},
        {"_beam_pattern_mgr", core::none()},
        {"external_control_enabled", core::boolean(false)},
        {"beam_pattern_mgr",
         core::call(core::getattr(core::import("builtins"), "property"),
                    made(method<SelfArgs, beam_pattern_mgr>("beam_pattern_mgr", kManagerDoc, {}, mgr_t)))},
        {"_create_beam_pattern_mgr",
         abstract_method(method<SelfArgs, create_beam_pattern_mgr>(
             "_create_beam_pattern_mgr", "Create the device-specific BeamPatternManager instance.", {}, mgr_t))},
        {"_fbs_cmd_dict",
         made(method<SelfArgs, fbs_cmd_dict>("_fbs_cmd_dict", "Return the command list for the fast beam manager.", {},
                                             core::text("dict")))},
        {"getFastParallelMode", made(method<SelfArgs, get_fast_parallel_mode>(
                                    "getFastParallelMode", "Get the fast parallel mode.", {}, ret_t))},
        {"setFastParallelMode",
         made(method<SetParallelArgs, set_fast_parallel_mode>(
             "setFastParallelMode", kSetParallelDoc,
             {annotated("toEnable", bool_t),
              with_default("fbs_mode", core::getattr(core::getattr(m, "FBSMode"), "FULL_GAIN_PHASE"),
                           core::text("FBSMode"))},
             ret_t))},
        {"eraseFastBeamConfig", decorated(method<SelfArgs, erase_fast_beam_config>(
                                    "eraseFastBeamConfig", "Erase the fast beam configuration.", {}, ret_t))},
        {"getFastBeamGain", abstract_method(method<GetGainArgs, get_fast_beam_gain>(
                                "getFastBeamGain", "Get the fast beam gain.",
                                {annotated("rf_mode", rf_t), annotated("beam_id", int_t)}, ret_t))},
        {"getFastBeamPattern",
         abstract_method(method<GetPatternArgs, get_fast_beam_pattern>(
             "getFastBeamPattern", "Get the fast beam pattern.", {annotated("beam_id", int_t)}, ret_t))},
        {"setFastBeamGain",
         abstract_method(method<SetGainArgs, set_fast_beam_gain>(
             "setFastBeamGain", "Set the fast beam gain.",
             {annotated("rf_mode", rf_t), annotated("beam_id", int_t), annotated("enable", bool_t),
              with_default("com_gain", core::integer(0), int_t), with_default("ele_gain", core::integer(0), int_t)},
             ret_t))},
        {"setFastBeamPatternThetaPhi", abstract_method(method<ThetaPhiArgs, set_fast_beam_pattern_theta_phi>(
                                           "setFastBeamPatternThetaPhi", "Set the fast beam pattern.",
                                           {annotated("beam_id", int_t), annotated("rf_freq", float_t),
                                            annotated("theta", float_t), annotated("phi", float_t)},
                                           ret_t))},
        {"setFastBeamPatternAzEl", abstract_method(method<AzElArgs, set_fast_beam_pattern_az_el>(
                                       "setFastBeamPatternAzEl", "Set the fast beam pattern.",
                                       {annotated("beam_id", int_t), annotated("rf_freq", float_t),
                                        annotated("azimuth", float_t), annotated("elevation", float_t)},
                                       ret_t))},
        {"syncFastBeamConfig", decorated(method<SelfArgs, sync_fast_beam_config>(
                                   "syncFastBeamConfig", "Update the fast beam configuration.", {}, ret_t))},
    };
    return core::build_class(core::getattr(core::import("abc"), "ABCMeta"), "Sweepgate",
                             core::tuple_of({core::getattr(m, "ABC")}), core::getattr(m, "__name__"),
                             "Abstract base class for managing fast beam operations.", members);
}

void load(Handle m, State& state) {
    state.n.fill();
    Ref name = core::getattr(m, "__name__");
    std::string package = core::parent_package(name);              // ondrel.qardev
    std::string root = core::parent_package(core::text(package));  // ondrel
    core::ready_function_type((core::utf8(name) + ".function").c_str());

    core::setattr(m, "inspect", core::import("inspect"));
    core::setattr(m, "time", core::import("time"));
    core::setattr(m, "ABC", core::import_from("abc", "ABC"));
    core::setattr(m, "abstractmethod", core::import_from("abc", "abstractmethod"));
    core::setattr(m, "IntEnum", core::import_from("enum", "IntEnum"));
    core::setattr(m, "auto", core::import_from("enum", "auto"));
    core::setattr(m, "wraps", core::import_from("functools", "wraps"));
    core::setattr(m, "Callable", core::import_from("typing", "Callable"));
    core::setattr(m, "FBSMode", core::import_from(root + ".QarPublic", "FBSMode"));
    core::setattr(m, "RFMode", core::import_from(root + ".QarPublic", "RFMode"));
    core::setattr(m, "RetCode", core::import_from(root + ".QarUtils", "RetCode"));
    core::setattr(m, "RetType", core::import_from(root + ".QarUtils", "RetType"));
    core::setattr(m, "RspType", core::import_from(root + ".QarUtils", "_RspType"));
    core::setattr(m, "BeamPatternManager", core::import_from(package + ".BeamPatternManager", "BeamPatternManager"));

    core::setattr(m, "StartEndEnum", make_start_end_enum(m));
    Ref callable_text = core::text("Callable[..., RetType]");
    core::setattr(m, "_require_beam_pattern_setup",
                  core::make_function(method<DecoratorArgs, require_beam_pattern_setup>(
                                          "_require_beam_pattern_setup", kDecoratorDoc,
                                          {core::annotated("func", callable_text)}, callable_text),
                                      m, "_require_beam_pattern_setup"));
    core::setattr(m, "Sweepgate", make_sweepgate(m));
}

PyModuleDef& module_def = core::ModuleState<State>::definition<load>("Sweepgate", "Fast Beam Switch Manager module.");

}  // namespace

}  // namespace ondrel::sweepgate

extern "C" ONDREL_EXPORT PyObject* PyInit_Sweepgate() { return PyModuleDef_Init(&ondrel::sweepgate::module_def); }
