// ondrel.Tarnel: shared declarations of the module's state and of the method
// bodies of FpgaTool, which live one file per concern.
#pragma once

#include "core/calls.hpp"
#include "core/function.hpp"

#include <string>

namespace ondrel::tarnel {

namespace py = pybind11;
using core::Args;

// Names made once at load, so hot paths never build a str.
struct Names {
    // instance fields
    PyObject* _conn;
    PyObject* _owns_conn;
    PyObject* progress_callback;
    // operations of FpgaTool
    PyObject* _getRecv;
    PyObject* _sendCmd;
    PyObject* _fpgaCtrlInit;
    PyObject* _fpgaGetId;
    PyObject* _fpgaGetVersion;
    PyObject* _fpgaCfgMode;
    PyObject* _fpgaErase;
    PyObject* _fpgaRstPagePtr;
    PyObject* _fpgaProgram;
    PyObject* _fpgaRead;
    PyObject* _fpgaDone;
    PyObject* _fpgaRefresh;
    PyObject* _fpgaGetInfo;
    PyObject* _fpgaGetControlFwVer;
    PyObject* _fpgaProgramFile;
    PyObject* _checkUpdateFile;
    PyObject* _checkFileHeader;
    PyObject* deleteTempFile;
    // the connection
    PyObject* initConnection;
    PyObject* sendCmd;
    PyObject* sendRawBytes;
    PyObject* recvRawBytes;
    PyObject* closeConnection;
    PyObject* RetData;
    PyObject* RetCode;
    PyObject* RSP_LIST;
    // module globals
    PyObject* RspType;
    PyObject* RetType;
    PyObject* VER;
    PyObject* logger;
    PyObject* hashlib;
    PyObject* hmac;
    PyObject* json;
    PyObject* struct_;
    PyObject* sys;
    PyObject* _DEVICE_WHITELIST;
    PyObject* _FPGA_FW_VER_MIN;
    PyObject* _FPGA_VER_MIN_DEV32;
    // logger and stream methods
    PyObject* isEnabledFor;
    PyObject* debug;
    PyObject* info;
    PyObject* warning;
    PyObject* error;
    PyObject* stdout_;
    PyObject* write;
    PyObject* flush;
    // keyword names of calls
    PyObject* kw_getRecv;        // (log_print, size, isdecode)
    PyObject* kw_isdecode;       // (isdecode,)
    PyObject* kw_programFile;    // (image_path, device_type)
    PyObject* kw_data;           // (data,)
};

struct State {
    PyObject* module_dict;  // the module's namespace (the module keeps it alive)
    PyObject* module_name;  // "ondrel.Tarnel"
    Names n;
};

// Set once when the module loads; never freed (the module is never unloaded).
extern State* state;

inline const Names& names() { return state->n; }

// A module-level name of ondrel.Tarnel, looked up when used.
inline py::object global(PyObject* name) { return core::module_global(state->module_dict, name); }

// --- logging through the module's `logger` ----------------------------------

enum Level { DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40 };

// Whether a record of this level would be handled (checked before a message
// is built).
bool log_enabled(Level level);
void log(Level level, py::handle message);
void log(Level level, const std::string& message);

// --- text helpers ------------------------------------------------------------

inline py::str text(const std::string& s) { return py::str(s.data(), s.size()); }
inline std::string to_std(py::handle s) { return py::str(s).cast<std::string>(); }

// str(obj) as a std::string (UTF-8, lone surrogates escaped).
std::string str_of(py::handle obj);

// The path as the file system sees it (os.fsencode); the file functions
// refuse one with an embedded NUL.
std::string fs_path(py::handle path);

// Writes to sys.stdout as it is at the time of writing.
void write_stdout(const std::string& data, bool flush_after);

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

}  // namespace ondrel::tarnel
