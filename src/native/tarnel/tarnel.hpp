// ondrel.Tarnel: the module's state, what a method body works with, and how
// a concern file declares its methods beside their bodies.
#pragma once

#include "core/calls.hpp"
#include "core/function.hpp"
#include "core/module.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ondrel::tarnel {

using core::Handle;
using core::Ref;

// The names the module uses on hot paths, made once when it loads.
// clang-format off: one name a word, in groups
#define TARNEL_NAMES(NAME, VALUE)                                                                            \
    /* instance fields */                                                                                    \
    NAME(_conn) NAME(_owns_conn) NAME(progress_callback)                                                     \
    /* operations of FpgaTool */                                                                             \
    NAME(_getRecv) NAME(_sendCmd) NAME(_fpgaCtrlInit) NAME(_fpgaGetId) NAME(_fpgaGetVersion)                 \
    NAME(_fpgaCfgMode) NAME(_fpgaErase) NAME(_fpgaRstPagePtr) NAME(_fpgaProgram) NAME(_fpgaRead)             \
    NAME(_fpgaDone) NAME(_fpgaRefresh) NAME(_fpgaGetInfo) NAME(_fpgaGetControlFwVer) NAME(_fpgaProgramFile)  \
    NAME(_checkUpdateFile) NAME(_checkFileHeader) NAME(deleteTempFile)                                       \
    /* the connection and its results */                                                                     \
    NAME(initConnection) NAME(sendCmd) NAME(sendRawBytes) NAME(recvRawBytes) NAME(closeConnection)           \
    NAME(sendCommands) NAME(recvReplies) NAME(RetData) NAME(RetCode) NAME(RSP_LIST) NAME(__getattribute__)   \
    NAME(_link) NAME(settimeout) NAME(timeout) NAME(isConnected)                                             \
    /* module globals */                                                                                     \
    NAME(RspType) NAME(RetType) NAME(VER) NAME(logger) NAME(hashlib) NAME(hmac) NAME(json)                   \
    VALUE(struct_, core::name("struct")) NAME(sys) NAME(_DEVICE_WHITELIST) NAME(_FPGA_FW_VER_MIN)            \
    NAME(_FPGA_VER_MIN_DEV32) NAME(error) VALUE(code_ok, core::name("OK"))                                   \
    VALUE(code_error, core::name("ERROR")) VALUE(code_warning, core::name("WARNING"))                        \
    /* logger, stream and digest methods */                                                                  \
    NAME(isEnabledFor) NAME(debug) NAME(info) NAME(warning) VALUE(stdout_, core::name("stdout"))             \
    NAME(write) NAME(flush) NAME(update) NAME(hexdigest) NAME(sha256) NAME(digest) NAME(compare_digest)      \
    NAME(loads) NAME(get) NAME(decode) NAME(strip) VALUE(fpga_ver, core::name("fpga_ver"))                   \
    VALUE(empty_text, core::name("")) VALUE(DEV_TYPE, core::name("DEV_TYPE"))                                \
    VALUE(dev_type, core::name("dev_type")) VALUE(utf_8, core::name("utf-8"))                                \
    VALUE(replace_errors, core::name("replace"))                                                             \
    /* keyword names of calls */                                                                             \
    VALUE(kw_getRecv, core::keywords({"log_print", "size", "isdecode"}))                                     \
    VALUE(kw_isdecode, core::keywords({"isdecode"}))                                                         \
    VALUE(kw_programFile, core::keywords({"image_path", "device_type"}))                                     \
    VALUE(kw_data, core::keywords({"data"}))
// clang-format on

ONDREL_NAMES(Names, TARNEL_NAMES);

// What identifies a file and tells whether it changed: its device and inode
// as opened, its size and its modification and status-change times.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modified_ns = 0;
    int64_t changed_ns = 0;

    bool same_file(const FileStamp& other) const { return device == other.device && inode == other.inode; }
    bool unchanged(const FileStamp& other) const {
        return same_file(other) && size == other.size && modified_ns == other.modified_ns &&
               changed_ns == other.changed_ns;
    }
};

// An image file that a check of the update accepted.
struct CheckedImage {
    FileStamp stamp;
    Ref container;  // the container bytes the header check verified; empty for a raw image
    Ref header;     // the container's parsed header; empty for a raw image
};

// One processFpgaUpdate in progress: the files its checks accepted, so that
// its programming writes exactly what was checked, whatever path spelling
// reached the file.  Lives on the stack of processFpgaUpdate.
struct UpdateInProgress {
    PyObject* tool;        // the FpgaTool running the update
    unsigned long thread;  // the thread running it
    std::vector<CheckedImage> checked;
};

// A connection a windowed transfer works on, from its first gathered command
// until it ends: any other exchange on it would read a reply meant for the
// transfer.
struct BusyConnection {
    PyObject* conn;
    const size_t* in_flight;
};

// The connection class built on links (ondrel.QarCommService._TCPConn, which
// registers itself), and its exchange methods as they were then: a
// connection of exactly that class, with none of them replaced, has its
// exchanges done on its link directly.
struct LinkClass {
    Ref type;
    std::vector<std::pair<PyObject*, Ref>> methods;  // name (interned by Names), function
};

// The state of one import of the module, kept on the module object.
struct State {
    Names n;
    std::string package;                     // "ondrel": where the sibling modules are imported from
    std::vector<UpdateInProgress*> updates;  // updates in progress, innermost last
    std::vector<BusyConnection> busy;        // windowed transfers with commands in flight
    // FpgaTool's own exchange operations, by name: a windowed transfer goes
    // past them, so it refuses a tool that replaces one.
    std::vector<std::pair<PyObject*, Ref>> own_exchange;
    Ref own_program_file;  // FpgaTool._fpgaProgramFile
    LinkClass link_class;
    Ref engine;  // ondrel._transfer, made when the module loads

    int traverse(visitproc visit, void* arg) {
        for (auto& entry : own_exchange) Py_VISIT(entry.second.ptr());
        for (auto& entry : link_class.methods) Py_VISIT(entry.second.ptr());
        Py_VISIT(link_class.type.ptr());
        Py_VISIT(engine.ptr());
        Py_VISIT(own_program_file.ptr());
        return 0;
    }
    void clear() {
        own_exchange.clear();
        link_class = LinkClass();
        engine = Ref();
        own_program_file = Ref();
    }
};

// Registers an update in progress on this thread for the time of a call.
class UpdateScope {
public:
    UpdateScope(State& state, Handle tool);
    ~UpdateScope();
    UpdateScope(const UpdateScope&) = delete;
    UpdateScope& operator=(const UpdateScope&) = delete;
    const UpdateInProgress& update() const { return update_; }

private:
    State& state_;
    UpdateInProgress update_;
};

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as time.monotonic()

// What a method body works with: its module's state and namespace, and the
// object the function was made with.
class Ctx {
public:
    explicit Ctx(const core::Args& a)
        : state(a.state<State>()), n(state.n), closure(a.closure()), globals_(a.globals()) {}

    State& state;
    const Names& n;
    Handle closure;

    // A module-level name, looked up when used (as a Python function would),
    // so a rebinding of the module attribute takes effect.
    Ref global(PyObject* name) const { return core::module_global(globals_, name); }

    // Logging through the module's `logger`.  log_enabled tells whether a
    // record of this level would be handled (checked before a message is
    // built).
    bool log_enabled(Level level) const;
    void log(Level level, Handle message) const;
    void log(Level level, const std::string& message) const;

    // Writes ASCII text to sys.stdout as it is at the time of writing, or
    // to a given stream.
    void write_stdout(const std::string& ascii, bool flush_after) const;
    void write_to(Handle stream, const std::string& ascii, bool flush_after) const;

    // The update in progress by `tool` (on this thread, else on another), or nullptr.
    UpdateInProgress* update_in_progress(Handle tool) const;

    // Raises RuntimeError when a windowed transfer works on `conn`.
    void refuse_if_busy(Handle conn) const;

    // RetType(RetCode.<member>, message), the message also logged at `level`.
    Ref refusal(Level level, PyObject* member, const std::string& message) const;

private:
    Handle globals_;
};

// --- declaring methods ---------------------------------------------------------

// A method whose parameters are the fields of A (ONDREL_ARGS) and whose body
// is F(ctx, args).
template <class A, core::BodyWith<Ctx, A> F>
core::FunctionDef method(const char* name, const char* doc, const std::vector<core::Spec>& specs = {},
                         Ref returns = Ref()) {
    return core::method<A, core::with_context<Ctx, A, F>>(name, doc, specs, std::move(returns));
}

// The values declarations refer to, made once when the module loads.
struct Declare {
    Ref none, false_, true_;
    Ref recv_size;  // _RECV_SIZE when the class is made
    Ref str_t, int_t, bool_t, bytes_t, optional_str, ret_type;
};

// The methods of FpgaTool, by concern (any order; module.cpp orders them).
std::vector<core::FunctionDef> exchange_methods(const Declare& d);
std::vector<core::FunctionDef> check_methods(const Declare& d);
std::vector<core::FunctionDef> program_methods(const Declare& d);
std::vector<core::FunctionDef> update_methods(const Declare& d);

// --- helpers -------------------------------------------------------------------

// A new byte string holding a copy of `size` bytes.
inline Ref bytes_of(const char* data, size_t size) { return core::bytes(data, size); }

// A view of bytes[begin:end] that keeps the bytes alive for as long as it
// lives: whoever it is handed to may keep it.
Ref view_of(Handle bytes, size_t begin, size_t end);

// A raw reply without its 4 leading and 2 trailing bytes (empty when it has
// 6 bytes or fewer), as the raw exchange returns it.
Ref raw_payload(Handle reply);

// Whether a block program reply (text), stripped of surrounding whitespace,
// is exactly "0".
bool acknowledged(const Ctx& c, Handle reply);

// The path as the file system sees it (os.fsencode); the file functions
// refuse one with an embedded NUL.
std::string fs_path(Handle path);

// The device-type part of a container's key: one device type, or the list
// of them, sorted in place, each written with at least three digits, joined.
std::string device_types_text(Handle devtype);

// Makes ondrel._transfer, the engine (engine.cpp), when the module loads.
void make_engine(Handle tarnel, State& state);

}  // namespace ondrel::tarnel
