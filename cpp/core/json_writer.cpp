#include "json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace radar::json {

namespace {

// The shortest round-trip digits of a finite, non-zero |value| and the
// power of ten of its first digit: value = 0.d1d2d3... * 10^(point).
struct Digits {
    char buffer[32];
    int count = 0;
    int point = 0;  // digits before the decimal point when laid out plainly
};

Digits shortest_digits(double magnitude) {
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
    Digits d;
    const char* p = text;
    for (; p != result.ptr && *p != 'e'; ++p) {
        if (*p != '.') d.buffer[d.count++] = *p;
    }
    int exponent = 0;
    if (p != result.ptr) std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, exponent);
    while (d.count > 1 && d.buffer[d.count - 1] == '0') --d.count;
    d.point = exponent + 1;
    return d;
}

void append_plain(std::string& out, const Digits& d, bool keep_point_zero) {
    if (d.point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.point), '0');
        out.append(d.buffer, static_cast<std::size_t>(d.count));
    } else if (d.count <= d.point) {
        out.append(d.buffer, static_cast<std::size_t>(d.count));
        out.append(static_cast<std::size_t>(d.point - d.count), '0');
        if (keep_point_zero) out += ".0";
    } else {
        out.append(d.buffer, static_cast<std::size_t>(d.point));
        out.push_back('.');
        out.append(d.buffer + d.point, static_cast<std::size_t>(d.count - d.point));
    }
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t clean_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + clean_start, i - clean_start);
        clean_start = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xF]);
        }
    }
    out.append(text.data() + clean_start, text.size() - clean_start);
    out.push_back('"');
}

void append_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (std::signbit(value)) out.push_back('-');
    double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }
    Digits d = shortest_digits(magnitude);
    if (d.point > -5 && d.point <= 16) {
        append_plain(out, d, true);
        return;
    }
    out.push_back(d.buffer[0]);
    if (d.count > 1) {
        out.push_back('.');
        out.append(d.buffer + 1, static_cast<std::size_t>(d.count - 1));
    }
    int exponent = d.point - 1;
    out.push_back('e');
    if (exponent > 0) out.push_back('+');
    append_i64(out, exponent);
}

void append_plain_decimal(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out.push_back('-');
    double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out.push_back('0');
        return;
    }
    append_plain(out, shortest_digits(magnitude), false);
}

void append_u64(std::string& out, std::uint64_t value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void append_i64(std::string& out, std::int64_t value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

}  // namespace radar::json
