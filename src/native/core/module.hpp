// Extension modules with their state on the module object (multi-phase
// initialisation), so that every import makes an independent module and
// nothing of one import is left for the next to find half-made.
//
// A module's state is a C++ object of its own type S, made when the module
// executes and destroyed when the module object goes.  The functions of a
// module keep the module object alive (see make_function), so a function can
// use its module's state for as long as the function exists.  S visits the
// Python objects it owns in traverse() and drops them in clear(), so that a
// module nobody refers to any more is freed by the garbage collector even
// when what its state owns refers back to it.
#pragma once

#include "core/calls.hpp"

#include <initializer_list>

// The visibility of a module's initialisation entry, its one exported symbol.
#if defined(_WIN32)
#define ONDREL_EXPORT __declspec(dllexport)
#else
#define ONDREL_EXPORT __attribute__((visibility("default")))
#endif

namespace ondrel::core {

// An interned str, owned by the caller.
PyObject* name(const char* text);
inline Ref name_object(const char* text) { return Ref::steal(name(text)); }

// A tuple of interned names (the keyword names of a vectorcall), owned by the
// caller.
PyObject* keywords(std::initializer_list<const char*> names);

// Runs the body of a module's exec slot: refuses any interpreter but the
// main one (the function type is shared by the whole process), makes the
// state object, then loads the module.  Returns 0, or -1 with the Python
// error set.
int exec_module(PyObject* module, void** slot, void* (*make_state)(), void (*load)(Handle, void*));

// Runs `load` for a module without state, as exec_module does.
int exec_stateless(PyObject* module, void (*load)(Handle));

// The state object of a module made by exec_module.
inline void* state_of(PyObject* module) { return *static_cast<void**>(PyModule_GetState(module)); }

template <class S>
struct ModuleState {
    static void* make() { return new S(); }
    static void destroy(void* module) {
        auto** slot = static_cast<S**>(PyModule_GetState(static_cast<PyObject*>(module)));
        if (slot) {
            delete *slot;
            *slot = nullptr;
        }
    }
    static S* of(PyObject* module) {
        auto** slot = static_cast<S**>(PyModule_GetState(module));
        return slot ? *slot : nullptr;
    }
    static int traverse(PyObject* module, visitproc visit, void* arg) {
        S* s = of(module);
        return s ? s->traverse(visit, arg) : 0;
    }
    static int clear(PyObject* module) {
        if (S* s = of(module)) s->clear();
        return 0;
    }
    // The exec slot of a module whose load function is `load`.
    template <void (*load)(Handle, S&)>
    static int exec(PyObject* module) {
        return exec_module(module, static_cast<void**>(PyModule_GetState(module)), make,
                           [](Handle m, void* s) { load(m, *static_cast<S*>(s)); });
    }

    // The definition of a module loaded by `load`, for PyModuleDef_Init.
    template <void (*load)(Handle, S&)>
    static PyModuleDef& definition(const char* name, const char* doc) {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_exec, reinterpret_cast<void*>(exec<load>)},
#ifdef Py_mod_multiple_interpreters
            // The function type is static and shared by every import in the process.
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
            {0, nullptr},
        };
        static PyModuleDef def = {
            PyModuleDef_HEAD_INIT, name, doc, sizeof(S*), nullptr, slots, traverse, clear, destroy};
        return def;
    }
};

}  // namespace ondrel::core

// The interned names a module uses, declared and filled from one list, for
// example
//
//   #define MY_NAMES(NAME, VALUE) NAME(_conn) VALUE(kw_data, core::keywords({"data"}))
//   ONDREL_NAMES(Names, MY_NAMES);
//
// declares the members _conn and kw_data.  NAME(x) is the interned str "x";
// VALUE(field, expression) holds the new reference the expression makes.
// fill() makes them all; each is released when the Names go.
#define ONDREL_NAME_DECLARE(field) PyObject* field = nullptr;
#define ONDREL_VALUE_DECLARE(field, make) PyObject* field = nullptr;
#define ONDREL_NAME_FILL(field) field = ::ondrel::core::name(#field);
#define ONDREL_VALUE_FILL(field, make) field = (make);
#define ONDREL_NAME_RELEASE(field) ::ondrel::core::release_reference(std::exchange(field, nullptr));
#define ONDREL_VALUE_RELEASE(field, make) ::ondrel::core::release_reference(std::exchange(field, nullptr));
#define ONDREL_NAMES(Type, LIST)                                                   \
    struct Type {                                                                  \
        LIST(ONDREL_NAME_DECLARE, ONDREL_VALUE_DECLARE)                            \
        void fill() { LIST(ONDREL_NAME_FILL, ONDREL_VALUE_FILL) }                  \
        ~Type(){LIST(ONDREL_NAME_RELEASE, ONDREL_VALUE_RELEASE)} Type() = default; \
        Type(const Type&) = delete;                                                \
        Type& operator=(const Type&) = delete;                                     \
    }
