#include "core/imports.hpp"

#include "core/calls.hpp"

namespace ondrel::core {

std::string parent_package(py::handle module_name) {
    std::string name = py::str(module_name).cast<std::string>();
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

py::object import_from(const std::string& module, const char* name) {
    py::object m = steal_or_throw(guarded([&] { return PyImport_ImportModule(module.c_str()); }));
    PyObject* value = PyObject_GetAttrString(m.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object file = py::getattr(m, "__file__", py::none());
    std::string where = file.is_none() ? std::string("unknown location") : py::str(file).cast<std::string>();
    PyObject* message = PyUnicode_FromFormat("cannot import name '%s' from '%s' (%s)", name, module.c_str(),
                                             where.c_str());
    if (!message) throw py::error_already_set();
    PyObject* err_args = Py_BuildValue("(N)", message);
    PyObject* kwargs = Py_BuildValue("{s:s,s:O}", "name", module.c_str(), "path", file.ptr());
    PyObject* err = err_args && kwargs ? PyObject_Call(PyExc_ImportError, err_args, kwargs) : nullptr;
    Py_XDECREF(err_args);
    Py_XDECREF(kwargs);
    if (err) {
        PyErr_SetObject(PyExc_ImportError, err);
        Py_DECREF(err);
    }
    throw py::error_already_set();
}

}  // namespace ondrel::core
