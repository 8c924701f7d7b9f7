// ondrel._transfer, the engine of ondrel.Tarnel: what the library offers
// beyond FpgaTool's own operations (windowed transfers, an update told where
// its progress goes, reading flash back, the connection's link).  Its
// functions belong to ondrel.Tarnel (its namespace and state, as if defined
// there); the module is made when ondrel.Tarnel loads and is registered as
// the package's submodule, so ondrel.Tarnel keeps exactly its own names.
#include "core/function.hpp"
#include "core/imports.hpp"
#include "core/module.hpp"
#include "tarnel/files.hpp"
#include "tarnel/link.hpp"
#include "tarnel/program.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"

#include <optional>

namespace ondrel::tarnel {

namespace {

// The engine's own arguments, checked when given.
ProgramOptions options_of(const Ctx& c, Handle tool, Handle window, Handle lines, Handle progress,
                          Handle erase_timeout) {
    ProgramOptions options;
    options.window = window_size(window);
    if (options.window > 1) require_own_exchange(c, tool);
    options.lines = lines;
    options.progress = progress;
    if (!erase_timeout.is_none()) {
        double seconds = core::to_double(erase_timeout);
        if (!(seconds > 0) || seconds > 86400)
            core::raise(PyExc_ValueError, "erase_timeout must be above 0 and at most 86400 seconds, not " +
                                              core::utf8(core::repr(erase_timeout)));
    }
    options.erase_timeout = erase_timeout;
    return options;
}

ONDREL_ARGS(ProgramFileArgs, tool, image_path, device_type, window, lines, progress, erase_timeout);

Ref engine_program_file(const Ctx& c, const ProgramFileArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    Ref device_type = core::require_integer(a.device_type, "device_type");
    ProgramOptions options = options_of(c, a.tool, a.window, a.lines, a.progress, a.erase_timeout);
    return core::boolean(program_file(c, a.tool, image_path, device_type, options));
}

ONDREL_ARGS(UpdateArgs, tool, image_path, device_type, window, lines, progress, erase_timeout);

Ref engine_process_update(const Ctx& c, const UpdateArgs& a) {
    ProgramOptions options = options_of(c, a.tool, a.window, a.lines, a.progress, a.erase_timeout);
    return process_update(c, a.tool, a.image_path, a.device_type, &options);
}

ONDREL_ARGS(VersionArgs, tool, device_type);

Ref engine_version_after_update(const Ctx& c, const VersionArgs& a) {
    return version_after_update(c, a.tool, core::require_integer(a.device_type, "device_type"));
}

ONDREL_ARGS(CheckImageArgs, tool, image_path);

// The tool's own file and header checks, run as an update runs them; what
// they accepted is read back: the image bytes an update would program and
// the container's header.
Ref engine_check_image(const Ctx& c, const CheckImageArgs& a) {
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

ONDREL_ARGS(ReadPagesArgs, tool, pages, window, progress);

Ref engine_read_pages(const Ctx& c, const ReadPagesArgs& a) {
    Ref count = core::require_integer(a.pages, "pages");
    int overflow = 0;
    long long pages = core::to_long_long(count, &overflow);
    if (overflow || pages < 0)
        core::raise(PyExc_ValueError, "pages must be a whole number from 0 on, not " + core::decimal(count));
    size_t window = window_size(a.window);
    if (window > 1) require_own_exchange(c, a.tool);
    return read_pages(c, a.tool, static_cast<uint64_t>(pages), window, a.progress);
}

ONDREL_ARGS(WindowArgs, window);

Ref engine_check_window(const Ctx&, const WindowArgs& a) { return core::integer(window_size(a.window)); }

ONDREL_ARGS(KeyArgs, device_types);

// The tags' key of a container sealed for `device_types` (one, or a list).
Ref engine_container_key(const Ctx&, const KeyArgs& a) {
    return core::bytes(protocol::kKeyText + device_types_text(a.device_types));
}

ONDREL_ARGS(AdoptArgs, cls);

// The connection class built on links registers itself: a connection of
// exactly this class, its exchange methods as they are now, has its
// exchanges done on its link directly.
Ref engine_adopt_connection_class(const Ctx& c, const AdoptArgs& a) {
    if (!PyType_Check(a.cls.ptr())) core::raise_argument_type("cls", "type", a.cls);
    LinkClass known;
    known.type = Ref::borrow(a.cls);
    for (PyObject* name : {c.n.sendCmd, c.n.sendRawBytes, c.n.recvRawBytes, c.n.sendCommands, c.n.recvReplies})
        known.methods.emplace_back(name, core::getattr(a.cls, name));
    c.state.link_class = known;
    return core::none();
}

const char* const kProgramDoc =
    "Write an image as FpgaTool._fpgaProgramFile does, with up to `window` commands in flight.\n"
    "\n"
    "A window above 1 sends the program and read commands itself, past the tool's _sendCmd,\n"
    "_getRecv, _fpgaProgram and _fpgaRead: a tool that replaces one of those is refused with\n"
    "TypeError.  Every other operation of the tool (erase, page pointer, done, refresh, the\n"
    "progress callback) is called as usual.  On a refused block the commands in flight are\n"
    "drained and the image is written again from the erase, one block at a time.  The progress\n"
    "line goes to `lines` (a text stream), or to sys.stdout when it is None.  `progress`, when\n"
    "given, is told (\"erase\", 0, 0) before the erase (an error it raises stops there), (\"write\" or\n"
    "\"verify\", done, total) at each stage's start and end and about ten times a second between,\n"
    "(\"refresh\", 0, 0) before done and refresh, and, on a failure, the stage and bytes reached.\n"
    "`erase_timeout`, when given, is the connection's time-out for the erase's reply.";

const char* const kUpdateDoc =
    "FpgaTool.processFpgaUpdate with the programming's options of program_file: the same checks,\n"
    "logs, results and errors.  The options go with the tool's own _fpgaProgramFile; one that\n"
    "replaces it is called as processFpgaUpdate calls it.";

const char* const kReadDoc =
    "Read `pages` pages (FPGA_READ) with up to `window` commands in flight; the replies without\n"
    "their framing, joined.  `progress`, when given, is called with the pages read so far, about\n"
    "ten times a second and at the end.  Resets nothing: reset the page pointer first.  A window of\n"
    "1 reads through the tool's _fpgaRead; a larger one goes past the same operations as\n"
    "program_file.";

const char* const kCheckImageDoc =
    "The tool's _checkUpdateFile and _checkFileHeader, run on `image_path` as an update runs them.\n"
    "A dict: accepted (bool); kind (\"raw\", \"container\" or None); image (the bytes an update\n"
    "would program, or None); header (the container's header, as its check parsed it, or None);\n"
    "file (the file's bytes the checks accepted: the container as far as its sizes reach, or\n"
    "the raw image; None).\n"
    "The reasons of a refusal are the check's log records.";

const char* const kCheckDoc =
    "The window as an int: an integer from 1 to 65536 (not a bool), else TypeError or ValueError.";

const char* const kVersionDoc =
    "The FPGA version the device runs, read as an update reads it after the programming: device\n"
    "type 32, the version query (a version text or empty, else ConnectionError: out of step); 28,\n"
    "the first record of the device information; others, \"\".";

const char* const kKeyDoc =
    "The key of a container's tags for `device_types` (one, or a list, sorted in place): b\"58203617\"\n"
    "and each type written with at least three digits.";

const char* const kAdoptDoc = "Registers the connection class whose instances hold a Link as `_link`.";

const char* const kEngineDoc =
    "The engine of ondrel.Tarnel: windowed transfers, updates told where their "
    "progress goes, reading flash back, and the connections' link.";

}  // namespace

void make_engine(Handle tarnel, State& state) {
    std::string package = state.package;
    std::string name = package + "._transfer";
    Ref engine = core::new_module(name);
    core::setattr(engine, "__doc__", core::text(kEngineDoc));
    Ref shown = core::text(name);
    Ref builtins = core::import("builtins");
    Ref int_t = core::getattr(builtins, "int"), str_t = core::getattr(builtins, "str"),
        bool_t = core::getattr(builtins, "bool"), bytes_t = core::getattr(builtins, "bytes");
    using core::annotated;
    using core::with_default;
    auto bind = [&](const core::FunctionDef& def) {
        core::setattr(engine, def.name.c_str(), core::make_function(def, tarnel, def.name, Handle(), shown));
    };
    auto transfer_options = [&](long long window) {
        return std::vector<core::Spec>{with_default("window", core::integer(window), int_t),
                                       with_default("lines", core::none()), with_default("progress", core::none()),
                                       with_default("erase_timeout", core::none())};
    };
    std::vector<core::Spec> specs = {annotated("image_path", str_t),
                                     with_default("device_type", core::integer(28), int_t)};
    for (core::Spec& spec : transfer_options(32)) specs.push_back(spec);
    bind(method<ProgramFileArgs, engine_program_file>("program_file", kProgramDoc, specs, bool_t));
    specs = {with_default("image_path", core::none()), with_default("device_type", core::integer(32), int_t)};
    for (core::Spec& spec : transfer_options(1)) specs.push_back(spec);
    bind(method<UpdateArgs, engine_process_update>("process_update", kUpdateDoc, specs));
    bind(method<CheckImageArgs, engine_check_image>("check_image", kCheckImageDoc, {annotated("image_path", str_t)},
                                                    core::getattr(builtins, "dict")));
    bind(method<ReadPagesArgs, engine_read_pages>(
        "read_pages", kReadDoc,
        {annotated("pages", int_t), with_default("window", core::integer(32), int_t),
         with_default("progress", core::none())},
        bytes_t));
    bind(method<WindowArgs, engine_check_window>("check_window", kCheckDoc, {}, int_t));
    bind(method<VersionArgs, engine_version_after_update>("version_after_update", kVersionDoc,
                                                          {annotated("device_type", int_t)}));
    bind(method<KeyArgs, engine_container_key>("container_key", kKeyDoc, {}, bytes_t));
    bind(method<AdoptArgs, engine_adopt_connection_class>("adopt_connection_class", kAdoptDoc));
    add_link_type(engine);

    // The package's submodule, as an import of it would leave it.
    core::set_item(core::getattr(core::import("sys"), "modules"), core::text(name), engine);
    Ref parent = core::import(package.c_str());
    core::setattr(parent, "_transfer", engine);
    state.engine = engine;
}

}  // namespace ondrel::tarnel
