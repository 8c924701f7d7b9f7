#include "core/calls.hpp"

#include "platform/os.hpp"

#include <exception>

namespace ondrel::core {

void park_thread() { platform::sleep_forever(); }

// The C++ runtime cannot hand out a foreign exception: current_exception()
// is empty for one, and the forced unwinding of a thread is foreign.
bool thread_is_ending() noexcept { return !std::current_exception(); }

void release_reference(PyObject* object) noexcept {
    if (!object) return;
    try {
        Py_DECREF(object);
    } catch (...) {  // only the interpreter ending this thread gets here: it stays here
        if (thread_is_ending()) park_thread();
        std::terminate();
    }
}

// --- errors ------------------------------------------------------------------------

bool Error::matches(Handle type) const noexcept {
    return type_ && PyErr_GivenExceptionMatches(type_.ptr(), type.ptr());  // classes: no Python code
}

#if PY_VERSION_HEX >= 0x030C0000

void Error::restore() noexcept {
    type_ = Ref();
    traceback_ = Ref();
    PyErr_SetRaisedException(value_.release());
}

Error take_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a native call failed without saying why");
    Error error;
    error.value_ = Ref::steal(PyErr_GetRaisedException());  // normalised already
    error.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.value_.ptr())));
    error.traceback_ = Ref::steal(PyException_GetTraceback(error.value_.ptr()));
    return error;
}

#else

void Error::restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

Error take_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a native call failed without saying why");
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    guarded([&] {  // making the exception object runs its class's code
        PyErr_NormalizeException(&type, &value, &traceback);
        return 0;
    });
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Error error;
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    return error;
}

#endif

void throw_python_error() { throw take_error(); }

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

void check_signals() {
    if (guarded([] { return PyErr_CheckSignals(); }) < 0) throw_python_error();
}

void raise_object(PyObject* type, Handle value) {
    guarded([&] {
        PyErr_SetObject(type, value.ptr());
        return 0;
    });
    throw_python_error();
}

// --- values --------------------------------------------------------------------------

Ref none() { return Ref::borrow(Py_None); }
Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long long value) { return steal(PyLong_FromLongLong(value)); }
Ref unsigned_integer(unsigned long long value) { return steal(PyLong_FromUnsignedLongLong(value)); }
Ref bytes(const char* data, size_t size) {
    return steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
}
Ref text(std::string_view utf8) {
    return steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
Ref new_dict() {
    return steal(guarded([] { return PyDict_New(); }));
}
Ref new_list() {
    return steal(guarded([] { return PyList_New(0); }));
}
Ref new_tuple(Py_ssize_t size) {
    return steal(guarded([&] { return PyTuple_New(size); }));
}

Ref tuple_of(std::initializer_list<Handle> items) {
    Ref tuple = new_tuple(static_cast<Py_ssize_t>(items.size()));
    Py_ssize_t i = 0;
    for (Handle item : items) tuple_set(tuple, i++, Ref::borrow(item));
    return tuple;
}

PyObject* bound_method(PyObject* function, PyObject* self) noexcept {
    try {
        return PyMethod_New(function, self);
    } catch (...) {
        if (thread_is_ending()) park_thread();
        std::terminate();
    }
}

void clear_weakrefs(PyObject* object) noexcept {
    try {
        PyObject_ClearWeakRefs(object);
    } catch (...) {
        if (thread_is_ending()) park_thread();
        std::terminate();
    }
}

Ref new_module(std::string_view name) {
    Ref text = core::text(name);
    return steal(guarded([&] { return PyModule_NewObject(text.ptr()); }));
}

Ref memory_view(Handle obj) {
    return steal(guarded([&] { return PyMemoryView_FromObject(obj.ptr()); }));
}

long long to_long_long(Handle integer, int* overflow) {
    long long value = guarded([&] { return PyLong_AsLongLongAndOverflow(integer.ptr(), overflow); });
    if (value == -1 && !*overflow && PyErr_Occurred()) throw_python_error();
    return value;
}

void dict_set(Handle dict, Handle key, Handle value) {
    if (guarded([&] { return PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()); }) < 0) throw_python_error();
}

void dict_set(Handle dict, const char* key, Handle value) {
    if (guarded([&] { return PyDict_SetItemString(dict.ptr(), key, value.ptr()); }) < 0) throw_python_error();
}

Ref dict_get(Handle dict, Handle key) {
    PyObject* found = guarded([&] { return PyDict_GetItemWithError(dict.ptr(), key.ptr()); });
    if (!found && PyErr_Occurred()) throw_python_error();
    return Ref::borrow(found);
}

Ref dict_copy(Handle dict) {
    return steal(guarded([&] { return PyDict_Copy(dict.ptr()); }));
}

Ref dict_first_value(Handle dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    return PyDict_Next(dict.ptr(), &position, &key, &value) ? Ref::borrow(value) : Ref();  // no Python code
}

void list_append(Handle list, Handle value) {
    if (guarded([&] { return PyList_Append(list.ptr(), value.ptr()); }) < 0) throw_python_error();
}

// --- calls ---------------------------------------------------------------------------

namespace detail {

PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (!method) return nullptr;
    size_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* result = _PyObject_Vectorcall(method, args + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    release_reference(method);
    return result;
#endif
}

}  // namespace detail

Ref call_with(Handle callable, Handle args, Handle kwargs) {
    return steal(guarded([&] { return PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()); }));
}

Ref getattr(Handle obj, PyObject* name) {
    return steal(guarded([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

Ref getattr(Handle obj, const char* name) {
    return steal(guarded([&] { return PyObject_GetAttrString(obj.ptr(), name); }));
}

Ref getattr_optional(Handle obj, PyObject* name) {
    PyObject* value = guarded([&] { return PyObject_GetAttr(obj.ptr(), name); });
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return Ref();
}

void setattr(Handle obj, PyObject* name, Handle value) {
    if (guarded([&] { return PyObject_SetAttr(obj.ptr(), name, value.ptr()); }) < 0) throw_python_error();
}

void setattr(Handle obj, const char* name, Handle value) {
    if (guarded([&] { return PyObject_SetAttrString(obj.ptr(), name, value.ptr()); }) < 0) throw_python_error();
}

bool attribute_is_plain(Handle obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* on_type = _PyType_Lookup(type, name);  // the MRO's dictionaries
    return !on_type || !Py_TYPE(on_type)->tp_descr_get;
}

bool type_holds(PyTypeObject* type, PyObject* name, Handle expected) {
    return _PyType_Lookup(type, name) == expected.ptr();  // the MRO's dictionaries: no Python code
}

bool instance_has(Handle obj, PyObject* name) {
    Ref dict = steal(guarded([&] { return PyObject_GenericGetDict(obj.ptr(), nullptr); }));
    return contains(dict, name);
}

bool is_own_method(Handle obj, PyObject* name, Handle function) {
    Ref found = getattr_optional(obj, name);
    return found && PyMethod_Check(found.ptr()) && PyMethod_GET_FUNCTION(found.ptr()) == function.ptr() &&
           PyMethod_GET_SELF(found.ptr()) == obj.ptr();
}

Ref class_attribute(Handle cls, PyObject* name, PyObject* getattribute) {
    if (PyType_Check(cls.ptr())) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        PyTypeObject* meta = Py_TYPE(cls.ptr());
        PyObject* value = _PyType_Lookup(type, name);
        if (value && !Py_TYPE(value)->tp_descr_get && !_PyType_Lookup(meta, name) &&
            (meta->tp_getattro == PyType_Type.tp_getattro ||
             _PyType_Lookup(meta, getattribute) == _PyType_Lookup(&PyType_Type, getattribute)))
            return Ref::borrow(value);
    }
    return core::getattr(cls, name);
}

Ref module_global(Handle module_dict, PyObject* name) {
    // A dict of str keys: the lookup runs no Python code.
    PyObject* value = PyDict_GetItemWithError(module_dict.ptr(), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return Ref::borrow(value);
}

// --- values --------------------------------------------------------------------------

bool truth(Handle obj) {
    int r = guarded([&] { return PyObject_IsTrue(obj.ptr()); });
    if (r < 0) throw_python_error();
    return r != 0;
}

Ref str(Handle obj) {
    return steal(guarded([&] { return PyObject_Str(obj.ptr()); }));
}

Ref repr(Handle obj) {
    return steal(guarded([&] { return PyObject_Repr(obj.ptr()); }));
}

std::string utf8(Handle obj) {
    Ref s = str(obj);
    Ref encoded = steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

bool compare(Handle a, Handle b, int op) {
    int r = guarded([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); });
    if (r < 0) throw_python_error();
    return r == 1;
}

Ref rich_compare(Handle a, Handle b, int op) {
    return steal(guarded([&] { return PyObject_RichCompare(a.ptr(), b.ptr(), op); }));
}

bool equals(Handle value, long number) { return compare(value, integer(number), Py_EQ); }

Ref to_int(Handle value) {
    return steal(guarded([&] { return PyNumber_Long(value.ptr()); }));
}

double to_double(Handle value) {
    double result = guarded([&] { return PyFloat_AsDouble(value.ptr()); });
    if (result == -1.0 && PyErr_Occurred()) throw_python_error();
    return result;
}

Ref index(Handle value) {
    return steal(guarded([&] { return PyNumber_Index(value.ptr()); }));
}

size_t length(Handle value) {
    Py_ssize_t n = guarded([&] { return PyObject_Length(value.ptr()); });
    if (n < 0) throw_python_error();
    return static_cast<size_t>(n);
}

Ref add(Handle a, Handle b) {
    return steal(guarded([&] { return PyNumber_Add(a.ptr(), b.ptr()); }));
}

bool contains(Handle container, Handle item) {
    int r = guarded([&] { return PySequence_Contains(container.ptr(), item.ptr()); });
    if (r < 0) throw_python_error();
    return r == 1;
}

void sort(Handle list) {
    if (guarded([&] { return PyList_Sort(list.ptr()); }) < 0) throw_python_error();
}

Ref snapshot(Handle iterable) {
    return steal(guarded([&] { return PySequence_Tuple(iterable.ptr()); }));
}

Ref get_item(Handle obj, Handle key) {
    return steal(guarded([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); }));
}

void set_item(Handle obj, Handle key, Handle value) {
    if (guarded([&] { return PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()); }) < 0) throw_python_error();
}

Ref slice(Handle obj, Py_ssize_t start, Py_ssize_t stop) {
    return steal(guarded([&] { return PySequence_GetSlice(obj.ptr(), start, stop); }));
}

std::string decimal(Handle integer) {
    Ref text = steal(PyLong_Type.tp_repr(integer.ptr()));  // int's own repr runs no Python code
    return utf8(text);
}

Ref decode(Handle data, const char* encoding, const char* errors) {
    if (PyBytes_CheckExact(data.ptr()))
        return steal(PyUnicode_Decode(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()), encoding, errors));
    return steal(guarded([&] { return PyObject_CallMethod(data.ptr(), "decode", "ss", encoding, errors); }));
}

Ref join_bytes(Handle list) {
    Ref empty = bytes("", 0);
    return steal(guarded([&] { return PyObject_CallMethod(empty.ptr(), "join", "O", list.ptr()); }));
}

Buffer::Buffer(Handle obj) {
    if (guarded([&] { return PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE); }) < 0) throw_python_error();
}

Buffer::~Buffer() {
    try {
        PyBuffer_Release(&view_);  // the exporter's release may run Python code
    } catch (...) {
        park_thread();
    }
}

HandledException::HandledException(Handle value) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyObject* tb = PyException_GetTraceback(value.ptr());
    Py_INCREF(Py_TYPE(value.ptr()));
    Py_INCREF(value.ptr());
    PyErr_SetExcInfo(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr(), tb);
}

HandledException::~HandledException() {
    try {
        PyErr_SetExcInfo(type_, value_, traceback_);  // releases the one handled meanwhile
    } catch (...) {
        park_thread();
    }
}

Ref import(const char* module) {
    return steal(guarded([&] { return PyImport_ImportModule(module); }));
}

void raise_argument_type(const char* param, const char* expected, Handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", param, expected,
                 Py_TYPE(got.ptr())->tp_name);
    throw_python_error();
}

Handle require_text(Handle value, const char* param, bool allow_none) {
    if (PyUnicode_Check(value.ptr()) || (allow_none && value.is_none())) return value;
    raise_argument_type(param, "str", value);
}

Ref require_integer(Handle value, const char* param) {
    if (PyLong_Check(value.ptr())) return Ref::borrow(value);
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr()) &&
        PyNumber_Check(value.ptr())) {
        PyObject* converted = guarded([&] { return PyNumber_Long(value.ptr()); });
        if (converted) return Ref::steal(converted);
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
        PyErr_Clear();  // a number without an integer form (complex): refused below
    }
    raise_argument_type(param, "int", value);
}

}  // namespace ondrel::core
