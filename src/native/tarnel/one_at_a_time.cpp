// The transfer of one command at a time, through the tool's own operations
// (so that overrides and monkeypatching take effect).
#include "tarnel/transfer.hpp"

namespace ondrel::tarnel {

namespace {

class OneAtATime final : public Transfer {
public:
    OneAtATime(const Ctx& c, Handle tool, TransferEvents& events) : c_(c), tool_(tool), events_(events) {}

    void write(const char* data, size_t size) override {
        Ref block = bytes_of(data, size);
        for (int attempt = 1; attempt <= kMaxAttempts; attempt++) {
            events_.before_python();
            Clock::time_point begin = Clock::now();
            bool acknowledged = core::truth(core::call_method(tool_, c_.n._fpgaProgram, block));
            Clock::time_point end = Clock::now();
            if (acknowledged) {
                offset_ += size;
                events_.block_written(size, begin, end);
                return;
            }
        }
        std::string message = "FPGA refused the " + std::to_string(size) + "-byte block at image offset " +
                              std::to_string(offset_) + " " + std::to_string(kMaxAttempts) + " times; update abandoned";
        c_.log(ERROR, message);
        core::raise(PyExc_RuntimeError, message);
    }

    void finish_writes() override {}

    void read(uint64_t pages) override {
        for (uint64_t page = 0; page < pages; page++) {
            events_.before_python();
            Clock::time_point begin = Clock::now();
            Ref payload = core::call_method(tool_, c_.n._fpgaRead);
            Clock::time_point end = Clock::now();
            events_.page_read(payload, begin, end);
        }
    }

    void abandon() noexcept override {}  // every exchange is complete or failed in the connection's own way

private:
    const Ctx& c_;
    Handle tool_;
    TransferEvents& events_;
    uint64_t offset_ = 0;  // image bytes acknowledged
};

}  // namespace

std::unique_ptr<Transfer> one_at_a_time(const Ctx& c, Handle tool, TransferEvents& events) {
    return std::make_unique<OneAtATime>(c, tool, events);
}

}  // namespace ondrel::tarnel
