#include "tarnel/pure.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace ondrel::tarnel {

namespace {

// Each writes at `p` and returns the end of what it wrote.

char* put(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* put_uint(char* p, uint64_t v) { return std::to_chars(p, p + 20, v).ptr; }

// The widest double in fixed notation with up to 4 decimals.
constexpr size_t kMaxFixed = 320;

// `v` in fixed notation with `precision` (0 to 4) decimals, rounded as
// printf and Python's "%.Nf": to nearest, ties to even, on the exact binary
// value.
char* put_fixed(char* p, double v, int precision) {
    // Fast path: below 1e9 the product v * 10^precision is within 1.2e-7 of
    // the exact one, so when it is further than that from a tie it rounds as
    // the exact one does.  Ties, near-ties and anything else go the slow way.
    static const double kScale[] = {1, 10, 100, 1000, 10000};
    static const uint64_t kUnit[] = {1, 10, 100, 1000, 10000};
    double scaled = v * kScale[precision];
    if (!std::signbit(v) && scaled < 1e9) {
        double whole = std::floor(scaled);
        double fraction = scaled - whole;
        if (std::fabs(fraction - 0.5) > 1e-6) {
            uint64_t rounded = static_cast<uint64_t>(whole) + (fraction > 0.5 ? 1 : 0);
            p = put_uint(p, rounded / kUnit[precision]);
            if (precision) {
                *p = '.';
                uint64_t rest = rounded % kUnit[precision];
                for (int i = precision; i > 0; i--, rest /= 10) p[i] = static_cast<char>('0' + rest % 10);
                p += precision + 1;
            }
            return p;
        }
    }
    return std::to_chars(p, p + kMaxFixed, v, std::chars_format::fixed, precision).ptr;
}

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

size_t write_block_header(char* out, size_t length) {
    constexpr size_t kKeywordSize = sizeof protocol::kProgram - 1;
    std::memcpy(out, protocol::kProgram, kKeywordSize);
    char digits[24];
    size_t n = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, length).ptr - digits);
    char* p = out + kKeywordSize;
    p = std::to_chars(p, p + 4, n).ptr;  // x: the digit count of the unpadded length
    if (n < 2) *p++ = '0';               // yy: at least two digits
    std::memcpy(p, digits, n);
    return static_cast<size_t>(p + n - out);
}

void append_progress(std::string& out, uint64_t done, uint64_t total, double seconds) {
    char line[2 * kMaxFixed + 100];
    char* p = put(line, "\rProgress: ");
    p = put_fixed(p, static_cast<double>(done) / static_cast<double>(total) * 100.0, 2);
    p = put(p, "% (");
    p = put_uint(p, done);
    *p++ = '/';
    p = put_uint(p, total);
    p = put(p, " bytes), block time: ");
    p = put_fixed(p, seconds, 4);
    p = put(p, " sec");
    out.append(line, static_cast<size_t>(p - line));
}

std::string_view path_name(std::string_view path) {
#ifdef _WIN32
    const char* separators = "/\\";  // Windows takes either
#else
    const char* separators = "/";
#endif
    std::string_view last;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find_first_of(separators, pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(pos, slash - pos);
        if (!part.empty() && part != ".") last = part;
        pos = slash + 1;
    }
    return last;
}

std::string path_suffix_lower(std::string_view path) {
    std::string_view name = path_name(path);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return std::string();
    std::string suffix(name.substr(dot));
    for (char& c : suffix)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return suffix;
}

ImageKind image_kind(std::string_view path) {
    std::string suffix = path_suffix_lower(path);
    if (suffix == ".bin") return ImageKind::Bin;
    if (suffix == ".tbin") return ImageKind::Tbin;
    return ImageKind::Other;
}

std::optional<Preamble> read_preamble(const unsigned char* data, size_t size) {
    if (size < kSizeFieldsLength) return std::nullopt;
    return Preamble{be32(data), be32(data + 4), be32(data + 8)};
}

uint64_t container_extent(const Preamble& p) {
    return std::max(
        {uint64_t{kHeaderOffset}, uint64_t{kHeaderOffset} + p.header_length, uint64_t{p.image_start} + p.image_length});
}

Span clamp_span(uint64_t start, uint64_t length, size_t size) {
    uint64_t begin = std::min<uint64_t>(start, size);
    uint64_t end = std::min<uint64_t>(start + length, size);  // start and length are u32: no overflow
    return Span{static_cast<size_t>(begin), static_cast<size_t>(std::max(begin, end))};
}

std::string zero_fill3(std::string_view decimal) {
    bool negative = !decimal.empty() && decimal[0] == '-';
    std::string_view digits = negative ? decimal.substr(1) : decimal;
    size_t width = negative ? 2 : 3;
    std::string out = negative ? "-" : "";
    if (digits.size() < width) out.append(width - digits.size(), '0');
    out.append(digits);
    return out;
}

bool is_version_text(std::string_view text) {
    int parts = 0;
    size_t digits = 0;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') {
            digits++;
        } else if (ch == '.' && digits) {
            parts++;
            digits = 0;
        } else {
            return false;
        }
    }
    return digits && parts == 3;
}

size_t split_replies(const char* buf, size_t at, size_t end, size_t limit, std::vector<Piece>& out,
                     uint64_t* too_long) {
    size_t found = 0;
    while (found < limit && at < end) {
        if (buf[at] == '#') {  // a block, or text that only starts like one
            if (at + 1 >= end) break;
            int digits = buf[at + 1] - '0';
            if (digits >= 1 && digits <= 9) {
                size_t start = at + 2 + static_cast<size_t>(digits);
                if (start > end) break;
                bool numeric = true;
                uint64_t length = 0;
                for (size_t i = at + 2; i < start; i++) {
                    if (buf[i] < '0' || buf[i] > '9') numeric = false;
                    length = length * 10 + static_cast<uint64_t>(buf[i] - '0');
                }
                if (numeric) {
                    if (length + 2 > kMaxReply) {
                        *too_long = length;
                        break;
                    }
                    if (start + length + 2 > end) break;
                    out.push_back(Piece{at, static_cast<size_t>(start + length + 2)});
                    at = static_cast<size_t>(start + length + 2);
                    found++;
                    continue;
                }
            }
        }
        const void* line_end = std::memchr(buf + at, '\n', end - at);
        if (!line_end) break;
        size_t next = static_cast<size_t>(static_cast<const char*>(line_end) - buf) + 1;
        out.push_back(Piece{at, next});
        at = next;
        found++;
    }
    return at;
}

size_t split_lines(const char* buf, size_t at, size_t end, size_t limit, std::vector<Piece>& out) {
    for (size_t found = 0; found < limit && at < end; found++) {
        const void* line_end = std::memchr(buf + at, '\n', end - at);
        if (!line_end) break;
        size_t next = static_cast<size_t>(static_cast<const char*>(line_end) - buf) + 1;
        out.push_back(Piece{at, next});
        at = next;
    }
    return at;
}

}  // namespace ondrel::tarnel
