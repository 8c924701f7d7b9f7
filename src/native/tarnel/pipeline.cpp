#include "tarnel/pipeline.hpp"

#include "tarnel/pure.hpp"

#include <cstring>

namespace ondrel::tarnel {

namespace {

// The receive size of a raw exchange (_RECV_SIZE): a page reply is 22 bytes.
constexpr int kReplySize = 1024;

}  // namespace

Pipeline::Pipeline(const Ctx& c, py::handle tool, size_t window)
    : c_(c), conn_(core::getattr(tool, c.n._conn)), window_(window ? window : 1) {}

void Pipeline::send(const py::object& frame, uint64_t tag) {
    Clock::time_point begin = Clock::now();
    try {
        core::call_method(conn_, c_.n.sendRawBytes, frame);
    } catch (...) {
        broken_ = true;  // part of the command may be on its way
        throw;
    }
    queue_.push_back(Sent{tag, begin});
}

Pipeline::Reply Pipeline::receive() {
    Sent sent = queue_.front();
    py::object data;
    try {
        data = core::call_method(conn_, c_.n.recvRawBytes, py::int_(kReplySize));
    } catch (...) {
        broken_ = true;  // what became of that reply is unknown
        throw;
    }
    queue_.pop_front();
    return Reply{std::move(data), sent.tag, sent.begin, Clock::now()};
}

void Pipeline::settle() {
    try {
        while (!broken_ && !queue_.empty()) receive();
    } catch (core::ThreadExit&) {
        throw;
    } catch (...) {
        PyErr_Clear();
    }
    if (broken_ || !queue_.empty()) {
        queue_.clear();
        PyObject* close = core::guarded([&] { return PyObject_GetAttr(conn_.ptr(), c_.n.closeConnection); });
        PyObject* closed = close ? core::guarded([&] { return PyObject_CallObject(close, nullptr); }) : nullptr;
        if (!closed) PyErr_Clear();
        Py_XDECREF(closed);
        Py_XDECREF(close);
    }
}

void require_own_exchange(const Ctx& c, py::handle tool) {
    py::object instance_dict = core::steal_or_throw(PyObject_GenericGetDict(tool.ptr(), nullptr));
    for (const auto& [name, own] : c.state.own_exchange) {
        PyObject* found = _PyType_Lookup(Py_TYPE(tool.ptr()), name);
        int shadowed = PyDict_Contains(instance_dict.ptr(), name);
        if (shadowed < 0) core::throw_python_error();
        if (found != own.ptr() || shadowed) {
            PyErr_Format(PyExc_TypeError,
                         "a windowed transfer sends its commands itself, past %s.%U, which this tool replaces; "
                         "use a window of 1 to go through it",
                         Py_TYPE(tool.ptr())->tp_name, name);
            core::throw_python_error();
        }
    }
}

py::object program_frame(const char* data, size_t size) {
    char header[40];
    size_t header_size = write_block_header(header, size);
    py::object frame = core::steal_or_throw(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(header_size + size + 2)));
    char* p = PyBytes_AS_STRING(frame.ptr());
    std::memcpy(p, header, header_size);
    std::memcpy(p + header_size, data, size);
    std::memcpy(p + header_size + size, "\r\n", 2);
    return frame;
}

}  // namespace ondrel::tarnel
