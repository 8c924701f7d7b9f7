#include "core/calls.hpp"

#include <unistd.h>

namespace ondrel::core {

void park_thread() {
    for (;;) pause();
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

py::object class_attribute(py::handle cls, PyObject* name, PyObject* getattribute) {
    if (PyType_Check(cls.ptr())) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        PyTypeObject* meta = Py_TYPE(cls.ptr());
        PyObject* value = _PyType_Lookup(type, name);
        if (value && !Py_TYPE(value)->tp_descr_get && !_PyType_Lookup(meta, name) &&
            (meta->tp_getattro == PyType_Type.tp_getattro ||
             _PyType_Lookup(meta, getattribute) == _PyType_Lookup(&PyType_Type, getattribute)))
            return py::reinterpret_borrow<py::object>(value);
    }
    return getattr(cls, name);
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
