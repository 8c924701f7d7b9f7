// Writing an image into the device's flash and reading it back (see
// program.cpp), shared by FpgaTool._fpgaProgramFile and the windowed
// transfer's entry points.
#pragma once

#include "tarnel/transfer.hpp"

namespace ondrel::tarnel {

// Programs the image at `image_path` with up to `window` commands in flight
// (1: through the tool's own operations); whether the read-back equals what
// was written.  The progress line goes to `lines` (a text stream), or to
// sys.stdout as it is at each write when `lines` is None.
bool program_file(const Ctx& c, Handle tool, Handle image_path, Handle device_type, size_t window, Handle lines);

}  // namespace ondrel::tarnel
