// ondrel.Tarnel: loading the module and assembling FpgaTool from the methods
// each concern file declares beside its bodies.
#include "core/classes.hpp"
#include "core/imports.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/tarnel.hpp"

#include <map>
#include <stdexcept>

namespace ondrel::tarnel {

namespace {

// FpgaTool's operations in definition order: the order of the class's
// namespace, as a class statement would give it.
const char* const kDefinitionOrder[] = {
    "__init__",
    "_getRecv",
    "_sendCmd",
    "_fpgaCtrlInit",
    "_fpgaGetId",
    "_fpgaGetVersion",
    "_fpgaCfgMode",
    "_fpgaErase",
    "_fpgaRstPagePtr",
    "_fpgaProgram",
    "_fpgaRead",
    "_fpgaDone",
    "_fpgaRefresh",
    "_fpgaGetInfo",
    "_fpgaGetControlFwVer",
    "_fpgaGetSerialNumber",
    "_fpgaProgramFile",
    "_checkControlFwVersion",
    "_checkUpdateFile",
    "_checkFileHeader",
    "initFpga",
    "set_progress_callback",
    "processFpgaUpdate",
    "disconnect",
};

// The class, from every concern's declarations, in definition order.
Ref make_fpga_tool(Handle m) {
    Ref builtins = core::import("builtins");
    Declare d;
    d.none = core::none();
    d.false_ = core::boolean(false);
    d.true_ = core::boolean(true);
    d.recv_size = core::getattr(m, "_RECV_SIZE");  // taken once, when the class is made
    d.str_t = core::getattr(builtins, "str");
    d.int_t = core::getattr(builtins, "int");
    d.bool_t = core::getattr(builtins, "bool");
    d.bytes_t = core::getattr(builtins, "bytes");
    d.optional_str = core::get_item(core::getattr(m, "Optional"), d.str_t);
    d.ret_type = core::getattr(m, "RetType");

    std::map<std::string, core::FunctionDef> declared;
    for (auto* concern : {exchange_methods, check_methods, program_methods, update_methods})
        for (core::FunctionDef& def : concern(d)) declared.emplace(def.name, std::move(def));

    std::vector<core::Member> members;
    for (const char* name : kDefinitionOrder) {
        auto it = declared.find(name);
        if (it == declared.end()) throw std::logic_error(std::string("FpgaTool.") + name + " is not declared");
        members.push_back({name, core::make_function(it->second, m, std::string("FpgaTool.") + name)});
        declared.erase(it);
    }
    if (!declared.empty())
        throw std::logic_error("FpgaTool." + declared.begin()->first + " is missing from the definition order");
    return core::build_class(reinterpret_cast<PyObject*>(&PyType_Type), "FpgaTool",
                             core::tuple_of({core::getattr(builtins, "object")}), core::getattr(m, "__name__"), nullptr,
                             members);
}

void load(Handle m, State& state) {
    Ref name = core::getattr(m, "__name__");
    state.n.fill();
    state.package = core::parent_package(name);
    const std::string& package = state.package;
    core::ready_function_type((core::utf8(name) + ".function").c_str());

    // The host facilities the bodies use.
    for (const char* module : {"hashlib", "hmac", "json", "logging", "struct", "sys", "time"})
        core::setattr(m, module, core::import(module));
    core::setattr(m, "Path", core::import_from("pathlib", "Path"));
    core::setattr(m, "Optional", core::import_from("typing", "Optional"));
    core::setattr(m, "Union", core::import_from("typing", "Union"));

    // The package's result types.
    core::setattr(m, "VER", core::import_from(package + ".QarUtils", "VER"));
    core::setattr(m, "RspType", core::import_from(package + ".QarUtils", "_RspType"));
    core::setattr(m, "RetType", core::import_from(package + ".QarUtils", "RetType"));
    core::setattr(m, "RetCode", core::import_from(package + ".QarPublic", "RetCode"));

    // The host's one-time logging configuration (nothing changes when the
    // root logger already has handlers) and our channel.
    Ref logging = core::getattr(m, "logging");
    Ref kwnames = Ref::steal(core::keywords({"level", "format", "stream"}));
    core::call_kw(core::getattr(logging, "basicConfig"), kwnames.ptr(), core::getattr(logging, "INFO"),
                  core::text("%(asctime)s - %(name)s [%(levelname)s] %(message)s"),
                  core::getattr(core::getattr(m, "sys"), "stdout"));
    core::setattr(m, "logger", core::call(core::getattr(logging, "getLogger"), core::text("FPGA")));

    // The constants.
    core::setattr(m, "_RECV_SIZE", core::integer(protocol::kReplySize));
    core::setattr(m, "_FPGA_FW_VER_MIN", core::text("0.1.0.6"));
    core::setattr(m, "_FPGA_VER_MIN_DEV28", core::text("1.1.0.0"));
    core::setattr(m, "_FPGA_VER_MIN_DEV32", core::text("0.2.3.4"));
    Ref whitelist = core::new_list();
    core::list_append(whitelist, core::integer(32));
    core::setattr(m, "_DEVICE_WHITELIST", whitelist);

    Ref tool_class = make_fpga_tool(m);
    core::setattr(m, "FpgaTool", tool_class);
    for (PyObject* operation : {state.n._sendCmd, state.n._getRecv, state.n._fpgaProgram, state.n._fpgaRead})
        state.own_exchange.emplace_back(operation, core::getattr(tool_class, operation));
    state.own_program_file = core::getattr(tool_class, state.n._fpgaProgramFile);
    make_engine(m, state);
}

PyModuleDef& module_def = core::ModuleState<State>::definition<load>("Tarnel", nullptr);

}  // namespace

PyModuleDef& tarnel_definition() { return module_def; }

}  // namespace ondrel::tarnel

extern "C" ONDREL_EXPORT PyObject* PyInit_Tarnel() { return PyModuleDef_Init(&ondrel::tarnel::module_def); }
