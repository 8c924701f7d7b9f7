// FpgaTool._fpgaProgramFile: write an image 16 bytes per command, read it
// back 16 bytes per command, and compare SHA-256 digests of both.
#include "tarnel/files.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <chrono>
#include <cstdio>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::equals;
using core::getattr;
using core::steal_or_throw;
using core::truth;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as time.monotonic()

// A block the device keeps refusing is sent this many times in all.
constexpr int kMaxAttempts = 10;
// Digests are fed in pieces of about this size.
constexpr size_t kDigestChunk = 1 << 16;
// The progress line reaches the terminal at least this often.
constexpr auto kFlushInterval = std::chrono::milliseconds(100);
constexpr size_t kMaxPending = 1 << 20;

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The progress line on sys.stdout.  Lines are gathered and written together,
// at most every 0.1 s (flushed, so a terminal shows them move) and always
// before anything else may write to standard output, so the bytes and their
// order are those of writing each line at once.
class ProgressOutput {
public:
    ProgressOutput() : last_(Clock::now()) {}

    // `now`: a recent reading of the clock (the end of the timed exchange).
    void line(uint64_t done, uint64_t total, Clock::time_point begin, Clock::time_point now) {
        if (total == 0) core::raise(PyExc_ZeroDivisionError, "float division by zero");
        append_progress(pending_, done, total, seconds_between(begin, now));
        if (now - last_ >= kFlushInterval || pending_.size() >= kMaxPending) emit(/*flush=*/true, now);
    }

    // Before a callback or a log record: they may write to standard output.
    void settle() {
        if (!pending_.empty()) emit(/*flush=*/false, last_);
    }

    // On the way out with an error: what was shown so far still reaches the
    // terminal, and the error in flight stays the one the caller sees.
    void settle_after_error() noexcept {
        if (pending_.empty()) return;
        try {
            emit(/*flush=*/true, last_);
        } catch (...) {
            PyErr_Clear();
        }
    }

    // print(): ends the progress line.
    void end_line() {
        pending_ += '\n';
        emit(/*flush=*/true, Clock::now());
    }

private:
    void emit(bool flush, Clock::time_point now) {
        write_stdout(pending_, flush);
        pending_.clear();
        last_ = now;
    }

    std::string pending_;
    Clock::time_point last_;
};

// A hashlib SHA-256 context fed in large pieces; the digest equals that of
// feeding every piece as it comes.
class Digest {
public:
    Digest() : sha_(global(names().hashlib).attr("sha256")()) {}

    // Bytes that will stay alive and unchanged until the digest is taken.
    void update_view(const char* data, size_t size) {
        if (size == 0) return;
        py::object view =
            steal_or_throw(PyMemoryView_FromMemory(const_cast<char*>(data), static_cast<Py_ssize_t>(size), PyBUF_READ));
        sha_.attr("update")(view);
    }

    // Any bytes-like object; copied into the pending piece.
    void update_buffer(py::handle data) {
        Py_buffer view;
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) core::throw_python_error();
        pending_.append(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        if (pending_.size() >= kDigestChunk) drain();
    }

    std::string hexdigest() {
        drain();
        return to_std(sha_.attr("hexdigest")());
    }

private:
    void drain() {
        update_view(pending_.data(), pending_.size());
        pending_.clear();
    }

    py::object sha_;
    std::string pending_;
};

class Programmer {
public:
    Programmer(py::handle self, py::handle image_path) : self_(self), image_path_(image_path) {}

    bool run(py::handle device_type) {
        try {
            return program(device_type);
        } catch (...) {
            progress_.settle_after_error();
            throw;
        }
    }

private:
    bool program(py::handle device_type) {
        const Names& n = names();
        std::string fs = fs_path(image_path_);
        require_regular_file(fs, image_path_);  // before any device command
        uint64_t file_size = tarnel::file_size(fs, image_path_);
        Clock::time_point start = Clock::now();
        Digest written;

        if (equals(device_type, 28)) call_method(self_, n._fpgaErase, py::bytes("14"));
        else if (equals(device_type, 32)) call_method(self_, n._fpgaErase, py::bytes("12"));
        call_method(self_, n._fpgaRstPagePtr, py::bytes("CFG"));
        report("write", 0, 0);

        uint64_t sent = image_kind(fs) == ImageKind::Tbin ? write_container(fs, written) : write_raw(fs, file_size, written);

        progress_.end_line();
        std::string written_hex = written.hexdigest();
        if (log_enabled(DEBUG)) log(DEBUG, "w hash: " + written_hex);
        log(INFO, "Verify Data");
        report("verify", 0, sent);

        std::string read_hex = read_back(sent);
        if (log_enabled(DEBUG)) log(DEBUG, "r hash: " + read_hex);
        bool verified = written_hex == read_hex;
        if (verified) log(INFO, "Verify Success");
        else log(ERROR, "Verify Failed");

        call_method(self_, n._fpgaDone);
        call_method(self_, n._fpgaRefresh);
        char total[64];
        std::snprintf(total, sizeof total, "%.4f", seconds_between(start, Clock::now()));
        log(INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
        return verified;
    }

    // The callback, when one is set, with (stage, done, total).
    void report(const char* stage, uint64_t done, uint64_t total) {
        py::object callback = getattr(self_, names().progress_callback);
        if (!truth(callback)) return;
        progress_.settle();
        py::object stage_text = py::str(stage), done_n = py::int_(done), total_n = py::int_(total);
        core::call<3>(callback, {stage_text.ptr(), done_n.ptr(), total_n.ptr()});
    }

    struct Timed {
        Clock::time_point begin, end;
    };

    // Sends one block until the device acknowledges it; returns the times of
    // the acknowledged attempt.
    Timed program_block(const char* data, size_t size, uint64_t offset) {
        py::object block = steal_or_throw(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
        for (int attempt = 1; attempt <= kMaxAttempts; attempt++) {
            Clock::time_point begin = Clock::now();
            bool acknowledged = truth(call_method(self_, names()._fpgaProgram, block));
            Clock::time_point end = Clock::now();
            if (acknowledged) return Timed{begin, end};
        }
        char message[160];
        std::snprintf(message, sizeof message, "FPGA refused the %zu-byte block at image offset %llu %d times; update abandoned",
                      size, static_cast<unsigned long long>(offset), kMaxAttempts);
        progress_.settle();
        log(ERROR, message);
        core::raise(PyExc_RuntimeError, message);
    }

    void write_block(const char* data, size_t size, uint64_t& sent, uint64_t total) {
        Timed attempt = program_block(data, size, sent);
        sent += size;
        progress_.line(sent, total, attempt.begin, attempt.end);
        report("write", sent, total);
    }

    // A container: only the image inside it is written.
    uint64_t write_container(const std::string& fs, Digest& written) {
        py::object data = read_whole_file(fs, image_path_);
        const char* bytes = PyBytes_AS_STRING(data.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(bytes), size);
        if (!pre) {
            py::object error = global(names().struct_).attr("error");
            PyErr_Format(error.ptr(), "the file is %zu bytes long, too short for the container sizes (%zu bytes)",
                         size, kSizeFieldsLength);
            core::throw_python_error();
        }
        Span image = clamp_span(pre->image_start, pre->image_length, size);
        const char* first = bytes + image.begin;
        uint64_t total = image.length();
        uint64_t sent = 0;
        while (sent < total) {
            size_t block = static_cast<size_t>(std::min<uint64_t>(kBlockSize, total - sent));
            write_block(first + sent, block, sent, total);
        }
        written.update_view(first, image.length());  // `data` is alive until here
        return sent;
    }

    // Any other file: written whole, streamed.
    uint64_t write_raw(const std::string& fs, uint64_t file_size, Digest& written) {
        FileReader reader(fs, image_path_);
        std::string chunk(kDigestChunk, '\0');
        uint64_t sent = 0;
        for (;;) {
            size_t got = reader.read(&chunk[0], chunk.size());
            written.update_view(chunk.data(), got);
            for (size_t at = 0; at < got; at += kBlockSize)
                write_block(chunk.data() + at, std::min(kBlockSize, got - at), sent, file_size);
            if (got < chunk.size()) return sent;
        }
    }

    // One read per started 16-byte page of what was written.
    std::string read_back(uint64_t sent) {
        const Names& n = names();
        Digest read;
        call_method(self_, n._fpgaRstPagePtr, py::bytes("CFG"));
        for (uint64_t done = kBlockSize; done < sent + kBlockSize; done += kBlockSize) {
            Clock::time_point begin = Clock::now();
            py::object page = call_method(self_, n._fpgaRead);
            Clock::time_point end = Clock::now();
            progress_.line(done, sent, begin, end);
            report("verify", done, sent);
            read.update_buffer(page);
        }
        progress_.end_line();
        return read.hexdigest();
    }

    py::handle self_;
    py::handle image_path_;
    ProgressOutput progress_;
};

}  // namespace

py::object op_fpgaProgramFile(const Args& a) {
    py::handle image_path = core::require_text(a[1], "image_path");
    py::object device_type = core::require_integer(a[2], "device_type");
    return py::bool_(Programmer(a[0], image_path).run(device_type));
}

}  // namespace ondrel::tarnel
