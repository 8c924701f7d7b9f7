// Logging, text and standard-output helpers of ondrel.Tarnel.
#include "tarnel/tarnel.hpp"

namespace ondrel::tarnel {

namespace {

PyObject* level_method(Level level) {
    const Names& n = names();
    switch (level) {
        case DEBUG: return n.debug;
        case INFO: return n.info;
        case WARNING: return n.warning;
        default: return n.error;
    }
}

}  // namespace

bool log_enabled(Level level) {
    py::object logger = global(names().logger);
    return core::truth(core::call_method(logger, names().isEnabledFor, py::int_(static_cast<int>(level))));
}

void log(Level level, py::handle message) {
    py::object logger = global(names().logger);
    core::call_method(logger, level_method(level), message);
}

void log(Level level, const std::string& message) { log(level, text(message)); }

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

void write_stdout(const std::string& data, bool flush_after) {
    py::object sys = global(names().sys);
    py::object out = core::getattr(sys, names().stdout_);
    if (out.is_none()) return;  // no console (as print() does)
    if (!data.empty()) {
        py::object chunk = core::steal_or_throw(
            PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
        core::call_method(out, names().write, chunk);
    }
    if (flush_after) core::call_method(out, names().flush);
}

}  // namespace ondrel::tarnel
