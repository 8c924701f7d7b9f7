// Logging, text and standard-output helpers of ondrel.Tarnel.
#include "tarnel/tarnel.hpp"

#include <pythread.h>

#include <cstring>

namespace ondrel::tarnel {

namespace {

PyObject* level_method(const Names& n, Level level) {
    switch (level) {
        case DEBUG: return n.debug;
        case INFO: return n.info;
        case WARNING: return n.warning;
        default: return n.error;
    }
}

}  // namespace

bool Ctx::log_enabled(Level level) const {
    py::object logger = global(n.logger);
    return core::truth(core::call_method(logger, n.isEnabledFor, py::int_(static_cast<int>(level))));
}

void Ctx::log(Level level, py::handle message) const {
    py::object logger = global(n.logger);
    core::call_method(logger, level_method(n, level), message);
}

void Ctx::log(Level level, const std::string& message) const { log(level, text(message)); }

VerifiedImage* Ctx::update_in_progress(py::handle tool, py::handle path) const {
    unsigned long thread = PyThread_get_thread_ident();
    for (auto it = state.updates.rbegin(); it != state.updates.rend(); ++it) {
        VerifiedImage* update = *it;
        if (update->tool != tool.ptr() || update->thread != thread) continue;
        int same = PyObject_RichCompareBool(update->path, path.ptr(), Py_EQ);
        if (same < 0) core::throw_python_error();
        return same ? update : nullptr;
    }
    return nullptr;
}

py::object bytes_of(const char* data, size_t size) {
    return core::steal_or_throw(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
}

py::object view_of(const py::object& bytes, size_t begin, size_t end) {
    py::object whole = core::steal_or_throw(PyMemoryView_FromObject(bytes.ptr()));
    return core::steal_or_throw(
        PySequence_GetSlice(whole.ptr(), static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)));
}

py::object raw_payload(py::handle reply) {
    if (!PyBytes_Check(reply.ptr())) return reply[py::slice(4, -2, 1)];
    Py_ssize_t size = PyBytes_GET_SIZE(reply.ptr());
    return size > 6 ? bytes_of(PyBytes_AS_STRING(reply.ptr()) + 4, static_cast<size_t>(size - 6)) : bytes_of("", 0);
}

namespace {

// Whitespace as str.strip() knows it, for ASCII text.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

}  // namespace

bool acknowledged(py::handle reply) {
    PyObject* r = reply.ptr();
    if (PyUnicode_CheckExact(r) && PyUnicode_IS_ASCII(r)) {
        const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(r));
        Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(r);
        while (b < e && is_ascii_space(s[b])) b++;
        while (e > b && is_ascii_space(s[e - 1])) e--;
        return e - b == 1 && s[b] == '0';
    }
    py::object stripped = core::steal_or_throw(core::guarded([&] { return PyObject_CallMethod(reply.ptr(), "strip", nullptr); }));
    int eq = PyObject_RichCompareBool(stripped.ptr(), py::str("0").ptr(), Py_EQ);
    if (eq < 0) core::throw_python_error();
    return eq == 1;
}

std::string str_of(py::handle obj) {
    py::str s = py::str(obj);
    PyObject* utf8 = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace");
    if (!utf8) core::throw_python_error();
    std::string out(PyBytes_AS_STRING(utf8), static_cast<size_t>(PyBytes_GET_SIZE(utf8)));
    Py_DECREF(utf8);
    return out;
}

std::string fs_path(py::handle path) {
    PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
    if (!encoded) core::throw_python_error();
    std::string out(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return out;
}

void Ctx::write_stdout(const std::string& ascii, bool flush_after) const {
    py::object sys = global(n.sys);
    py::object out = core::getattr(sys, n.stdout_);
    if (out.is_none()) return;  // no console (as print() does)
    if (!ascii.empty()) {
        py::object chunk = core::steal_or_throw(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
        std::memcpy(PyUnicode_DATA(chunk.ptr()), ascii.data(), ascii.size());
        core::call_method(out, n.write, chunk);
    }
    if (flush_after) core::call_method(out, n.flush);
}

}  // namespace ondrel::tarnel
