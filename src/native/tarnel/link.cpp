// The stream of a device connection and its rules (see link.hpp), and the
// Link type of ondrel._transfer that ondrel.QarCommService._TCPConn holds.
#include "tarnel/link.hpp"

#include <errno.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ondrel::tarnel {

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kStrayShown = 40;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// "%g" of a number of seconds, as Python's "%g" % seconds writes it.
std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

}  // namespace

Link::Link(platform::Socket socket, std::string peer, double timeout)
    : socket_(socket), peer_(std::move(peer)), timeout_(timeout) {
    platform::set_send_timeout(socket_, timeout_);
    set_kernel_timeout(timeout_);
}

Link::~Link() {
    if (socket_ != platform::kNoSocket) {
        platform::shutdown_socket(socket_);
        platform::close_socket(socket_);
    }
}

// --- failures ------------------------------------------------------------------------

void Link::fail(PyObject* type, const std::string& text, const std::string& reason, Handle cause) {
    Ref error = core::call(type, core::text(text));
    core::setattr(error, "reason", core::text(reason));
    if (cause) core::setattr(error, "__cause__", cause);
    last_error = error;
    core::raise_object(type, error);
}

void Link::fail_os(int err, const char* what, const char* close_reason) {
    close(close_reason);
    std::string description = platform::error_text(err);
    Ref cause = core::call(PyExc_OSError, core::integer(err), core::text(description));
    fail(PyExc_ConnectionError, "connection to " + peer_ + " lost: " + core::utf8(cause),
         std::string("lost connection: ") + description, cause);
    (void)what;
}

void Link::not_connected() {
    std::string reason = "not connected";
    if (!closed_because_.empty()) reason += " (closed after " + closed_because_ + "; initConnection() reconnects)";
    fail(PyExc_ConnectionError, reason.substr(0, 13) + " to " + peer_ + reason.substr(13), reason);
}

void Link::handle_signals(const char* what) {
    try {
        core::check_signals();
    } catch (core::Error& error) {
        close(std::string(Py_TYPE(error.value().ptr())->tp_name) + " interrupted " + what);
        throw;
    }
}

// --- the rules -----------------------------------------------------------------------

void Link::set_kernel_timeout(double seconds) {
    platform::set_receive_timeout(socket_, seconds);
    kernel_timeout_ = seconds;
}

void Link::set_timeout(double seconds) {
    timeout_ = seconds;
    if (!is_open()) return;
    platform::set_send_timeout(socket_, seconds);
    set_kernel_timeout(seconds);
}

void Link::close(const std::string& reason) {
    platform::Socket socket;
    {
        std::lock_guard<std::mutex> hold(socket_lock_);
        socket = socket_;
        socket_ = platform::kNoSocket;
    }
    size_ = at_ = 0;
    if (socket == platform::kNoSocket) return;
    closed_because_ = reason;
    platform::shutdown_socket(socket);
    platform::close_socket(socket);
}

void Link::abort() {
    std::lock_guard<std::mutex> hold(socket_lock_);
    if (socket_ != platform::kNoSocket) platform::shutdown_socket(socket_);
}

void Link::refuse_stray_bytes() {
    std::string stray(data_.get() + at_, size_ - at_);
    if (stray.empty()) {
        char peeked[64];
        size_t got = 0;
        if (platform::peek_waiting(socket_, peeked, sizeof peeked, &got) == 0) stray.assign(peeked, got);
    }
    if (stray.empty()) return;
    close("a reply no command asked for");
    std::string shown = core::utf8(core::repr(core::bytes(stray.substr(0, kStrayShown))));
    std::string reason = "out of step: the device sent " + shown + " when no reply was owed; closed";
    fail(PyExc_ConnectionError, "connection to " + peer_ + " is " + reason, reason);
}

void Link::send(const char* data, size_t size, size_t count) {
    if (!is_open()) not_connected();
    if (!owed_) refuse_stray_bytes();
    owed_ += count;
    for (size_t done = 0; done < size;) {
        size_t sent = 0;
        int err = 0;
        platform::Socket socket = socket_;
        core::without_gil([&] { err = platform::send_some(socket, data + done, size - done, &sent); });
        done += sent;
        if (err == EINTR) {
            handle_signals("a send");
            continue;
        }
        if (err == platform::kTimedOut) {
            close("a send that timed out");
            fail(PyExc_TimeoutError, "sending to " + peer_ + " timed out after " + seconds_text(timeout_) + "s",
                 "time-out: sending took more than " + seconds_text(timeout_) + "s");
        }
        if (err) fail_os(err, "send", "a failed send");
    }
}

void Link::fill(double deadline) {
    double left = deadline - now();
    if (left > 0 && std::fabs(left - kernel_timeout_) > 0.001) set_kernel_timeout(left);  // a later piece
    if (left <= 0) {
        close("no reply within " + seconds_text(timeout_) + "s");
        fail(PyExc_TimeoutError, "no reply from " + peer_ + " within " + seconds_text(timeout_) + "s",
             "time-out: no reply within " + seconds_text(timeout_) + "s");
    }
    if (at_) {  // what was taken goes; the rest moves to the front
        std::memmove(data_.get(), data_.get() + at_, size_ - at_);
        size_ -= at_;
        at_ = 0;
    }
    if (size_ > kMaxReply) {
        close("a broken reply");
        std::string what = "sent a reply longer than " + std::to_string(kMaxReply) + " bytes";
        fail(PyExc_ConnectionError, "device " + peer_ + " " + what, "the device " + what);
    }
    if (capacity_ - size_ < kChunk) {
        size_t capacity = std::max(capacity_ * 2, size_ + kChunk);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_) std::memcpy(grown.get(), data_.get(), size_);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    size_t got = 0;
    int err = 0;
    platform::Socket socket = socket_;
    char* into = data_.get() + size_;
    core::without_gil([&] { err = platform::receive_some(socket, into, kChunk, &got); });
    size_ += got;
    if (err == EINTR) {
        handle_signals("an exchange");
        return;
    }
    if (err == platform::kTimedOut) return fill(deadline - 1e9);  // the deadline is met
    if (err) fail_os(err, "receive", "a failed receive");
    if (got == 0) {
        close("a broken reply");
        fail(PyExc_ConnectionError, "device " + peer_ + " closed the connection",
             "lost connection: the device closed it");
    }
}

void Link::receive(bool lines, size_t limit, std::vector<Piece>& out) {
    if (!is_open()) not_connected();
    out.clear();
    uint64_t too_long = 0;
    auto split = [&](size_t from) {
        return lines ? split_lines(data_.get(), from, size_, limit, out)
                     : split_replies(data_.get(), from, size_, limit, out, &too_long);
    };
    size_t next = size_ ? split(at_) : at_;
    if (out.empty() && !too_long) {
        double deadline = now() + timeout_;
        while (out.empty() && !too_long) {
            fill(deadline);
            next = split(at_);
        }
    }
    if (too_long) {
        close("a broken reply");
        std::string what = "announces a " + std::to_string(too_long) + "-byte block";
        fail(PyExc_ConnectionError, "device " + peer_ + " " + what, "the device " + what);
    }
    at_ = next;
    owed_ -= std::min(owed_, out.size());
}

Piece Link::exchange_line(const char* frame, size_t size) {
    if (owed_ && is_open()) {
        std::string reason = "busy: " + std::to_string(owed_) + (owed_ == 1 ? " reply is" : " replies are") +
                             " still owed to commands sent ahead (a windowed transfer in progress, or a reply "
                             "never read); a command now would read one of them";
        fail(PyExc_ConnectionError, "connection to " + peer_ + " is " + reason, reason);
    }
    send(frame, size, 1);
    std::vector<Piece> pieces;
    receive(true, 1, pieces);
    Piece line = pieces[0];
    const char* data = data_.get();
    line.end -= line.end - line.begin >= 2 && data[line.end - 2] == '\r' ? 2 : 1;
    return line;
}

// --- the Link type ---------------------------------------------------------------------

namespace {

struct LinkObject {
    PyObject_HEAD Link* link;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject LinkType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

Link& link_from(PyObject* self) {
    Link* link = reinterpret_cast<LinkObject*>(self)->link;
    if (!link) core::raise(PyExc_ValueError, "this link was never connected");
    return *link;
}

// Runs `body` as a method of the type: a C++ error becomes the Python one.
template <class Body>
PyObject* method(Body&& body) {
    try {
        return body().release();
    } catch (...) {
        core::translate_current_exception();
        return nullptr;
    }
}

void require_arguments(Py_ssize_t given, Py_ssize_t wanted, const char* name) {
    if (given != wanted)
        core::raise(PyExc_TypeError, std::string("Link.") + name + "() takes " + std::to_string(wanted) +
                                         " arguments, not " + std::to_string(given));
}

size_t size_argument(Handle value, const char* name) {
    int overflow = 0;
    long long n = core::to_long_long(core::require_integer(value, name), &overflow);
    if (overflow || n < 0)
        core::raise(PyExc_ValueError, std::string(name) + " must be a size, not " + core::utf8(value));
    return static_cast<size_t>(n);
}

// Link(socket_number, peer, timeout): takes over the connected socket.
PyObject* link_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return method([&] {
        if (kwargs && core::length(kwargs)) core::raise(PyExc_TypeError, "Link() takes no keyword arguments");
        require_arguments(core::tuple_size(args), 3, "__new__");
        int overflow = 0;
        long long socket = core::to_long_long(core::require_integer(core::tuple_item(args, 0), "socket"), &overflow);
        std::string peer = core::utf8(core::require_text(core::tuple_item(args, 1), "peer"));
        double timeout = core::to_double(core::tuple_item(args, 2));
        auto* self = reinterpret_cast<LinkObject*>(type->tp_alloc(type, 0));
        if (!self) core::throw_python_error();
        Ref owned = Ref::steal(reinterpret_cast<PyObject*>(self));
        self->link = new Link(static_cast<platform::Socket>(socket), peer, timeout);
        return owned;
    });
}

void link_dealloc(PyObject* self) {
    delete reinterpret_cast<LinkObject*>(self)->link;  // its last_error is released the guarded way
    Py_TYPE(self)->tp_free(self);
}

PyObject* link_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return method([&] {
        require_arguments(nargs, 2, "send");
        core::Buffer data(args[0]);
        std::string frames(data.data(), data.size());  // the buffer's owner may change it while we wait
        link_from(self).send(frames.data(), frames.size(), size_argument(args[1], "count"));
        return core::none();
    });
}

PyObject* link_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return method([&] {
        require_arguments(nargs, 1, "exchange");
        core::Buffer data(args[0]);
        std::string frame(data.data(), data.size());
        Link& link = link_from(self);
        Piece line = link.exchange_line(frame.data(), frame.size());
        return core::steal(PyUnicode_DecodeUTF8(link.buffer() + line.begin,
                                                static_cast<Py_ssize_t>(line.end - line.begin), "replace"));
    });
}

PyObject* link_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return method([&] {
        require_arguments(nargs, 2, "receive");
        size_t limit = size_argument(args[0], "limit"), size = size_argument(args[1], "size");
        Link& link = link_from(self);
        std::vector<Piece> pieces;
        link.receive(false, std::max<size_t>(limit, 1), pieces);
        Ref replies = core::new_list();
        for (const Piece& piece : pieces)
            core::list_append(replies,
                              core::bytes(link.buffer() + piece.begin, std::min(size, piece.end - piece.begin)));
        return replies;
    });
}

PyObject* link_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return method([&] {
        std::string reason = nargs && !Handle(args[0]).is_none() ? core::utf8(args[0]) : std::string();
        if (reinterpret_cast<LinkObject*>(self)->link) link_from(self).close(reason);
        return core::none();
    });
}

PyObject* link_abort(PyObject* self, PyObject*) {
    if (Link* link = reinterpret_cast<LinkObject*>(self)->link) link->abort();
    Py_RETURN_NONE;
}

PyObject* link_settimeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return method([&] {
        require_arguments(nargs, 1, "settimeout");
        link_from(self).set_timeout(core::to_double(args[0]));
        return core::none();
    });
}

PyObject* get_open(PyObject* self, void*) {
    return method([&] { return core::boolean(link_from(self).is_open()); });
}

PyObject* get_owed(PyObject* self, void*) {
    return method([&] { return core::unsigned_integer(link_from(self).owed()); });
}

PyObject* get_closed_because(PyObject* self, void*) {
    return method([&] {
        const std::string& reason = link_from(self).closed_because();
        return reason.empty() ? core::none() : core::text(reason);
    });
}

PyObject* get_last_error(PyObject* self, void*) {
    return method([&] {
        Ref error = link_from(self).last_error;
        return error ? error : core::none();
    });
}

int set_last_error(PyObject* self, PyObject* value, void*) {
    try {
        link_from(self).last_error = value && value != Py_None ? Ref::borrow(value) : Ref();
        return 0;
    } catch (...) {
        core::translate_current_exception();
        return -1;
    }
}

PyMethodDef link_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_send)), METH_FASTCALL,
     "send(data, count): `count` whole command lines; their replies are owed from now on."},
    {"exchange", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_exchange)), METH_FASTCALL,
     "exchange(frame): one command line and its reply line, decoded, without its end."},
    {"receive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_receive)), METH_FASTCALL,
     "receive(limit, size): the next whole replies, at least one, at most `limit`, each cut to `size` bytes."},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_close)), METH_FASTCALL,
     "close(reason=None): closes the socket; later calls say the reason."},
    {"abort", link_abort, METH_NOARGS, "From any thread: a wait on the socket ends at once."},
    {"settimeout", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(link_settimeout)), METH_FASTCALL,
     "settimeout(seconds): the time allowed for each send and each whole reply."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef link_getset[] = {
    {"open", get_open, nullptr, "Whether the socket is open.", nullptr},
    {"owed", get_owed, nullptr, "Replies owed to commands sent.", nullptr},
    {"closed_because", get_closed_because, nullptr, "Why the socket was closed (None: closed when asked).", nullptr},
    {"last_error", get_last_error, set_last_error, "The last error an exchange raised.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* const kLinkDoc =
    "Link(socket, peer, timeout): the stream of a connected TCP socket to a device (the link takes the\n"
    "socket over), with the rules every exchange keeps: each reply whole before its deadline, bytes\n"
    "that come when no reply is owed put it out of step, and whatever interrupts an exchange closes it.";

}  // namespace

void add_link_type(Handle module) {
    if (!(LinkType.tp_flags & Py_TPFLAGS_READY)) {
        LinkType.tp_name = "ondrel._transfer.Link";
        LinkType.tp_basicsize = sizeof(LinkObject);
        LinkType.tp_dealloc = link_dealloc;
        LinkType.tp_flags = Py_TPFLAGS_DEFAULT;
        LinkType.tp_doc = kLinkDoc;
        LinkType.tp_methods = link_methods;
        LinkType.tp_getset = link_getset;
        LinkType.tp_new = link_new;
        if (PyType_Ready(&LinkType) < 0) core::throw_python_error();
    }
    core::setattr(module, "Link", reinterpret_cast<PyObject*>(&LinkType));
}

Link* link_of(const Ctx& c, Handle conn, Ref* holder) {
    const LinkClass& known = c.state.link_class;
    if (!known.type || reinterpret_cast<PyObject*>(Py_TYPE(conn.ptr())) != known.type.ptr()) return nullptr;
    for (const auto& [name, function] : known.methods)
        if (!core::is_own_method(conn, name, function)) return nullptr;
    Ref link = core::getattr_optional(conn, c.n._link);
    if (!link || Py_TYPE(link.ptr()) != &LinkType || !reinterpret_cast<LinkObject*>(link.ptr())->link) return nullptr;
    *holder = link;
    return reinterpret_cast<LinkObject*>(link.ptr())->link;
}

}  // namespace ondrel::tarnel
