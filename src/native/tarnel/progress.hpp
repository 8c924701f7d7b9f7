// What a transfer reports as it goes: the progress line (to sys.stdout or a
// stream of the caller's), the engine's progress sink (a few times a
// second), and the SHA-256 digests of what was written and read back.
#pragma once

#include "tarnel/tarnel.hpp"

#include <string>

namespace ondrel::tarnel {

double seconds_between(Clock::time_point a, Clock::time_point b);

// The progress line.  Lines are gathered while no Python code runs and
// written, in one call, before any does (so their bytes keep their place
// among everything else written to standard output), and at least about
// ten times a second (or when many are gathered), flushed then, so that a
// terminal shows the line move without a write per block.
class ProgressOutput {
public:
    ProgressOutput(const Ctx& c, Handle lines);

    // A line for `done` of `total` after an exchange from `begin` to `end`
    // (a recent reading of the clock); whether the gathered lines were
    // written (Python code ran).
    bool line(uint64_t done, uint64_t total, Clock::time_point begin, Clock::time_point end);

    // Before Python code runs: the lines gathered so far go out.
    void write_pending();

    // print(): ends the progress line.
    void end_line();

    // On the way out with an error: what was written so far reaches the
    // terminal, and the error in flight stays the one the caller sees.
    void flush_after_error() noexcept;

private:
    void write(const std::string& ascii, bool flush);

    const Ctx& c_;
    Handle lines_;
    std::string pending_;
    std::string writing_;  // what write_pending is writing
    bool flush_due_ = false;
    Clock::time_point last_flush_;
};

// The engine's progress sink (ProgramOptions::progress), told a stage's
// start and end at once and its course about ten times a second.
class ProgressSink {
public:
    ProgressSink(Handle sink, ProgressOutput& output) : sink_(sink), output_(output) {}

    // Tells (stage, done, total) when `now` is true or a tenth of a second
    // has passed; whether it did (Python code ran).
    bool tell(const char* stage, uint64_t done, uint64_t total, bool now);

    // After a failure: the last stage and bytes, told if they were not; an
    // error of the sink's own is dropped (the failure is the one to report).
    void last_word() noexcept;

private:
    Handle sink_;
    ProgressOutput& output_;
    const char* stage_ = nullptr;
    uint64_t done_ = 0, total_ = 0;
    bool told_ = true;
    Clock::time_point last_;
};

// A hashlib SHA-256 context.  Small pieces (the pages read back) are gathered
// and fed in large ones; the digest equals that of feeding every piece as it
// comes.  Only Python objects are fed, never a view of memory of ours: the
// callee may keep its argument.
class Digest {
public:
    // `progress`: its gathered lines go out before the digest calls Python.
    Digest(const Ctx& c, ProgressOutput& progress);

    // A bytes-like object, fed as it is.
    void update(Handle data);
    // Bytes of ours or any bytes-like object: copied into the gathered piece.
    void add(const char* data, size_t size);
    void add(Handle piece);

    std::string hexdigest();

private:
    void drain();

    const Ctx& c_;
    ProgressOutput& progress_;
    Ref sha_;
    std::string pending_;
};

}  // namespace ondrel::tarnel
