#include "core/classes.hpp"

namespace ondrel::core {

py::object build_class(py::handle metaclass, const std::string& name, py::tuple bases, py::handle module_name,
                       const char* doc, const std::vector<Member>& members) {
    py::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = py::str(name);
    if (doc) ns["__doc__"] = py::str(doc);
    for (const Member& m : members) ns[py::str(m.name)] = m.value;
    return metaclass(py::str(name), bases, ns);
}

}  // namespace ondrel::core
