// FpgaTool: the image file checks, the container header check and the
// control firmware version check.
#include "tarnel/files.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <errno.h>

#include <functional>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::truth;

// Runs `step`; if it raises an ordinary error (not an interrupt), returns the
// error's text instead ("out of memory" for a MemoryError without text).
std::optional<std::string> failure_of(const std::function<void()>& step) {
    try {
        step();
    } catch (core::Error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string text = core::utf8(e.value());
        if (text.empty() && e.matches(PyExc_MemoryError)) text = "out of memory";
        return text;
    } catch (const std::bad_alloc&) {
        return std::string("out of memory");
    }
    return std::nullopt;
}

// Errors that pathlib's exists() and is_file() read as "not there".
bool means_absent(int err) { return err == ENOENT || err == ENOTDIR || err == EBADF || err == ELOOP; }

// The bytes of `span`, as a view that keeps `data` alive: a callee (a spy on
// hmac, say) may keep it after the check is over.
Ref view_of(const Ref& data, Span span) { return tarnel::view_of(data, span.begin, span.end); }

bool tags_equal(const Ctx& c, Handle computed, Handle stored) {
    return truth(call_method(c.global(c.n.hmac), c.n.compare_digest, computed, stored));
}

// Verifies a container: its header is parsed for the device types that make
// the key, then both tags are compared.  A raised error is a parse failure.
bool check_container(const Ctx& c, const Ref& data, const std::string& path, Ref& header_out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.ptr()));
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));

    std::optional<Preamble> pre = read_preamble(bytes, size);
    if (!pre)
        core::raise(PyExc_ValueError, "the file is " + std::to_string(size) +
                                          " bytes long, too short for the container sizes (" +
                                          std::to_string(kSizeFieldsLength) + " bytes)");
    Span header_tag = clamp_span(kHeaderTagOffset, kTagSize, size);
    Span image_tag = clamp_span(kImageTagOffset, kTagSize, size);
    Span header = clamp_span(kHeaderOffset, pre->header_length, size);

    // The JSON text without the NUL padding around it.
    Span text = header;
    while (text.begin < text.end && bytes[text.begin] == 0) text.begin++;
    while (text.end > text.begin && bytes[text.end - 1] == 0) text.end--;
    Ref header_text = core::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes) + text.begin,
                                                       static_cast<Py_ssize_t>(text.length()), "strict"));
    Ref header_json = call_method(c.global(c.n.json), c.n.loads, header_text);
    header_out = header_json;
    if (c.log_enabled(DEBUG)) c.log(DEBUG, "FPGA tbin header: " + core::utf8(header_json));

    if (!PyDict_Check(header_json.ptr()))
        core::raise(PyExc_TypeError,
                    std::string("the header is a JSON ") + Py_TYPE(header_json.ptr())->tp_name + ", not an object");
    Ref devtype = call_method(header_json, c.n.get, c.n.DEV_TYPE);
    if (!truth(devtype)) devtype = call_method(header_json, c.n.get, c.n.dev_type);
    if (devtype.is_none()) c.log(WARNING, "FPGA tbin header missing dev_type/DEV_TYPE");
    Ref secret = core::bytes(protocol::kKeyText + device_types_text(devtype));

    Ref hmac = c.global(c.n.hmac);
    // hmac.digest(key, msg, "sha256"); it lets go of the interpreter lock for a large message
    auto digest = [&](Span span) { return call_method(hmac, c.n.digest, secret, view_of(data, span), c.n.sha256); };
    if (!tags_equal(c, digest(header), view_of(data, header_tag))) {
        c.log(ERROR, "FPGA tbin header hash mismatch");
        return false;
    }
    Span image = clamp_span(pre->image_start, pre->image_length, size);
    if (!tags_equal(c, digest(image), view_of(data, image_tag))) {
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

// Within an update, what a check accepted is what its programming writes
// (see UpdateInProgress).
void remember_checked(const Ctx& c, Handle tool, const FileStamp& stamp, Ref container = Ref(), Ref header = Ref()) {
    if (UpdateInProgress* update = c.update_in_progress(tool))
        update->checked.push_back(CheckedImage{stamp, std::move(container), std::move(header)});
}

ONDREL_ARGS(PathArgs, self, image_path);

Ref check_file_header(const Ctx& c, const PathArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    std::string path = core::utf8(image_path);
    std::string fs = fs_path(image_path);
    if (image_kind(fs) == ImageKind::Bin) {
        PathStatus status = stat_path(fs);
        if (status.err) raise_os_error(status.err, image_path);
        if (c.log_enabled(DEBUG))
            c.log(DEBUG, "FPGA image header check: " + path + ", size=" + std::to_string(status.stamp.size));
        remember_checked(c, a.self, status.stamp);
        return core::boolean(true);
    }

    Ref data;
    FileStamp stamp;
    if (auto error = failure_of([&] {
            FileReader reader(fs, image_path);
            data = reader.read_container();
            stamp = reader.stamp();
        })) {
        c.log(ERROR, "FPGA image file not readable: " + path + ", " + *error);
        return core::boolean(false);
    }
    bool verified = false;
    Ref header;
    if (auto error = failure_of([&] { verified = check_container(c, data, path, header); })) {
        c.log(ERROR, "FPGA tbin header parse error: " + *error);
        return core::boolean(false);
    }
    if (verified) remember_checked(c, a.self, stamp, data, header);
    return core::boolean(verified);
}

Ref check_update_file(const Ctx& c, const PathArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    std::string path = core::utf8(image_path);
    std::string fs = fs_path(image_path);
    auto refuse = [&](const std::string& message) {
        c.log(ERROR, message);
        return core::boolean(false);
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
    if (regular.err || !regular.regular) return refuse("FPGA image not found: " + path);
    if (auto error = failure_of([&] { file_size(fs, image_path); }))
        return refuse("FPGA image file error: " + path + ", " + *error);
    if (file_size(fs, image_path) == 0) return refuse("FPGA image is empty: " + path);
    if (auto error = failure_of([&] {
            FileReader reader(fs, image_path);
            char byte;
            reader.read_at(&byte, 1, 0);
        }))
        return refuse("FPGA image file not readable: " + path + ", " + *error);
    return core::boolean(true);
}

ONDREL_ARGS(SelfArgs, self);

Ref check_control_fw_version(const Ctx& c, const SelfArgs& a) {
    const Names& n = c.n;
    Ref VER = c.global(n.VER);
    Ref device = core::call(VER, call_method(a.self, n._fpgaGetControlFwVer));
    if (c.log_enabled(DEBUG)) c.log(DEBUG, "RIS control FW version: " + core::utf8(device));
    Ref minimum_text = c.global(n._FPGA_FW_VER_MIN);
    Ref minimum = core::call(VER, minimum_text);
    if (truth(core::rich_compare(device, minimum, Py_LT))) {
        c.log(WARNING, "RIS control FW version " + core::utf8(device) + " is lower than minimum required version " +
                           core::utf8(minimum_text));
        return core::boolean(false);
    }
    return core::boolean(true);
}

}  // namespace

// The decimal text of a device type, "03d" (the integer conversion may fail).
std::string device_type_text(Handle value) { return zero_fill3(core::decimal(core::to_int(value))); }

// The device-type part of the key: one device type, or the list of them,
// sorted in place, each written as above and joined.
std::string device_types_text(Handle devtype) {
    if (!PyList_Check(devtype.ptr())) return device_type_text(devtype);
    core::sort(devtype);
    // A snapshot: converting an item runs its own code, which may change the list.
    Ref items = core::snapshot(devtype);
    std::string out;
    for (Py_ssize_t i = 0; i < core::tuple_size(items); i++) out += device_type_text(core::tuple_item(items, i));
    return out;
}

std::vector<core::FunctionDef> check_methods(const Declare& d) {
    using core::annotated;
    return {
        method<SelfArgs, check_control_fw_version>(
            "_checkControlFwVersion", "Check if the control firmware version is compatible.", {}, d.bool_t),
        method<PathArgs, check_update_file>("_checkUpdateFile", "Check if the update file is valid.",
                                            {annotated("image_path", d.str_t)}, d.bool_t),
        method<PathArgs, check_file_header>("_checkFileHeader", nullptr, {annotated("image_path", d.str_t)}, d.bool_t),
    };
}

}  // namespace ondrel::tarnel
