// FpgaTool.initFpga and FpgaTool.processFpgaUpdate: the public operations.
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::truth;

// Initialises the controller, sets the configuration mode, reads the
// identifier and, for device type 32, the version and its minimum.
py::object initialise(const Ctx& c, py::handle self, py::handle device_type, py::handle disable_fw_check,
                      py::dict& result) {
    const Names& n = c.n;
    call_method(self, n._fpgaCtrlInit);
    call_method(self, n._fpgaCfgMode, py::bytes(protocol::kModeTrans));
    py::object fpga_id = call_method(self, n._fpgaGetId);
    result["fpga_id"] = fpga_id;
    c.log(INFO, "FPGA ID: " + core::utf8(fpga_id));

    if (core::equals(device_type, 32)) {
        py::object version = call_method(self, n._fpgaGetVersion);
        result["fpga_version"] = version;
        c.log(INFO, "FPGA Version: " + core::utf8(version));
        if (truth(version) && !truth(disable_fw_check)) {
            py::object VER = c.global(n.VER);
            py::object minimum = c.global(n._FPGA_VER_MIN_DEV32);
            if (truth(core::rich_compare(core::call(VER, version), core::call(VER, minimum), Py_LT)))
                return c.refusal(WARNING, n.code_warning,
                                 "FPGA version " + core::utf8(version) + " is lower than minimum required version " +
                                     core::utf8(minimum) + ".");
        }
    }
    result["success"] = true;
    return core::call(c.global(n.RetType), core::getattr(c.global(n.RetCode), n.code_ok),
                      core::text("FPGA initialized successfully"), result);
}

// The version of the new image, read back from the device.
py::object updated_version(const Ctx& c, py::handle self, py::handle device_type) {
    const Names& n = c.n;
    if (core::equals(device_type, 32)) {
        // A version text, or nothing: a reply of another shape is one meant
        // for an earlier command (a device's stray reply), never the version.
        py::object version = call_method(self, n._fpgaGetVersion);
        if (PyUnicode_Check(version.ptr()) && PyUnicode_GET_LENGTH(version.ptr()) != 0 &&
            !is_version_text(core::utf8(version)))
            core::raise(PyExc_ConnectionError, "the FPGA version query after the update was answered with " +
                                                   core::utf8(core::repr(version)) +
                                                   ", which is not a version: the connection is out of step");
        return version;
    }
    if (!core::equals(device_type, 28)) return py::str("");
    py::object info = call_method(c.global(n.json), n.loads, call_method(self, n._fpgaGetInfo));
    if (!PyDict_Check(info.ptr()))
        core::raise(PyExc_TypeError,
                    std::string("device information is a JSON ") + Py_TYPE(info.ptr())->tp_name + ", not an object");
    // The first record in the mapping's order (PyDict_Next runs no Python code).
    Py_ssize_t position = 0;
    PyObject *key, *value;
    py::object first = PyDict_Next(info.ptr(), &position, &key, &value) ? py::reinterpret_borrow<py::object>(value)
                                                                        : py::object(py::dict());
    if (!PyDict_Check(first.ptr()))
        core::raise(PyExc_TypeError, std::string("the first device record is a JSON ") + Py_TYPE(first.ptr())->tp_name +
                                         ", not an object");
    return call_method(first, n.get, n.fpga_ver, n.empty_text);
}

ONDREL_ARGS(InitFpgaArgs, self, device_type, disable_fw_check);

py::object init_fpga(const Ctx& c, const InitFpgaArgs& a) {
    py::object device_type = core::require_integer(a.device_type, "device_type");
    py::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["device_count"] = 0;
    result["device_info"] = py::none();
    result["fpga_id"] = "";
    result["fw_version"] = "";
    result["fpga_version"] = "";

    if (!core::contains(c.global(c.n._DEVICE_WHITELIST), device_type))
        return c.refusal(WARNING, c.n.code_warning,
                         "Device type " + core::decimal(device_type) + " is not supported for firmware version check.");
    try {
        return initialise(c, a.self, device_type, a.disable_fw_check, result);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;  // an interrupt is not a failed initialisation
        return c.refusal(ERROR, c.n.code_error, "FPGA initialization failed: " + core::utf8(e.value()));
    }
}

ONDREL_ARGS(UpdateArgs, self, image_path, device_type);

py::object process_fpga_update(const Ctx& c, const UpdateArgs& a) {
    const Names& n = c.n;
    py::handle image_path = core::require_text(a.image_path, "image_path", /*allow_none=*/true);
    py::object device_type = core::require_integer(a.device_type, "device_type");
    py::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["fw_version"] = "";

    if (image_path.is_none() || PyUnicode_GET_LENGTH(image_path.ptr()) == 0)
        return c.refusal(ERROR, n.code_error, "FPGA image path is not provided.");
    UpdateScope update(c.state, a.self);
    if (!truth(call_method(a.self, n._checkUpdateFile, image_path)))
        return c.refusal(ERROR, n.code_error, "FPGA update file check failed.");
    if (!truth(call_method(a.self, n._checkFileHeader, image_path)))
        return c.refusal(ERROR, n.code_error, "FPGA image header check failed.");
    py::object programmed = core::call_method_kw(a.self, n._fpgaProgramFile, n.kw_programFile, image_path, device_type);
    if (!truth(programmed)) return c.refusal(ERROR, n.code_error, "FPGA update process failed.");

    py::object version = updated_version(c, a.self, device_type);
    c.log(INFO, "Updated FPGA version: " + core::utf8(version));
    c.log(INFO, "FPGA update process completed successfully.");
    result["success"] = true;
    result["fw_version"] = version;
    return core::call_kw(c.global(n.RetType), n.kw_data, result);
}

}  // namespace

std::vector<core::FunctionDef> update_methods(const Declare& d) {
    using core::annotated;
    using core::with_default;
    return {
        method<InitFpgaArgs, init_fpga>(
            "initFpga", "Initialize FPGA.",
            {annotated("device_type", d.int_t), with_default("disable_fw_check", d.false_, d.bool_t)}, d.ret_type),
        method<UpdateArgs, process_fpga_update>(
            "processFpgaUpdate", "Process FPGA update with the given image path.",
            {with_default("image_path", d.none, d.optional_str), with_default("device_type", py::int_(32), d.int_t)},
            d.ret_type),
    };
}

}  // namespace ondrel::tarnel
