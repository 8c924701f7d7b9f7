// FpgaTool.initFpga and FpgaTool.processFpgaUpdate: the public operations.
#include "tarnel/program.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::truth;

// Initialises the controller, sets the configuration mode, reads the
// identifier and, for device type 32, the version and its minimum.
Ref initialise(const Ctx& c, Handle self, Handle device_type, Handle disable_fw_check, Handle result) {
    const Names& n = c.n;
    call_method(self, n._fpgaCtrlInit);
    call_method(self, n._fpgaCfgMode, core::bytes(protocol::kModeTrans));
    Ref fpga_id = call_method(self, n._fpgaGetId);
    core::dict_set(result, "fpga_id", fpga_id);
    c.log(INFO, "FPGA ID: " + core::utf8(fpga_id));

    if (core::equals(device_type, 32)) {
        Ref version = call_method(self, n._fpgaGetVersion);
        core::dict_set(result, "fpga_version", version);
        c.log(INFO, "FPGA Version: " + core::utf8(version));
        if (truth(version) && !truth(disable_fw_check)) {
            Ref VER = c.global(n.VER);
            Ref minimum = c.global(n._FPGA_VER_MIN_DEV32);
            if (truth(core::rich_compare(core::call(VER, version), core::call(VER, minimum), Py_LT)))
                return c.refusal(WARNING, n.code_warning,
                                 "FPGA version " + core::utf8(version) + " is lower than minimum required version " +
                                     core::utf8(minimum) + ".");
        }
    }
    core::dict_set(result, "success", core::boolean(true));
    return core::call(c.global(n.RetType), core::getattr(c.global(n.RetCode), n.code_ok),
                      core::text("FPGA initialized successfully"), result);
}

// The version of the new image, read back from the device.
Ref updated_version(const Ctx& c, Handle self, Handle device_type) {
    const Names& n = c.n;
    if (core::equals(device_type, 32)) {
        // A version text, or nothing: a reply of another shape is one meant
        // for an earlier command (a device's stray reply), never the version.
        Ref version = call_method(self, n._fpgaGetVersion);
        if (PyUnicode_Check(version.ptr()) && PyUnicode_GET_LENGTH(version.ptr()) != 0 &&
            !is_version_text(core::utf8(version)))
            core::raise(PyExc_ConnectionError, "the FPGA version query after the update was answered with " +
                                                   core::utf8(core::repr(version)) +
                                                   ", which is not a version: the connection is out of step");
        return version;
    }
    if (!core::equals(device_type, 28)) return core::text("");
    Ref info = call_method(c.global(n.json), n.loads, call_method(self, n._fpgaGetInfo));
    if (!PyDict_Check(info.ptr()))
        core::raise(PyExc_TypeError,
                    std::string("device information is a JSON ") + Py_TYPE(info.ptr())->tp_name + ", not an object");
    // The first record in the mapping's order.
    Ref first = core::dict_first_value(info);
    if (!first) first = core::new_dict();
    if (!PyDict_Check(first.ptr()))
        core::raise(PyExc_TypeError, std::string("the first device record is a JSON ") + Py_TYPE(first.ptr())->tp_name +
                                         ", not an object");
    return call_method(first, n.get, n.fpga_ver, n.empty_text);
}

ONDREL_ARGS(InitFpgaArgs, self, device_type, disable_fw_check);

Ref init_fpga(const Ctx& c, const InitFpgaArgs& a) {
    Ref device_type = core::require_integer(a.device_type, "device_type");
    Ref result = core::new_dict();
    core::dict_set(result, "success", core::boolean(false));
    core::dict_set(result, "error_message", core::text(""));
    core::dict_set(result, "device_count", core::integer(0));
    core::dict_set(result, "device_info", core::none());
    core::dict_set(result, "fpga_id", core::text(""));
    core::dict_set(result, "fw_version", core::text(""));
    core::dict_set(result, "fpga_version", core::text(""));

    if (!core::contains(c.global(c.n._DEVICE_WHITELIST), device_type))
        return c.refusal(WARNING, c.n.code_warning,
                         "Device type " + core::decimal(device_type) + " is not supported for firmware version check.");
    try {
        return initialise(c, a.self, device_type, a.disable_fw_check, result);
    } catch (core::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // an interrupt is not a failed initialisation
        return c.refusal(ERROR, c.n.code_error, "FPGA initialization failed: " + core::utf8(e.value()));
    }
}

ONDREL_ARGS(UpdateArgs, self, image_path, device_type);

Ref fpga_update(const Ctx& c, const UpdateArgs& a) {
    return process_update(c, a.self, a.image_path, a.device_type, nullptr);
}

}  // namespace

Ref version_after_update(const Ctx& c, Handle tool, Handle device_type) {
    return updated_version(c, tool, device_type);
}

Ref process_update(const Ctx& c, Handle self, Handle image_path_arg, Handle device_type_arg,
                   const ProgramOptions* options) {
    const Names& n = c.n;
    Handle image_path = core::require_text(image_path_arg, "image_path", /*allow_none=*/true);
    Ref device_type = core::require_integer(device_type_arg, "device_type");
    Ref result = core::new_dict();
    core::dict_set(result, "success", core::boolean(false));
    core::dict_set(result, "error_message", core::text(""));
    core::dict_set(result, "fw_version", core::text(""));

    if (image_path.is_none() || PyUnicode_GET_LENGTH(image_path.ptr()) == 0)
        return c.refusal(ERROR, n.code_error, "FPGA image path is not provided.");
    UpdateScope update(c.state, self);
    if (!truth(call_method(self, n._checkUpdateFile, image_path)))
        return c.refusal(ERROR, n.code_error, "FPGA update file check failed.");
    if (!truth(call_method(self, n._checkFileHeader, image_path)))
        return c.refusal(ERROR, n.code_error, "FPGA image header check failed.");
    // The programming: the tool's own operation (the engine's options go with
    // it straight to the programming), or whatever replaces it.
    bool own = options && core::is_own_method(self, n._fpgaProgramFile, c.state.own_program_file);
    bool programmed =
        own ? program_file(c, self, image_path, device_type, *options)
            : truth(core::call_method_kw(self, n._fpgaProgramFile, n.kw_programFile, image_path, device_type));
    if (!programmed) return c.refusal(ERROR, n.code_error, "FPGA update process failed.");

    Ref version = updated_version(c, self, device_type);
    c.log(INFO, "Updated FPGA version: " + core::utf8(version));
    c.log(INFO, "FPGA update process completed successfully.");
    core::dict_set(result, "success", core::boolean(true));
    core::dict_set(result, "fw_version", version);
    return core::call_kw(c.global(n.RetType), n.kw_data, result);
}

std::vector<core::FunctionDef> update_methods(const Declare& d) {
    using core::annotated;
    using core::with_default;
    return {
        method<InitFpgaArgs, init_fpga>(
            "initFpga", "Initialize FPGA.",
            {annotated("device_type", d.int_t), with_default("disable_fw_check", d.false_, d.bool_t)}, d.ret_type),
        method<UpdateArgs, fpga_update>("processFpgaUpdate", "Process FPGA update with the given image path.",
                                        {with_default("image_path", d.none, d.optional_str),
                                         with_default("device_type", core::integer(32), d.int_t)},
                                        d.ret_type),
    };
}

}  // namespace ondrel::tarnel
