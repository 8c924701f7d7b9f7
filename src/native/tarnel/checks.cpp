// FpgaTool: the image file checks, the container header check and the
// control firmware version check.
#include "tarnel/files.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <errno.h>

#include <functional>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::getattr;
using core::steal_or_throw;
using core::truth;

// Runs `step`; if it raises an ordinary error (not an interrupt), returns the
// error's text instead ("out of memory" for a MemoryError without text).
std::optional<std::string> failure_of(const std::function<void()>& step) {
    try {
        step();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string text = str_of(e.value());
        if (text.empty() && e.matches(PyExc_MemoryError)) text = "out of memory";
        return text;
    } catch (const py::builtin_exception& e) {
        return std::string(e.what());
    } catch (const std::bad_alloc&) {
        return std::string("out of memory");
    }
    return std::nullopt;
}

// Errors that pathlib's exists() and is_file() read as "not there".
bool means_absent(int err) { return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP; }

// The bytes of `span`, as a view that keeps `data` alive: a callee (a spy on
// hmac, say) may keep it after the check is over.
py::object view_of(const py::object& data, Span span) { return tarnel::view_of(data, span.begin, span.end); }

bool tags_equal(const Ctx& c, py::handle computed, py::handle stored) {
    return truth(call_method<2>(c.global(c.n.hmac), c.n.compare_digest, {computed.ptr(), stored.ptr()}));
}

// The decimal text of a device type, "03d" (the integer conversion may fail).
std::string device_type_text(py::handle value) {
    py::object number = steal_or_throw(PyNumber_Long(value.ptr()));
    return zero_fill3(to_std(py::str(number)));
}

// devtype_str: one device type, or the sorted list of them joined.
std::string device_types_text(py::handle devtype) {
    if (!PyList_Check(devtype.ptr())) return device_type_text(devtype);
    if (PyList_Sort(devtype.ptr()) < 0) core::throw_python_error();
    std::string out;
    for (py::handle item : py::reinterpret_borrow<py::list>(devtype)) out += device_type_text(item);
    return out;
}

// Steps 5 to 14 of the header check; a raised error is a parse failure.
bool check_container(const Ctx& c, const py::object& data, const std::string& path) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.ptr()));
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));

    std::optional<Preamble> pre = read_preamble(bytes, size);
    if (!pre) {
        PyErr_Format(PyExc_ValueError, "the file is %zu bytes long, too short for the container sizes (%zu bytes)",
                     size, kSizeFieldsLength);
        core::throw_python_error();
    }
    Span header_tag = clamp_span(kHeaderTagOffset, kTagSize, size);
    Span image_tag = clamp_span(kImageTagOffset, kTagSize, size);
    Span header = clamp_span(kHeaderOffset, pre->header_length, size);

    // The JSON text without the NUL padding around it.
    Span text = header;
    while (text.begin < text.end && bytes[text.begin] == 0) text.begin++;
    while (text.end > text.begin && bytes[text.end - 1] == 0) text.end--;
    py::object header_text = steal_or_throw(PyUnicode_DecodeUTF8(
        reinterpret_cast<const char*>(bytes) + text.begin, static_cast<Py_ssize_t>(text.length()), "strict"));
    py::object header_json = call_method(c.global(c.n.json), c.n.loads, header_text);
    if (c.log_enabled(DEBUG)) c.log(DEBUG, "FPGA tbin header: " + str_of(header_json));

    if (!PyDict_Check(header_json.ptr())) {
        PyErr_Format(PyExc_TypeError, "the header is a JSON %s, not an object", Py_TYPE(header_json.ptr())->tp_name);
        core::throw_python_error();
    }
    py::dict fields = py::reinterpret_borrow<py::dict>(header_json);
    py::object devtype = call_method(fields, c.n.get, c.n.DEV_TYPE);
    if (!truth(devtype)) devtype = call_method(fields, c.n.get, c.n.dev_type);
    if (devtype.is_none()) c.log(WARNING, "FPGA tbin header missing dev_type/DEV_TYPE");
    std::string key = "58203617" + device_types_text(devtype);
    py::bytes secret(key);

    py::object hmac = c.global(c.n.hmac);
    // hmac.digest(key, msg, "sha256"); it lets go of the interpreter lock for a large message
    auto digest = [&](Span span) {
        py::object message = view_of(data, span);
        return core::call_method<3>(hmac, c.n.digest, {secret.ptr(), message.ptr(), c.n.sha256});
    };
    py::object computed = digest(header);
    if (!tags_equal(c, computed, view_of(data, header_tag))) {
        c.log(ERROR, "FPGA tbin header hash mismatch");
        return false;
    }
    Span image = clamp_span(pre->image_start, pre->image_length, size);
    computed = digest(image);
    if (!tags_equal(c, computed, view_of(data, image_tag))) {
        c.log(ERROR, "FPGA tbin image hash mismatch");
        return false;
    }
    // A sealed empty image would erase the flash and write nothing.
    if (image.length() == 0) {
        c.log(ERROR, "FPGA tbin image is empty: " + path);
        return false;
    }
    c.log(DEBUG, "FPGA tbin hash verify success");
    return true;
}

}  // namespace

py::object op_checkFileHeader(const Args& a) {
    Ctx c(a);
    py::handle image_path = core::require_text(a[1], "image_path");
    std::string fs = fs_path(image_path);
    if (image_kind(fs) == ImageKind::Bin) {
        uint64_t size = file_size(fs, image_path);
        if (c.log_enabled(DEBUG))
            c.log(DEBUG, "FPGA image header check: " + str_of(image_path) + ", size=" + std::to_string(size));
        return py::bool_(true);
    }

    py::object data;
    if (auto error = failure_of([&] { data = read_container(fs, image_path); })) {
        c.log(ERROR, "FPGA image file not readable: " + str_of(image_path) + ", " + *error);
        return py::bool_(false);
    }
    bool verified = false;
    if (auto error = failure_of([&] { verified = check_container(c, data, str_of(image_path)); })) {
        c.log(ERROR, "FPGA tbin header parse error: " + *error);
        return py::bool_(false);
    }
    // Within an update, its programming step writes exactly these bytes.
    if (verified) {
        if (VerifiedImage* update = c.update_in_progress(a[0], image_path)) update->data = data;
    }
    return py::bool_(verified);
}

py::object op_checkUpdateFile(const Args& a) {
    Ctx c(a);
    py::handle image_path = core::require_text(a[1], "image_path");
    std::string path = str_of(image_path);
    std::string fs = fs_path(image_path);
    auto refuse = [&](const std::string& message) {
        c.log(ERROR, message);
        return py::bool_(false);
    };
    // A missing path, a non-directory on the way (a file name followed by a
    // slash included) and a symbolic-link loop are absence; any other
    // failure of these two tests reaches the caller.  The path is used as
    // given, as every later step uses it.
    auto status = [&]() {
        PathStatus s = stat_path(fs);
        if (s.err && !means_absent(s.err)) raise_os_error(s.err, image_path);
        return s;
    };

    // No file has a name with a NUL in it (pathlib's exists() says False).
    if (fs.find('\0') != std::string::npos || status().err) return refuse("FPGA image path not found: " + path);
    if (image_kind(fs) == ImageKind::Other) return refuse("FPGA image file type error: " + path);
    PathStatus regular = status();
    if (regular.err || !S_ISREG(regular.st.st_mode)) return refuse("FPGA image not found: " + path);
    if (auto error = failure_of([&] { file_size(fs, image_path); }))
        return refuse("FPGA image file error: " + path + ", " + *error);
    if (file_size(fs, image_path) == 0) return refuse("FPGA image is empty: " + path);
    if (auto error = failure_of([&] {
            FileReader reader(fs, image_path);
            char byte;
            reader.read(&byte, 1);
        }))
        return refuse("FPGA image file not readable: " + path + ", " + *error);
    return py::bool_(true);
}

py::object op_checkControlFwVersion(const Args& a) {
    Ctx c(a);
    const Names& n = c.n;
    py::object VER = c.global(n.VER);
    py::object device = VER(call_method(a[0], n._fpgaGetControlFwVer));
    if (c.log_enabled(DEBUG)) c.log(DEBUG, "RIS control FW version: " + str_of(device));
    py::object minimum_text = c.global(n._FPGA_FW_VER_MIN);
    py::object minimum = VER(minimum_text);
    if (truth(steal_or_throw(PyObject_RichCompare(device.ptr(), minimum.ptr(), Py_LT)))) {
        c.log(WARNING, "RIS control FW version " + str_of(device) + " is lower than minimum required version " +
                         str_of(minimum_text));
        return py::bool_(false);
    }
    return py::bool_(true);
}

}  // namespace ondrel::tarnel
