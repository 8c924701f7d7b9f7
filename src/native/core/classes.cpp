#include "core/classes.hpp"

namespace ondrel::core {

Ref build_class(Handle metaclass, const std::string& name, Handle bases, Handle module_name, const char* doc,
                const std::vector<Member>& members) {
    Ref ns = new_dict();  // a plain dict with str keys, filled in table order
    dict_set(ns, "__module__", module_name);
    dict_set(ns, "__qualname__", text(name));
    if (doc) dict_set(ns, "__doc__", text(doc));
    for (const Member& m : members) dict_set(ns, text(m.name), m.value);
    return call(metaclass, text(name), bases, ns);
}

}  // namespace ondrel::core
