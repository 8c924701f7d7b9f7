// The one way into Python.
//
// Everything the native code does that can run Python code (a call, an
// attribute access, str(), a comparison, an integer conversion, an import,
// a container's item, and the release of a reference, which may run a
// __del__ or a weakref callback) goes through a function of this header.
// Each is wrapped by `guarded`, so what must hold around Python code holds
// everywhere:
//
// - Python code may let go of the interpreter lock, and a daemon thread that
//   wants it back after the interpreter began to exit is ended there by a
//   forced unwinding (pthread_exit).  Unwinding our frames would release
//   Python objects without the lock while the interpreter is torn down, and
//   reaching a destructor (implicitly noexcept) would abort the process, so
//   such a thread is parked where it is, holding nothing, until the process
//   ends (Python 3.14 parks such threads itself).
// - Errors come back as core::Error.
//
// The object types the rest of the native code holds, Handle (borrowed) and
// Ref (owned), offer nothing that runs Python code: no comparison but
// identity, no item, no attribute, no call, no conversion to text, and Ref's
// release goes through the guarded way.  The compiler enforces the rule for
// them; tests/test_native_rules.py checks that no other file reaches the C
// API's own ways in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace ondrel::core {

// Parks the calling thread for good (the interpreter is ending it).
[[noreturn]] void park_thread();

// In a catch (...) handler: whether the exception being handled is not a C++
// exception, that is the forced unwinding with which the interpreter ends a
// thread.  (Catching it by type binds a reference to no object.)
bool thread_is_ending() noexcept;

// Runs `call`, a call into Python.
template <class Call>
auto guarded(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (...) {
        if (thread_is_ending()) park_thread();
        throw;
    }
}

// Releases a reference (Py_XDECREF) the guarded way: whatever the release
// runs (a __del__ that lets go of the interpreter lock) cannot unwind, or
// abort, the native code that released it.
void release_reference(PyObject* object) noexcept;

// Empties a field holding a reference (Py_CLEAR), the guarded way.
inline void clear(PyObject*& field) noexcept { release_reference(std::exchange(field, nullptr)); }

// Puts a new reference in a field, releasing the old one (Py_XSETREF), the guarded way.
inline void replace(PyObject*& field, PyObject* new_reference) noexcept {
    release_reference(std::exchange(field, new_reference));
}

// --- the object types ------------------------------------------------------------

// A borrowed reference.  It is told apart from another only by identity.
class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* object) noexcept : p_(object) {}  // NOLINT: a PyObject* is a handle
    PyObject* ptr() const noexcept { return p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    bool is(Handle other) const noexcept { return p_ == other.p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// An owned reference, released through release_reference when it goes.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (nullptr: an empty Ref).
    static Ref steal(PyObject* object) noexcept {
        Ref r;
        r.p_ = object;
        return r;
    }
    // A new reference to a borrowed object.
    static Ref borrow(Handle object) noexcept {
        Py_XINCREF(object.ptr());
        return steal(object.ptr());
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {  // the old value goes with `other`
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { release_reference(p_); }

    PyObject* ptr() const noexcept { return p_; }
    operator Handle() const noexcept { return Handle(p_); }  // NOLINT: borrowing is what a Ref is for
    Handle handle() const noexcept { return Handle(p_); }
    bool is_none() const noexcept { return p_ == Py_None; }
    bool is(Handle other) const noexcept { return p_ == other.ptr(); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up the reference (the caller owns it now).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// A Python exception in flight, taken off the thread (normalised).
class Error : public std::exception {
public:
    // Whether the exception is an instance of `type` (runs no Python code).
    bool matches(Handle type) const noexcept;
    // The exception object.
    Handle value() const noexcept { return value_; }
    // Hands the exception back to the thread, as the error being raised.
    void restore() noexcept;
    const char* what() const noexcept override { return "a Python exception"; }

private:
    friend Error take_error();
    Ref type_, value_, traceback_;
};

// The Python error set on this thread, taken off it.
Error take_error();

[[noreturn]] void throw_python_error();

// A new reference, or the Python error raised.
inline Ref steal(PyObject* result) {
    if (!result) throw_python_error();
    return Ref::steal(result);
}

// Raises `type` with `message` (UTF-8).
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises the exception object `value` of class `type`.
[[noreturn]] void raise_object(PyObject* type, Handle value);

// Runs the signal handlers due (the main thread's Ctrl-C handler among
// them); the exception one raised, if any, is thrown.
void check_signals();

// The interpreter lock is let go while `work` (no Python in it) runs.
template <class Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    work();
    guarded([&] {
        PyEval_RestoreThread(state);
        return 0;
    });
}

// --- values ---------------------------------------------------------------------
// Made without running Python code of their own; an object the garbage
// collector tracks (a tuple, a list, a dict) may start a collection, which
// runs finalizers, so those are guarded too.

Ref none();
Ref boolean(bool value);
Ref integer(long long value);
Ref unsigned_integer(unsigned long long value);
Ref bytes(const char* data, size_t size);
inline Ref bytes(std::string_view data) { return bytes(data.data(), data.size()); }
// A str of UTF-8 text (invalid bytes are an error).
Ref text(std::string_view utf8);
Ref new_dict();
Ref new_list();
// A tuple of the given objects.
Ref tuple_of(std::initializer_list<Handle> items);
// A tuple of `size` items, each put in once with tuple_set.
Ref new_tuple(Py_ssize_t size);
inline void tuple_set(Handle tuple, Py_ssize_t i, Ref item) { PyTuple_SET_ITEM(tuple.ptr(), i, item.release()); }
// A new object of a type the garbage collector tracks (not yet tracked).
template <class T>
T* gc_new(PyTypeObject* type) {
    T* object = guarded([&] { return PyObject_GC_New(T, type); });
    if (!object) throw_python_error();
    return object;
}
// A bound method (a function's __get__), or nullptr with the error set.
PyObject* bound_method(PyObject* function, PyObject* self) noexcept;
// Calls the weak references' callbacks of an object being freed.
void clear_weakrefs(PyObject* object) noexcept;
// memoryview(obj)
Ref memory_view(Handle obj);
// A new, empty module named `name`.
Ref new_module(std::string_view name);
// The value of an int (not a subclass's __index__), with *overflow set
// (to 1 or -1) when it does not fit.
long long to_long_long(Handle integer, int* overflow);
// The items of a tuple (borrowed from it).
inline Py_ssize_t tuple_size(Handle tuple) { return PyTuple_GET_SIZE(tuple.ptr()); }
inline Handle tuple_item(Handle tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple.ptr(), i); }

// --- containers (their items may run Python code when replaced or looked up) ---

// dict[key] = value, for a dict.
void dict_set(Handle dict, Handle key, Handle value);
void dict_set(Handle dict, const char* key, Handle value);
// dict.get(key) for a dict with str keys, or an empty Ref.
Ref dict_get(Handle dict, Handle key);
// A plain dict holding a dict's items.
Ref dict_copy(Handle dict);
// The first value of a dict in its order, or an empty Ref when it is empty.
Ref dict_first_value(Handle dict);
// list.append(value), for a list.
void list_append(Handle list, Handle value);

// --- calls ---------------------------------------------------------------------

namespace detail {
inline PyObject* ptr(Handle h) { return h.ptr(); }
inline PyObject* ptr(const Ref& r) { return r.ptr(); }
inline PyObject* ptr(PyObject* p) { return p; }
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
// args[0] is the object; args[-1] may be written (PY_VECTORCALL_ARGUMENTS_OFFSET).
PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames);
}  // namespace detail

// callable(*args), the last len(kwnames) of them by keyword (kwnames: a tuple
// of interned names, or nullptr).
template <class... A>
Ref call_kw(Handle callable, PyObject* kwnames, const A&... args) {
    PyObject* stack[] = {nullptr, detail::ptr(args)..., nullptr};
    size_t npos = sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return steal(guarded(
        [&] { return detail::vectorcall(callable.ptr(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames); }));
}

template <class... A>
Ref call(Handle callable, const A&... args) {
    return call_kw(callable, nullptr, args...);
}

// obj.<name>(*args), found by normal attribute lookup (overrides and
// monkeypatching take effect); the last len(kwnames) arguments by keyword.
template <class... A>
Ref call_method_kw(Handle obj, PyObject* name, PyObject* kwnames, const A&... args) {
    PyObject* stack[] = {nullptr, obj.ptr(), detail::ptr(args)...};
    size_t npos = 1 + sizeof...(A) - static_cast<size_t>(kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return steal(guarded(
        [&] { return detail::vectorcall_method(name, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames); }));
}

template <class... A>
Ref call_method(Handle obj, PyObject* name, const A&... args) {
    return call_method_kw(obj, name, nullptr, args...);
}

// callable(*args, **kwargs) with a tuple and a dict (or an empty handle).
Ref call_with(Handle callable, Handle args, Handle kwargs);

// --- attributes ----------------------------------------------------------------

Ref getattr(Handle obj, PyObject* name);
Ref getattr(Handle obj, const char* name);
// The attribute, or an empty Ref when the lookup raises AttributeError.
Ref getattr_optional(Handle obj, PyObject* name);
void setattr(Handle obj, PyObject* name, Handle value);
void setattr(Handle obj, const char* name, Handle value);

// getattr(cls, name), read from the interpreter's method cache where that
// gives the same answer: `cls` is a class whose MRO holds a plain value (no
// descriptor) under `name`, and its metaclass neither has that name nor
// looks attributes up differently from `type` (a metaclass that only adds
// __getattr__, as enumerations do before 3.12, qualifies: __getattr__ is
// consulted only for missing names).  Anything else goes through getattr.
// `getattribute` is the interned name "__getattribute__".
Ref class_attribute(Handle cls, PyObject* name, PyObject* getattribute);

// Whether getattr(obj, name) runs no Python code: the type looks attributes
// up the generic way and holds nothing under `name` that computes it (a
// descriptor).  Only looks: the instance's dictionary is left as it is (on
// 3.11 and later, asking for it would give up the faster attribute storage).
bool attribute_is_plain(Handle obj, PyObject* name);

// Whether `type` (the type of an object, or a class) holds under `name`,
// in its MRO's dictionaries, the very object `expected` (no Python code).
bool type_holds(PyTypeObject* type, PyObject* name, Handle expected);

// Whether an object's own __dict__ has `name` (no Python code for a plain
// dict with str keys).
bool instance_has(Handle obj, PyObject* name);

// Whether obj.<name> is `function` bound to obj, as attribute lookup finds
// it now (nothing on the instance or in its class's MRO replaces it).
bool is_own_method(Handle obj, PyObject* name, Handle function);

// A module-level name, looked up when it is used (as a Python function
// would), so a rebinding of the module attribute takes effect.
Ref module_global(Handle module_dict, PyObject* name);

// --- values --------------------------------------------------------------------

bool truth(Handle obj);
Ref str(Handle obj);
Ref repr(Handle obj);
// str(obj) as UTF-8 (lone surrogates escaped).
std::string utf8(Handle obj);
// a <op> b (Py_LT, Py_EQ, ...) by the values' own comparison, as a truth value.
bool compare(Handle a, Handle b, int op);
// a <op> b, the comparison's own result (which need not be a bool).
Ref rich_compare(Handle a, Handle b, int op);
// value == number
bool equals(Handle value, long number);
// int(value)
Ref to_int(Handle value);
// float(value) as a double (a TypeError for a value without a float form)
double to_double(Handle value);
// operator.index(value)
Ref index(Handle value);
// len(value)
size_t length(Handle value);
// a + b
Ref add(Handle a, Handle b);
// item in container
bool contains(Handle container, Handle item);
// list.sort() in place
void sort(Handle list);
// tuple(iterable): a snapshot that Python code run per element cannot change.
Ref snapshot(Handle iterable);
// obj[key]
Ref get_item(Handle obj, Handle key);
// obj[key] = value
void set_item(Handle obj, Handle key, Handle value);
// obj[start:stop]
Ref slice(Handle obj, Py_ssize_t start, Py_ssize_t stop);
// The decimal text of an int (of any int subclass), without calling its __repr__.
std::string decimal(Handle integer);
// bytes.decode(encoding, errors) of a bytes object (or anything with decode()).
Ref decode(Handle data, const char* encoding, const char* errors);
// "".join / b"".join of a list of bytes.
Ref join_bytes(Handle list);

// A read-only view of a bytes-like object's memory, released when it goes.
// No Python code runs while it is held.
class Buffer {
public:
    explicit Buffer(Handle obj);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const char* data() const { return static_cast<const char*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    Py_buffer view_;
};

// Makes `value` the exception being handled (as inside an `except:` block),
// restoring the one before when it goes.
class HandledException {
public:
    explicit HandledException(Handle value);
    ~HandledException();
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// --- imports -------------------------------------------------------------------

Ref import(const char* module);

// --- arguments -----------------------------------------------------------------

// "Argument 'x' has incorrect type (expected str, got int)"
[[noreturn]] void raise_argument_type(const char* param, const char* expected, Handle got);

// A text argument (str or subclass), else the TypeError above.
Handle require_text(Handle value, const char* param, bool allow_none = false);

// An integer argument: an int is taken as it is, another number goes
// through int(); anything else is refused naming the parameter.
Ref require_integer(Handle value, const char* param);

}  // namespace ondrel::core
