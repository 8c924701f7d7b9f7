#include "tarnel/tarnel.hpp"
namespace ondrel::tarnel {
#define STUB(n) py::object n(const Args&) { core::raise(PyExc_NotImplementedError, #n); }
STUB(op_fpgaProgramFile) STUB(op_checkControlFwVersion) STUB(op_checkUpdateFile) STUB(op_checkFileHeader) STUB(op_initFpga) STUB(op_processFpgaUpdate)
}
