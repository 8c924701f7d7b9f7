#include "core/calls.hpp"

namespace ondrel::core {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_python_error();
    return s;  // kept for the life of the process
}

PyObject* kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) throw_python_error();
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t, i++, intern(n));
    return t;  // kept for the life of the process
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

bool equals(py::handle value, long number) {
    int eq = PyObject_RichCompareBool(value.ptr(), py::int_(number).ptr(), Py_EQ);
    if (eq < 0) throw_python_error();
    return eq == 1;
}

py::object module_global(py::handle module_dict, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_dict.ptr(), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void raise_argument_type(const char* param, const char* expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", param, expected,
                 Py_TYPE(got.ptr())->tp_name);
    throw_python_error();
}

py::handle require_text(py::handle value, const char* param, bool allow_none) {
    if (PyUnicode_Check(value.ptr()) || (allow_none && value.is_none())) return value;
    raise_argument_type(param, "str", value);
}

py::object require_integer(py::handle value, const char* param) {
    if (PyLong_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr()) &&
        PyNumber_Check(value.ptr())) {
        PyObject* converted = PyNumber_Long(value.ptr());
        if (converted) return py::reinterpret_steal<py::object>(converted);
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
        PyErr_Clear();  // a number without an integer form (complex): refused below
    }
    raise_argument_type(param, "int", value);
}

}  // namespace ondrel::core
