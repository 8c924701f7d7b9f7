// The device protocol's literals, in one place: command keywords, their
// fixed arguments, the framing and the sizes.  No Python in here.
#pragma once

#include <cstddef>

namespace ondrel::tarnel::protocol {

// Every command line ends with CR LF.
constexpr char kLineEnd[] = "\r\n";

// Commands without an argument.
constexpr char kCtrlInit[] = "FPGA_CTRL_INIT";
constexpr char kGetId[] = "FPGA_GET_ID";
constexpr char kGetVersion[] = "GET_FPGA_VER";
constexpr char kRead[] = "FPGA_READ";
constexpr char kDone[] = "FPGA_DONE";
constexpr char kRefresh[] = "FPGA_REFRESH";
constexpr char kGetInfo[] = "GET_FE_INFO";
constexpr char kGetControlFwVersion[] = "GET_FW_VER";
constexpr char kGetSerialNumber[] = "GET_SN";

// Commands with an argument: the keyword with the space before the argument.
constexpr char kCfgMode[] = "FPGA_CFG_MODE ";
constexpr char kErase[] = "FPGA_ERASE ";
constexpr char kRstPagePtr[] = "FPGA_RST_PAGE_PTR ";

// A read command as it goes on the wire.
constexpr char kReadLine[] = "FPGA_READ\r\n";

// The block program command: this, the length header and the data.
constexpr char kProgram[] = "FPGA_PROGRAM #";

// Fixed arguments.
constexpr char kModeTrans[] = "TRANS";  // configuration mode set by the initialisation
constexpr char kSectionCfg[] = "CFG";   // the configuration area, whose page pointer is reset
constexpr char kEraseType28[] = "14";   // erase argument for device type 28
constexpr char kEraseType32[] = "12";   // erase argument for device type 32

// A block program reply that acknowledges the block, once stripped.
constexpr char kAcknowledged[] = "0";

// Bytes per program command and per read command.
constexpr size_t kBlockSize = 16;

// The receive size of a raw exchange (the module's _RECV_SIZE); a raw reply
// carries 4 leading and 2 trailing bytes around its data.
constexpr size_t kReplySize = 1024;
constexpr size_t kRawHead = 4;
constexpr size_t kRawTail = 2;

// The TCP port of a device named without one.
constexpr long kDefaultPort = 5025;

// The fixed text the container tags' key starts with.
constexpr char kKeyText[] = "58203617";

}  // namespace ondrel::tarnel::protocol
