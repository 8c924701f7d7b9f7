// ondrel.Tarnel: loading the module and the table of FpgaTool.
#include "core/classes.hpp"
#include "core/imports.hpp"
#include "tarnel/tarnel.hpp"

namespace ondrel::tarnel {

namespace {

using core::arg;
using core::FunctionDef;
using core::opt;

// A command that takes no argument: the body sends the closure's bytes.
FunctionDef command(const char* name, const char* doc) {
    return FunctionDef{name, doc, {arg("self")}, op_simple_command, {}};
}

// A command with one argument appended after the keyword and a space.
FunctionDef argument_command(const char* name, const char* param, const char* doc) {
    return FunctionDef{name, doc, {arg("self"), arg(param)}, op_argument_command, {}};
}

const char* const kInitDoc =
    "Initialize the FPGA tool.\n"
    "\n"
    "Args:\n"
    "    connection: An existing DevConnection (e.g. _TCPConn) instance.\n"
    "    address: IP address of the device, used when no connection is given.\n"
    "    port: TCP port of the device. Defaults to 5025.";

// The class table of FpgaTool, in definition order, with the bytes each
// command operation sends.
struct Operation {
    FunctionDef def;
    const char* command;  // closure of a command operation, else nullptr
};

std::vector<Operation> fpga_tool_table(py::handle m) {
    py::object none = py::none();
    py::object false_ = py::bool_(false);
    py::object true_ = py::bool_(true);
    py::object recv_size = m.attr("_RECV_SIZE");  // taken once, when the class is made
    py::object str_t = py::module_::import("builtins").attr("str");
    py::object int_t = py::module_::import("builtins").attr("int");
    py::object bool_t = py::module_::import("builtins").attr("bool");
    py::object bytes_t = py::module_::import("builtins").attr("bytes");
    py::object optional_str = m.attr("Optional")[str_t];
    py::object ret_type = m.attr("RetType");

    return {
        {{"__init__", kInitDoc,
          {arg("self"), opt("connection", none), opt("address", none, optional_str), opt("port", py::int_(5025), int_t)},
          op_init, {}}, nullptr},
        {{"_getRecv", "Receive data from the FPGA.",
          {arg("self"), opt("log_print", false_), opt("size", recv_size), opt("isdecode", true_)}, op_getRecv, {}},
         nullptr},
        {{"_sendCmd", "Send a command to the FPGA and receive the response.",
          {arg("self"), arg("cmd"), opt("log_print", false_), opt("size", recv_size), opt("isdecode", true_)},
          op_sendCmd, {}}, nullptr},
        {command("_fpgaCtrlInit", "Initialize the FPGA control."), "FPGA_CTRL_INIT"},
        {command("_fpgaGetId", "Get the FPGA ID."), "FPGA_GET_ID"},
        {command("_fpgaGetVersion", "Get the FPGA version."), "GET_FPGA_VER"},
        {argument_command("_fpgaCfgMode", "mode", "Configure the FPGA mode."), "FPGA_CFG_MODE "},
        {argument_command("_fpgaErase", "erase_bits", "Erase the FPGA memory."), "FPGA_ERASE "},
        {argument_command("_fpgaRstPagePtr", "section", "Reset the FPGA page pointer."), "FPGA_RST_PAGE_PTR "},
        {{"_fpgaProgram", "Program the FPGA with the given data block.", {arg("self"), arg("data_block", bytes_t)},
          op_fpgaProgram, bool_t}, nullptr},
        {{"_fpgaRead", "Read data from the FPGA.", {arg("self")}, op_fpgaRead, bytes_t}, "FPGA_READ"},
        {command("_fpgaDone", "Mark the FPGA programming as done."), "FPGA_DONE"},
        {command("_fpgaRefresh", "Refresh the FPGA."), "FPGA_REFRESH"},
        {command("_fpgaGetInfo", "Get the FPGA information."), "GET_FE_INFO"},
        {command("_fpgaGetControlFwVer", "Get the FPGA control firmware version."), "GET_FW_VER"},
        {command("_fpgaGetSerialNumber", "Get the FPGA serial number."), "GET_SN"},
        {{"_fpgaProgramFile", "Process FPGA update with the given image path.",
          {arg("self"), arg("image_path", str_t), opt("device_type", py::int_(28), int_t)}, op_fpgaProgramFile, bool_t},
         nullptr},
        {{"_checkControlFwVersion", "Check if the control firmware version is compatible.", {arg("self")},
          op_checkControlFwVersion, bool_t}, nullptr},
        {{"_checkUpdateFile", "Check if the update file is valid.", {arg("self"), arg("image_path", str_t)},
          op_checkUpdateFile, bool_t}, nullptr},
        {{"_checkFileHeader", nullptr, {arg("self"), arg("image_path", str_t)}, op_checkFileHeader, bool_t}, nullptr},
        {{"initFpga", "Initialize FPGA.",
          {arg("self"), arg("device_type", int_t), opt("disable_fw_check", false_, bool_t)}, op_initFpga, ret_type},
         nullptr},
        {{"set_progress_callback", "Set progress callback function.", {arg("self"), arg("callback")},
          op_set_progress_callback, {}}, nullptr},
        {{"processFpgaUpdate", "Process FPGA update with the given image path.",
          {arg("self"), opt("image_path", none, optional_str), opt("device_type", py::int_(32), int_t)},
          op_processFpgaUpdate, ret_type}, nullptr},
        {{"disconnect", "Close the connection and clean up.", {arg("self")}, op_disconnect, {}}, nullptr},
    };
}

void load(py::module_ m, State& state) {
    py::object name = m.attr("__name__");
    state.n.fill();
    state.package = core::parent_package(name);
    const std::string& package = state.package;
    core::ready_function_type((py::str(name).cast<std::string>() + ".function").c_str());

    // 1. host facilities
    for (const char* module : {"hashlib", "hmac", "json", "logging", "struct", "sys", "time"})
        m.attr(module) = py::module_::import(module);
    m.attr("Path") = core::import_from("pathlib", "Path");
    m.attr("Optional") = core::import_from("typing", "Optional");
    m.attr("Union") = core::import_from("typing", "Union");

    // 2. the package's result types
    m.attr("VER") = core::import_from(package + ".QarUtils", "VER");
    m.attr("RspType") = core::import_from(package + ".QarUtils", "_RspType");
    m.attr("RetType") = core::import_from(package + ".QarUtils", "RetType");
    m.attr("RetCode") = core::import_from(package + ".QarPublic", "RetCode");

    // 3.-4. the host's one-time logging configuration and our channel
    py::object logging = m.attr("logging");
    logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"),
                                py::arg("format") = "%(asctime)s - %(name)s [%(levelname)s] %(message)s",
                                py::arg("stream") = m.attr("sys").attr("stdout"));
    m.attr("logger") = logging.attr("getLogger")("FPGA");

    // 5.-6. constants
    m.attr("_RECV_SIZE") = 1024;
    m.attr("_FPGA_FW_VER_MIN") = "0.1.0.6";
    m.attr("_FPGA_VER_MIN_DEV28") = "1.1.0.0";
    m.attr("_FPGA_VER_MIN_DEV32") = "0.2.3.4";
    py::list whitelist;
    whitelist.append(32);
    m.attr("_DEVICE_WHITELIST") = whitelist;

    // 7. the class
    std::vector<core::Member> members;
    for (Operation& op : fpga_tool_table(m)) {
        py::object closure = op.command ? py::object(py::bytes(op.command)) : py::object(py::none());
        members.push_back({op.def.name, core::make_function(op.def, m, "FpgaTool." + op.def.name, closure)});
    }
    py::tuple bases = py::make_tuple(py::module_::import("builtins").attr("object"));
    py::object tool_class = core::build_class(py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type),
                                              "FpgaTool", bases, name, nullptr, members);
    m.attr("FpgaTool") = tool_class;
    for (PyObject* operation : {state.n._sendCmd, state.n._getRecv, state.n._fpgaProgram, state.n._fpgaRead})
        state.own_exchange.emplace_back(operation, core::getattr(tool_class, operation));
}

PyModuleDef& module_def = core::ModuleState<State>::definition<load>("Tarnel", nullptr);

}  // namespace

// --- the windowed engine ------------------------------------------------------------
//
// A second module in this library, loaded by ondrel.tools.windowed under the
// name ondrel.tools._window.  Its functions belong to ondrel.Tarnel (its
// namespace and state, as if defined there) without being bound in it, so
// that module keeps exactly its own names.

namespace {

const char* const kProgramWindowedDoc =
    "Write an image as FpgaTool._fpgaProgramFile does, with up to `window` commands in flight.\n"
    "\n"
    "The program and read commands go straight to the tool's connection (sendRawBytes,\n"
    "recvRawBytes), past its _sendCmd, _getRecv, _fpgaProgram and _fpgaRead: a tool that\n"
    "replaces one of those is refused with TypeError.  Every other operation of the tool\n"
    "(erase, page pointer, done, refresh, the progress callback) is called as usual.  On a\n"
    "refused block the commands in flight are drained and the image is written again from\n"
    "the erase, one block at a time.  A window of 1 is _fpgaProgramFile itself.";

const char* const kReadWindowedDoc =
    "Read `pages` pages (FPGA_READ) with up to `window` commands in flight; the replies without\n"
    "their framing, joined.  `progress`, when given, is called with the pages read so far.\n"
    "Resets nothing: reset the page pointer first.  Goes past the same operations as\n"
    "_fpgaProgramFileWindowed, and refuses a tool that replaces one.";

void load_window(py::module_ m) {
    std::string root = core::parent_package(py::str(core::parent_package(m.attr("__name__"))));  // ondrel
    py::module_ tarnel = py::module_::import((root + ".Tarnel").c_str());
    if (PyModule_GetDef(tarnel.ptr()) != &module_def)
        throw py::import_error("the windowed engine works only with the ondrel.Tarnel it was built with");
    py::object shown = py::str(root + ".tools.windowed");
    py::object int_t = py::module_::import("builtins").attr("int");
    py::object str_t = py::module_::import("builtins").attr("str");
    py::object bool_t = py::module_::import("builtins").attr("bool");
    py::object bytes_t = py::module_::import("builtins").attr("bytes");
    m.attr("program_file") = core::make_function(
        {"program_file", kProgramWindowedDoc,
         {arg("tool"), arg("image_path", str_t), opt("device_type", py::int_(28), int_t), opt("window", py::int_(32), int_t)},
         op_fpgaProgramFileWindowed, bool_t},
        tarnel, "program_file", py::none(), shown);
    m.attr("read_pages") = core::make_function(
        {"read_pages", kReadWindowedDoc,
         {arg("tool"), arg("pages", int_t), opt("window", py::int_(32), int_t), opt("progress", py::none())},
         op_fpgaReadWindowed, bytes_t},
        tarnel, "read_pages", py::none(), shown);
}

int exec_window(PyObject* m) {
    try {
        load_window(py::reinterpret_borrow<py::module_>(m));
        return 0;
    } catch (core::ThreadExit&) {
        throw;
    } catch (...) {
        core::translate_current_exception();
        return -1;
    }
}

PyModuleDef_Slot window_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_window)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef window_def = {PyModuleDef_HEAD_INIT, "_window", "The windowed transfer engine of ondrel.Tarnel.", 0,
                          nullptr, window_slots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace ondrel::tarnel

extern "C" PYBIND11_EXPORT PyObject* PyInit_Tarnel() { return PyModuleDef_Init(&ondrel::tarnel::module_def); }

extern "C" PYBIND11_EXPORT PyObject* PyInit__window() { return PyModuleDef_Init(&ondrel::tarnel::window_def); }
