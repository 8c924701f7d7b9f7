// Calling Python from method bodies: attribute calls that go through normal
// attribute lookup (so overrides and monkeypatching take effect), plain
// calls, keyword calls, and the errors a Python function would raise.
#pragma once

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <array>
#include <string>

namespace ondrel::core {

namespace py = pybind11;

// The unwinding with which the interpreter ends a thread (pthread_exit): a
// daemon thread that wants the interpreter lock back after exit has begun.
using ThreadExit = abi::__forced_unwind;

// Where the interpreter ends a thread inside one of our calls into Python:
// the thread stays parked, holding nothing, until the process ends.
// Unwinding our frames instead would release Python objects without the
// interpreter lock while the interpreter is being torn down.  (Python 3.14
// parks such threads itself.)
[[noreturn]] void park_thread();

// Runs `call`, a call into Python that may let go of the interpreter lock.
template <class Call>
auto guarded(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (ThreadExit&) {
        park_thread();
    }
}

// The interpreter lock is let go while `work` (no Python in it) runs.
template <class Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    work();
    guarded([&] {
        PyEval_RestoreThread(state);
        return 0;
    });
}

[[noreturn]] inline void throw_python_error() { throw py::error_already_set(); }

[[noreturn]] void raise(PyObject* type, const std::string& message);

inline py::object steal_or_throw(PyObject* result) {
    if (!result) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

// obj.<name>(*args) with keyword values last, named by `kw` (or nullptr).
template <size_t N>
py::object call_method(py::handle obj, PyObject* name, const std::array<PyObject*, N>& args,
                       PyObject* kw = nullptr) {
    Py_ssize_t nkw = kw ? PyTuple_GET_SIZE(kw) : 0;
    size_t npos = N - static_cast<size_t>(nkw);
    PyObject* stack[N + 2];
    stack[0] = nullptr;
    stack[1] = obj.ptr();
    for (size_t i = 0; i < N; i++) stack[i + 2] = args[i];
#if PY_VERSION_HEX >= 0x03090000
    return steal_or_throw(guarded(
        [&] { return PyObject_VectorcallMethod(name, stack + 1, (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw); }));
#else
    py::object method = steal_or_throw(guarded([&] { return PyObject_GetAttr(obj.ptr(), name); }));
    return steal_or_throw(guarded(
        [&] { return _PyObject_Vectorcall(method.ptr(), stack + 2, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw); }));
#endif
}

inline py::object call_method(py::handle obj, PyObject* name) {
    return call_method<0>(obj, name, std::array<PyObject*, 0>{});
}

inline py::object call_method(py::handle obj, PyObject* name, py::handle a) {
    return call_method<1>(obj, name, std::array<PyObject*, 1>{a.ptr()});
}

// callable(*args) with keyword values last, named by `kw` (or nullptr).
template <size_t N>
py::object call(py::handle callable, const std::array<PyObject*, N>& args, PyObject* kw = nullptr) {
    Py_ssize_t nkw = kw ? PyTuple_GET_SIZE(kw) : 0;
    size_t npos = N - static_cast<size_t>(nkw);
    PyObject* stack[N + 1];
    stack[0] = nullptr;
    for (size_t i = 0; i < N; i++) stack[i + 1] = args[i];
#if PY_VERSION_HEX >= 0x03090000
    return steal_or_throw(guarded(
        [&] { return PyObject_Vectorcall(callable.ptr(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw); }));
#else
    return steal_or_throw(guarded(
        [&] { return _PyObject_Vectorcall(callable.ptr(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kw); }));
#endif
}

inline py::object getattr(py::handle obj, PyObject* name) {
    return steal_or_throw(guarded([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

inline void setattr(py::handle obj, PyObject* name, py::handle value) {
    if (guarded([&] { return PyObject_SetAttr(obj.ptr(), name, value.ptr()); }) < 0) throw_python_error();
}

// getattr(cls, name), read from the interpreter's method cache where that
// gives the same answer: `cls` is a class whose MRO holds a plain value
// (no descriptor) under `name`, and its metaclass neither has that name nor
// looks attributes up differently from `type` (a metaclass that only adds
// __getattr__, as enumerations do before 3.12, qualifies: __getattr__ is
// consulted only for missing names, and that lookup alone costs a Python
// call's setup).  Anything else goes through getattr.  `getattribute` is the
// interned name "__getattribute__".
py::object class_attribute(py::handle cls, PyObject* name, PyObject* getattribute);

// value == number, by the value's own comparison.
bool equals(py::handle value, long number);

inline bool truth(py::handle obj) {
    int r = guarded([&] { return PyObject_IsTrue(obj.ptr()); });
    if (r < 0) throw_python_error();
    return r != 0;
}

// A module-level name, looked up when it is used (as a Python function
// would), so a rebinding of the module attribute takes effect.
py::object module_global(py::handle module_dict, PyObject* name);

// "Argument 'x' has incorrect type (expected str, got int)"
[[noreturn]] void raise_argument_type(const char* param, const char* expected, py::handle got);

// A text argument (str or subclass), else the TypeError above.
py::handle require_text(py::handle value, const char* param, bool allow_none = false);

// An integer argument: an int is taken as it is, another number goes
// through int(); anything else is refused naming the parameter.
py::object require_integer(py::handle value, const char* param);

}  // namespace ondrel::core
