// FpgaTool._fpgaProgramFile: write an image 16 bytes per command, read it
// back 16 bytes per command, and compare SHA-256 digests of both.
#include "tarnel/program.hpp"

#include "tarnel/files.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"

#include <cstdio>
#include <cstring>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;

// Digests are fed, and raw images read, in pieces of this size.
constexpr size_t kChunk = 1 << 16;
// The progress line reaches the terminal at least this often.
constexpr auto kFlushInterval = std::chrono::milliseconds(100);

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The progress line on sys.stdout.  Lines are gathered while no Python code
// runs and written, in one call, before any does (so their bytes keep their
// place among everything else written to standard output); the flushes are
// limited to about ten a second, so that a terminal shows the line move
// without a write per block.
class ProgressOutput {
public:
    ProgressOutput(const Ctx& c, Handle lines) : c_(c), lines_(lines), last_flush_(Clock::now()) {}

    // `end`: the end of the timed exchange, a recent reading of the clock.
    void line(uint64_t done, uint64_t total, Clock::time_point begin, Clock::time_point end) {
        if (total == 0) core::raise(PyExc_ZeroDivisionError, "float division by zero");
        append_progress(pending_, done, total, seconds_between(begin, end));
        if (end - last_flush_ >= kFlushInterval) {
            flush_due_ = true;
            last_flush_ = end;
        }
    }

    // Before Python code runs: the lines gathered so far go out.
    void write_pending() {
        if (pending_.empty() && !flush_due_) return;
        writing_.swap(pending_);  // both keep their memory: no allocation per block
        bool flush = flush_due_;
        flush_due_ = false;
        write(writing_, flush);
        writing_.clear();
    }

    // print(): ends the progress line.
    void end_line() {
        pending_ += "\n";
        flush_due_ = true;
        write_pending();
        last_flush_ = Clock::now();
    }

    // On the way out with an error: what was written so far reaches the
    // terminal, and the error in flight stays the one the caller sees.
    void flush_after_error() noexcept {
        try {
            flush_due_ = true;
            write_pending();
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            PyErr_Clear();
        }
    }

private:
    void write(const std::string& ascii, bool flush) {
        if (lines_.is_none())
            c_.write_stdout(ascii, flush);
        else
            c_.write_to(lines_, ascii, flush);
    }

    const Ctx& c_;
    Handle lines_;
    std::string pending_;
    std::string writing_;  // what write_pending is writing
    bool flush_due_ = false;
    Clock::time_point last_flush_;
};

// A hashlib SHA-256 context.  Small pieces (the pages read back) are gathered
// and fed in large ones; the digest equals that of feeding every piece as it
// comes.  Only Python objects are fed, never a view of memory of ours: the
// callee may keep its argument.
class Digest {
public:
    // `progress`: its gathered lines go out before the digest calls Python.
    Digest(const Ctx& c, ProgressOutput& progress)
        : c_(c), progress_(progress), sha_(call_method(c.global(c.n.hashlib), c.n.sha256)) {}

    // A bytes-like object, fed as it is.
    void update(Handle data) {
        drain();
        progress_.write_pending();
        call_method(sha_, c_.n.update, data);
    }

    // Any bytes-like object; copied into the gathered piece.
    void add(Handle piece) {
        if (!PyBytes_CheckExact(piece.ptr())) progress_.write_pending();  // its buffer may be Python code's
        {
            core::Buffer view(piece);
            pending_.append(view.data(), view.size());
        }
        if (pending_.size() >= kChunk) drain();
    }

    std::string hexdigest() {
        drain();
        progress_.write_pending();
        return core::utf8(call_method(sha_, c_.n.hexdigest));
    }

private:
    void drain() {
        if (pending_.empty()) return;
        Ref piece = bytes_of(pending_.data(), pending_.size());
        pending_.clear();
        progress_.write_pending();
        call_method(sha_, c_.n.update, piece);
    }

    const Ctx& c_;
    ProgressOutput& progress_;
    Ref sha_;
    std::string pending_;
};

}  // namespace

// Writes an image and reads it back, with a transfer of one command at a
// time or a window of commands in flight (see transfer.hpp).
class Programmer final : TransferEvents {
public:
    Programmer(const Ctx& c, Handle tool, Handle image_path, size_t window, Handle lines)
        : c_(c), tool_(tool), image_path_(image_path), window_(window), read_window_(window), progress_(c, lines) {}

    bool run(Handle device_type) {
        try {
            return program(device_type);
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            if (transfer_) transfer_->abandon();  // never leave the connection out of step
            progress_.flush_after_error();
            throw;
        }
    }

private:
    bool program(Handle device_type) {
        const Names& n = c_.n;
        std::string fs = fs_path(image_path_);
        require_regular_file(fs, image_path_);  // before any device command
        bool container = image_kind(fs) == ImageKind::Tbin;

        // The file is opened now, so that what is written is the file as it
        // stood when the call began.  A file that cannot be opened fails
        // where it is first read, after the erase.
        std::optional<FileReader> reader;
        std::optional<core::Error> open_error;
        try {
            reader.emplace(fs, image_path_);
        } catch (core::Error& e) {
            if (!e.matches(PyExc_OSError)) throw;
            open_error.emplace(std::move(e));
        }
        FileStamp start = reader ? reader->stamp() : FileStamp{0, 0, file_size(fs, image_path_), 0, 0};
        Ref data;                          // a container's bytes: those its check verified, or read now
        std::optional<std::string> whole;  // a raw image's digest, read whole before the erase
        if (reader) {
            std::optional<Ref> checked = checked_in_update(*reader, start, container);
            if (!checked) {
                c_.log(ERROR, "FPGA image file changed after its check: " + core::utf8(image_path_));
                return false;
            }
            if (container) {
                data = *checked ? *checked : reader->read_container();
            } else {
                // The whole image is read, and its digest taken, before the device
                // is touched: a file that holds less or more than its size says (a
                // pseudo-file) is refused here.  A read error waits for the erase,
                // as an open error does.
                try {
                    FileDigest read = digest_file(*reader, start.size);
                    if (read.size != start.size) {
                        c_.log(ERROR, "FPGA image file reads " + std::to_string(read.size) +
                                          " bytes where its size is " + std::to_string(start.size) + ": " +
                                          core::utf8(image_path_));
                        return false;
                    }
                    whole = read.hex;
                } catch (core::Error& e) {
                    if (!e.matches(PyExc_OSError)) throw;
                    open_error.emplace(std::move(e));
                }
            }
        }

        Clock::time_point began = Clock::now();
        std::optional<Digest> written;
        uint64_t sent = 0;
        for (;;) {
            written.emplace(c_, progress_);
            if (core::equals(device_type, 28))
                call_method(tool_, n._fpgaErase, core::bytes(protocol::kEraseType28));
            else if (core::equals(device_type, 32))
                call_method(tool_, n._fpgaErase, core::bytes(protocol::kEraseType32));
            call_method(tool_, n._fpgaRstPagePtr, core::bytes(protocol::kSectionCfg));
            report("write", 0, 0);
            if (open_error) throw std::move(*open_error);
            transfer_ = window_ > 1 ? windowed(c_, tool_, window_, *this) : one_at_a_time(c_, tool_, *this);
            try {
                std::optional<uint64_t> done =
                    container ? write_container(data, *written) : write_raw(*reader, start, *written);
                if (!done) {
                    transfer_->abandon();
                    transfer_.reset();
                    progress_.end_line();
                    return changed_while_programmed();
                }
                transfer_.reset();  // the connection is the tool's own again
                sent = *done;
                break;
            } catch (const Refused& refused) {
                transfer_->abandon();
                transfer_.reset();
                progress_.end_line();
                c_.log(WARNING, "FPGA refused the block at image offset " + std::to_string(refused.offset) + " with " +
                                    std::to_string(window_) +
                                    " commands in flight; programming again from the "
                                    "erase, one block at a time");
                window_ = 1;
            }
        }

        progress_.end_line();
        std::string written_hex = written->hexdigest();
        if (whole && written_hex != *whole) return changed_while_programmed();  // what was sent is no state it had
        if (c_.log_enabled(DEBUG)) c_.log(DEBUG, "w hash: " + written_hex);
        c_.log(INFO, "Verify Data");
        report("verify", 0, sent);

        std::string read_hex = read_back(sent);
        if (c_.log_enabled(DEBUG)) c_.log(DEBUG, "r hash: " + read_hex);
        bool equal = written_hex == read_hex;
        if (equal)
            c_.log(INFO, "Verify Success");
        else
            c_.log(ERROR, "Verify Failed");

        // A raw image must still be what was sent before the device loads it.
        if (whole && digest_file(*reader, start.size).hex != *whole) return changed_while_programmed();
        call_method(tool_, n._fpgaDone);
        call_method(tool_, n._fpgaRefresh);
        char total[64];
        std::snprintf(total, sizeof total, "%.4f", seconds_between(began, Clock::now()));
        c_.log(INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
        return equal;
    }

    bool changed_while_programmed() {
        c_.log(ERROR, "FPGA image file changed while it was programmed: " + core::utf8(image_path_));
        return false;
    }

    struct FileDigest {
        uint64_t size;
        std::string hex;
    };

    // The SHA-256 of the file's bytes from its start, read in pieces (one
    // more than `expected` at most, to tell a longer file), and how many.
    FileDigest digest_file(FileReader& reader, uint64_t expected) {
        Digest digest(c_, progress_);
        uint64_t at = 0;
        for (;;) {
            uint64_t want = std::min<uint64_t>(kChunk, expected + 1 - std::min(at, expected));
            Ref piece = reader.read_bytes(at, want);  // new each time: the digest may keep it
            size_t got = static_cast<size_t>(PyBytes_GET_SIZE(piece.ptr()));
            if (got == 0) break;
            digest.update(piece);
            at += got;
            if (at > expected) break;
        }
        return FileDigest{at, digest.hexdigest()};
    }

    // Within an update whose checks accepted an image, the file opened here
    // must be one of those, unchanged: the same file (whatever path spelling
    // reached it), holding the very container bytes its header check
    // verified, or a raw image of the same size and times.  Nothing when it
    // is not; else the verified container bytes (empty outside an update,
    // for a raw image, or when no check looked at a file).
    std::optional<Ref> checked_in_update(FileReader& reader, const FileStamp& now, bool container) const {
        UpdateInProgress* update = c_.update_in_progress(tool_);
        if (!update || update->checked.empty()) return Ref();
        // A copy: reading the file lets other threads run, the update's own among them.
        std::vector<CheckedImage> accepted = update->checked;
        for (const CheckedImage& checked : accepted) {
            if (!checked.stamp.same_file(now) || bool(checked.container) != container) continue;
            if (!container) {
                if (checked.stamp.unchanged(now)) return Ref();
            } else if (file_holds(reader, checked.container)) {
                return checked.container;
            }
        }
        return std::nullopt;
    }

    // Whether the file holds `data`, the part of a container its check read:
    // the same bytes, and no more of them within the container's extent.
    // Compared a piece at a time, so that only the verified copy is in memory.
    static bool file_holds(FileReader& reader, const Ref& data) {
        const char* expected = PyBytes_AS_STRING(data.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(expected), size);
        uint64_t wanted = pre ? std::min<uint64_t>(container_extent(*pre), uint64_t{size} + 1) : size + 1;
        std::string piece(kChunk, '\0');
        uint64_t at = 0;
        while (at < wanted) {
            size_t got = reader.read_at(&piece[0], static_cast<size_t>(std::min<uint64_t>(kChunk, wanted - at)), at);
            if (got == 0) break;
            if (at + got > size || std::memcmp(expected + at, piece.data(), got) != 0) return false;
            at += got;
        }
        return at == size;
    }

    // The callback, when one is set, with (stage, done, total).  None, found
    // without running Python code, leaves the gathered progress lines
    // gathered: a window of blocks costs one write, not one each.
    void report(const char* stage, uint64_t done, uint64_t total) {
        if (!core::attribute_is_plain(tool_, c_.n.progress_callback)) progress_.write_pending();
        Ref callback = core::getattr(tool_, c_.n.progress_callback);
        if (callback.is_none()) return;
        progress_.write_pending();
        if (!core::truth(callback)) return;
        core::call(callback, core::text(stage), core::integer(done), core::integer(total));
    }

    void block_written(size_t size, Clock::time_point begin, Clock::time_point end) override {
        written_ += size;
        progress_.line(written_, total_, begin, end);
        report("write", written_, total_);
    }

    void before_python() override { progress_.write_pending(); }

    void page_read(Handle payload, Clock::time_point begin, Clock::time_point end) override {
        uint64_t done = ++pages_read_ * kBlockSize;
        progress_.line(done, read_total_, begin, end);
        report("verify", done, read_total_);
        read_digest_->add(payload);
    }

    // A container: only the image inside it is written.
    std::optional<uint64_t> write_container(const Ref& data, Digest& written) {
        const char* bytes = PyBytes_AS_STRING(data.ptr());
        size_t size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
        std::optional<Preamble> pre = read_preamble(reinterpret_cast<const unsigned char*>(bytes), size);
        if (!pre)
            core::raise(core::getattr(c_.global(c_.n.struct_), c_.n.error).ptr(),
                        "the file is " + std::to_string(size) + " bytes long, too short for the container sizes (" +
                            std::to_string(kSizeFieldsLength) + " bytes)");
        Span image = clamp_span(pre->image_start, pre->image_length, size);
        begin_writes(image.length());
        for (uint64_t at = 0; at < total_; at += kBlockSize)
            transfer_->write(bytes + image.begin + at,
                             static_cast<size_t>(std::min<uint64_t>(kBlockSize, total_ - at)));
        transfer_->finish_writes();
        if (total_) written.update(view_of(data, image.begin, image.end));
        return written_;
    }

    // Any other file: written whole, streamed from the file opened when the
    // call began; nothing when the file changed since (see program()).
    std::optional<uint64_t> write_raw(FileReader& reader, const FileStamp& start, Digest& written) {
        begin_writes(start.size);
        for (uint64_t at = 0; at < total_;) {
            uint64_t want = std::min<uint64_t>(kChunk, total_ - at);
            Ref chunk = reader.read_bytes(at, want);  // a new one each time: the digest may keep it
            size_t got = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
            if (got != want || !reader.stamp().unchanged(start)) return std::nullopt;
            written.update(chunk);
            const char* bytes = PyBytes_AS_STRING(chunk.ptr());
            for (size_t block = 0; block < got; block += kBlockSize)
                transfer_->write(bytes + block, std::min(kBlockSize, got - block));
            at += got;
        }
        transfer_->finish_writes();
        char probe;  // a file that grew holds more than was written
        if (!reader.stamp().unchanged(start) || reader.read_at(&probe, 1, total_) != 0) return std::nullopt;
        return written_;
    }

    void begin_writes(uint64_t total) {
        total_ = total;
        written_ = 0;
    }

    // One read per started 16-byte page of what was written.
    std::string read_back(uint64_t sent) {
        Digest read(c_, progress_);
        read_digest_ = &read;
        read_total_ = sent;
        pages_read_ = 0;
        call_method(tool_, c_.n._fpgaRstPagePtr, core::bytes(protocol::kSectionCfg));
        transfer_ = read_window_ > 1 ? windowed(c_, tool_, read_window_, *this) : one_at_a_time(c_, tool_, *this);
        transfer_->read((sent + kBlockSize - 1) / kBlockSize);
        transfer_.reset();
        read_digest_ = nullptr;
        progress_.end_line();
        return read.hexdigest();
    }

    const Ctx& c_;
    Handle tool_;
    Handle image_path_;
    size_t window_;       // blocks in flight while writing (1 after a refusal)
    size_t read_window_;  // pages in flight while reading back
    ProgressOutput progress_;
    std::unique_ptr<Transfer> transfer_;
    uint64_t total_ = 0, written_ = 0;          // the write stage
    uint64_t read_total_ = 0, pages_read_ = 0;  // the verify stage
    Digest* read_digest_ = nullptr;
};

bool program_file(const Ctx& c, Handle tool, Handle image_path, Handle device_type, size_t window, Handle lines) {
    return Programmer(c, tool, image_path, window, lines).run(device_type);
}

namespace {

ONDREL_ARGS(ProgramFileArgs, self, image_path, device_type);

Ref fpga_program_file(const Ctx& c, const ProgramFileArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    Ref device_type = core::require_integer(a.device_type, "device_type");
    return core::boolean(program_file(c, a.self, image_path, device_type, 1, core::none()));
}

}  // namespace

std::vector<core::FunctionDef> program_methods(const Declare& d) {
    return {method<ProgramFileArgs, fpga_program_file>(
        "_fpgaProgramFile", "Process FPGA update with the given image path.",
        {core::annotated("image_path", d.str_t), core::with_default("device_type", core::integer(28), d.int_t)},
        d.bool_t)};
}

}  // namespace ondrel::tarnel
