// FpgaTool: construction, the command exchange, and one operation per
// device command.
#include "core/imports.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <cstring>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::getattr;
using core::setattr;
using core::steal_or_throw;
using core::truth;

// prefix + tail as one new byte string.
py::object concat_bytes(const char* prefix, size_t prefix_size, const char* tail, size_t tail_size) {
    py::object out = steal_or_throw(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(prefix_size + tail_size)));
    char* p = PyBytes_AS_STRING(out.ptr());
    std::memcpy(p, prefix, prefix_size);
    std::memcpy(p + prefix_size, tail, tail_size);
    return out;
}

// The argument of a command: bytes as they are, anything else as the UTF-8
// encoding of its text form.
py::object command_argument(py::handle value) {
    if (PyBytes_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    py::object s = steal_or_throw(PyObject_Str(value.ptr()));
    return steal_or_throw(PyUnicode_AsUTF8String(s.ptr()));
}

}  // namespace

py::object op_init(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0], connection = a[1], address = a[2];
    core::require_text(address, "address", /*allow_none=*/true);
    py::object port = core::require_integer(a[3], "port");

    if (!connection.is_none()) {
        setattr(self, n._conn, connection);
        setattr(self, n._owns_conn, py::bool_(false));
    } else {
        if (address.is_none()) core::raise(PyExc_ValueError, "Either connection or address must be provided");
        py::object tcp_conn = core::import_from(c.state.package + ".QarCommService", "_TCPConn");
        py::object conn = core::call<2>(tcp_conn, {address.ptr(), port.ptr()});
        setattr(self, n._conn, conn);
        if (!truth(call_method(conn, n.initConnection))) {
            py::object port_number = steal_or_throw(PyNumber_Long(port.ptr()));
            PyErr_Format(PyExc_ConnectionError, "Cannot connect to %U:%S", address.ptr(), port_number.ptr());
            core::throw_python_error();
        }
        setattr(self, n._owns_conn, py::bool_(true));
    }
    setattr(self, n.progress_callback, py::none());
    return py::none();
}

py::object op_set_progress_callback(const Args& a) {
    setattr(a[0], Ctx(a).n.progress_callback, a[1]);
    return py::none();
}

py::object op_disconnect(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0];
    // Clean-up hook of derived classes; a plain FpgaTool has none.
    PyObject* cleanup = PyObject_GetAttr(self.ptr(), n.deleteTempFile);
    if (cleanup) {
        py::object hook = py::reinterpret_steal<py::object>(cleanup);
        core::call<0>(hook, {});
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        core::throw_python_error();
    }
    py::object conn = getattr(self, n._conn);
    if (truth(conn) && truth(getattr(self, n._owns_conn))) {
        call_method(conn, n.closeConnection);
        c.log(INFO, "Disconnected from FPGA device.");
    }
    return py::none();
}

py::object op_getRecv(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0], log_print = a[1], size = a[2], isdecode = a[3];
    py::object data = call_method(getattr(self, n._conn), n.recvRawBytes, size);
    py::object result;
    if (truth(isdecode)) {
        if (PyBytes_Check(data.ptr()))
            result = steal_or_throw(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()),
                                                         "strict"));
        else
            result = steal_or_throw(core::guarded([&] { return PyObject_CallMethod(data.ptr(), "decode", "s", "utf-8"); }));
    } else {
        result = raw_payload(data);
    }
    if (truth(log_print) && c.log_enabled(DEBUG)) {
        py::object message = steal_or_throw(PyUnicode_Concat(py::str("Received data: ").ptr(), py::str(result).ptr()));
        c.log(DEBUG, message);
    }
    return result;
}

py::object op_sendCmd(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0], cmd = a[1], log_print = a[2], size = a[3], isdecode = a[4];
    py::object line = PyUnicode_Check(cmd.ptr()) ? steal_or_throw(PyUnicode_AsUTF8String(cmd.ptr()))
                                                 : py::reinterpret_borrow<py::object>(cmd);
    py::object frame = PyBytes_CheckExact(line.ptr())
                           ? concat_bytes(PyBytes_AS_STRING(line.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(line.ptr())),
                                          "\r\n", 2)
                           : steal_or_throw(PyNumber_Add(line.ptr(), bytes_of("\r\n", 2).ptr()));

    if (truth(isdecode)) {
        py::object conn = getattr(self, n._conn);
        py::object rsp_list = core::class_attribute(c.global(n.RspType), n.RSP_LIST, n.__getattribute__);
        py::object ret = core::call_method<2>(conn, n.sendCmd, {frame.ptr(), rsp_list.ptr()});
        if (truth(getattr(ret, n.RetData))) return getattr(ret, n.RetData);
        return py::str("");
    }
    call_method(getattr(self, n._conn), n.sendRawBytes, frame);
    py::object flag = py::bool_(truth(log_print));
    return core::call_method<3>(self, n._getRecv, {flag.ptr(), size.ptr(), Py_False}, n.kw_getRecv);
}

py::object op_simple_command(const Args& a) { return call_method(a[0], Ctx(a).n._sendCmd, a.closure()); }

py::object op_argument_command(const Args& a) {
    py::handle keyword = a.closure();
    py::object argument = command_argument(a[1]);
    py::object line = concat_bytes(PyBytes_AS_STRING(keyword.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(keyword.ptr())),
                                   PyBytes_AS_STRING(argument.ptr()),
                                   static_cast<size_t>(PyBytes_GET_SIZE(argument.ptr())));
    return call_method(a[0], Ctx(a).n._sendCmd, line);
}

py::object op_fpgaRead(const Args& a) {
    const Names& n = Ctx(a).n;
    return core::call_method<2>(a[0], n._sendCmd, {a.closure().ptr(), Py_False}, n.kw_isdecode);
}

py::object op_fpgaProgram(const Args& a) {
    py::handle self = a[0], block = a[1];
    Py_ssize_t length = PyObject_Length(block.ptr());
    if (length < 0) core::throw_python_error();
    char header[40];
    size_t header_size = write_block_header(header, static_cast<size_t>(length));
    py::object payload;
    if (PyBytes_Check(block.ptr()))
        payload = concat_bytes(header, header_size, PyBytes_AS_STRING(block.ptr()),
                               static_cast<size_t>(PyBytes_GET_SIZE(block.ptr())));
    else
        payload = steal_or_throw(PyNumber_Add(bytes_of(header, header_size).ptr(), block.ptr()));
    py::object reply = call_method(self, Ctx(a).n._sendCmd, payload);
    return py::bool_(acknowledged(reply));
}

}  // namespace ondrel::tarnel
