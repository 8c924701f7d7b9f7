#include "core/module.hpp"

#include "core/calls.hpp"
#include "core/function.hpp"

#include <pybind11/detail/internals.h>

namespace ondrel::core {

PyObject* name(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_python_error();
    return s;
}

PyObject* keywords(std::initializer_list<const char*> names) {
    py::tuple t(names.size());
    size_t i = 0;
    for (const char* n : names) t[i++] = py::reinterpret_steal<py::object>(name(n));
    return t.release().ptr();
}

namespace {

// Python 3.12 and later refuse such an import themselves (the module
// definitions declare it); before, pybind11's first use would wait for ever
// on the main interpreter's lock.
bool refuse_subinterpreter(PyObject* module) {
#if PY_VERSION_HEX >= 0x03090000
    PyInterpreterState* current = PyThreadState_GetInterpreter(PyThreadState_Get());
#else
    PyInterpreterState* current = PyThreadState_Get()->interp;
#endif
    if (current == PyInterpreterState_Main()) return false;
    PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", PyModule_GetName(module));
    return true;
}

}  // namespace

int exec_module(PyObject* module, void** slot, void* (*make_state)(), void (*load)(py::module_, void*)) {
    if (refuse_subinterpreter(module)) return -1;
    try {
        py::detail::get_internals();
        *slot = make_state();
        load(py::reinterpret_borrow<py::module_>(module), *slot);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

int exec_stateless(PyObject* module, void (*load)(py::module_)) {
    if (refuse_subinterpreter(module)) return -1;
    try {
        load(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace ondrel::core
