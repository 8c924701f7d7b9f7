// FpgaTool.initFpga and FpgaTool.processFpgaUpdate: the public operations.
#include "tarnel/tarnel.hpp"

#include <pythread.h>

#include <algorithm>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::equals;
using core::getattr;
using core::steal_or_throw;
using core::truth;

// The decimal text of an integer (of any int subclass).
std::string decimal(py::handle integer) { return to_std(steal_or_throw(PyLong_Type.tp_repr(integer.ptr()))); }

py::object code(const Ctx& c, const char* member) { return c.global(c.n.RetCode).attr(member); }

// RetType(code, message), logged at `level` with the same text.
py::object refusal(const Ctx& c, Level level, const char* member, const std::string& message) {
    c.log(level, message);
    return c.global(c.n.RetType)(code(c, member), text(message));
}

// Registers an update in progress for the time of its call (see
// VerifiedImage).
class UpdateScope {
public:
    UpdateScope(State& state, py::handle tool, py::handle path)
        : state_(state), update_{tool.ptr(), path.ptr(), PyThread_get_thread_ident(), py::object()} {
        state_.updates.push_back(&update_);
    }
    ~UpdateScope() {
        auto it = std::find(state_.updates.begin(), state_.updates.end(), &update_);
        if (it != state_.updates.end()) state_.updates.erase(it);
    }
    UpdateScope(const UpdateScope&) = delete;
    UpdateScope& operator=(const UpdateScope&) = delete;

private:
    State& state_;
    VerifiedImage update_;
};

py::object initialise(const Ctx& c, py::handle self, py::handle device_type, py::handle disable_fw_check,
                      py::dict& result) {
    const Names& n = c.n;
    call_method(self, n._fpgaCtrlInit);
    call_method(self, n._fpgaCfgMode, py::bytes("TRANS"));
    py::object fpga_id = call_method(self, n._fpgaGetId);
    result["fpga_id"] = fpga_id;
    c.log(INFO, "FPGA ID: " + str_of(fpga_id));

    if (equals(device_type, 32)) {
        py::object version = call_method(self, n._fpgaGetVersion);
        result["fpga_version"] = version;
        c.log(INFO, "FPGA Version: " + str_of(version));
        if (truth(version) && !truth(disable_fw_check)) {
            py::object VER = c.global(n.VER);
            py::object minimum = c.global(n._FPGA_VER_MIN_DEV32);
            py::object lower = steal_or_throw(PyObject_RichCompare(VER(version).ptr(), VER(minimum).ptr(), Py_LT));
            if (truth(lower))
                return refusal(c, WARNING, "WARNING",
                               "FPGA version " + str_of(version) + " is lower than minimum required version " +
                                   str_of(minimum) + ".");
        }
    }
    result["success"] = true;
    return c.global(n.RetType)(code(c, "OK"), "FPGA initialized successfully", result);
}

// The version of the new image, read back from the device.
py::object updated_version(const Ctx& c, py::handle self, py::handle device_type) {
    const Names& n = c.n;
    if (equals(device_type, 32)) return call_method(self, n._fpgaGetVersion);
    if (!equals(device_type, 28)) return py::str("");
    py::object info = call_method(c.global(n.json), n.loads, call_method(self, n._fpgaGetInfo));
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
    return core::call_method<2>(first, n.get, {n.fpga_ver, n.empty_text});
}

}  // namespace

py::object op_initFpga(const Args& a) {
    Ctx c(a);
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

    int supported = PySequence_Contains(c.global(c.n._DEVICE_WHITELIST).ptr(), device_type.ptr());
    if (supported < 0) core::throw_python_error();
    if (!supported)
        return refusal(c, WARNING, "WARNING",
                       "Device type " + decimal(device_type) + " is not supported for firmware version check.");
    try {
        return initialise(c, self, device_type, disable_fw_check, result);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;  // an interrupt is not a failed initialisation
        return refusal(c, ERROR, "ERROR", "FPGA initialization failed: " + str_of(e.value()));
    }
}

py::object op_processFpgaUpdate(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::handle self = a[0];
    py::handle image_path = core::require_text(a[1], "image_path", /*allow_none=*/true);
    py::object device_type = core::require_integer(a[2], "device_type");
    py::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["fw_version"] = "";

    if (image_path.is_none() || PyUnicode_GET_LENGTH(image_path.ptr()) == 0)
        return refusal(c, ERROR, "ERROR", "FPGA image path is not provided.");
    UpdateScope update(c.state, self, image_path);
    if (!truth(call_method(self, n._checkUpdateFile, image_path)))
        return refusal(c, ERROR, "ERROR", "FPGA update file check failed.");
    if (!truth(call_method(self, n._checkFileHeader, image_path)))
        return refusal(c, ERROR, "ERROR", "FPGA image header check failed.");
    py::object programmed =
        core::call_method<2>(self, n._fpgaProgramFile, {image_path.ptr(), device_type.ptr()}, n.kw_programFile);
    if (!truth(programmed)) return refusal(c, ERROR, "ERROR", "FPGA update process failed.");

    py::object version = updated_version(c, self, device_type);
    c.log(INFO, "Updated FPGA version: " + str_of(version));
    c.log(INFO, "FPGA update process completed successfully.");
    result["success"] = true;
    result["fw_version"] = version;
    return core::call<1>(c.global(n.RetType), {result.ptr()}, n.kw_data);
}

}  // namespace ondrel::tarnel
