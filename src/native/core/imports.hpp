// Imports of the package's sibling modules, done by name through the import
// system so that a caller can substitute a module through sys.modules.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace ondrel::core {

namespace py = pybind11;

// The package a module belongs to: "ondrel" for "ondrel.Tarnel".
std::string parent_package(py::handle module_name);

// `from <module> import <name>`, with the ImportError text of that statement
// when the module has no such name.
py::object import_from(const std::string& module, const char* name);

}  // namespace ondrel::core
