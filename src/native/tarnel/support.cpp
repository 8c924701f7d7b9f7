// Logging, text and standard-output helpers of ondrel.Tarnel.
#include "tarnel/protocol.hpp"
#include "tarnel/tarnel.hpp"

#include <pythread.h>

#include <algorithm>
#include <cstring>

namespace ondrel::tarnel {

namespace {

PyObject* level_method(const Names& n, Level level) {
    switch (level) {
        case DEBUG:
            return n.debug;
        case INFO:
            return n.info;
        case WARNING:
            return n.warning;
        default:
            return n.error;
    }
}

// Whitespace as str.strip() knows it, for ASCII text.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

}  // namespace

bool Ctx::log_enabled(Level level) const {
    return core::truth(core::call_method(global(n.logger), n.isEnabledFor, core::integer(static_cast<int>(level))));
}

void Ctx::log(Level level, Handle message) const {
    core::call_method(global(n.logger), level_method(n, level), message);
}

void Ctx::log(Level level, const std::string& message) const { log(level, core::text(message)); }

Ref Ctx::refusal(Level level, PyObject* member, const std::string& message) const {
    Ref text = core::text(message);
    log(level, text);
    return core::call(global(n.RetType), core::getattr(global(n.RetCode), member), text);
}

UpdateScope::UpdateScope(State& state, Handle tool)
    : state_(state), update_{tool.ptr(), PyThread_get_thread_ident(), {}} {
    state_.updates.push_back(&update_);
}

UpdateScope::~UpdateScope() {
    auto it = std::find(state_.updates.begin(), state_.updates.end(), &update_);
    if (it != state_.updates.end()) state_.updates.erase(it);
}

UpdateInProgress* Ctx::update_in_progress(Handle tool) const {
    // The tool's update on this thread; else its update on another thread
    // (an override of _fpgaProgramFile may hand the programming to a worker).
    unsigned long thread = PyThread_get_thread_ident();
    UpdateInProgress* elsewhere = nullptr;
    for (auto it = state.updates.rbegin(); it != state.updates.rend(); ++it) {
        if ((*it)->tool != tool.ptr()) continue;
        if ((*it)->thread == thread) return *it;
        if (!elsewhere) elsewhere = *it;
    }
    return elsewhere;
}

void Ctx::refuse_if_busy(Handle conn) const {
    for (const BusyConnection& busy : state.busy) {
        if (busy.conn != conn.ptr()) continue;
        core::raise(PyExc_RuntimeError,
                    "the connection is busy with a windowed transfer (" + std::to_string(*busy.in_flight) +
                        " commands in flight): a command sent now would receive a reply meant for the transfer");
    }
}

void Ctx::write_stdout(const std::string& ascii, bool flush_after) const {
    Ref out = core::getattr(global(n.sys), n.stdout_);
    if (out.is_none()) return;  // no console (as print() does)
    write_to(out, ascii, flush_after);
}

void Ctx::write_to(Handle out, const std::string& ascii, bool flush_after) const {
    if (!ascii.empty()) {
        Ref chunk = core::steal(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
        std::memcpy(PyUnicode_DATA(chunk.ptr()), ascii.data(), ascii.size());
        core::call_method(out, n.write, chunk);
    }
    if (flush_after) core::call_method(out, n.flush);
}

Ref view_of(Handle bytes, size_t begin, size_t end) {
    Ref whole = core::memory_view(bytes);
    return core::slice(whole, static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end));
}

Ref raw_payload(Handle reply) {
    constexpr size_t kFraming = protocol::kRawHead + protocol::kRawTail;
    if (!PyBytes_Check(reply.ptr()))
        return core::slice(reply, static_cast<Py_ssize_t>(protocol::kRawHead),
                           -static_cast<Py_ssize_t>(protocol::kRawTail));
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(reply.ptr()));
    if (size <= kFraming) return bytes_of("", 0);
    return bytes_of(PyBytes_AS_STRING(reply.ptr()) + protocol::kRawHead, size - kFraming);
}

bool acknowledged(const Ctx& c, Handle reply) {
    PyObject* r = reply.ptr();
    if (PyUnicode_CheckExact(r) && PyUnicode_IS_ASCII(r)) {
        const auto* s = static_cast<const unsigned char*>(PyUnicode_DATA(r));
        Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(r);
        while (b < e && is_ascii_space(s[b])) b++;
        while (e > b && is_ascii_space(s[e - 1])) e--;
        return e - b == 1 && s[b] == protocol::kAcknowledged[0];
    }
    Ref stripped = core::call_method(reply, c.n.strip);
    return core::compare(stripped, core::text(protocol::kAcknowledged), Py_EQ);
}

std::string fs_path(Handle path) {
    Ref encoded = core::steal(PyUnicode_EncodeFSDefault(path.ptr()));  // of a str: no Python code
    return std::string(PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

}  // namespace ondrel::tarnel
