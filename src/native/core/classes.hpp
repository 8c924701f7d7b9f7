// Assembling a class from a table of members by calling its metaclass, as a
// class statement would: `type(name, bases, namespace)`.
#pragma once

#include "core/calls.hpp"

#include <string>
#include <utility>
#include <vector>

namespace ondrel::core {

struct Member {
    std::string name;
    Ref value;
};

// metaclass(name, bases, ns) where ns holds __module__, __qualname__, the
// documentation text (when given) and the members, in table order.
Ref build_class(Handle metaclass, const std::string& name, Handle bases, Handle module_name, const char* doc,
                const std::vector<Member>& members);

}  // namespace ondrel::core
