#include "tarnel/pure.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace ondrel::tarnel {

namespace {

void append_uint(std::string& out, uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_fixed(std::string& out, double v, int precision) {
    char buf[400];  // room for the widest double in fixed notation
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    out.append(buf, r.ptr);
}

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

size_t write_block_header(char* out, size_t length) {
    static const char kKeyword[] = "FPGA_PROGRAM #";
    constexpr size_t kKeywordSize = sizeof kKeyword - 1;
    std::memcpy(out, kKeyword, kKeywordSize);
    char digits[24];
    size_t n = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, length).ptr - digits);
    char* p = out + kKeywordSize;
    p = std::to_chars(p, p + 4, n).ptr;  // x: the digit count of the unpadded length
    if (n < 2) *p++ = '0';               // yy: at least two digits
    std::memcpy(p, digits, n);
    return static_cast<size_t>(p + n - out);
}

void append_progress(std::string& out, uint64_t done, uint64_t total, double seconds) {
    out += "\rProgress: ";
    append_fixed(out, static_cast<double>(done) / static_cast<double>(total) * 100.0, 2);
    out += "% (";
    append_uint(out, done);
    out += '/';
    append_uint(out, total);
    out += " bytes), block time: ";
    append_fixed(out, seconds, 4);
    out += " sec";
}

std::string_view path_name(std::string_view path) {
    std::string_view last;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
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

std::string pathlib_normal(std::string_view path) {
    std::string out;
    size_t pos = 0;
    if (path.substr(0, 2) == "//" && path.substr(0, 3) != "///") {
        out = "//";  // POSIX leaves the meaning of exactly two slashes open; pathlib keeps them
        pos = 2;
    } else if (!path.empty() && path[0] == '/') {
        out = "/";
    }
    size_t root = out.size();
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(pos, slash - pos);
        if (!part.empty() && part != ".") {
            if (out.size() > root) out += '/';
            out.append(part);
        }
        pos = slash + 1;
    }
    return out.empty() ? std::string(".") : out;
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

}  // namespace ondrel::tarnel
