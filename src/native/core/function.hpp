// Native functions that behave like Python functions.
//
// A `function` object carries a name, a qualified name, a module, a
// documentation text, declared parameters (with defaults and annotations), a
// return annotation and a C++ body.  Calling it binds the arguments exactly as
// CPython binds a Python function's (same TypeError texts), then runs the body
// on the bound values.  It binds to instances like a function (a bound method
// comes back from `__get__`), has a writable `__dict__`, and offers
// `__signature__` so that `inspect.signature` shows the declared parameters.
//
// A function is declared beside its body, with its parameters named once:
//
//   ONDREL_ARGS(SendCmdArgs, self, cmd, log_print, size, isdecode);
//   core::Ref send_cmd(const core::Args& raw, const SendCmdArgs& a) { ... a.cmd ... }
//   core::method<SendCmdArgs, send_cmd>("_sendCmd", "Send a command ...",
//                                       {core::with_default("log_print", False), ...});
//
// The parameters are those of the ONDREL_ARGS list, in its order; defaults
// and annotations are given by name (a name the list does not have is an
// error when the module loads), and the body reads each value by name.
#pragma once

#include "core/calls.hpp"

#include <string>
#include <vector>

namespace ondrel::core {

// Where a function's body runs: the module that made the function (its state
// and namespace) and the object the function was made with.
struct Context {
    PyObject* closure;  // for example the function a decorator wraps; None when there is none
    PyObject* globals;  // the module's namespace
    PyObject* module;   // the module object, which owns `state`
    void* state;        // the module's state object (see module.hpp)
};

// The values bound to the declared parameters, in declaration order, and
// the function's context.  A `*args` parameter holds a tuple and a
// `**kwargs` parameter a dict.
class Args {
public:
    Args(PyObject* const* slots, const Context& context) : slots_(slots), context_(context) {}
    PyObject* const* slots() const { return slots_; }
    Handle closure() const { return context_.closure; }
    Handle globals() const { return context_.globals; }
    Handle module() const { return context_.module; }
    template <class S>
    S& state() const {
        return *static_cast<S*>(context_.state);
    }

private:
    PyObject* const* slots_;
    const Context& context_;
};

using Body = Ref (*)(const Args&);

enum class Kind { Regular, VarArgs, VarKw };

struct Param {
    std::string name;
    Ref default_value;  // empty: the parameter is required
    Ref annotation;     // empty: no annotation
    Kind kind = Kind::Regular;
};

struct FunctionDef {
    std::string name;
    const char* doc = nullptr;  // nullptr: no documentation text
    std::vector<Param> params;
    Body body = nullptr;
    Ref returns;  // empty: no return annotation
    Ref closure;  // empty: None
};

// --- declaring a function beside its body --------------------------------------

// What a declaration says of one parameter, by name.
struct Spec {
    const char* name;
    Ref default_value;
    Ref annotation;
    Kind kind = Kind::Regular;
};
inline Spec with_default(const char* name, Ref value, Ref annotation = Ref()) {
    return Spec{name, std::move(value), std::move(annotation)};
}
inline Spec annotated(const char* name, Ref annotation) { return Spec{name, Ref(), std::move(annotation)}; }
inline Spec var_args(const char* name) { return Spec{name, Ref(), Ref(), Kind::VarArgs}; }
inline Spec var_kwargs(const char* name) { return Spec{name, Ref(), Ref(), Kind::VarKw}; }

// The parameters named by `names` (in that order) with what `specs` says of
// them; a spec naming no parameter is a logic_error.
std::vector<Param> params_of(const char* function, const char* const* names, size_t count,
                             const std::vector<Spec>& specs);

template <class A>
using BodyOf = Ref (*)(const Args&, const A&);

template <class A, BodyOf<A> F>
Ref bind_and_run(const Args& raw) {
    return F(raw, A::bind(raw.slots()));
}

// A function whose parameters are the fields of A (see ONDREL_ARGS) and
// whose body is F.
template <class A, BodyOf<A> F>
FunctionDef method(const char* name, const char* doc, const std::vector<Spec>& specs = {}, Ref returns = Ref()) {
    return FunctionDef{name, doc, params_of(name, A::kNames, A::kCount, specs), bind_and_run<A, F>, std::move(returns),
                       Ref()};
}

// A body that takes its module's context (a Ctx made from the call) and
// the named arguments; core::method<A, with_context<Ctx, A, F>> declares it.
template <class Ctx, class A>
using BodyWith = Ref (*)(const Ctx&, const A&);

template <class Ctx, class A, BodyWith<Ctx, A> F>
Ref with_context(const Args& raw, const A& a) {
    return F(Ctx(raw), a);
}

// Registers the function type under `type_name` (for example
// "ondrel.Tarnel.function").  Call when the extension module loads; later
// calls (another import of the module) do nothing.
void ready_function_type(const char* type_name);

// Creates a function of `module` (a module made by exec_module, see
// module.hpp).  The function holds a strong reference to the module and its
// namespace, as a Python function holds its globals, so it keeps working
// whatever becomes of the module later.  `qualname` is the full qualified
// name ("FpgaTool._sendCmd"); `closure` is handed to the body through Args
// (def.closure when not given).  `__module__` is the module's name unless
// `module_name` is given (a function of one module's namespace and state
// that is bound in another module).
Ref make_function(const FunctionDef& def, Handle module, const std::string& qualname, Handle closure = Handle(),
                  Handle module_name = Handle());

// Converts the C++ exception being handled into a Python exception; parks
// the thread when the exception is the interpreter ending it.
void translate_current_exception();

}  // namespace ondrel::core

// ONDREL_ARGS(Type, a, b, c): struct Type { core::Handle a, b, c; } with the
// parameter names in order (kNames, kCount) and bind(), which fills the
// fields from the bound values.
#define ONDREL_PP_EXPAND(x) x
#define ONDREL_PP_FE_1(M, x) M(x)
#define ONDREL_PP_FE_2(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_1(M, __VA_ARGS__))
#define ONDREL_PP_FE_3(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_2(M, __VA_ARGS__))
#define ONDREL_PP_FE_4(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_3(M, __VA_ARGS__))
#define ONDREL_PP_FE_5(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_4(M, __VA_ARGS__))
#define ONDREL_PP_FE_6(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_5(M, __VA_ARGS__))
#define ONDREL_PP_FE_7(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_6(M, __VA_ARGS__))
#define ONDREL_PP_FE_8(M, x, ...) M(x) ONDREL_PP_EXPAND(ONDREL_PP_FE_7(M, __VA_ARGS__))
#define ONDREL_PP_PICK(_1, _2, _3, _4, _5, _6, _7, _8, N, ...) N
#define ONDREL_PP_FOR_EACH(M, ...)                                                                               \
    ONDREL_PP_EXPAND(ONDREL_PP_PICK(__VA_ARGS__, ONDREL_PP_FE_8, ONDREL_PP_FE_7, ONDREL_PP_FE_6, ONDREL_PP_FE_5, \
                                    ONDREL_PP_FE_4, ONDREL_PP_FE_3, ONDREL_PP_FE_2, ONDREL_PP_FE_1)(M, __VA_ARGS__))
#define ONDREL_ARG_FIELD(x) ::ondrel::core::Handle x;
#define ONDREL_ARG_NAME(x) #x,
#define ONDREL_ARG_BIND(x) a.x = slots[i++];
#define ONDREL_ARGS(Type, ...)                                                                      \
    struct Type {                                                                                   \
        ONDREL_PP_FOR_EACH(ONDREL_ARG_FIELD, __VA_ARGS__)                                           \
        static constexpr const char* kNames[] = {ONDREL_PP_FOR_EACH(ONDREL_ARG_NAME, __VA_ARGS__)}; \
        static constexpr size_t kCount = sizeof(kNames) / sizeof(kNames[0]);                        \
        static Type bind(PyObject* const* slots) {                                                  \
            Type a;                                                                                 \
            size_t i = 0;                                                                           \
            ONDREL_PP_FOR_EACH(ONDREL_ARG_BIND, __VA_ARGS__)                                        \
            return a;                                                                               \
        }                                                                                           \
    }
