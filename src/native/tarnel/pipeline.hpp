// The windowed transfer: up to W commands in flight on a tool's connection,
// their replies matched to them in order.  A device reads its commands from
// one TCP stream in order and answers each in turn, so it need not know.
//
// The commands go straight to the connection (sendRawBytes, recvRawBytes),
// past the tool's own _sendCmd, _getRecv, _fpgaProgram and _fpgaRead; a tool
// whose class overrides any of those is refused (require_own_exchange).
#pragma once

#include "tarnel/tarnel.hpp"

#include <deque>

namespace ondrel::tarnel {

class Pipeline {
public:
    Pipeline(const Ctx& c, py::handle tool, size_t window);

    bool full() const { return queue_.size() >= window_; }
    bool empty() const { return queue_.empty(); }

    // Sends one command; `tag` comes back with its reply.
    void send(const py::object& frame, uint64_t tag);

    struct Reply {
        py::object data;  // the raw reply, as recvRawBytes returns it
        uint64_t tag;
        Clock::time_point begin, end;  // the command's sending, the reply's arrival
    };
    // The reply to the oldest command in flight.
    Reply receive();

    // After a failure: the replies still owed are read and dropped, so that
    // the connection stays in step; if that fails as well, the connection is
    // closed.  Either way nothing is left in flight.
    void settle();

private:
    struct Sent {
        uint64_t tag;
        Clock::time_point begin;
    };
    const Ctx& c_;
    py::object conn_;
    size_t window_;
    std::deque<Sent> queue_;
    bool broken_ = false;  // a send or receive failed: the stream can no longer be trusted
};

// Raises TypeError when the tool's class (or the tool itself) replaces one
// of the operations a windowed transfer goes past.
void require_own_exchange(const Ctx& c, py::handle tool);

// The command line of one block program command, CR LF included.
py::object program_frame(const char* data, size_t size);

// Reads `pages` pages with up to `window` FPGA_READ commands in flight;
// `on_page(payload, pages_done, reply)` for each page, in order.
template <class OnPage>
void read_pages(Pipeline& pipeline, uint64_t pages, const py::object& read_command, OnPage on_page) {
    uint64_t sent = 0, done = 0;
    while (done < pages) {
        while (sent < pages && !pipeline.full()) pipeline.send(read_command, sent++);
        Pipeline::Reply reply = pipeline.receive();
        on_page(raw_payload(reply.data), ++done, reply);
    }
}

}  // namespace ondrel::tarnel
