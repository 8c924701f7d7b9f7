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

int exec_module(PyObject* module, void** slot, void* (*make_state)(), void (*load)(py::module_, void*)) {
    try {
        py::detail::get_internals();
        *slot = make_state();
        load(py::reinterpret_borrow<py::module_>(module), *slot);
        return 0;
    } catch (ThreadExit&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace ondrel::core
