#include "core/imports.hpp"

#include "core/calls.hpp"
#include "core/module.hpp"

namespace ondrel::core {

std::string parent_package(py::handle module_name) {
    std::string name = utf8(module_name);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

py::object import_from(const std::string& module, const char* name) {
    py::object m = import(module.c_str());
    py::object attribute = name_object(name);
    py::object value = getattr_optional(m, attribute.ptr());
    if (value) return value;
    py::object file = getattr_optional(m, name_object("__file__").ptr());
    if (!file) file = py::none();
    std::string where = file.is_none() ? std::string("unknown location") : utf8(file);
    std::string message = "cannot import name '" + std::string(name) + "' from '" + module + "' (" + where + ")";
    py::object kwnames = py::reinterpret_steal<py::object>(keywords({"name", "path"}));
    py::object error = call_kw(py::handle(PyExc_ImportError), kwnames.ptr(), text(message), text(module), file);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw_python_error();
}

}  // namespace ondrel::core
