// FpgaTool._fpgaProgramFile: write an image 16 bytes per command, read it
// back 16 bytes per command, and compare SHA-256 digests of both.
#include "tarnel/program.hpp"

#include "tarnel/files.hpp"
#include "tarnel/progress.hpp"
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"

#include <cstdio>
#include <cstring>
#include <optional>

namespace ondrel::tarnel {

namespace {

using core::call_method;

// Raw images are read in pieces of this size.
constexpr size_t kChunk = 1 << 16;

// The image to program, as the file stood when the call began.
struct Source {
    bool container = false;
    std::optional<FileReader> reader;     // empty when the file could not be opened
    std::optional<core::Error> deferred;  // an open or read error: raised after the erase and page reset
    FileStamp start;
    Ref data;                          // a container's bytes: those its check verified, or read now
    std::optional<std::string> whole;  // a raw image's digest, read whole before the erase
};

struct FileDigest {
    uint64_t size;
    std::string hex;
};

}  // namespace

// Writes an image and reads it back, with a transfer of one command at a
// time or a window of commands in flight (see transfer.hpp).
class Programmer final : TransferEvents {
public:
    Programmer(const Ctx& c, Handle tool, Handle image_path, const ProgramOptions& options)
        : c_(c),
          tool_(tool),
          image_path_(image_path),
          options_(options),
          window_(options.window),
          progress_(c, options.lines),
          sink_(options.progress, progress_) {}

    bool run(Handle device_type) {
        try {
            return program(device_type);
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            if (transfer_) transfer_->abandon();  // never leave the connection out of step
            progress_.flush_after_error();
            sink_.last_word();
            throw;
        }
    }

private:
    // The steps: the image as it stands, then erase and write (again, one
    // block at a time, if the device refuses a block with others in flight),
    // then read back and compare, then done and refresh.
    bool program(Handle device_type) {
        Source source;
        if (!open_image(source)) return false;
        Clock::time_point began = Clock::now();
        std::optional<Digest> written;
        for (bool done = false; !done;) {
            written.emplace(c_, progress_);
            begin_writing(device_type, source);
            try {
                if (!write_image(source, *written)) return changed_while_programmed();
                done = true;
            } catch (const Refused& refused) {
                drop_transfer();
                progress_.end_line();
                c_.log(WARNING, "FPGA refused the block at image offset " + std::to_string(refused.offset) + " with " +
                                    std::to_string(window_) +
                                    " commands in flight; programming again from the erase, one block at a time");
                window_ = 1;
            }
        }
        progress_.end_line();
        std::string written_hex = written->hexdigest();
        if (source.whole && written_hex != *source.whole)
            return changed_while_programmed();  // what was sent is no state the file had
        bool equal = verify(written_, written_hex);
        // A raw image must still be what was sent before the device loads it.
        if (source.whole && digest_file(*source.reader, source.start.size).hex != *source.whole)
            return changed_while_programmed();
        finish(began);
        return equal;
    }

    // --- the image -------------------------------------------------------------------

    // Opens the image: the file as it stood when the call began is what is
    // written.  False (logged) when it is refused before any command.
    bool open_image(Source& source) {
        std::string fs = fs_path(image_path_);
        require_regular_file(fs, image_path_);  // before any device command
        source.container = image_kind(fs) == ImageKind::Tbin;
        try {
            source.reader.emplace(fs, image_path_);
        } catch (core::Error& e) {  // a file that cannot be opened fails where it is first read, after the erase
            if (!e.matches(PyExc_OSError)) throw;
            source.deferred.emplace(std::move(e));
        }
        source.start = source.reader ? source.reader->stamp() : FileStamp{0, 0, file_size(fs, image_path_), 0, 0};
        if (!source.reader) return true;
        std::optional<Ref> checked = checked_in_update(*source.reader, source.start, source.container);
        if (!checked) {
            c_.log(ERROR, "FPGA image file changed after its check: " + core::utf8(image_path_));
            return false;
        }
        if (source.container) {
            source.data = *checked ? *checked : source.reader->read_container();
            return true;
        }
        // A raw image is read whole, and its digest taken, before the device is
        // touched: a file that holds less or more than its size says (a
        // pseudo-file) is refused here.
        try {
            FileDigest read = digest_file(*source.reader, source.start.size);
            if (read.size != source.start.size) {
                c_.log(ERROR, "FPGA image file reads " + std::to_string(read.size) + " bytes where its size is " +
                                  std::to_string(source.start.size) + ": " + core::utf8(image_path_));
                return false;
            }
            source.whole = read.hex;
        } catch (core::Error& e) {
            if (!e.matches(PyExc_OSError)) throw;
            source.deferred.emplace(std::move(e));
        }
        return true;
    }

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

    // --- writing ---------------------------------------------------------------------

    // Erase (device types 28 and 32), page pointer, the first callback; an
    // open or read error of the image is raised here.
    void begin_writing(Handle device_type, Source& source) {
        const char* bits = core::equals(device_type, 28)   ? protocol::kEraseType28
                           : core::equals(device_type, 32) ? protocol::kEraseType32
                                                           : nullptr;
        if (bits) erase(bits);
        call_method(tool_, c_.n._fpgaRstPagePtr, core::bytes(protocol::kSectionCfg));
        report("write", 0, 0);
        if (source.deferred) {
            core::Error error = std::move(*source.deferred);
            source.deferred.reset();
            throw error;
        }
    }

    // _fpgaErase, with the time-out the caller gave for its reply.
    void erase(const char* bits) {
        sink_.tell("erase", 0, 0, true);
        Handle timeout = options_.erase_timeout;
        if (!timeout || timeout.is_none()) {
            call_method(tool_, c_.n._fpgaErase, core::bytes(bits));
            return;
        }
        Ref conn = core::getattr(tool_, c_.n._conn);
        Ref usual = core::getattr(conn, c_.n.timeout);
        call_method(conn, c_.n.settimeout, timeout);
        try {
            call_method(tool_, c_.n._fpgaErase, core::bytes(bits));
        } catch (...) {
            if (core::thread_is_ending()) core::park_thread();
            try {
                restore_timeout(conn, usual);
            } catch (...) {  // the erase's own failure is the one to report
                if (core::thread_is_ending()) core::park_thread();
                PyErr_Clear();
            }
            throw;
        }
        restore_timeout(conn, usual);
    }

    void restore_timeout(Handle conn, Handle usual) {
        if (core::truth(call_method(conn, c_.n.isConnected))) call_method(conn, c_.n.settimeout, usual);
    }

    // The image's blocks, in order (written_ bytes); false when the file
    // changed meanwhile.
    bool write_image(Source& source, Digest& written) {
        transfer_ = window_ > 1 ? windowed(c_, tool_, window_, *this) : one_at_a_time(c_, tool_, *this);
        bool whole =
            source.container ? write_container(source.data, written) : write_raw(*source.reader, source.start, written);
        if (!whole) {
            drop_transfer();
            progress_.end_line();
            return false;
        }
        transfer_.reset();  // the connection is the tool's own again
        sink_.tell("write", written_, total_, true);
        return true;
    }

    void drop_transfer() {
        transfer_->abandon();
        transfer_.reset();
    }

    // A container: only the image inside it is written.
    bool write_container(const Ref& data, Digest& written) {
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
        return true;
    }

    // Any other file: written whole, streamed from the file opened when the
    // call began; false when the file changed since.
    bool write_raw(FileReader& reader, const FileStamp& start, Digest& written) {
        begin_writes(start.size);
        for (uint64_t at = 0; at < total_;) {
            uint64_t want = std::min<uint64_t>(kChunk, total_ - at);
            Ref chunk = reader.read_bytes(at, want);  // a new one each time: the digest may keep it
            size_t got = static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()));
            if (got != want || !reader.stamp().unchanged(start)) return false;
            written.update(chunk);
            const char* bytes = PyBytes_AS_STRING(chunk.ptr());
            for (size_t block = 0; block < got; block += kBlockSize)
                transfer_->write(bytes + block, std::min(kBlockSize, got - block));
            at += got;
        }
        transfer_->finish_writes();
        char probe;  // a file that grew holds more than was written
        return reader.stamp().unchanged(start) && reader.read_at(&probe, 1, total_) == 0;
    }

    void begin_writes(uint64_t total) {
        total_ = total;
        written_ = 0;
        sink_.tell("write", 0, total, true);
    }

    bool changed_while_programmed() {
        c_.log(ERROR, "FPGA image file changed while it was programmed: " + core::utf8(image_path_));
        return false;
    }

    // --- reading back, and the end -------------------------------------------------------

    // The verify stage: whether what was read back equals what was written.
    bool verify(uint64_t sent, const std::string& written_hex) {
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
        return equal;
    }

    // One read per started 16-byte page of what was written.
    std::string read_back(uint64_t sent) {
        Digest read(c_, progress_);
        read_digest_ = &read;
        read_total_ = sent;
        pages_read_ = 0;
        sink_.tell("verify", 0, sent, true);
        call_method(tool_, c_.n._fpgaRstPagePtr, core::bytes(protocol::kSectionCfg));
        size_t window = options_.window;  // pages in flight: the window asked for, a refusal or not
        transfer_ = window > 1 ? windowed(c_, tool_, window, *this) : one_at_a_time(c_, tool_, *this);
        transfer_->read((sent + kBlockSize - 1) / kBlockSize);
        transfer_.reset();
        read_digest_ = nullptr;
        sink_.tell("verify", pages_read_ * kBlockSize, sent, true);
        progress_.end_line();
        return read.hexdigest();
    }

    void finish(Clock::time_point began) {
        sink_.tell("refresh", 0, 0, true);
        call_method(tool_, c_.n._fpgaDone);
        call_method(tool_, c_.n._fpgaRefresh);
        char total[64];
        std::snprintf(total, sizeof total, "%.4f", seconds_between(began, Clock::now()));
        c_.log(INFO, std::string("FPGA program file finished. Total time: ") + total + " sec");
    }

    // --- what the transfers report ---------------------------------------------------------

    // The callback, when one is set, with (stage, done, total); whether
    // Python code ran.  None, found without running Python code, leaves the
    // gathered progress lines gathered: a window of blocks costs one write,
    // not one each.
    bool report(const char* stage, uint64_t done, uint64_t total) {
        bool plain = core::attribute_is_plain(tool_, c_.n.progress_callback);
        if (!plain) progress_.write_pending();
        Ref callback = core::getattr(tool_, c_.n.progress_callback);
        if (callback.is_none()) return !plain;
        progress_.write_pending();
        if (!core::truth(callback)) return true;
        core::call(callback, core::text(stage), core::unsigned_integer(done), core::unsigned_integer(total));
        return true;
    }

    bool block_written(size_t size, Clock::time_point begin, Clock::time_point end) override {
        written_ += size;
        bool ran = progress_.line(written_, total_, begin, end);
        ran |= report("write", written_, total_);
        return sink_.tell("write", written_, total_, false) || ran;
    }

    void before_python() override { progress_.write_pending(); }

    bool page_read(const char* data, size_t size, Clock::time_point begin, Clock::time_point end) override {
        read_digest_->add(data, size);  // first: the bytes are the link's, which a callback's exchange may reuse
        uint64_t done = ++pages_read_ * kBlockSize;
        bool ran = progress_.line(done, read_total_, begin, end);
        ran |= report("verify", done, read_total_);
        return sink_.tell("verify", done, read_total_, false) || ran;
    }

    bool page_read(Handle payload, Clock::time_point begin, Clock::time_point end) override {
        uint64_t done = ++pages_read_ * kBlockSize;
        bool ran = progress_.line(done, read_total_, begin, end);
        ran |= report("verify", done, read_total_);
        read_digest_->add(payload);
        return sink_.tell("verify", done, read_total_, false) || ran;
    }

    const Ctx& c_;
    Handle tool_;
    Handle image_path_;
    const ProgramOptions& options_;
    size_t window_;  // blocks in flight while writing (1 after a refusal)
    ProgressOutput progress_;
    ProgressSink sink_;
    std::unique_ptr<Transfer> transfer_;
    uint64_t total_ = 0, written_ = 0;          // the write stage
    uint64_t read_total_ = 0, pages_read_ = 0;  // the verify stage
    Digest* read_digest_ = nullptr;
};

bool program_file(const Ctx& c, Handle tool, Handle image_path, Handle device_type, const ProgramOptions& options) {
    return Programmer(c, tool, image_path, options).run(device_type);
}

// --- reading pages ---------------------------------------------------------------------

namespace {

// Gathers the pages a transfer reads.
class PageCollector final : public TransferEvents {
public:
    explicit PageCollector(Handle progress) : progress_(progress) {}
    bool block_written(size_t, Clock::time_point, Clock::time_point) override { return false; }
    bool page_read(const char* data, size_t size, Clock::time_point, Clock::time_point) override {
        return page(core::bytes(data, size));
    }
    bool page_read(Handle payload, Clock::time_point, Clock::time_point) override { return page(payload); }
    // The pages, joined; the progress told its last.
    Ref joined() {
        if (count_ != told_ && progress_ && !progress_.is_none()) core::call(progress_, core::integer(count_));
        return core::join_bytes(payloads_);
    }

private:
    bool page(Handle payload) {
        core::list_append(payloads_, payload);
        count_++;
        Clock::time_point now = Clock::now();
        if (!progress_ || progress_.is_none() || now - last_ < std::chrono::milliseconds(100)) return false;
        last_ = now;
        told_ = count_;
        core::call(progress_, core::integer(count_));
        return true;
    }

    Handle progress_;
    Ref payloads_ = core::new_list();
    long long count_ = 0, told_ = 0;
    Clock::time_point last_;
};

}  // namespace

Ref read_pages(const Ctx& c, Handle tool, uint64_t pages, size_t window, Handle progress) {
    PageCollector collected(progress);
    std::unique_ptr<Transfer> transfer =
        window > 1 ? windowed(c, tool, window, collected) : one_at_a_time(c, tool, collected);
    try {
        transfer->read(pages);
    } catch (...) {
        if (core::thread_is_ending()) core::park_thread();
        transfer->abandon();
        throw;
    }
    transfer.reset();
    return collected.joined();
}

// --- FpgaTool._fpgaProgramFile ------------------------------------------------------------

namespace {

ONDREL_ARGS(ProgramFileArgs, self, image_path, device_type);

Ref fpga_program_file(const Ctx& c, const ProgramFileArgs& a) {
    Handle image_path = core::require_text(a.image_path, "image_path");
    Ref device_type = core::require_integer(a.device_type, "device_type");
    return core::boolean(program_file(c, a.self, image_path, device_type, ProgramOptions{}));
}

}  // namespace

std::vector<core::FunctionDef> program_methods(const Declare& d) {
    return {method<ProgramFileArgs, fpga_program_file>(
        "_fpgaProgramFile", "Process FPGA update with the given image path.",
        {core::annotated("image_path", d.str_t), core::with_default("device_type", core::integer(28), d.int_t)},
        d.bool_t)};
}

}  // namespace ondrel::tarnel
