// FpgaTool: construction, the command exchange, one operation per device
// command, the progress callback and disconnecting.
#include "core/imports.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <cstring>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::steal;
using core::truth;

// prefix + tail as one new byte string.
Ref concat_bytes(const char* prefix, size_t prefix_size, const char* tail, size_t tail_size) {
    Ref out = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(prefix_size + tail_size)));
    char* p = PyBytes_AS_STRING(out.ptr());
    std::memcpy(p, prefix, prefix_size);
    std::memcpy(p + prefix_size, tail, tail_size);
    return out;
}

Ref concat_bytes(Handle prefix, Handle tail) {
    return concat_bytes(PyBytes_AS_STRING(prefix.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(prefix.ptr())),
                        PyBytes_AS_STRING(tail.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(tail.ptr())));
}

// The argument of a command: bytes as they are, anything else as the UTF-8
// encoding of its text form.
Ref command_argument(Handle value) {
    if (PyBytes_Check(value.ptr())) return Ref::borrow(value);
    Ref s = core::str(value);
    return steal(PyUnicode_AsUTF8String(s.ptr()));
}

// --- construction --------------------------------------------------------------

ONDREL_ARGS(InitArgs, self, connection, address, port);

Ref init(const Ctx& c, const InitArgs& a) {
    const Names& n = c.n;
    core::require_text(a.address, "address", /*allow_none=*/true);
    Ref port = core::require_integer(a.port, "port");

    if (!a.connection.is_none()) {
        core::setattr(a.self, n._conn, a.connection);
        core::setattr(a.self, n._owns_conn, core::boolean(false));
    } else {
        if (a.address.is_none()) core::raise(PyExc_ValueError, "Either connection or address must be provided");
        Ref tcp_conn = core::import_from(c.state.package + ".QarCommService", "_TCPConn");
        Ref conn = core::call(tcp_conn, a.address, port);
        core::setattr(a.self, n._conn, conn);
        if (!truth(call_method(conn, n.initConnection)))
            core::raise(PyExc_ConnectionError,
                        "Cannot connect to " + core::utf8(a.address) + ":" + core::decimal(core::to_int(port)));
        core::setattr(a.self, n._owns_conn, core::boolean(true));
    }
    core::setattr(a.self, n.progress_callback, core::none());
    return core::none();
}

const char* const kInitDoc =
    "Initialize the FPGA tool.\n"
    "\n"
    "Args:\n"
    "    connection: An existing DevConnection (e.g. _TCPConn) instance.\n"
    "    address: IP address of the device, used when no connection is given.\n"
    "    port: TCP port of the device. Defaults to 5025.";

// --- the exchange --------------------------------------------------------------

ONDREL_ARGS(GetRecvArgs, self, log_print, size, isdecode);

Ref get_recv(const Ctx& c, const GetRecvArgs& a) {
    const Names& n = c.n;
    Ref conn = core::getattr(a.self, n._conn);
    c.refuse_if_busy(conn);
    Ref data = call_method(conn, n.recvRawBytes, a.size);
    Ref result;
    if (truth(a.isdecode)) {
        result =
            PyBytes_Check(data.ptr())
                ? steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()), "strict"))
                : call_method(data, n.decode, n.utf_8);
    } else {
        result = raw_payload(data);
    }
    if (truth(a.log_print) && c.log_enabled(DEBUG))
        c.log(DEBUG, core::add(core::text("Received data: "), core::str(result)));
    return result;
}

ONDREL_ARGS(SendCmdArgs, self, cmd, log_print, size, isdecode);

Ref send_cmd(const Ctx& c, const SendCmdArgs& a) {
    const Names& n = c.n;
    Ref line = PyUnicode_Check(a.cmd.ptr()) ? steal(PyUnicode_AsUTF8String(a.cmd.ptr())) : Ref::borrow(a.cmd);
    Ref frame = PyBytes_CheckExact(line.ptr()) ? concat_bytes(line, core::bytes(protocol::kLineEnd))
                                               : core::add(line, bytes_of(protocol::kLineEnd, 2));
    Ref conn = core::getattr(a.self, n._conn);
    c.refuse_if_busy(conn);
    if (truth(a.isdecode)) {
        Ref rsp_list = core::class_attribute(c.global(n.RspType), n.RSP_LIST, n.__getattribute__);
        Ref ret = call_method(conn, n.sendCmd, frame, rsp_list);
        if (truth(core::getattr(ret, n.RetData))) return core::getattr(ret, n.RetData);
        return core::text("");
    }
    call_method(conn, n.sendRawBytes, frame);
    Ref flag = core::boolean(truth(a.log_print));
    return core::call_method_kw(a.self, n._getRecv, n.kw_getRecv, flag, a.size, Py_False);
}

// --- one operation per device command --------------------------------------------

ONDREL_ARGS(SelfArgs, self);
ONDREL_ARGS(ModeArgs, self, mode);
ONDREL_ARGS(EraseArgs, self, erase_bits);
ONDREL_ARGS(SectionArgs, self, section);

// A command without an argument: the closure holds its bytes.
Ref simple_command(const Ctx& c, const SelfArgs& a) { return call_method(a.self, c.n._sendCmd, c.closure); }

// A command with one argument, appended to the closure's keyword and space.
template <class A, Handle A::* argument>
Ref argument_command(const Ctx& c, const A& a) {
    Ref line = concat_bytes(c.closure, command_argument(a.*argument));
    return call_method(a.self, c.n._sendCmd, line);
}

Ref fpga_read(const Ctx& c, const SelfArgs& a) {
    return core::call_method_kw(a.self, c.n._sendCmd, c.n.kw_isdecode, c.closure, Py_False);
}

ONDREL_ARGS(ProgramArgs, self, data_block);

Ref fpga_program(const Ctx& c, const ProgramArgs& a) {
    size_t length = core::length(a.data_block);
    char header[40];
    size_t header_size = write_block_header(header, length);
    Ref payload = PyBytes_Check(a.data_block.ptr())
                      ? concat_bytes(header, header_size, PyBytes_AS_STRING(a.data_block.ptr()),
                                     static_cast<size_t>(PyBytes_GET_SIZE(a.data_block.ptr())))
                      : core::add(bytes_of(header, header_size), a.data_block);
    Ref reply = call_method(a.self, c.n._sendCmd, payload);
    return core::boolean(acknowledged(c, reply));
}

core::FunctionDef command(const char* name, const char* doc, const char* bytes) {
    core::FunctionDef def = method<SelfArgs, simple_command>(name, doc);
    def.closure = core::bytes(bytes);
    return def;
}

template <class A, Handle A::* argument>
core::FunctionDef argument_command_def(const char* name, const char* doc, const char* keyword) {
    core::FunctionDef def = method<A, argument_command<A, argument>>(name, doc);
    def.closure = core::bytes(keyword);
    return def;
}

// --- the callback and disconnecting ------------------------------------------------

ONDREL_ARGS(CallbackArgs, self, callback);

Ref set_progress_callback(const Ctx& c, const CallbackArgs& a) {
    core::setattr(a.self, c.n.progress_callback, a.callback);
    return core::none();
}

Ref disconnect(const Ctx& c, const SelfArgs& a) {
    const Names& n = c.n;
    // Clean-up hook of derived classes; a plain FpgaTool has none.
    if (Ref cleanup = core::getattr_optional(a.self, n.deleteTempFile)) core::call(cleanup);
    Ref conn = core::getattr(a.self, n._conn);
    if (truth(conn) && truth(core::getattr(a.self, n._owns_conn))) {
        call_method(conn, n.closeConnection);
        c.log(INFO, "Disconnected from FPGA device.");
    }
    return core::none();
}

}  // namespace

std::vector<core::FunctionDef> exchange_methods(const Declare& d) {
    using core::annotated;
    using core::with_default;
    namespace p = protocol;
    core::FunctionDef read = method<SelfArgs, fpga_read>("_fpgaRead", "Read data from the FPGA.", {}, d.bytes_t);
    read.closure = core::bytes(p::kRead);
    return {
        method<InitArgs, init>("__init__", kInitDoc,
                               {with_default("connection", d.none), with_default("address", d.none, d.optional_str),
                                with_default("port", core::integer(p::kDefaultPort), d.int_t)}),
        method<GetRecvArgs, get_recv>("_getRecv", "Receive data from the FPGA.",
                                      {with_default("log_print", d.false_), with_default("size", d.recv_size),
                                       with_default("isdecode", d.true_)}),
        method<SendCmdArgs, send_cmd>("_sendCmd", "Send a command to the FPGA and receive the response.",
                                      {with_default("log_print", d.false_), with_default("size", d.recv_size),
                                       with_default("isdecode", d.true_)}),
        command("_fpgaCtrlInit", "Initialize the FPGA control.", p::kCtrlInit),
        command("_fpgaGetId", "Get the FPGA ID.", p::kGetId),
        command("_fpgaGetVersion", "Get the FPGA version.", p::kGetVersion),
        argument_command_def<ModeArgs, &ModeArgs::mode>("_fpgaCfgMode", "Configure the FPGA mode.", p::kCfgMode),
        argument_command_def<EraseArgs, &EraseArgs::erase_bits>("_fpgaErase", "Erase the FPGA memory.", p::kErase),
        argument_command_def<SectionArgs, &SectionArgs::section>("_fpgaRstPagePtr", "Reset the FPGA page pointer.",
                                                                 p::kRstPagePtr),
        method<ProgramArgs, fpga_program>("_fpgaProgram", "Program the FPGA with the given data block.",
                                          {annotated("data_block", d.bytes_t)}, d.bool_t),
        read,
        command("_fpgaDone", "Mark the FPGA programming as done.", p::kDone),
        command("_fpgaRefresh", "Refresh the FPGA.", p::kRefresh),
        command("_fpgaGetInfo", "Get the FPGA information.", p::kGetInfo),
        command("_fpgaGetControlFwVer", "Get the FPGA control firmware version.", p::kGetControlFwVersion),
        command("_fpgaGetSerialNumber", "Get the FPGA serial number.", p::kGetSerialNumber),
        method<CallbackArgs, set_progress_callback>("set_progress_callback", "Set progress callback function."),
        method<SelfArgs, disconnect>("disconnect", "Close the connection and clean up."),
    };
}

}  // namespace ondrel::tarnel
