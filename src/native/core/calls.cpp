#include "core/calls.hpp"

#include "platform/os.hpp"

#include <exception>

namespace ondrel::core {

void park_thread() { platform::sleep_forever(); }

// The C++ runtime cannot hand out a foreign exception: current_exception()
// is empty for one, and the forced unwinding of a thread is foreign.
bool thread_is_ending() noexcept { return !std::current_exception(); }

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

py::str text(const std::string& utf8) {
    return py::reinterpret_steal<py::str>(
        steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()))).release());
}

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
    Py_DECREF(method);
    return result;
#endif
}

}  // namespace detail

py::object call_with(py::handle callable, py::handle args, py::handle kwargs) {
    return steal(guarded([&] { return PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()); }));
}

py::object getattr(py::handle obj, PyObject* name) {
    return steal(guarded([&] { return PyObject_GetAttr(obj.ptr(), name); }));
}

py::object getattr(py::handle obj, const char* name) {
    return steal(guarded([&] { return PyObject_GetAttrString(obj.ptr(), name); }));
}

py::object getattr_optional(py::handle obj, PyObject* name) {
    PyObject* value = guarded([&] { return PyObject_GetAttr(obj.ptr(), name); });
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return py::object();
}

void setattr(py::handle obj, PyObject* name, py::handle value) {
    if (guarded([&] { return PyObject_SetAttr(obj.ptr(), name, value.ptr()); }) < 0) throw_python_error();
}

void setattr(py::handle obj, const char* name, py::handle value) {
    if (guarded([&] { return PyObject_SetAttrString(obj.ptr(), name, value.ptr()); }) < 0) throw_python_error();
}

bool attribute_is_plain(py::handle obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* on_type = _PyType_Lookup(type, name);  // the MRO's dictionaries
    return !on_type || !Py_TYPE(on_type)->tp_descr_get;
}

py::object class_attribute(py::handle cls, PyObject* name, PyObject* getattribute) {
    if (PyType_Check(cls.ptr())) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        PyTypeObject* meta = Py_TYPE(cls.ptr());
        PyObject* value = _PyType_Lookup(type, name);
        if (value && !Py_TYPE(value)->tp_descr_get && !_PyType_Lookup(meta, name) &&
            (meta->tp_getattro == PyType_Type.tp_getattro ||
             _PyType_Lookup(meta, getattribute) == _PyType_Lookup(&PyType_Type, getattribute)))
            return py::reinterpret_borrow<py::object>(value);
    }
    return core::getattr(cls, name);
}

py::object module_global(py::handle module_dict, PyObject* name) {
    // A dict of str keys: the lookup runs no Python code.
    PyObject* value = PyDict_GetItemWithError(module_dict.ptr(), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_python_error();
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool truth(py::handle obj) {
    int r = guarded([&] { return PyObject_IsTrue(obj.ptr()); });
    if (r < 0) throw_python_error();
    return r != 0;
}

py::object str(py::handle obj) {
    return steal(guarded([&] { return PyObject_Str(obj.ptr()); }));
}

py::object repr(py::handle obj) {
    return steal(guarded([&] { return PyObject_Repr(obj.ptr()); }));
}

std::string utf8(py::handle obj) {
    py::object s = str(obj);
    py::object encoded = steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

bool compare(py::handle a, py::handle b, int op) {
    int r = guarded([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); });
    if (r < 0) throw_python_error();
    return r == 1;
}

py::object rich_compare(py::handle a, py::handle b, int op) {
    return steal(guarded([&] { return PyObject_RichCompare(a.ptr(), b.ptr(), op); }));
}

bool equals(py::handle value, long number) { return compare(value, py::int_(number), Py_EQ); }

py::object to_int(py::handle value) {
    return steal(guarded([&] { return PyNumber_Long(value.ptr()); }));
}

double to_double(py::handle value) {
    double result = guarded([&] { return PyFloat_AsDouble(value.ptr()); });
    if (result == -1.0 && PyErr_Occurred()) throw_python_error();
    return result;
}

py::object index(py::handle value) {
    return steal(guarded([&] { return PyNumber_Index(value.ptr()); }));
}

size_t length(py::handle value) {
    Py_ssize_t n = guarded([&] { return PyObject_Length(value.ptr()); });
    if (n < 0) throw_python_error();
    return static_cast<size_t>(n);
}

py::object add(py::handle a, py::handle b) {
    return steal(guarded([&] { return PyNumber_Add(a.ptr(), b.ptr()); }));
}

bool contains(py::handle container, py::handle item) {
    int r = guarded([&] { return PySequence_Contains(container.ptr(), item.ptr()); });
    if (r < 0) throw_python_error();
    return r == 1;
}

void sort(py::handle list) {
    if (guarded([&] { return PyList_Sort(list.ptr()); }) < 0) throw_python_error();
}

py::tuple snapshot(py::handle iterable) {
    return py::reinterpret_steal<py::tuple>(steal(guarded([&] { return PySequence_Tuple(iterable.ptr()); })).release());
}

py::object get_item(py::handle obj, py::handle key) {
    return steal(guarded([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); }));
}

void set_item(py::handle obj, py::handle key, py::handle value) {
    if (guarded([&] { return PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()); }) < 0) throw_python_error();
}

py::object slice(py::handle obj, Py_ssize_t start, Py_ssize_t stop) {
    return steal(guarded([&] { return PySequence_GetSlice(obj.ptr(), start, stop); }));
}

std::string decimal(py::handle integer) {
    py::object text = steal(PyLong_Type.tp_repr(integer.ptr()));  // int's own repr runs no Python code
    return utf8(text);
}

Buffer::Buffer(py::handle obj) {
    if (guarded([&] { return PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE); }) < 0) throw_python_error();
}

Buffer::~Buffer() { PyBuffer_Release(&view_); }

py::object import(const char* module) {
    return steal(guarded([&] { return PyImport_ImportModule(module); }));
}

void raise_argument_type(const char* param, const char* expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", param, expected,
                 Py_TYPE(got.ptr())->tp_name);
    throw_python_error();
}

py::handle require_text(py::handle value, const char* param, bool allow_none) {
    if (PyUnicode_Check(value.ptr()) || (allow_none && value.is_none())) return value;
    raise_argument_type(param, "str", value);
}

py::object require_integer(py::handle value, const char* param) {
    if (PyLong_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr()) &&
        PyNumber_Check(value.ptr())) {
        PyObject* converted = guarded([&] { return PyNumber_Long(value.ptr()); });
        if (converted) return py::reinterpret_steal<py::object>(converted);
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
        PyErr_Clear();  // a number without an integer form (complex): refused below
    }
    raise_argument_type(param, "int", value);
}

}  // namespace ondrel::core
