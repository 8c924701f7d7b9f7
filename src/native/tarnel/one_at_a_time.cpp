// The transfer of one command at a time: through the tool's own operations
// (so that overrides and monkeypatching take effect), or, when nothing in
// the way is replaced, over the connection's link with the same exchanges.
#include "tarnel/protocol.hpp"
#include "tarnel/pure.hpp"
#include "tarnel/transfer.hpp"

namespace ondrel::tarnel {

namespace {

class OneAtATime final : public Transfer {
public:
    OneAtATime(const Ctx& c, Handle tool, TransferEvents& events) : c_(c), tool_(tool), events_(events) {}

    void write(const char* data, size_t size) override {
        look();
        if (fast_) return write_on_link(data, size);
        Ref block = bytes_of(data, size);
        for (int attempt = 1; attempt <= kMaxAttempts; attempt++) {
            events_.before_python();
            Clock::time_point begin = Clock::now();
            bool acknowledged = core::truth(core::call_method(tool_, c_.n._fpgaProgram, block));
            Clock::time_point end = Clock::now();
            if (acknowledged) return written(size, begin, end);
        }
        refused_too_often(size);
    }

    void finish_writes() override {}

    void read(uint64_t pages) override {
        for (uint64_t page = 0; page < pages; page++) {
            look();
            if (fast_) {
                read_on_link();
                continue;
            }
            events_.before_python();
            Clock::time_point begin = Clock::now();
            Ref payload = core::call_method(tool_, c_.n._fpgaRead);
            Clock::time_point end = Clock::now();
            stale_ = events_.page_read(payload, begin, end);
        }
    }

    void abandon() noexcept override {}  // every exchange is complete or failed in the connection's own way

private:
    // Whether the exchanges may go over the link: looked at first, and again
    // after any Python code ran (it may have replaced something).
    void look() {
        if (!stale_) return;
        fast_ = fast_link(c_, tool_);
        stale_ = false;
    }

    // _fpgaProgram(block): its command line through _sendCmd's listed
    // exchange, acknowledged when the reply line is "0".
    void write_on_link(const char* data, size_t size) {
        char header[40];
        size_t header_size = write_block_header(header, size);
        frame_.assign(header, header_size);
        frame_.append(data, size);
        frame_.append(protocol::kLineEnd, 2);
        for (int attempt = 1; attempt <= kMaxAttempts; attempt++) {
            c_.refuse_if_busy(fast_.conn);
            Clock::time_point begin = Clock::now();
            Piece line = fast_.link->exchange_line(frame_.data(), frame_.size());
            Clock::time_point end = Clock::now();
            if (acknowledges(c_, fast_.link->buffer() + line.begin, line.end - line.begin))
                return written(size, begin, end);
        }
        refused_too_often(size);
    }

    // _fpgaRead(): the read command through _sendCmd's raw exchange, the
    // reply cut to the receive size, without its 4 leading and 2 trailing bytes.
    void read_on_link() {
        c_.refuse_if_busy(fast_.conn);
        Clock::time_point begin = Clock::now();
        fast_.link->send(protocol::kReadLine, sizeof protocol::kReadLine - 1, 1);
        fast_.link->receive(false, 1, pieces_);
        Clock::time_point end = Clock::now();
        size_t size = std::min(pieces_[0].end - pieces_[0].begin, protocol::kReplySize);
        constexpr size_t kFraming = protocol::kRawHead + protocol::kRawTail;
        const char* reply = fast_.link->buffer() + pieces_[0].begin;
        stale_ = size <= kFraming ? events_.page_read("", 0, begin, end)
                                  : events_.page_read(reply + protocol::kRawHead, size - kFraming, begin, end);
    }

    void written(size_t size, Clock::time_point begin, Clock::time_point end) {
        offset_ += size;
        stale_ = events_.block_written(size, begin, end);
    }

    [[noreturn]] void refused_too_often(size_t size) {
        std::string message = "FPGA refused the " + std::to_string(size) + "-byte block at image offset " +
                              std::to_string(offset_) + " " + std::to_string(kMaxAttempts) + " times; update abandoned";
        c_.log(ERROR, message);
        core::raise(PyExc_RuntimeError, message);
    }

    const Ctx& c_;
    Handle tool_;
    TransferEvents& events_;
    FastLink fast_;
    bool stale_ = true;
    std::string frame_;
    std::vector<Piece> pieces_;
    uint64_t offset_ = 0;  // image bytes acknowledged
};

}  // namespace

std::unique_ptr<Transfer> one_at_a_time(const Ctx& c, Handle tool, TransferEvents& events) {
    return std::make_unique<OneAtATime>(c, tool, events);
}

bool exchange_is_own(const Ctx& c, Handle tool) {
    for (const auto& [name, own] : c.state.own_exchange)
        if (!core::is_own_method(tool, name, own)) return false;
    return true;
}

FastLink fast_link(const Ctx& c, Handle tool) {
    FastLink fast;
    if (!exchange_is_own(c, tool)) return fast;
    fast.conn = core::getattr(tool, c.n._conn);
    fast.link = link_of(c, fast.conn, &fast.holder);
    return fast;
}

bool acknowledges(const Ctx& c, const char* text, size_t size) {
    bool ascii = true;
    for (size_t i = 0; i < size; i++) ascii = ascii && static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) {
        auto space = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r') || (ch >= 0x1c && ch <= 0x1f); };
        size_t b = 0, e = size;
        while (b < e && space(text[b])) b++;
        while (e > b && space(text[e - 1])) e--;
        return e - b == 1 && text[b] == protocol::kAcknowledged[0];
    }
    return acknowledged(c, core::decode(bytes_of(text, size), "utf-8", "replace"));  // str.strip knows more space
}

}  // namespace ondrel::tarnel
