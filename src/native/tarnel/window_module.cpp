// The windowed transfer's entry points: a second module in this library,
// loaded by ondrel.tools.windowed under the name ondrel.tools._window.  Its
// functions belong to ondrel.Tarnel (its namespace and state, as if defined
// there) without being bound in it, so that module keeps exactly its own
// names.
#include "core/imports.hpp"
#include "tarnel/files.hpp"
#include "tarnel/program.hpp"
#include "tarnel/pure.hpp"

#include <optional>

namespace ondrel::tarnel {

PyModuleDef& tarnel_definition();

namespace {

ONDREL_ARGS(ProgramFileArgs, tool, image_path, device_type, window, lines);

Ref program_file_windowed(const Ctx& c, const ProgramFileArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    Ref device_type = core::require_integer(a.device_type, "device_type");
    size_t window = window_size(a.window);
    if (window > 1) require_own_exchange(c, a.tool);
    return core::boolean(program_file(c, a.tool, image_path, device_type, window, a.lines));
}

ONDREL_ARGS(CheckImageArgs, tool, image_path);

// The tool's own file and header checks, run as an update runs them; what
// they accepted is read back: the image bytes an update would program and
// the container's header.
Ref check_image(const Ctx& c, const CheckImageArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    UpdateScope scope(c.state, a.tool);
    Ref result = core::new_dict();
    auto set = [&](const char* key, Handle value) { core::dict_set(result, key, value); };
    set("accepted", core::boolean(false));
    set("kind", core::none());
    set("image", core::none());
    set("header", core::none());
    set("file", core::none());
    if (!core::truth(core::call_method(a.tool, c.n._checkUpdateFile, image_path)) ||
        !core::truth(core::call_method(a.tool, c.n._checkFileHeader, image_path)))
        return result;
    set("accepted", core::boolean(true));
    if (scope.update().checked.empty()) return result;  // checks that looked at no file
    const CheckedImage& checked = scope.update().checked.back();
    if (checked.container) {
        const char* bytes = PyBytes_AS_STRING(checked.container.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(checked.container.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(bytes), size);
        Span image = clamp_span(pre->image_start, pre->image_length, size);
        set("kind", core::text("container"));
        set("image", bytes_of(bytes + image.begin, image.length()));
        set("header", checked.header);
        set("file", checked.container);
        return result;
    }
    FileReader reader(fs_path(image_path), image_path);
    Ref image = reader.read_bytes(0, checked.stamp.size);
    uint64_t got = static_cast<uint64_t>(PyBytes_GET_SIZE(image.ptr()));
    if (got != checked.stamp.size) {  // a pseudo-file, say, whose size is not what it holds
        c.log(ERROR, "FPGA image file reads " + std::to_string(got) + " bytes where its size is " +
                         std::to_string(checked.stamp.size) + ": " + core::utf8(image_path));
        set("accepted", core::boolean(false));
        return result;
    }
    if (!reader.stamp().unchanged(checked.stamp)) {
        c.log(ERROR, "FPGA image file changed after its check: " + core::utf8(image_path));
        set("accepted", core::boolean(false));
        return result;
    }
    set("kind", core::text("raw"));
    set("image", image);
    set("file", image);
    return result;
}

// Gathers the pages a transfer reads.
class PageCollector final : public TransferEvents {
public:
    explicit PageCollector(Handle progress) : progress_(progress) {}
    void block_written(size_t, Clock::time_point, Clock::time_point) override {}
    void page_read(Handle payload, Clock::time_point, Clock::time_point) override {
        core::list_append(payloads_, payload);
        if (!progress_.is_none()) core::call(progress_, core::integer(++count_));
    }
    Ref joined() const { return core::join_bytes(payloads_); }

private:
    Handle progress_;
    Ref payloads_ = core::new_list();
    long long count_ = 0;
};

ONDREL_ARGS(ReadPagesArgs, tool, pages, window, progress);

Ref read_pages(const Ctx& c, const ReadPagesArgs& a) {
    Ref count = core::require_integer(a.pages, "pages");
    int overflow = 0;
    long long pages = core::to_long_long(count, &overflow);
    if (overflow || pages < 0)
        core::raise(PyExc_ValueError, "pages must be a whole number from 0 on, not " + core::decimal(count));
    size_t window = window_size(a.window);
    if (window > 1) require_own_exchange(c, a.tool);
    PageCollector pages_read(a.progress);
    std::unique_ptr<Transfer> transfer =
        window > 1 ? windowed(c, a.tool, window, pages_read) : one_at_a_time(c, a.tool, pages_read);
    try {
        transfer->read(static_cast<uint64_t>(pages));
    } catch (...) {
        if (core::thread_is_ending()) core::park_thread();
        transfer->abandon();
        throw;
    }
    return pages_read.joined();
}

ONDREL_ARGS(WindowArgs, window);

Ref check_window(const Ctx&, const WindowArgs& a) { return core::integer(window_size(a.window)); }

const char* const kProgramDoc =
    "Write an image as FpgaTool._fpgaProgramFile does, with up to `window` commands in flight.\n"
    "\n"
    "The program and read commands go straight to the tool's connection, past its\n"
    "_sendCmd, _getRecv, _fpgaProgram and _fpgaRead: a tool that replaces one of those is\n"
    "refused with TypeError.  Every other operation of the tool (erase, page pointer,\n"
    "done, refresh, the progress callback) is called as usual.  On a refused block the\n"
    "commands in flight are drained and the image is written again from the erase, one\n"
    "block at a time.  A window of 1 is _fpgaProgramFile itself.  The progress line goes to\n"
    "`lines` (a text stream), or to sys.stdout when it is None.";

const char* const kReadDoc =
    "Read `pages` pages (FPGA_READ) with up to `window` commands in flight; the replies without\n"
    "their framing, joined.  `progress`, when given, is called with the pages read so far.\n"
    "Resets nothing: reset the page pointer first.  A window of 1 reads through the tool's\n"
    "_fpgaRead; a larger one goes past the same operations as program_file.";

const char* const kCheckImageDoc =
    "The tool's _checkUpdateFile and _checkFileHeader, run on `image_path` as an update runs them.\n"
    "A dict: accepted (bool); kind (\"raw\", \"container\" or None); image (the bytes an update\n"
    "would program, or None); header (the container's header, as its check parsed it, or None);\n"
    "file (the file's bytes the checks accepted: the container as far as its sizes reach, or\n"
    "the raw image; None).\n"
    "The reasons of a refusal are the check's log records.";

const char* const kCheckDoc =
    "The window as an int: an integer from 1 to 65536 (not a bool), else TypeError or ValueError.";

void load_window(Handle m) {
    std::string root = core::parent_package(core::text(core::parent_package(core::getattr(m, "__name__"))));
    Ref tarnel = core::import((root + ".Tarnel").c_str());
    if (PyModule_GetDef(tarnel.ptr()) != &tarnel_definition())
        core::raise(PyExc_ImportError, "the windowed engine works only with the ondrel.Tarnel it was built with");
    Ref shown = core::text(root + ".tools.windowed");
    Ref int_t = core::getattr(core::import("builtins"), "int");
    Ref str_t = core::getattr(core::import("builtins"), "str");
    Ref bool_t = core::getattr(core::import("builtins"), "bool");
    Ref bytes_t = core::getattr(core::import("builtins"), "bytes");
    using core::annotated;
    using core::with_default;
    Ref window_default = core::integer(32);
    auto bind = [&](const core::FunctionDef& def) {
        core::setattr(m, def.name.c_str(), core::make_function(def, tarnel, def.name, Handle(), shown));
    };
    bind(method<ProgramFileArgs, program_file_windowed>(
        "program_file", kProgramDoc,
        {annotated("image_path", str_t), with_default("device_type", core::integer(28), int_t),
         with_default("window", window_default, int_t), with_default("lines", core::none())},
        bool_t));
    bind(method<CheckImageArgs, check_image>("check_image", kCheckImageDoc, {annotated("image_path", str_t)},
                                             core::getattr(core::import("builtins"), "dict")));
    bind(method<ReadPagesArgs, read_pages>("read_pages", kReadDoc,
                                           {annotated("pages", int_t), with_default("window", window_default, int_t),
                                            with_default("progress", core::none())},
                                           bytes_t));
    bind(method<WindowArgs, check_window>("check_window", kCheckDoc, {}, int_t));
}

int exec_window(PyObject* m) { return core::exec_stateless(m, load_window); }

PyModuleDef_Slot window_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_window)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef window_def = {PyModuleDef_HEAD_INIT,
                          "_window",
                          "The windowed transfer engine of ondrel.Tarnel.",
                          0,
                          nullptr,
                          window_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

}  // namespace ondrel::tarnel

extern "C" ONDREL_EXPORT PyObject* PyInit__window() { return PyModuleDef_Init(&ondrel::tarnel::window_def); }
