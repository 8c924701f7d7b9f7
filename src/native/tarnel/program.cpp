// FpgaTool._fpgaProgramFile: write an image 16 bytes per command, read it
// back 16 bytes per command, and compare SHA-256 digests of both.
#include "tarnel/files.hpp"
#include "tarnel/pipeline.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/tarnel.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;
using core::equals;
using core::getattr;
using core::steal_or_throw;
using core::truth;

// A block the device keeps refusing is sent this many times in all.
constexpr int kMaxAttempts = 10;
// Digests are fed, and raw images read, in pieces of this size.
constexpr size_t kChunk = 1 << 16;
// The progress line reaches the terminal at least this often.
constexpr auto kFlushInterval = std::chrono::milliseconds(100);

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The progress line on sys.stdout.  Each line is written as it comes (the
// stream buffers it), so its bytes keep their place among everything else
// written to standard output; only the flushes are limited, to about ten a
// second, so that a terminal shows the line move without a write per block.
class ProgressOutput {
public:
    explicit ProgressOutput(const Ctx& c) : c_(c), last_flush_(Clock::now()) {}

    // `end`: the end of the timed exchange, a recent reading of the clock.
    void line(uint64_t done, uint64_t total, Clock::time_point begin, Clock::time_point end) {
        if (total == 0) core::raise(PyExc_ZeroDivisionError, "float division by zero");
        text_.clear();
        append_progress(text_, done, total, seconds_between(begin, end));
        bool flush = end - last_flush_ >= kFlushInterval;
        c_.write_stdout(text_, flush);
        if (flush) last_flush_ = end;
    }

    // print(): ends the progress line.
    void end_line() {
        c_.write_stdout("\n", true);
        last_flush_ = Clock::now();
    }

    // On the way out with an error: what was written so far reaches the
    // terminal, and the error in flight stays the one the caller sees.
    void flush_after_error() {
        try {
            c_.write_stdout("", true);
        } catch (core::ThreadExit&) {
            throw;
        } catch (...) {
            PyErr_Clear();
        }
    }

private:
    const Ctx& c_;
    std::string text_;
    Clock::time_point last_flush_;
};

// A hashlib SHA-256 context.  Small pieces (the pages read back) are gathered
// and fed in large ones; the digest equals that of feeding every piece as it
// comes.  Only Python objects are fed, never a view of memory of ours: the
// callee may keep its argument.
class Digest {
public:
    explicit Digest(const Ctx& c) : c_(c), sha_(call_method(c.global(c.n.hashlib), c.n.sha256)) {}

    // A bytes-like object, fed as it is.
    void update(py::handle data) {
        drain();
        call_method(sha_, c_.n.update, data);
    }

    // Any bytes-like object; copied into the gathered piece.
    void add(py::handle piece) {
        Py_buffer view;
        if (PyObject_GetBuffer(piece.ptr(), &view, PyBUF_SIMPLE) < 0) core::throw_python_error();
        pending_.append(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
        PyBuffer_Release(&view);
        if (pending_.size() >= kChunk) drain();
    }

    std::string hexdigest() {
        drain();
        return to_std(call_method(sha_, c_.n.hexdigest));
    }

private:
    void drain() {
        if (pending_.empty()) return;
        py::object piece = bytes_of(pending_.data(), pending_.size());
        pending_.clear();
        call_method(sha_, c_.n.update, piece);
    }

    const Ctx& c_;
    py::object sha_;
    std::string pending_;
};

// The device refused a block while later ones were in flight.
struct Refused {
    uint64_t offset;
};

// Writes an image and reads it back.  With a window above 1 up to that many
// commands are in flight on the connection (see pipeline.hpp); otherwise
// each block and page is one exchange through the tool's own _fpgaProgram
// and _fpgaRead.
class Programmer {
public:
    Programmer(const Ctx& c, py::handle self, py::handle image_path, size_t window = 1)
        : c_(c), self_(self), image_path_(image_path), window_(window), read_window_(window), progress_(c) {}

    bool run(py::handle device_type) {
        try {
            return program(device_type);
        } catch (core::ThreadExit&) {
            throw;
        } catch (...) {
            if (pipeline_) pipeline_->settle();  // never leave the connection out of step
            progress_.flush_after_error();
            throw;
        }
    }

private:
    bool program(py::handle device_type) {
        const Names& n = c_.n;
        std::string fs = fs_path(image_path_);
        require_regular_file(fs, image_path_);  // before any device command
        uint64_t file_size = tarnel::file_size(fs, image_path_);
        bool container = image_kind(fs) == ImageKind::Tbin;

        // Within an update whose check verified this container, exactly the
        // verified bytes are written, and a file that no longer holds them
        // is refused before the device is touched.
        py::object verified;
        if (container) {
            if (VerifiedImage* update = c_.update_in_progress(self_, image_path_)) verified = update->data;
        }
        if (verified && !file_holds(fs, verified)) {
            c_.log(ERROR, "FPGA image file changed after its check: " + str_of(image_path_));
            return false;
        }

        Clock::time_point start = Clock::now();
        py::object data = verified;
        std::optional<Digest> written;
        uint64_t sent = 0;
        for (;;) {
            written.emplace(c_);
            if (equals(device_type, 28)) call_method(self_, n._fpgaErase, py::bytes("14"));
            else if (equals(device_type, 32)) call_method(self_, n._fpgaErase, py::bytes("12"));
            call_method(self_, n._fpgaRstPagePtr, py::bytes("CFG"));
            report("write", 0, 0);
            if (container && !data) data = read_container(fs, image_path_);
            if (window_ > 1) pipeline_.emplace(c_, self_, window_);
            try {
                sent = container ? write_container(data, *written) : write_raw(fs, file_size, *written);
                break;
            } catch (const Refused& refused) {
                // A refused block cannot be sent again in place once later ones followed it.
                pipeline_->settle();
                pipeline_.reset();
                progress_.end_line();
                c_.log(WARNING, "FPGA refused the block at image offset " + std::to_string(refused.offset) + " with " +
                                    std::to_string(window_) + " commands in flight; programming again from the "
                                    "erase, one block at a time");
                window_ = 1;
            }
        }

        progress_.end_line();
        std::string written_hex = written->hexdigest();
        if (c_.log_enabled(DEBUG)) c_.log(DEBUG, "w hash: " + written_hex);
        c_.log(INFO, "Verify Data");
        report("verify", 0, sent);

        std::string read_hex = read_back(sent);
        if (c_.log_enabled(DEBUG)) c_.log(DEBUG, "r hash: " + read_hex);
        bool verified_equal = written_hex == read_hex;
        if (verified_equal) c_.log(INFO, "Verify Success");
        else c_.log(ERROR, "Verify Failed");

        call_method(self_, n._fpgaDone);
        call_method(self_, n._fpgaRefresh);
        char total[64];
        std::snprintf(total, sizeof total, "%.4f", seconds_between(start, Clock::now()));
        c_.log(INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
        return verified_equal;
    }

    // Whether the container file still holds `data`, the part of it that its
    // check read (see read_container).  The same bytes mean the same size
    // fields, so the same part is referenced; a file the check read whole
    // must not have grown.
    bool file_holds(const std::string& fs, const py::object& data) {
        const char* expected = PyBytes_AS_STRING(data.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(expected), size);
        if (!pre) return false;
        uint64_t wanted = std::min<uint64_t>(container_extent(*pre), uint64_t{size} + 1);
        FileReader reader(fs, image_path_);
        std::string chunk(kChunk, '\0');
        uint64_t at = 0;
        while (at < wanted) {
            size_t got = reader.read(&chunk[0], static_cast<size_t>(std::min<uint64_t>(chunk.size(), wanted - at)));
            if (got == 0) break;
            if (at + got > size || std::memcmp(expected + at, chunk.data(), got) != 0) return false;
            at += got;
        }
        return at == size;
    }

    // The callback, when one is set, with (stage, done, total).
    void report(const char* stage, uint64_t done, uint64_t total) {
        py::object callback = getattr(self_, c_.n.progress_callback);
        if (!truth(callback)) return;
        py::object stage_text = py::str(stage), done_n = py::int_(done), total_n = py::int_(total);
        core::call<3>(callback, {stage_text.ptr(), done_n.ptr(), total_n.ptr()});
    }

    struct Timed {
        Clock::time_point begin, end;
    };

    // Sends one block until the device acknowledges it; returns the times of
    // the acknowledged attempt.
    Timed program_block(const char* data, size_t size, uint64_t offset) {
        py::object block = bytes_of(data, size);
        for (int attempt = 1; attempt <= kMaxAttempts; attempt++) {
            Clock::time_point begin = Clock::now();
            bool acknowledged = truth(call_method(self_, c_.n._fpgaProgram, block));
            Clock::time_point end = Clock::now();
            if (acknowledged) return Timed{begin, end};
        }
        char message[160];
        std::snprintf(message, sizeof message, "FPGA refused the %zu-byte block at image offset %llu %d times; update abandoned",
                      size, static_cast<unsigned long long>(offset), kMaxAttempts);
        c_.log(ERROR, message);
        core::raise(PyExc_RuntimeError, message);
    }

    void write_block(const char* data, size_t size, uint64_t& sent, uint64_t total) {
        if (pipeline_) {
            if (pipeline_->full()) complete_block(sent, total);
            pipeline_->send(program_frame(data, size), size);
            return;
        }
        Timed attempt = program_block(data, size, sent);
        sent += size;
        progress_.line(sent, total, attempt.begin, attempt.end);
        report("write", sent, total);
    }

    // The reply to the oldest block in flight.
    void complete_block(uint64_t& sent, uint64_t total) {
        Pipeline::Reply reply = pipeline_->receive();
        py::object text = PyBytes_Check(reply.data.ptr())
                              ? core::steal_or_throw(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(reply.data.ptr()),
                                                                          PyBytes_GET_SIZE(reply.data.ptr()), "replace"))
                              : core::steal_or_throw(core::guarded([&] {
                                    return PyObject_CallMethod(reply.data.ptr(), "decode", "ss", "utf-8", "replace");
                                }));
        if (!acknowledged(text)) throw Refused{sent};
        sent += reply.tag;
        progress_.line(sent, total, reply.begin, reply.end);
        report("write", sent, total);
    }

    // The blocks still in flight at the end of the image.
    void complete_blocks(uint64_t& sent, uint64_t total) {
        while (pipeline_ && !pipeline_->empty()) complete_block(sent, total);
    }

    // A container: only the image inside it is written.
    uint64_t write_container(const py::object& data, Digest& written) {
        const char* bytes = PyBytes_AS_STRING(data.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(bytes), size);
        if (!pre) {
            py::object error = c_.global(c_.n.struct_).attr("error");
            PyErr_Format(error.ptr(), "the file is %zu bytes long, too short for the container sizes (%zu bytes)",
                         size, kSizeFieldsLength);
            core::throw_python_error();
        }
        Span image = clamp_span(pre->image_start, pre->image_length, size);
        const char* first = bytes + image.begin;
        uint64_t total = image.length();
        uint64_t sent = 0;
        for (uint64_t at = 0; at < total; at += kBlockSize) {
            size_t block = static_cast<size_t>(std::min<uint64_t>(kBlockSize, total - at));
            write_block(first + at, block, sent, total);
        }
        complete_blocks(sent, total);
        if (total) written.update(view_of(data, image.begin, image.end));
        return sent;
    }

    // Any other file: written whole, streamed.
    uint64_t write_raw(const std::string& fs, uint64_t file_size, Digest& written) {
        FileReader reader(fs, image_path_);
        uint64_t sent = 0;
        for (;;) {
            py::object chunk = reader.read_bytes(kChunk);  // a new one each time: the digest may keep it
            const char* data = PyBytes_AS_STRING(chunk.ptr());
            size_t got = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
            if (got) written.update(chunk);
            for (size_t at = 0; at < got; at += kBlockSize)
                write_block(data + at, std::min(kBlockSize, got - at), sent, file_size);
            if (got < kChunk) {
                complete_blocks(sent, file_size);
                return sent;
            }
        }
    }

    // One read per started 16-byte page of what was written.
    std::string read_back(uint64_t sent) {
        const Names& n = c_.n;
        Digest read(c_);
        call_method(self_, n._fpgaRstPagePtr, py::bytes("CFG"));
        if (read_window_ > 1) {
            pipeline_.emplace(c_, self_, read_window_);
            uint64_t pages = (sent + kBlockSize - 1) / kBlockSize;
            read_pages(*pipeline_, pages, py::bytes("FPGA_READ\r\n"), [&](py::handle page, uint64_t done,
                                                                             const Pipeline::Reply& reply) {
                progress_.line(done * kBlockSize, sent, reply.begin, reply.end);
                report("verify", done * kBlockSize, sent);
                read.add(page);
            });
            pipeline_.reset();
            progress_.end_line();
            return read.hexdigest();
        }
        for (uint64_t done = kBlockSize; done < sent + kBlockSize; done += kBlockSize) {
            Clock::time_point begin = Clock::now();
            py::object page = call_method(self_, n._fpgaRead);
            Clock::time_point end = Clock::now();
            progress_.line(done, sent, begin, end);
            report("verify", done, sent);
            read.add(page);
        }
        progress_.end_line();
        return read.hexdigest();
    }

    const Ctx& c_;
    py::handle self_;
    py::handle image_path_;
    size_t window_;       // blocks in flight while writing (1 after a refusal)
    size_t read_window_;  // pages in flight while reading back
    ProgressOutput progress_;
    std::optional<Pipeline> pipeline_;  // the commands in flight, in a windowed stage
};

}  // namespace

py::object op_fpgaProgramFile(const Args& a) {
    Ctx c(a);
    py::handle image_path = core::require_text(a[1], "image_path");
    py::object device_type = core::require_integer(a[2], "device_type");
    return py::bool_(Programmer(c, a[0], image_path).run(device_type));
}

// The window argument of the module functions: a whole number from 1 on.
size_t window_size(py::handle value) {
    py::object number = core::require_integer(value, "window");
    long long window = PyLong_AsLongLong(number.ptr());
    if (window == -1 && PyErr_Occurred()) core::throw_python_error();
    if (window < 1 || window > 65536) {
        PyErr_Format(PyExc_ValueError, "window must be from 1 to 65536 commands in flight, not %lld", window);
        core::throw_python_error();
    }
    return static_cast<size_t>(window);
}

py::object op_fpgaProgramFileWindowed(const Args& a) {
    Ctx c(a);
    py::handle tool = a[0];
    py::handle image_path = core::require_text(a[1], "image_path");
    py::object device_type = core::require_integer(a[2], "device_type");
    size_t window = window_size(a[3]);
    if (window > 1) require_own_exchange(c, tool);
    return py::bool_(Programmer(c, tool, image_path, window).run(device_type));
}

py::object op_fpgaReadWindowed(const Args& a) {
    Ctx c(a);
    py::handle tool = a[0], progress = a[3];
    py::object count = core::require_integer(a[1], "pages");
    unsigned long long pages = PyLong_AsUnsignedLongLong(count.ptr());
    if (pages == static_cast<unsigned long long>(-1) && PyErr_Occurred()) core::throw_python_error();
    size_t window = window_size(a[2]);
    require_own_exchange(c, tool);
    Pipeline pipeline(c, tool, window);
    py::list payloads;
    try {
        read_pages(pipeline, pages, py::bytes("FPGA_READ\r\n"), [&](py::handle page, uint64_t done,
                                                                      const Pipeline::Reply&) {
            payloads.append(page);
            if (!progress.is_none()) {
                py::object number = py::int_(done);
                core::call<1>(progress, {number.ptr()});
            }
        });
    } catch (core::ThreadExit&) {
        throw;
    } catch (...) {
        pipeline.settle();
        throw;
    }
    return py::bytes("").attr("join")(payloads);
}

}  // namespace ondrel::tarnel
