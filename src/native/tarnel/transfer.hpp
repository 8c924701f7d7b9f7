// How an image's blocks reach the device and its pages come back: one
// command at a time, or a window of commands in flight on the tool's
// connection.  The programming sequence (program.cpp) is the same for both;
// only these steps differ.
//
// Either way, when the tool's exchange operations are FpgaTool's own and its
// connection is a _TCPConn whose exchange methods are its own (link.hpp),
// the commands go over the connection's link without a call into Python per
// command; anything replaced takes the way through the tool's operations (one
// at a time) or the connection's methods (windowed).  Both ways do the same
// exchanges, with the same results and errors.
#pragma once

#include "tarnel/link.hpp"
#include "tarnel/tarnel.hpp"

#include <memory>

namespace ondrel::tarnel {

// What a transfer reports, in the order of the image.  Each report says
// whether Python code ran (a callback), after which anything may have been
// replaced, so the transfer looks again before its next command.
class TransferEvents {
public:
    virtual ~TransferEvents() = default;
    // A block of `size` bytes was acknowledged; its command was sent at
    // `begin` (its last attempt) and acknowledged at `end`.
    virtual bool block_written(size_t size, Clock::time_point begin, Clock::time_point end) = 0;
    // The next page came back: the raw reply without its framing, as bytes
    // of ours (copied by whoever keeps them) or as what the tool returned.
    virtual bool page_read(const char* data, size_t size, Clock::time_point begin, Clock::time_point end) = 0;
    virtual bool page_read(Handle payload, Clock::time_point begin, Clock::time_point end) = 0;
    // The transfer is about to call into Python (the connection, the tool).
    virtual void before_python() {}
};

// The device refused a block while later ones were in flight: a refused
// block cannot be sent again in place, so the image must be written again
// from the erase.
struct Refused {
    uint64_t offset;
};

class Transfer {
public:
    virtual ~Transfer() = default;
    // Sends one block (its acknowledgement may be reported later).
    virtual void write(const char* data, size_t size) = 0;
    // Waits until every block sent is acknowledged.
    virtual void finish_writes() = 0;
    // Reads `pages` pages (FPGA_READ), reporting each.
    virtual void read(uint64_t pages) = 0;
    // After a failure: nothing is left in flight, and the connection is in
    // step or closed.  The Python error in flight, if any, is kept.
    virtual void abandon() noexcept = 0;
};

// The tool's link, when its exchanges may go over it directly: the tool's
// _sendCmd, _getRecv, _fpgaProgram and _fpgaRead are FpgaTool's own, and
// its connection is one of the connection class built on links (link_of).
struct FastLink {
    Ref conn;    // the tool's connection
    Ref holder;  // its Link object, which owns `link`
    Link* link = nullptr;
    explicit operator bool() const { return link != nullptr; }
};
FastLink fast_link(const Ctx& c, Handle tool);

// Whether the tool's exchange operations are FpgaTool's own (on its class
// and not replaced on the tool).
bool exchange_is_own(const Ctx& c, Handle tool);

// Each block and page is one exchange.  A block the device keeps refusing
// is sent kMaxAttempts times in all, then the transfer fails with
// RuntimeError.
constexpr int kMaxAttempts = 10;
std::unique_ptr<Transfer> one_at_a_time(const Ctx& c, Handle tool, TransferEvents& events);

// Up to `window` commands in flight on the tool's connection, past its
// _sendCmd, _getRecv, _fpgaProgram and _fpgaRead (see require_own_exchange).
// A refused block raises Refused.  From its first command until it goes,
// the tool's own exchanges on that connection are refused
// (Ctx::refuse_if_busy).
std::unique_ptr<Transfer> windowed(const Ctx& c, Handle tool, size_t window, TransferEvents& events);

// Raises TypeError when the tool's class (or the tool itself) replaces one
// of the operations a windowed transfer goes past.
void require_own_exchange(const Ctx& c, Handle tool);

// The largest window: commands in flight at once.
constexpr size_t kMaxWindow = 65536;

// A window argument: an int (not a bool) from 1 to kMaxWindow, else
// TypeError or ValueError with the same text.
size_t window_size(Handle value);

// Whether a block program reply acknowledges the block: stripped of
// surrounding whitespace, it is "0".  `text` is its line without the line end.
bool acknowledges(const Ctx& c, const char* text, size_t size);

}  // namespace ondrel::tarnel
