// The one way into Python.
//
// Everything the native code does that can run Python code (a call, an
// attribute access, str(), a comparison, an integer conversion, an import)
// goes through a function of this header.  Each is wrapped by `guarded`, so
// what must hold around a call into Python holds everywhere:
//
// - Python code may let go of the interpreter lock, and a daemon thread that
//   wants it back after the interpreter began to exit is ended there by a
//   forced unwinding (pthread_exit).  Unwinding our frames would release
//   Python objects without the lock while the interpreter is torn down, so
//   such a thread is parked where it is, holding nothing, until the process
//   ends (Python 3.14 parks such threads itself).
// - Errors come back as py::error_already_set.
//
// Method bodies use pybind11 for handles only (py::object, py::handle,
// building str, bytes, int, tuple and dict values); tests/test_native_rules.py
// checks that no other file calls into Python by another way.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <utility>

namespace ondrel::core {

namespace py = pybind11;

// Parks the calling thread for good (the interpreter is ending it).
[[noreturn]] void park_thread();

// In a catch (...) handler: whether the exception being handled is not a C++
// exception, that is the forced unwinding with which the interpreter ends a
// thread.  (Catching it by type binds a reference to no object.)
bool thread_is_ending() noexcept;

// Runs `call`, a call into Python.
template <class Call>
auto guarded(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        if (thread_is_ending()) park_thread();
        throw;
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

// A new reference, or the Python error raised.
inline py::object steal(PyObject* result) {
    if (!result) throw_python_error();
    return py::reinterpret_steal<py::object>(result);
}

// Raises `type` with `message` (UTF-8).
[[noreturn]] void raise(PyObject* type, const std::string& message);

// A str of UTF-8 text (invalid bytes are an error).
py::str text(const std::string& utf8);

// --- calls ---------------------------------------------------------------------

namespace detail {
inline PyObject* ptr(py::handle h) { return h.ptr(); }
inline PyObject* ptr(PyObject* p) { return p; }
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// args[0] is the object; args[-1] may be written (PY_VECTORCALL_ARGUMENTS_OFFSET).
PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames);
}  // namespace detail

// callable(*args), the last len(kwnames) of them by keyword (kwnames: a tuple
// of interned names, or nullptr).
template <class... A>
py::object call_kw(py::handle callable, PyObject* kwnames, A&&... args) {
    PyObject* stack[] = {nullptr, detail::ptr(args)..., nullptr};
    size_t npos = sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return steal(guarded(
        [&] { return detail::vectorcall(callable.ptr(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames); }));
}

template <class... A>
py::object call(py::handle callable, A&&... args) {
    return call_kw(callable, nullptr, std::forward<A>(args)...);
}

// obj.<name>(*args), found by normal attribute lookup (overrides and
// monkeypatching take effect); the last len(kwnames) arguments by keyword.
template <class... A>
py::object call_method_kw(py::handle obj, PyObject* name, PyObject* kwnames, A&&... args) {
    PyObject* stack[] = {nullptr, obj.ptr(), detail::ptr(args)...};
    size_t npos = 1 + sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return steal(guarded(
        [&] { return detail::vectorcall_method(name, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames); }));
}

template <class... A>
py::object call_method(py::handle obj, PyObject* name, A&&... args) {
    return call_method_kw(obj, name, nullptr, std::forward<A>(args)...);
}

// callable(*args, **kwargs) with a tuple and a dict (or nullptr).
py::object call_with(py::handle callable, py::handle args, py::handle kwargs);

// --- attributes ----------------------------------------------------------------

py::object getattr(py::handle obj, PyObject* name);
py::object getattr(py::handle obj, const char* name);
// The attribute, or an empty object when the lookup raises AttributeError.
py::object getattr_optional(py::handle obj, PyObject* name);
void setattr(py::handle obj, PyObject* name, py::handle value);
void setattr(py::handle obj, const char* name, py::handle value);

// getattr(cls, name), read from the interpreter's method cache where that
// gives the same answer: `cls` is a class whose MRO holds a plain value (no
// descriptor) under `name`, and its metaclass neither has that name nor
// looks attributes up differently from `type` (a metaclass that only adds
// __getattr__, as enumerations do before 3.12, qualifies: __getattr__ is
// consulted only for missing names).  Anything else goes through getattr.
// `getattribute` is the interned name "__getattribute__".
py::object class_attribute(py::handle cls, PyObject* name, PyObject* getattribute);

// Whether getattr(obj, name) runs no Python code: the type looks attributes
// up the generic way and holds nothing under `name` that computes it (a
// descriptor).  Only looks: the instance's dictionary is left as it is (on
// 3.11 and later, asking for it would give up the faster attribute storage).
bool attribute_is_plain(py::handle obj, PyObject* name);

// A module-level name, looked up when it is used (as a Python function
// would), so a rebinding of the module attribute takes effect.
py::object module_global(py::handle module_dict, PyObject* name);

// --- values --------------------------------------------------------------------

bool truth(py::handle obj);
py::object str(py::handle obj);
py::object repr(py::handle obj);
// str(obj) as UTF-8 (lone surrogates escaped).
std::string utf8(py::handle obj);
// a <op> b (Py_LT, Py_EQ, ...) by the values' own comparison, as a truth value.
bool compare(py::handle a, py::handle b, int op);
// a <op> b, the comparison's own result (which need not be a bool).
py::object rich_compare(py::handle a, py::handle b, int op);
// value == number
bool equals(py::handle value, long number);
// int(value)
py::object to_int(py::handle value);
// float(value) as a double (a TypeError for a value without a float form)
double to_double(py::handle value);
// operator.index(value)
py::object index(py::handle value);
// len(value)
size_t length(py::handle value);
// a + b
py::object add(py::handle a, py::handle b);
// item in container
bool contains(py::handle container, py::handle item);
// list.sort() in place
void sort(py::handle list);
// tuple(iterable): a snapshot that Python code run per element cannot change.
py::tuple snapshot(py::handle iterable);
// obj[key]
py::object get_item(py::handle obj, py::handle key);
// obj[key] = value
void set_item(py::handle obj, py::handle key, py::handle value);
// obj[start:stop]
py::object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop);
// The decimal text of an int (of any int subclass), without calling its __repr__.
std::string decimal(py::handle integer);

// A read-only view of a bytes-like object's memory, released when it goes.
// No Python code runs while it is held.
class Buffer {
public:
    explicit Buffer(py::handle obj);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_;
};

// --- imports -------------------------------------------------------------------

py::object import(const char* module);

// --- arguments -----------------------------------------------------------------

// "Argument 'x' has incorrect type (expected str, got int)"
[[noreturn]] void raise_argument_type(const char* param, const char* expected, py::handle got);

// A text argument (str or subclass), else the TypeError above.
py::handle require_text(py::handle value, const char* param, bool allow_none = false);

// An integer argument: an int is taken as it is, another number goes
// through int(); anything else is refused naming the parameter.
py::object require_integer(py::handle value, const char* param);

}  // namespace ondrel::core
