// Pure pieces of the FPGA update: framing, the container preamble, the
// progress line and the file-name rule.  No Python in here.
#pragma once

#include "tarnel/protocol.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ondrel::tarnel {

using protocol::kBlockSize;

// Writes "FPGA_PROGRAM #" + x + yy for a block of `length` bytes into `out`
// (room for 40 bytes) and returns its size: yy is the length zero-padded to
// at least two digits, x the digit count of the unpadded length (8 bytes ->
// "#108", 16 -> "#216", 256 -> "#3256").
size_t write_block_header(char* out, size_t length);

// Appends "\rProgress: 50.00% (32/64 bytes), block time: 0.0123 sec".
// `total` must not be zero.
void append_progress(std::string& out, uint64_t done, uint64_t total, double seconds);

// The last component of a path as pathlib names it ("a/b.bin/" -> "b.bin").
std::string_view path_name(std::string_view path);

// The suffix of the last component, ASCII lower-cased: from its last "." when
// that is neither its first nor its last character, else "".
std::string path_suffix_lower(std::string_view path);

enum class ImageKind { Bin, Tbin, Other };
ImageKind image_kind(std::string_view path);

// The container starts with an 80-byte preamble: header length, image length
// and image start (big-endian u32 at 0, 4, 8), four unused bytes, then the
// header tag (16..47) and the image tag (48..79).  The header follows at 80.
constexpr size_t kSizeFieldsLength = 12;
constexpr size_t kHeaderTagOffset = 16;
constexpr size_t kImageTagOffset = 48;
constexpr size_t kTagSize = 32;
constexpr size_t kHeaderOffset = 80;

struct Preamble {
    uint32_t header_length;
    uint32_t image_length;
    uint32_t image_start;
};

// The three size fields, or nothing when `size` is below 12 bytes.
std::optional<Preamble> read_preamble(const unsigned char* data, size_t size);

// How far into a container file its size fields reach: the preamble, the
// header and the image.  No byte past this is ever used.
uint64_t container_extent(const Preamble& p);

// A byte range [start, start + length) cut at the end of a buffer of `size`
// bytes (it may become shorter or empty).
struct Span {
    size_t begin;
    size_t end;
    size_t length() const { return end - begin; }
};
Span clamp_span(uint64_t start, uint64_t length, size_t size);

// --- replies, as a device sends them ---------------------------------------------
// A reply is a block "#<x><length><data>" with its CR LF, or a line with its
// end; text that only starts like a block is a line.

// The longest reply, line or block, that a sound device sends.
constexpr size_t kMaxReply = size_t{1} << 20;

struct Piece {
    size_t begin;
    size_t end;
};

// The whole replies in buf[at, end), at most `limit` of them, appended to
// `out`; returns the offset after them.  A block announced longer than any
// sound reply sets *too_long to its length and ends the split.
size_t split_replies(const char* buf, size_t at, size_t end, size_t limit, std::vector<Piece>& out, uint64_t* too_long);

// The whole lines in buf[at, end) (a listed reply is a line), at most `limit`.
size_t split_lines(const char* buf, size_t at, size_t end, size_t limit, std::vector<Piece>& out);

// Whether `text` is a version as devices report them: four dotted decimal
// numbers ("0.2.4.0").
bool is_version_text(std::string_view text);

// "03d" of an integer given in decimal: at least three characters with the
// sign counting toward the width ("5" -> "005", "-5" -> "-05").
std::string zero_fill3(std::string_view decimal);

}  // namespace ondrel::tarnel
