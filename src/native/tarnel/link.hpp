// The stream of a TCP connection to a device, with the rules every exchange
// keeps: commands go out whole, each reply must arrive whole before its
// deadline (the time-out counts for the whole reply, not for each piece of
// it), bytes that arrive when no reply is owed put the connection out of
// step, and whatever interrupts an exchange closes the connection, since the
// stream can no longer be trusted.  A listed exchange (one command, one line)
// is refused while replies are owed.
//
// One implementation: ondrel.QarCommService._TCPConn is built on it (through
// the Link type of ondrel._transfer), and the library's transfers use it
// directly when the connection is such a _TCPConn and nothing in the way is
// overridden.  The interpreter lock is let go while the socket is waited for.
#pragma once

#include "platform/os.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ondrel::tarnel {

class Link {
public:
    Link(platform::Socket socket, std::string peer, double timeout);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Sends `count` whole command lines joined in data[0, size); their
    // replies are owed from before the first byte leaves.  When none was
    // owed, bytes that arrived unasked close the connection first.
    void send(const char* data, size_t size, size_t count);

    // Receives whole replies, at least one (waited for) and at most `limit`,
    // as pieces of buffer(); valid until the next call.  `lines`: a listed
    // reply is a line; else a reply is a block or a line.
    void receive(bool lines, size_t limit, std::vector<Piece>& out);
    const char* buffer() const { return data_.get(); }

    // A listed exchange: one command line, and its reply line without its
    // end (CR LF, or LF), as a piece of buffer().  Refused while replies are
    // owed.
    Piece exchange_line(const char* frame, size_t size);

    // Closes the socket (nothing when closed); `reason` is said by later calls.
    void close(const std::string& reason);
    // From any thread: makes a wait on the socket end at once.
    void abort();
    void set_timeout(double seconds);

    bool is_open() const { return socket_ != platform::kNoSocket; }
    double timeout() const { return timeout_; }
    size_t owed() const { return owed_; }
    const std::string& closed_because() const { return closed_because_; }
    const std::string& peer() const { return peer_; }

    Ref last_error;  // the last error an exchange raised

private:
    [[noreturn]] void fail(PyObject* type, const std::string& text, const std::string& reason, Handle cause = Handle());
    [[noreturn]] void fail_os(int err, const char* what, const char* close_reason);
    [[noreturn]] void not_connected();
    void handle_signals(const char* what);  // a handler that raises closes the link
    void refuse_stray_bytes();
    void fill(double deadline);
    void set_kernel_timeout(double seconds);

    platform::Socket socket_;
    std::mutex socket_lock_;  // abort() from another thread against close()
    std::string peer_;
    double timeout_;
    double kernel_timeout_ = -1;
    std::unique_ptr<char[]> data_;  // received, not yet taken as replies: [at_, size_)
    size_t capacity_ = 0, size_ = 0, at_ = 0;
    size_t owed_ = 0;
    std::string closed_because_;
};

// Makes the Link type and its module functions part of the engine module.
void add_link_type(Handle module);

// The Link of a connection, when it is the connection class built on links
// (exactly, with none of its exchange methods replaced), else nullptr; *holder
// keeps the Link object alive.
Link* link_of(const Ctx& c, Handle conn, Ref* holder);

}  // namespace ondrel::tarnel
