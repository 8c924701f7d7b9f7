#include "core/imports.hpp"

#include "core/calls.hpp"
#include "core/module.hpp"

namespace ondrel::core {

std::string parent_package(Handle module_name) {
    std::string name = utf8(module_name);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

Ref import_from(const std::string& module, const char* name) {
    Ref m = import(module.c_str());
    Ref attribute = name_object(name);
    Ref value = getattr_optional(m, attribute.ptr());
    if (value) return value;
    Ref file = getattr_optional(m, name_object("__file__").ptr());
    if (!file) file = none();
    std::string where = file.is_none() ? std::string("unknown location") : utf8(file);
    std::string message = "cannot import name '" + std::string(name) + "' from '" + module + "' (" + where + ")";
    Ref kwnames = Ref::steal(keywords({"name", "path"}));
    Ref error = call_kw(PyExc_ImportError, kwnames.ptr(), text(message), text(module), file);
    raise_object(PyExc_ImportError, error);
}

}  // namespace ondrel::core
