// FpgaTool.initFpga and FpgaTool.processFpgaUpdate: the public operations.
#include "tarnel/tarnel.hpp"

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::equals;
using core::getattr;
using core::steal_or_throw;
using core::truth;

// The decimal text of an integer (of any int subclass).
std::string decimal(py::handle integer) { return to_std(steal_or_throw(PyLong_Type.tp_repr(integer.ptr()))); }

py::object code(const char* member) { return global(names().RetCode).attr(member); }

// RetType(code, message), logged at `level` with the same text.
py::object refusal(Level level, const char* member, const std::string& message) {
    log(level, message);
    return global(names().RetType)(code(member), text(message));
}

py::object initialise(py::handle self, py::handle device_type, py::handle disable_fw_check, py::dict& result) {
    const Names& n = names();
    call_method(self, n._fpgaCtrlInit);
    call_method(self, n._fpgaCfgMode, py::bytes("TRANS"));
    py::object fpga_id = call_method(self, n._fpgaGetId);
    result["fpga_id"] = fpga_id;
    log(INFO, "FPGA ID: " + str_of(fpga_id));

    if (equals(device_type, 32)) {
        py::object version = call_method(self, n._fpgaGetVersion);
        result["fpga_version"] = version;
        log(INFO, "FPGA Version: " + str_of(version));
        if (truth(version) && !truth(disable_fw_check)) {
            py::object VER = global(n.VER);
            py::object minimum = global(n._FPGA_VER_MIN_DEV32);
            py::object lower = steal_or_throw(PyObject_RichCompare(VER(version).ptr(), VER(minimum).ptr(), Py_LT));
            if (truth(lower))
                return refusal(WARNING, "WARNING",
                               "FPGA version " + str_of(version) + " is lower than minimum required version " +
                                   str_of(minimum) + ".");
        }
    }
    result["success"] = true;
    return global(n.RetType)(code("OK"), "FPGA initialized successfully", result);
}

// The version of the new image, read back from the device.
py::object updated_version(py::handle self, py::handle device_type) {
    const Names& n = names();
    if (equals(device_type, 32)) return call_method(self, n._fpgaGetVersion);
    if (!equals(device_type, 28)) return py::str("");
    py::object info = global(n.json).attr("loads")(call_method(self, n._fpgaGetInfo));
    if (!PyDict_Check(info.ptr())) {
        PyErr_Format(PyExc_TypeError, "device information is a JSON %s, not an object", Py_TYPE(info.ptr())->tp_name);
        core::throw_python_error();
    }
    py::object first = py::dict();
    for (auto item : py::reinterpret_borrow<py::dict>(info)) {
        first = py::reinterpret_borrow<py::object>(item.second);
        break;
    }
    if (!PyDict_Check(first.ptr())) {
        PyErr_Format(PyExc_TypeError, "the first device record is a JSON %s, not an object",
                     Py_TYPE(first.ptr())->tp_name);
        core::throw_python_error();
    }
    return first.attr("get")("fpga_ver", "");
}

}  // namespace

py::object op_initFpga(const Args& a) {
    py::handle self = a[0], disable_fw_check = a[2];
    py::object device_type = core::require_integer(a[1], "device_type");
    py::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["device_count"] = 0;
    result["device_info"] = py::none();
    result["fpga_id"] = "";
    result["fw_version"] = "";
    result["fpga_version"] = "";

    int supported = PySequence_Contains(global(names()._DEVICE_WHITELIST).ptr(), device_type.ptr());
    if (supported < 0) core::throw_python_error();
    if (!supported)
        return refusal(WARNING, "WARNING",
                       "Device type " + decimal(device_type) + " is not supported for firmware version check.");
    try {
        return initialise(self, device_type, disable_fw_check, result);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;  // an interrupt is not a failed initialisation
        return refusal(ERROR, "ERROR", "FPGA initialization failed: " + str_of(e.value()));
    }
}

py::object op_processFpgaUpdate(const Args& a) {
    const Names& n = names();
    py::handle self = a[0];
    py::handle image_path = core::require_text(a[1], "image_path", /*allow_none=*/true);
    py::object device_type = core::require_integer(a[2], "device_type");
    py::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["fw_version"] = "";

    if (image_path.is_none() || PyUnicode_GET_LENGTH(image_path.ptr()) == 0)
        return refusal(ERROR, "ERROR", "FPGA image path is not provided.");
    if (!truth(call_method(self, n._checkUpdateFile, image_path)))
        return refusal(ERROR, "ERROR", "FPGA update file check failed.");
    if (!truth(call_method(self, n._checkFileHeader, image_path)))
        return refusal(ERROR, "ERROR", "FPGA image header check failed.");
    py::object programmed =
        core::call_method<2>(self, n._fpgaProgramFile, {image_path.ptr(), device_type.ptr()}, n.kw_programFile);
    if (!truth(programmed)) return refusal(ERROR, "ERROR", "FPGA update process failed.");

    py::object version = updated_version(self, device_type);
    log(INFO, "Updated FPGA version: " + str_of(version));
    log(INFO, "FPGA update process completed successfully.");
    result["success"] = true;
    result["fw_version"] = version;
    return core::call<1>(global(n.RetType), {result.ptr()}, n.kw_data);
}

}  // namespace ondrel::tarnel
