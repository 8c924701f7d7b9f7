// Imports of the package's sibling modules, done by name through the import
// system so that a caller can substitute a module through sys.modules.
#pragma once

#include "core/calls.hpp"

#include <string>

namespace ondrel::core {

// The package a module belongs to: "ondrel" for "ondrel.Tarnel".
std::string parent_package(Handle module_name);

// `from <module> import <name>`, with the ImportError text of that statement
// when the module has no such name.
Ref import_from(const std::string& module, const char* name);

}  // namespace ondrel::core
