// Assembling a class from a table of members by calling its metaclass, as a
// class statement would: `type(name, bases, namespace)`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace ondrel::core {

namespace py = pybind11;

struct Member {
    std::string name;
    py::object value;
};

// metaclass(name, bases, ns) where ns holds __module__, __qualname__, the
// documentation text (when given) and the members, in table order.
py::object build_class(py::handle metaclass, const std::string& name, py::tuple bases, py::handle module_name,
                       const char* doc, const std::vector<Member>& members);

}  // namespace ondrel::core
