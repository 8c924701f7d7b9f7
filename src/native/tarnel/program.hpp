// Writing an image into the device's flash and reading it back (see
// program.cpp), shared by FpgaTool._fpgaProgramFile and the engine's entry
// points (ondrel._transfer).
#pragma once

#include "tarnel/transfer.hpp"

namespace ondrel::tarnel {

// What a caller of the engine gives the programming beyond the Part's
// arguments; the defaults are _fpgaProgramFile's own behaviour.
struct ProgramOptions {
    size_t window = 1;     // commands in flight
    Handle lines;          // the progress line's text stream; empty or None: sys.stdout
    Handle progress;       // called with (stage, done, total) about ten times a second (see below)
    Handle erase_timeout;  // seconds the erase's reply may take; empty or None: the connection's time-out
};

// The `progress` of ProgramOptions, when given, is told:
//   ("erase", 0, 0)       before the erase command is sent (an error it raises stops the programming there);
//   ("write", done, total), ("verify", done, total)
//                         when each stage starts, then at most about ten times a second, and when it ends;
//   ("refresh", 0, 0)     before the done and refresh commands;
// and, when the programming fails, the stage and bytes it had reached, before the error goes on.

// Programs the image at `image_path`; whether the read-back equals what was
// written.
bool program_file(const Ctx& c, Handle tool, Handle image_path, Handle device_type, const ProgramOptions& options);

// FpgaTool.processFpgaUpdate's steps; with `options`, the programming (when
// _fpgaProgramFile is FpgaTool's own) goes with them.
Ref process_update(const Ctx& c, Handle tool, Handle image_path, Handle device_type, const ProgramOptions* options);

// The version the device runs, read as an update reads it after the
// programming (type 32: the version query, a version text or empty; 28: the
// first record of the device information; others: "").
Ref version_after_update(const Ctx& c, Handle tool, Handle device_type);

// Reads `pages` pages (FPGA_READ) with up to `window` commands in flight;
// the replies without their framing, joined.  `progress`, when given, is
// called with the pages read so far, about ten times a second and at the end.
Ref read_pages(const Ctx& c, Handle tool, uint64_t pages, size_t window, Handle progress);

}  // namespace ondrel::tarnel
