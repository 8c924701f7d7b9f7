// The windowed transfer: up to W commands in flight on a tool's connection,
// their replies matched to them in order.  A device reads its commands from
// one TCP stream in order and answers each in turn, so it need not know.
//
// The commands go straight to the connection, past the tool's own _sendCmd,
// _getRecv, _fpgaProgram and _fpgaRead.  A connection that offers
// sendCommands(data, count) and recvReplies(limit, size) (QarCommService's
// _TCPConn does) gets the commands the window allows in one call and gives
// back every reply already received in one call; any other connection gets
// one sendRawBytes per command and one recvRawBytes per reply.
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/transfer.hpp"

#include <algorithm>
#include <deque>

namespace ondrel::tarnel {

namespace {

// Whether a block program reply (raw bytes, CR LF included) acknowledges the
// block, as _fpgaProgram judges the same reply.
bool acknowledges_reply(const Ctx& c, Handle reply) {
    if (PyBytes_Check(reply.ptr()))
        return acknowledges(c, PyBytes_AS_STRING(reply.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(reply.ptr())));
    return acknowledged(c, core::decode(reply, "utf-8", "replace"));
}

class Windowed final : public Transfer {
public:
    Windowed(const Ctx& c, Handle tool, size_t window, TransferEvents& events)
        : c_(c), conn_(core::getattr(tool, c.n._conn)), window_(window), events_(events) {
        link_ = link_of(c, conn_, &link_holder_);
        batching_ = link_ ||
                    (core::getattr_optional(conn_, c.n.sendCommands) && core::getattr_optional(conn_, c.n.recvReplies));
        c_.state.busy.push_back(BusyConnection{conn_.ptr(), &in_flight_});
    }

    ~Windowed() override {
        auto& busy = c_.state.busy;
        busy.erase(std::remove_if(busy.begin(), busy.end(),
                                  [&](const BusyConnection& b) { return b.in_flight == &in_flight_; }),
                   busy.end());
    }

    void write(const char* data, size_t size) override {
        if (in_flight_ + pending_.size() >= window_) {
            flush();
            receive();
        }
        char header[40];
        size_t header_size = write_block_header(header, size);
        size_t before = frames_.size();
        frames_.append(header, header_size);
        frames_.append(data, size);
        frames_.append(protocol::kLineEnd, 2);
        pending_.push_back(Command{size, frames_.size() - before, {}});
    }

    void finish_writes() override {
        flush();
        while (in_flight_) receive();
    }

    void read(uint64_t pages) override {
        reading_ = true;
        constexpr size_t kFrame = sizeof protocol::kReadLine - 1;
        for (uint64_t sent = 0; done_pages_ < pages;) {
            for (; sent < pages && in_flight_ + pending_.size() < window_; sent++) {
                frames_.append(protocol::kReadLine, kFrame);
                pending_.push_back(Command{0, kFrame, {}});
            }
            flush();
            receive();
        }
    }

    void abandon() noexcept override {
        pending_.clear();
        frames_.clear();
        try {
            while (!broken_ && in_flight_) take_replies();
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            PyErr_Clear();
        }
        if (!broken_ && !in_flight_) return;
        in_flight_ = 0;
        sent_.clear();
        try {
            if (link_)
                link_->close("an abandoned transfer");
            else
                core::call_method(conn_, c_.n.closeConnection);
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            PyErr_Clear();
        }
    }

private:
    struct Command {
        uint64_t size;  // image bytes of a block; 0 for a read
        size_t frame;   // bytes of its command line
        Clock::time_point begin;
    };

    // Sends the commands gathered since the last flush: on the link, or in one
    // call of the connection's sendCommands (or one sendRawBytes each).
    void flush() {
        if (pending_.empty()) return;
        Clock::time_point now = Clock::now();
        try {
            if (link_) {
                link_->send(frames_.data(), frames_.size(), pending_.size());
            } else {
                events_.before_python();
                if (batching_)
                    core::call_method(conn_, c_.n.sendCommands, bytes_of(frames_.data(), frames_.size()),
                                      core::integer(static_cast<long long>(pending_.size())));
                size_t at = 0;
                for (Command& command : pending_) {
                    if (!batching_)
                        core::call_method(conn_, c_.n.sendRawBytes, bytes_of(frames_.data() + at, command.frame));
                    at += command.frame;
                }
            }
        } catch (...) {
            broken_ = true;  // part of a command may be on its way
            throw;
        }
        for (Command& command : pending_) {
            command.begin = now;
            sent_.push_back(command);
            in_flight_++;
        }
        pending_.clear();
        frames_.clear();
    }

    // The replies already received (at least one) to the oldest commands in
    // flight, taken off the stream: pieces of the link's buffer, or the
    // connection's reply objects.  Their number.
    size_t take_replies() {
        try {
            if (link_) {
                link_->receive(false, in_flight_, pieces_);
            } else if (batching_) {
                events_.before_python();
                replies_ = core::snapshot(core::call_method(conn_, c_.n.recvReplies,
                                                            core::integer(static_cast<long long>(in_flight_)),
                                                            core::integer(protocol::kReplySize)));
                Py_ssize_t count = core::tuple_size(replies_);
                if (count < 1 || static_cast<size_t>(count) > in_flight_)
                    core::raise(PyExc_RuntimeError, "recvReplies returned " + std::to_string(count) + " replies for " +
                                                        std::to_string(in_flight_) + " commands");
            } else {
                events_.before_python();
                replies_ =
                    core::tuple_of({core::call_method(conn_, c_.n.recvRawBytes, core::integer(protocol::kReplySize))});
            }
        } catch (...) {
            broken_ = true;  // what became of the replies is unknown
            throw;
        }
        size_t count = link_ ? pieces_.size() : static_cast<size_t>(core::tuple_size(replies_));
        in_flight_ -= count;
        return count;
    }

    // Receives, and reports, at least one reply.
    void receive() {
        size_t count = take_replies();
        Clock::time_point end = Clock::now();
        std::vector<Command> answered(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(count));
        sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(count));
        for (size_t i = 0; i < answered.size(); i++) {
            if (link_) {
                const char* reply = link_->buffer() + pieces_[i].begin;
                size_t size = std::min(pieces_[i].end - pieces_[i].begin, protocol::kReplySize);
                report(answered[i], reply, size, end);
            } else {
                Handle reply = core::tuple_item(replies_, static_cast<Py_ssize_t>(i));
                if (!PyBytes_CheckExact(reply.ptr())) events_.before_python();  // reading it may run its own code
                if (reading_) {
                    done_pages_++;
                    events_.page_read(raw_payload(reply), answered[i].begin, end);
                } else {
                    if (!acknowledges_reply(c_, reply)) throw Refused{offset_};
                    accepted(answered[i], end);
                }
            }
        }
    }

    void report(const Command& command, const char* reply, size_t size, Clock::time_point end) {
        if (reading_) {
            done_pages_++;
            constexpr size_t kFraming = protocol::kRawHead + protocol::kRawTail;
            if (size <= kFraming)
                events_.page_read("", 0, command.begin, end);
            else
                events_.page_read(reply + protocol::kRawHead, size - kFraming, command.begin, end);
        } else {
            if (!acknowledges(c_, reply, size)) throw Refused{offset_};
            accepted(command, end);
        }
    }

    void accepted(const Command& command, Clock::time_point end) {
        offset_ += command.size;
        events_.block_written(static_cast<size_t>(command.size), command.begin, end);
    }

    const Ctx& c_;
    Ref conn_;
    Ref link_holder_;
    Link* link_ = nullptr;  // the connection's link, used directly (see transfer.hpp)
    size_t window_;
    TransferEvents& events_;
    bool batching_ = false;
    bool reading_ = false;
    bool broken_ = false;           // a send or receive failed: the stream can no longer be trusted
    std::string frames_;            // the command lines of `pending_`, joined
    std::vector<Command> pending_;  // gathered, not yet sent
    std::deque<Command> sent_;      // in flight, oldest first
    std::vector<Piece> pieces_;     // the replies last taken off the link
    Ref replies_;                   // the replies last taken from the connection
    size_t in_flight_ = 0;
    uint64_t offset_ = 0;  // image bytes acknowledged
    uint64_t done_pages_ = 0;
};

}  // namespace

std::unique_ptr<Transfer> windowed(const Ctx& c, Handle tool, size_t window, TransferEvents& events) {
    return std::make_unique<Windowed>(c, tool, window, events);
}

void require_own_exchange(const Ctx& c, Handle tool) {
    for (const auto& [name, own] : c.state.own_exchange) {
        if (core::type_holds(Py_TYPE(tool.ptr()), name, own) && !core::instance_has(tool, name)) continue;
        core::raise(PyExc_TypeError, std::string("a windowed transfer sends its commands itself, past ") +
                                         Py_TYPE(tool.ptr())->tp_name + "." + core::utf8(name) +
                                         ", which this tool replaces; use a window of 1 to go through it");
    }
}

size_t window_size(Handle value) {
    auto refuse = [&](PyObject* type) -> size_t {
        core::raise(type, "window must be an integer from 1 to " + std::to_string(kMaxWindow) +
                              " (commands in flight), not " + core::utf8(core::repr(value)));
    };
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return refuse(PyExc_TypeError);
    Ref number = core::index(value);
    int overflow = 0;
    long long window = core::to_long_long(number, &overflow);
    if (overflow || window < 1 || window > static_cast<long long>(kMaxWindow)) return refuse(PyExc_ValueError);
    return static_cast<size_t>(window);
}

}  // namespace ondrel::tarnel
