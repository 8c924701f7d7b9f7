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

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace ondrel::core {

namespace py = pybind11;

// The values bound to the declared parameters, in declaration order.  A
// `*args` parameter holds a tuple and a `**kwargs` parameter a dict.
class Args {
public:
    Args(PyObject* const* slots, PyObject* closure) : slots_(slots), closure_(closure) {}
    py::handle operator[](size_t i) const { return slots_[i]; }
    // The object the function was created with (for example the function a
    // decorator wraps); None when there is none.
    py::handle closure() const { return closure_; }

private:
    PyObject* const* slots_;
    PyObject* closure_;
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
// "ondrel.Tarnel.function").  Call once when the extension module loads.
void ready_function_type(const char* type_name);

// Creates a function.  `qualname` is the full qualified name
// ("FpgaTool._sendCmd"); `closure` is handed to the body through Args.
py::object make_function(const FunctionDef& def, py::handle module_name, const std::string& qualname,
                         py::handle closure = py::none());

// Runs a body, turning every C++ exception into a Python exception.  Returns
// a new reference, or nullptr with the Python error set.
PyObject* run_body(Body body, const Args& args) noexcept;

// Converts the C++ exception being handled into a Python exception.
void translate_current_exception() noexcept;

}  // namespace ondrel::core
