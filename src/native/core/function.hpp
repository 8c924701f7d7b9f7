// Native functions that behave like Python functions.
//
// A `function` object carries a name, a qualified name, a module, a
// documentation text, declared parameters (with defaults and annotations), a
// return annotation and a C++ body.  Calling it binds the arguments exactly as
// CPython binds a Python function's (same TypeError texts), then runs the body
// on the bound values.  It binds to instances like a function (a bound method
// comes back from `__get__`), has a writable `__dict__`, and offers
// `__signature__` so that `inspect.signature` shows the declared parameters.
#pragma once

#include "core/calls.hpp"

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace ondrel::core {

namespace py = pybind11;

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
    py::handle operator[](size_t i) const { return slots_[i]; }
    py::handle closure() const { return context_.closure; }
    py::handle globals() const { return context_.globals; }
    py::handle module() const { return context_.module; }
    template <class S>
    S& state() const {
        return *static_cast<S*>(context_.state);
    }

private:
    PyObject* const* slots_;
    const Context& context_;
};

using Body = py::object (*)(const Args&);

enum class Kind { Regular, VarArgs, VarKw };

struct Param {
    std::string name;
    py::object default_value;  // empty: the parameter is required
    py::object annotation;     // empty: no annotation
    Kind kind = Kind::Regular;
};

// Shorthands for declaring parameters.
Param arg(const char* name, py::object annotation = py::object());
Param opt(const char* name, py::object default_value, py::object annotation = py::object());
Param star_args(const char* name);
Param star_kwargs(const char* name);

struct FunctionDef {
    std::string name;
    const char* doc = nullptr;  // nullptr: no documentation text
    std::vector<Param> params;
    Body body = nullptr;
    py::object returns;  // empty: no return annotation
};

// Registers the function type under `type_name` (for example
// "ondrel.Tarnel.function").  Call when the extension module loads; later
// calls (another import of the module) do nothing.
void ready_function_type(const char* type_name);

// Creates a function of `module` (a module made by exec_module, see
// module.hpp).  The function holds a strong reference to the module and its
// namespace, as a Python function holds its globals, so it keeps working
// whatever becomes of the module later.  `qualname` is the full qualified
// name ("FpgaTool._sendCmd"); `closure` is handed to the body through Args.
// `__module__` is the module's name unless `module_name` is given (a function
// of one module's namespace and state that is bound in another module).
py::object make_function(const FunctionDef& def, py::handle module, const std::string& qualname,
                         py::handle closure = py::none(), py::handle module_name = py::handle());

// Runs a body, turning every C++ exception into a Python exception.  Returns
// a new reference, or nullptr with the Python error set.  Only a ThreadExit
// passes.
PyObject* run_body(Body body, const Args& args);

// Converts the C++ exception being handled (never a ThreadExit) into a
// Python exception.
void translate_current_exception() noexcept;

}  // namespace ondrel::core
