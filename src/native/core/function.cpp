// The native function type; modelled on CPython's own small callable types.
#include "core/function.hpp"

#include "core/calls.hpp"
#include "core/module.hpp"
#include "core/suggest.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace ondrel::core {

namespace {

#if PY_VERSION_HEX >= 0x03090000
constexpr unsigned long kVectorcallFlag = Py_TPFLAGS_HAVE_VECTORCALL;
#else
constexpr unsigned long kVectorcallFlag = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

constexpr size_t kMaxParams = 16;

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // any object
    PyObject* doc;          // any object
    PyObject* annotations;  // dict, or nullptr until asked for after a delete
    PyObject* signature;    // built on first request, or set by the caller
    Context context;        // handed to the body; holds the module and its namespace
    PyObject* names;        // tuple of every parameter name, in order
    PyObject* defaults;     // tuple of the trailing regular defaults, or nullptr
    Py_ssize_t nregular;    // parameters bound by position or keyword
    Py_ssize_t nrequired;   // leading regular parameters without default
    bool has_varargs;
    bool has_varkw;
    Body body;
    PyObject* kinds;  // tuple of ints (Kind) for the signature
};

// Filled in by ready_function_type(); only the header is static.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// The name an error message starts with: newer interpreters use the
// qualified name, older ones the plain name.
PyObject* message_name(FunctionObject* f) {
#if PY_VERSION_HEX >= 0x030A0000
    return f->qualname;
#else
    return f->name;
#endif
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as the interpreter lists them.
// The names are the function's own str objects: their repr runs no Python code.
PyObject* format_names(const std::vector<PyObject*>& names) {
    std::string listed;
    for (size_t i = 0; i < names.size(); i++) {
        if (i) listed += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
        listed += utf8(core::repr(names[i]));
    }
    return text(listed).release();
}

void raise_missing(FunctionObject* f, const std::vector<PyObject*>& missing) {
    PyObject* listed = format_names(missing);
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", message_name(f),
                 static_cast<int>(missing.size()), missing.size() == 1 ? "" : "s", listed);
    release_reference(listed);
}

void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t ndefaults = f->nregular - f->nrequired;
    PyObject* sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = PyUnicode_FromFormat("from %zd to %zd", f->nrequired, f->nregular);
    } else {
        plural = f->nregular != 1;
        sig = PyUnicode_FromFormat("%zd", f->nregular);
    }
    if (!sig) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", message_name(f), sig,
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
    release_reference(sig);
}

void raise_unexpected_keyword(FunctionObject* f, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    std::vector<std::string_view> candidates;
    for (Py_ssize_t i = 0; i < f->nregular; i++) {
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(f->names, i), &size);
        if (!s) return;
        candidates.emplace_back(s, static_cast<size_t>(size));
    }
    Py_ssize_t size = 0;
    const char* wrong = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!wrong) {
        PyErr_Clear();
    } else {
        long best = closest_name(candidates, std::string_view(wrong, static_cast<size_t>(size)));
        if (best >= 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'. Did you mean '%U'?",
                         message_name(f), keyword, PyTuple_GET_ITEM(f->names, best));
            return;
        }
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", message_name(f), keyword);
}

// Runs the body on slots that hold every bound value.  Native code entered
// at the recursion limit raises RecursionError, as a Python function does.
PyObject* invoke(FunctionObject* f, PyObject* const* slots) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result;
    try {
        result = f->body(Args(slots, f->context)).release();
    } catch (...) {
        translate_current_exception();
        result = nullptr;
    }
    Py_LeaveRecursiveCall();
    return result;
}

// Binds the arguments to the declared parameters as CPython binds a Python
// function's, then runs the body.  May throw (the caller translates).
PyObject* bind_and_invoke(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* slots[kMaxParams] = {};
    Ref extra_args, extra_kwargs;
    Py_ssize_t npos = nargs < f->nregular ? nargs : f->nregular;
    for (Py_ssize_t i = 0; i < npos; i++) slots[i] = args[i];

    if (f->has_varkw) extra_kwargs = new_dict();
    if (f->has_varargs) {
        Py_ssize_t n = nargs - npos;
        extra_args = new_tuple(n);
        for (Py_ssize_t i = 0; i < n; i++) tuple_set(extra_args, i, Ref::borrow(args[npos + i]));
    }

    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
#if PY_VERSION_HEX >= 0x03090000
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
#else
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", message_name(f));
#endif
            return nullptr;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < f->nregular; i++) {
            if (PyTuple_GET_ITEM(f->names, i) == keyword) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            for (Py_ssize_t i = 0; i < f->nregular; i++) {
                int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), keyword);
                if (eq == -1 && PyErr_Occurred()) return nullptr;
                if (eq == 0) {
                    index = i;
                    break;
                }
            }
        }
        if (index < 0) {
            if (!extra_kwargs) {
                raise_unexpected_keyword(f, keyword);
                return nullptr;
            }
            dict_set(extra_kwargs, keyword, value);
            continue;
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", message_name(f), keyword);
            return nullptr;
        }
        slots[index] = value;
    }

    if (nargs > f->nregular && !f->has_varargs) {
        raise_too_many(f, nargs);
        return nullptr;
    }
    if (nargs < f->nrequired) {
        std::vector<PyObject*> missing;
        for (Py_ssize_t i = nargs; i < f->nrequired; i++)
            if (!slots[i]) missing.push_back(PyTuple_GET_ITEM(f->names, i));
        if (!missing.empty()) {
            raise_missing(f, missing);
            return nullptr;
        }
    }
    for (Py_ssize_t i = f->nrequired; i < f->nregular; i++)
        if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
    Py_ssize_t next = f->nregular;
    if (f->has_varargs) slots[next++] = extra_args.ptr();
    if (f->has_varkw) slots[next++] = extra_kwargs.ptr();
    return invoke(f, slots);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!f->context.globals) {  // cleared by the garbage collector
        PyErr_Format(PyExc_SystemError, "%U() is no longer usable", f->qualname);
        return nullptr;
    }
    // The common case: every regular parameter given by position.
    if (!kwnames && nargs == f->nregular && !f->has_varargs && !f->has_varkw) return invoke(f, args);
    try {
        return bind_and_invoke(f, args, nargs, kwnames);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return bound_method(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->context.closure);
    Py_VISIT(f->context.globals);
    Py_VISIT(f->context.module);
    Py_VISIT(f->names);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kinds);
    return 0;
}

// Drops what may take part in a reference cycle.  The name, the qualified
// name and the parameter names stay, so that a cleared function still has a
// repr and refuses a call cleanly (see function_vectorcall).
int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    clear(f->dict);
    clear(f->module);
    clear(f->doc);
    clear(f->annotations);
    clear(f->signature);
    clear(f->context.closure);
    clear(f->context.globals);
    clear(f->context.module);
    f->context.state = nullptr;
    clear(f->defaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) clear_weakrefs(self);
    function_clear(self);
    clear(f->name);
    clear(f->qualname);
    clear(f->names);
    clear(f->kinds);
    PyObject_GC_Del(self);
}

// --- attributes ----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_INCREF(f->name);
    return f->name;
}

int set_name(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    replace(f->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_INCREF(f->qualname);
    return f->qualname;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    replace(f->qualname, value);
    return 0;
}

PyObject* get_or_none(PyObject* value) {
    if (!value) value = Py_None;
    Py_INCREF(value);
    return value;
}

void set_field(PyObject*& field, PyObject* value) {
    Py_XINCREF(value);
    replace(field, value);
}

PyObject* get_module(PyObject* self, void*) { return get_or_none(reinterpret_cast<FunctionObject*>(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    set_field(reinterpret_cast<FunctionObject*>(self)->module, value);
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return get_or_none(reinterpret_cast<FunctionObject*>(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    set_field(reinterpret_cast<FunctionObject*>(self)->doc, value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return get_or_none(reinterpret_cast<FunctionObject*>(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations) {
        try {
            f->annotations = new_dict().release();
        } catch (...) {
            translate_current_exception();
            return nullptr;
        }
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_field(f->annotations, value);
    clear(f->signature);  // rebuilt from the new annotations on request
    return 0;
}

// inspect.Signature of the declared parameters, with the annotations the
// function carries now; built once and kept.
PyObject* build_signature(FunctionObject* f) {
    try {
        Ref inspect = import("inspect");
        Ref parameter = core::getattr(inspect, "Parameter");
        Ref signature = core::getattr(inspect, "Signature");
        Ref empty = core::getattr(parameter, "empty");
        Ref kw_parameter = Ref::steal(keywords({"default", "annotation"}));
        Ref kw_signature = Ref::steal(keywords({"return_annotation"}));
        // A snapshot: looking up an annotation may run Python code (a dict subclass).
        Ref annotations = f->annotations ? dict_copy(f->annotations) : new_dict();
        Ref params = new_list();
        Py_ssize_t n = PyTuple_GET_SIZE(f->names);
        for (Py_ssize_t i = 0; i < n; i++) {
            Handle name = PyTuple_GET_ITEM(f->names, i);
            int overflow = 0;
            auto kind = static_cast<Kind>(to_long_long(PyTuple_GET_ITEM(f->kinds, i), &overflow));
            const char* kind_name = kind == Kind::VarArgs ? "VAR_POSITIONAL"
                                    : kind == Kind::VarKw ? "VAR_KEYWORD"
                                                          : "POSITIONAL_OR_KEYWORD";
            Ref default_value = empty;
            if (kind == Kind::Regular && i >= f->nrequired)
                default_value = Ref::borrow(PyTuple_GET_ITEM(f->defaults, i - f->nrequired));
            Ref found = dict_get(annotations, name);  // a plain dict with str keys
            list_append(params, call_kw(parameter, kw_parameter.ptr(), name, core::getattr(parameter, kind_name),
                                        default_value, found ? found : empty));
        }
        Ref returns = dict_get(annotations, name_object("return"));
        return call_kw(signature, kw_signature.ptr(), params, returns ? returns : empty).release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->signature) {
        // Building calls into Python, so another thread may store one first;
        // the first one stored is kept.
        PyObject* built = build_signature(f);
        if (!built) return nullptr;
        if (f->signature)
            release_reference(built);
        else
            f->signature = built;
    }
    Py_INCREF(f->signature);
    return f->signature;
}

int set_signature(PyObject* self, PyObject* value, void*) {
    set_field(reinterpret_cast<FunctionObject*>(self)->signature, value);
    return 0;
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like a Python function: its qualified name.
    return get_qualname(self, nullptr);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

std::string type_name_storage;

}  // namespace

std::vector<Param> params_of(const char* function, const char* const* names, size_t count,
                             const std::vector<Spec>& specs) {
    std::vector<Param> params;
    for (size_t i = 0; i < count; i++) params.push_back(Param{names[i], Ref(), Ref(), Kind::Regular});
    for (const Spec& spec : specs) {
        Param* param = nullptr;
        for (Param& p : params)
            if (p.name == spec.name) param = &p;
        if (!param) throw std::logic_error(std::string(function) + ": no parameter named " + spec.name);
        param->default_value = spec.default_value;
        param->annotation = spec.annotation;
        param->kind = spec.kind;
    }
    return params;
}

void ready_function_type(const char* type_name) {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    type_name_storage = type_name;
    FunctionType.tp_name = type_name_storage.c_str();
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | kVectorcallFlag;
    FunctionType.tp_doc = "A function implemented in C++ that binds its arguments like a Python function.";
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    if (PyType_Ready(&FunctionType) < 0) throw_python_error();
}

Ref make_function(const FunctionDef& def, Handle module, const std::string& qualname, Handle closure,
                  Handle module_name) {
    if (def.params.size() > kMaxParams) throw std::logic_error(def.name + ": too many parameters");
    Py_ssize_t nregular = 0, nrequired = 0;
    bool varargs = false, varkw = false;
    Ref defaults = new_list();
    Ref names = new_tuple(static_cast<Py_ssize_t>(def.params.size()));
    Ref kinds = new_tuple(static_cast<Py_ssize_t>(def.params.size()));
    Ref annotations = new_dict();
    for (size_t i = 0; i < def.params.size(); i++) {
        const Param& p = def.params[i];
        if (p.kind == Kind::Regular) {
            if (varargs || varkw) throw std::logic_error(def.name + ": regular parameter after *args/**kwargs");
            nregular++;
            if (p.default_value) {
                list_append(defaults, p.default_value);
            } else {
                if (PyList_GET_SIZE(defaults.ptr()))
                    throw std::logic_error(def.name + ": required parameter after a default");
                nrequired++;
            }
        } else if (p.kind == Kind::VarArgs) {
            if (varargs || varkw) throw std::logic_error(def.name + ": misplaced *args");
            varargs = true;
        } else {
            if (varkw) throw std::logic_error(def.name + ": misplaced **kwargs");
            varkw = true;
        }
        Ref param_name = name_object(p.name.c_str());
        if (p.annotation) dict_set(annotations, param_name, p.annotation);
        tuple_set(names, static_cast<Py_ssize_t>(i), param_name);
        tuple_set(kinds, static_cast<Py_ssize_t>(i), integer(static_cast<int>(p.kind)));
    }
    if (def.returns) dict_set(annotations, "return", def.returns);

    // Everything the object holds is made first: a failure leaves no
    // half-built function behind.
    if (!PyModule_Check(module.ptr()) || !state_of(module.ptr()))
        throw std::logic_error(def.name + ": not a module made by exec_module");
    Ref fname = text(def.name), fqualname = text(qualname);
    Ref shown_module = module_name ? Ref::borrow(module_name) : steal(PyModule_GetNameObject(module.ptr()));
    Ref doc = def.doc ? text(def.doc) : none();
    Ref body_closure = closure ? Ref::borrow(closure) : def.closure ? def.closure : none();
    Ref defaults_tuple = PyList_GET_SIZE(defaults.ptr()) ? snapshot(defaults) : Ref();
    Ref globals = Ref::borrow(PyModule_GetDict(module.ptr()));

    auto* f = gc_new<FunctionObject>(&FunctionType);
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->name = fname.release();
    f->qualname = fqualname.release();
    f->module = shown_module.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->signature = nullptr;
    f->context =
        Context{body_closure.release(), globals.release(), Ref::borrow(module).release(), state_of(module.ptr())};
    f->names = names.release();
    f->defaults = defaults_tuple.release();
    f->nregular = nregular;
    f->nrequired = nrequired;
    f->has_varargs = varargs;
    f->has_varkw = varkw;
    f->body = def.body;
    f->kinds = kinds.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void translate_current_exception() {
    if (thread_is_ending()) park_thread();
    try {
        throw;
    } catch (Error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace ondrel::core
