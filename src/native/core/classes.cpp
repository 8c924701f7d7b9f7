#include "core/classes.hpp"

#include "core/calls.hpp"

namespace ondrel::core {

py::object build_class(py::handle metaclass, const std::string& name, py::tuple bases, py::handle module_name,
                       const char* doc, const std::vector<Member>& members) {
    py::dict ns;  // a plain dict with str keys: filling it runs no Python code
    ns["__module__"] = module_name;
    ns["__qualname__"] = text(name);
    if (doc) ns["__doc__"] = text(doc);
    for (const Member& m : members) ns[text(m.name)] = m.value;
    return call(metaclass, text(name), bases, ns);
}

}  // namespace ondrel::core
