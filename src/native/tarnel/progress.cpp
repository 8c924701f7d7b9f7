#include "tarnel/progress.hpp"

#include "tarnel/pure.hpp"

namespace ondrel::tarnel {

namespace {

// The progress line reaches the terminal at least this often, and the sink
// hears of a stage's course this often.
constexpr auto kInterval = std::chrono::milliseconds(100);
// Gathered progress lines are written once they are this long.
constexpr size_t kPendingLimit = 1 << 16;
// Digests are fed in pieces of this size.
constexpr size_t kChunk = 1 << 16;

}  // namespace

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// --- the progress line -------------------------------------------------------------

ProgressOutput::ProgressOutput(const Ctx& c, Handle lines) : c_(c), lines_(lines), last_flush_(Clock::now()) {}

bool ProgressOutput::line(uint64_t done, uint64_t total, Clock::time_point begin, Clock::time_point end) {
    if (total == 0) core::raise(PyExc_ZeroDivisionError, "float division by zero");
    append_progress(pending_, done, total, seconds_between(begin, end));
    if (end - last_flush_ >= kInterval) {
        flush_due_ = true;
        last_flush_ = end;
    }
    if (!flush_due_ && pending_.size() < kPendingLimit) return false;
    write_pending();
    return true;
}

void ProgressOutput::write_pending() {
    if (pending_.empty() && !flush_due_) return;
    writing_.swap(pending_);  // both keep their memory: no allocation per block
    bool flush = flush_due_;
    flush_due_ = false;
    write(writing_, flush);
    writing_.clear();
}

void ProgressOutput::end_line() {
    pending_ += "\n";
    flush_due_ = true;
    write_pending();
    last_flush_ = Clock::now();
}

void ProgressOutput::flush_after_error() noexcept {
    try {
        flush_due_ = true;
        write_pending();
    } catch (...) {
        if (core::thread_is_ending()) core::park_thread();
        PyErr_Clear();
    }
}

void ProgressOutput::write(const std::string& ascii, bool flush) {
    if (!lines_ || lines_.is_none())
        c_.write_stdout(ascii, flush);
    else
        c_.write_to(lines_, ascii, flush);
}

// --- the engine's sink ---------------------------------------------------------------

bool ProgressSink::tell(const char* stage, uint64_t done, uint64_t total, bool now) {
    if (!sink_ || sink_.is_none()) return false;
    Clock::time_point time = Clock::now();
    stage_ = stage;
    done_ = done;
    total_ = total;
    told_ = false;
    if (!now && time - last_ < kInterval) return false;
    last_ = time;
    told_ = true;
    output_.write_pending();
    core::call(sink_, core::text(stage), core::unsigned_integer(done), core::unsigned_integer(total));
    return true;
}

void ProgressSink::last_word() noexcept {
    if (told_ || !stage_) return;
    try {
        told_ = true;
        core::call(sink_, core::text(stage_), core::unsigned_integer(done_), core::unsigned_integer(total_));
    } catch (...) {
        if (core::thread_is_ending()) core::park_thread();
        PyErr_Clear();
    }
}

// --- digests ---------------------------------------------------------------------------

Digest::Digest(const Ctx& c, ProgressOutput& progress)
    : c_(c), progress_(progress), sha_(core::call_method(c.global(c.n.hashlib), c.n.sha256)) {}

void Digest::update(Handle data) {
    drain();
    progress_.write_pending();
    core::call_method(sha_, c_.n.update, data);
}

void Digest::add(const char* data, size_t size) {
    pending_.append(data, size);
    if (pending_.size() >= kChunk) drain();
}

void Digest::add(Handle piece) {
    if (!PyBytes_CheckExact(piece.ptr())) progress_.write_pending();  // its buffer may be Python code's
    {
        core::Buffer view(piece);
        pending_.append(view.data(), view.size());
    }
    if (pending_.size() >= kChunk) drain();
}

std::string Digest::hexdigest() {
    drain();
    progress_.write_pending();
    return core::utf8(core::call_method(sha_, c_.n.hexdigest));
}

void Digest::drain() {
    if (pending_.empty()) return;
    Ref piece = bytes_of(pending_.data(), pending_.size());
    pending_.clear();
    progress_.write_pending();
    core::call_method(sha_, c_.n.update, piece);
}

}  // namespace ondrel::tarnel
