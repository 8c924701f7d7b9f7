// ondrel.Tarnel: shared declarations of the module's state and of the method
// bodies of FpgaTool, which live one file per concern.
#pragma once

#include "core/calls.hpp"
#include "core/function.hpp"
#include "core/module.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace ondrel::tarnel {

namespace py = pybind11;
using core::Args;

// The names the module uses on hot paths, made once when it loads.
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
    NAME(RetData) NAME(RetCode) NAME(RSP_LIST) NAME(__getattribute__)                                        \
    /* module globals */                                                                                     \
    NAME(RspType) NAME(RetType) NAME(VER) NAME(logger) NAME(hashlib) NAME(hmac) NAME(json)                   \
    VALUE(struct_, core::name("struct")) NAME(sys) NAME(_DEVICE_WHITELIST) NAME(_FPGA_FW_VER_MIN)            \
    NAME(_FPGA_VER_MIN_DEV32)                                                                                \
    /* logger, stream and digest methods */                                                                  \
    NAME(isEnabledFor) NAME(debug) NAME(info) NAME(warning) NAME(error) VALUE(stdout_, core::name("stdout")) \
    NAME(write) NAME(flush) NAME(update) NAME(hexdigest) NAME(sha256) NAME(digest) NAME(compare_digest)      \
    NAME(loads) NAME(get) VALUE(fpga_ver, core::name("fpga_ver"))                                            \
    VALUE(empty_text, core::name("")) VALUE(DEV_TYPE, core::name("DEV_TYPE")) VALUE(dev_type, core::name("dev_type")) \
    /* keyword names of calls */                                                                             \
    VALUE(kw_getRecv, core::keywords({"log_print", "size", "isdecode"}))                                     \
    VALUE(kw_isdecode, core::keywords({"isdecode"}))                                                         \
    VALUE(kw_programFile, core::keywords({"image_path", "device_type"}))                                     \
    VALUE(kw_data, core::keywords({"data"}))

ONDREL_NAMES(Names, TARNEL_NAMES);

// The container bytes that one processFpgaUpdate's _checkFileHeader
// verified, kept for that update's own _fpgaProgramFile: it programs exactly
// these bytes, and refuses before the erase when the file no longer holds
// them.  Lives on the stack of processFpgaUpdate; nothing of it stays in the
// tool.
struct VerifiedImage {
    PyObject* tool;        // the FpgaTool running the update
    PyObject* path;        // the image path it was given
    unsigned long thread;  // the thread running it
    py::object data;       // empty until the check has verified the container
};

// The state of one import of the module, kept on the module object.
struct State {
    Names n;
    std::string package;                  // "ondrel": where the sibling modules are imported from
    std::vector<VerifiedImage*> updates;  // updates in progress, innermost last
    // FpgaTool's own exchange operations, by name: a windowed transfer goes
    // past them, so it refuses a tool that replaces one.
    std::vector<std::pair<PyObject*, py::object>> own_exchange;
};

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as time.monotonic()

// What a method body works with: its module's state and namespace.
class Ctx {
public:
    explicit Ctx(const Args& a) : state(a.state<State>()), n(state.n), globals_(a.globals()) {}

    State& state;
    const Names& n;

    // A module-level name, looked up when used (as a Python function would),
    // so a rebinding of the module attribute takes effect.
    py::object global(PyObject* name) const { return core::module_global(globals_, name); }

    // Logging through the module's `logger`.  log_enabled tells whether a
    // record of this level would be handled (checked before a message is
    // built).
    bool log_enabled(Level level) const;
    void log(Level level, py::handle message) const;
    void log(Level level, const std::string& message) const;

    // Writes ASCII text to sys.stdout as it is at the time of writing.
    void write_stdout(const std::string& ascii, bool flush_after) const;

    // The update in progress on this thread by `tool` for `path`, or nullptr.
    VerifiedImage* update_in_progress(py::handle tool, py::handle path) const;

private:
    py::handle globals_;
};

// --- text helpers ------------------------------------------------------------

inline py::str text(const std::string& s) { return py::str(s.data(), s.size()); }
inline std::string to_std(py::handle s) { return py::str(s).cast<std::string>(); }

// A new byte string holding a copy of `size` bytes.
py::object bytes_of(const char* data, size_t size);

// A view of bytes[begin:end] that keeps the bytes alive for as long as it
// lives: whoever it is handed to may keep it.
py::object view_of(const py::object& bytes, size_t begin, size_t end);

// A raw reply without its 4 leading and 2 trailing bytes (empty when it has
// 6 bytes or fewer), as the raw exchange returns it.
py::object raw_payload(py::handle reply);

// Whether a block program reply (text), stripped of surrounding whitespace,
// is exactly "0".
bool acknowledged(py::handle reply);

// str(obj) as a std::string (UTF-8, lone surrogates escaped).
std::string str_of(py::handle obj);

// The path as the file system sees it (os.fsencode); the file functions
// refuse one with an embedded NUL.
std::string fs_path(py::handle path);

// --- method bodies of FpgaTool (definition order) ----------------------------

py::object op_init(const Args& a);
py::object op_getRecv(const Args& a);
py::object op_sendCmd(const Args& a);
py::object op_simple_command(const Args& a);    // closure: the command bytes
py::object op_argument_command(const Args& a);  // closure: keyword bytes ending in a space
py::object op_fpgaProgram(const Args& a);
py::object op_fpgaRead(const Args& a);
py::object op_fpgaProgramFile(const Args& a);
py::object op_checkControlFwVersion(const Args& a);
py::object op_checkUpdateFile(const Args& a);
py::object op_checkFileHeader(const Args& a);
py::object op_initFpga(const Args& a);
py::object op_set_progress_callback(const Args& a);
py::object op_processFpgaUpdate(const Args& a);
py::object op_disconnect(const Args& a);

// --- module functions: the windowed transfer ---------------------------------

py::object op_fpgaProgramFileWindowed(const Args& a);
py::object op_fpgaReadWindowed(const Args& a);

}  // namespace ondrel::tarnel
