#include "core/module.hpp"

#include "core/calls.hpp"
#include "core/function.hpp"

namespace ondrel::core {

PyObject* name(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_python_error();
    return s;
}

PyObject* keywords(std::initializer_list<const char*> names) {
    Ref tuple = new_tuple(static_cast<Py_ssize_t>(names.size()));
    Py_ssize_t i = 0;
    for (const char* n : names) tuple_set(tuple, i++, name_object(n));
    return tuple.release();
}

namespace {

// Python 3.12 and later refuse such an import themselves (the module
// definitions declare it).
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

int exec_module(PyObject* module, void** slot, void* (*make_state)(), void (*load)(Handle, void*)) {
    if (refuse_subinterpreter(module)) return -1;
    try {
        *slot = make_state();
        load(module, *slot);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

int exec_stateless(PyObject* module, void (*load)(Handle)) {
    if (refuse_subinterpreter(module)) return -1;
    try {
        load(module);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace ondrel::core
