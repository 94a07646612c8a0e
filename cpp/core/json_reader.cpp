#include "json_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "json_writer.hpp"

namespace radar::json {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// How many of the eight bytes of `word`, first in memory first, are ASCII
// digits before the first that is not. Carries between bytes only reach
// bytes after a non-digit, which do not count.
std::size_t leading_digits(std::uint64_t word) {
    const std::uint64_t nibbles = (word & 0xF0F0F0F0F0F0F0F0ULL) |
                                  (((word + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4);
    const std::uint64_t off = nibbles ^ 0x3333333333333333ULL;  // non-zero bytes: not digits
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t flags = (((off & kLow7) + kLow7) | off) & ~kLow7;
    return flags == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(flags) >> 3);
}

constexpr std::uint64_t kPowersOfTen[] = {1,      10,      100,      1000,     10000,
                                          100000, 1000000, 10000000, 100000000};

// The value of eight ASCII digits loaded little-endian (first digit lowest).
std::uint64_t eight_digits(std::uint64_t word) {
    word &= 0x0F0F0F0F0F0F0F0FULL;
    word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFULL;
    word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFULL;
    return (word * 10000 + (word >> 32)) & 0xFFFFFFFFULL;
}

// Whether a decimal literal whose conversion left the double range was too
// large (rather than too small): compares the power of ten of its first
// significant digit, exponent included, with zero.
bool literal_overflows(std::string_view literal) {
    std::size_t i = 0;
    if (i < literal.size() && literal[i] == '-') ++i;
    std::int64_t magnitude = 0;  // power of ten just above the first significant digit
    bool found = false;
    std::int64_t int_digits = 0;
    for (; i < literal.size() && is_digit(literal[i]); ++i) {
        ++int_digits;
        if (!found && literal[i] != '0') {
            found = true;
            magnitude = 0;
        }
        if (found) ++magnitude;
    }
    if (i < literal.size() && literal[i] == '.') {
        ++i;
        std::int64_t place = 0;
        for (; i < literal.size() && is_digit(literal[i]); ++i) {
            ++place;
            if (!found && literal[i] != '0') {
                found = true;
                magnitude = 1 - place;
            }
        }
    }
    if (!found) return false;
    std::int64_t exponent = 0;
    if (i < literal.size() && (literal[i] == 'e' || literal[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < literal.size() && (literal[i] == '+' || literal[i] == '-'))
            negative = literal[i++] == '-';
        for (; i < literal.size() && is_digit(literal[i]); ++i) {
            exponent = std::min<std::int64_t>(exponent * 10 + (literal[i] - '0'), 1'000'000'000);
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

}  // namespace

// ---- cursor and errors -------------------------------------------------

int Reader::skip_blanks() {
    while (pos_ < text_.size()) {
        char c = text_[pos_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
        ++pos_;
    }
    return -1;
}

bool Reader::fail_here(std::string message) {
    message_ = std::move(message);
    error_offset_ = pos_;
    error_placed_ = true;
    return false;
}

bool Reader::fail_at_peek(std::string message) {
    message_ = std::move(message);
    error_offset_ = std::min(text_.size(), pos_ + 1);
    error_placed_ = true;
    return false;
}

bool Reader::fail_unplaced(std::string message) {
    message_ = std::move(message);
    error_placed_ = false;
    return false;
}

void Reader::place_error() {
    if (!error_placed_) {
        error_offset_ = pos_;
        error_placed_ = true;
    }
}

std::string Reader::error_text() const {
    std::string_view before = text_.substr(0, error_offset_);
    std::size_t last_newline = before.rfind('\n');
    std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
    std::size_t column = error_offset_ - line_start;
    return message_ + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

bool Reader::enter_nested() {
    if (++depth_ > kMaxDepth) {
        --depth_;
        return fail_at_peek("recursion limit exceeded");
    }
    return true;
}

// ---- scalars -------------------------------------------------------------

bool Reader::expect_literal_rest(std::string_view rest) {
    for (char expected : rest) {
        if (pos_ >= text_.size()) return fail_here("EOF while parsing a value");
        if (text_[pos_++] != expected) return fail_here("expected ident");
    }
    return true;
}

bool Reader::read_number(bool positive, Number& out) {
    const std::size_t start = positive ? pos_ : pos_ - 1;
    if (pos_ >= text_.size()) return fail_here("EOF while parsing a value");
    const char first = text_[pos_++];
    // Digits of the integer and fraction parts while they fit 64 bits: the
    // value of short literals, computed exactly.
    std::uint64_t mantissa = 0;
    bool mantissa_exact = true;
    auto take_digits = [&] {
        constexpr std::uint64_t kSafe = std::numeric_limits<std::uint64_t>::max() / 10 - 1;
        const char* p = text_.data() + pos_;
        const char* const end = text_.data() + text_.size();
        // Up to eight digits at a time while the mantissa has room for them
        // (timestamps and prices have runs of several digits).
        constexpr std::uint64_t kRoomForEight = 184467440737ULL;  // (2^64 - 1) / 1e8, rounded down
        while (std::endian::native == std::endian::little && end - p >= 8 &&
               mantissa < kRoomForEight) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::size_t run = leading_digits(word);
            if (run == 0) break;
            // The run's bytes moved to the top, so the bytes below read as
            // leading zeros.
            const std::uint64_t digits = run == 8 ? word : word << (64 - 8 * run);
            mantissa = mantissa * kPowersOfTen[run] + eight_digits(digits);
            p += run;
            if (run < 8) break;
        }
        for (; p != end; ++p) {
            const auto digit = static_cast<std::uint64_t>(static_cast<unsigned char>(*p) - '0');
            if (digit > 9) break;
            if (mantissa <= kSafe) {
                mantissa = mantissa * 10 + digit;
            } else if (mantissa_exact) {
                constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
                if (mantissa > (kMax - digit) / 10) {
                    mantissa_exact = false;
                } else {
                    mantissa = mantissa * 10 + digit;
                }
            }
        }
        pos_ = static_cast<std::size_t>(p - text_.data());
    };
    if (first == '0') {
        if (is_digit(peek())) return fail_at_peek("invalid number");
    } else if (first >= '1' && first <= '9') {
        mantissa = static_cast<std::uint64_t>(first - '0');
        take_digits();
    } else {
        return fail_here("invalid number");
    }
    // An integer too long for 64 bits is a double.
    bool is_float = !mantissa_exact;
    std::int64_t fraction_digits = 0;
    if (peek() == '.') {
        eat();
        const std::size_t fraction_start = pos_;
        take_digits();
        fraction_digits = static_cast<std::int64_t>(pos_ - fraction_start);
        if (fraction_digits == 0) {
            return fail_at_peek(peek() >= 0 ? "invalid number" : "EOF while parsing a value");
        }
        is_float = true;
    }
    // Past 64 bits the digits cannot all have been zeros.
    const bool nonzero = mantissa != 0 || !mantissa_exact;
    std::int32_t exponent = 0;
    if (peek() == 'e' || peek() == 'E') {
        eat();
        bool positive_exponent = true;
        if (peek() == '+') {
            eat();
        } else if (peek() == '-') {
            eat();
            positive_exponent = false;
        }
        if (pos_ >= text_.size()) return fail_here("EOF while parsing a value");
        const char lead = text_[pos_++];
        if (!is_digit(lead)) return fail_here("invalid number");
        exponent = lead - '0';
        bool exponent_overflow = false;
        constexpr std::int32_t kMaxExp = std::numeric_limits<std::int32_t>::max();
        while (is_digit(peek())) {
            eat();
            const std::int32_t digit = text_[pos_ - 1] - '0';
            if (exponent_overflow) continue;
            if (exponent > (kMaxExp - digit) / 10) {
                // An exponent beyond 32 bits: out of range when it would
                // make a non-zero number huge, else the number is zero.
                if (nonzero && positive_exponent) return fail_here("number out of range");
                exponent_overflow = true;
                continue;
            }
            exponent = exponent * 10 + digit;
        }
        if (exponent_overflow) {
            out.kind = ValueKind::F64;
            out.f64 = positive ? 0.0 : -0.0;
            return true;
        }
        if (!positive_exponent) exponent = -exponent;
        is_float = true;
    }

    if (!is_float) {
        if (positive) {
            out.kind = ValueKind::U64;
            out.u64 = mantissa;
            return true;
        }
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (mantissa != 0 && mantissa <= kMinMagnitude) {
            out.kind = ValueKind::I64;
            out.i64 = mantissa == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                : -static_cast<std::int64_t>(mantissa);
            return true;
        }
        if (mantissa == 0) {  // "-0" is the double negative zero
            out.kind = ValueKind::F64;
            out.f64 = -0.0;
            return true;
        }
    }
    // Exact fast path: a mantissa that is a double exactly, scaled by a power
    // of ten that is one too, takes a single correctly rounded operation.
    const std::int64_t power = std::int64_t{exponent} - fraction_digits;
    constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
    if (mantissa_exact && mantissa <= kExactMantissa && power >= -22 && power <= 22) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        double value = static_cast<double>(mantissa);
        value = power < 0 ? value / kPow10[-power] : value * kPow10[power];
        out.kind = ValueKind::F64;
        out.f64 = positive ? value : -value;
        return true;
    }
    return finish_float(start, positive, nonzero, out);
}

bool Reader::finish_float(std::size_t start, bool positive, bool mantissa_nonzero, Number& out) {
    std::string_view literal = text_.substr(start, pos_ - start);
    double value = 0.0;
    auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: too large is an error, too small is zero.
        if (mantissa_nonzero && literal_overflows(literal)) return fail_here("number out of range");
        value = positive ? 0.0 : -0.0;
    } else if (ec != std::errc()) {
        return fail_here("invalid number");
    }
    if (std::isinf(value)) return fail_here("number out of range");
    out.kind = ValueKind::F64;
    out.f64 = value;
    return true;
}

bool Reader::read_hex4(std::uint16_t& out) {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return fail_here("EOF while parsing a string");
    }
    std::uint32_t value = 0;
    bool valid = true;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_value(static_cast<unsigned char>(text_[pos_ + i]));
        if (digit < 0) valid = false;
        value = (value << 4) | static_cast<std::uint32_t>(digit & 0xF);
    }
    pos_ += 4;
    if (!valid) return fail_here("invalid escape");
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool Reader::read_unicode_escape(std::string& scratch) {
    std::uint16_t first = 0;
    if (!read_hex4(first)) return false;
    if (first >= 0xDC00 && first <= 0xDFFF)
        return fail_here("lone leading surrogate in hex escape");
    if (first < 0xD800 || first > 0xDBFF) {
        append_utf8(scratch, first);
        return true;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (char expected : {'\\', 'u'}) {
        if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
        if (text_[pos_++] != expected) return fail_here("unexpected end of hex escape");
    }
    std::uint16_t second = 0;
    if (!read_hex4(second)) return false;
    if (second < 0xDC00 || second > 0xDFFF)
        return fail_here("lone leading surrogate in hex escape");
    std::uint32_t cp = ((static_cast<std::uint32_t>(first - 0xD800) << 10) |
                        static_cast<std::uint32_t>(second - 0xDC00)) +
                       0x10000;
    append_utf8(scratch, cp);
    return true;
}

bool Reader::read_escape(std::string& scratch) {
    if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
    const char c = text_[pos_++];
    switch (c) {
        case '"':
            scratch.push_back('"');
            return true;
        case '\\':
            scratch.push_back('\\');
            return true;
        case '/':
            scratch.push_back('/');
            return true;
        case 'b':
            scratch.push_back('\b');
            return true;
        case 'f':
            scratch.push_back('\f');
            return true;
        case 'n':
            scratch.push_back('\n');
            return true;
        case 'r':
            scratch.push_back('\r');
            return true;
        case 't':
            scratch.push_back('\t');
            return true;
        case 'u':
            return read_unicode_escape(scratch);
        default:
            return fail_here("invalid escape");
    }
}

namespace {
// Advances `pos` to the next quote, backslash or control byte.
std::size_t find_string_stop(std::string_view text, std::size_t pos) {
    const char* const data = text.data();
    const char* p = data + pos;
    const char* const end = data + text.size();
    // Eight bytes at a time: flags quotes, backslashes and bytes below 0x20.
    // The lowest flag is exact, which is the only one used.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (std::endian::native == std::endian::little && end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t quote = word ^ (kOnes * '"');
        const std::uint64_t backslash = word ^ (kOnes * '\\');
        const std::uint64_t flags =
            (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
             ((word - kOnes * 0x20) & ~word)) &
            kHigh;
        if (flags != 0) {
            return static_cast<std::size_t>(p - data) +
                   static_cast<std::size_t>(std::countr_zero(flags) >> 3);
        }
        p += 8;
    }
    while (p != end) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++p;
    }
    return static_cast<std::size_t>(p - data);
}
}  // namespace

bool Reader::read_string(std::string& scratch, std::string_view& out) {
    scratch.clear();
    bool escaped = false;
    std::size_t start = pos_;
    for (;;) {
        pos_ = find_string_stop(text_, pos_);
        if (pos_ == text_.size()) return fail_here("EOF while parsing a string");
        const char c = text_[pos_];
        if (c == '"') {
            if (!escaped) {
                out = text_.substr(start, pos_ - start);
            } else {
                scratch.append(text_.data() + start, pos_ - start);
                out = scratch;
            }
            ++pos_;
            return true;
        }
        if (c == '\\') {
            scratch.append(text_.data() + start, pos_ - start);
            escaped = true;
            ++pos_;
            if (!read_escape(scratch)) return false;
            start = pos_;
            continue;
        }
        ++pos_;
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::skip_escape() {
    if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
    const char c = text_[pos_++];
    switch (c) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return true;
        case 'u': {
            // Skipped text is not decoded, so surrogates are not paired here.
            std::uint16_t ignored = 0;
            return read_hex4(ignored);
        }
        default:
            return fail_here("invalid escape");
    }
}

bool Reader::skip_string() {
    for (;;) {
        pos_ = find_string_stop(text_, pos_);
        if (pos_ == text_.size()) return fail_here("EOF while parsing a string");
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            return true;
        }
        if (c == '\\') {
            ++pos_;
            if (!skip_escape()) return false;
            continue;
        }
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::skip_value() {
    // Iterative, so a skipped value of any depth cannot exhaust the stack.
    std::string frames;
    char enclosing = 0;
    for (;;) {
        int c = peek_nonblank();
        if (c < 0) return fail_at_peek("EOF while parsing a value");
        char frame = 0;
        switch (c) {
            case 'n':
                eat();
                if (!expect_literal_rest("ull")) return false;
                break;
            case 't':
                eat();
                if (!expect_literal_rest("rue")) return false;
                break;
            case 'f':
                eat();
                if (!expect_literal_rest("alse")) return false;
                break;
            case '"':
                eat();
                if (!skip_string()) return false;
                break;
            case '[':
            case '{':
                if (enclosing != 0) frames.push_back(enclosing);
                enclosing = 0;
                eat();
                frame = static_cast<char>(c);
                break;
            default:
                if (c == '-' || is_digit(c)) {
                    if (c == '-') eat();
                    if (!skip_number()) return false;
                    break;
                }
                return fail_at_peek("expected value");
        }

        bool accept_comma = false;
        if (frame != 0) {
            accept_comma = false;
        } else if (enclosing != 0) {
            frame = enclosing;
            enclosing = 0;
            accept_comma = true;
        } else if (!frames.empty()) {
            frame = frames.back();
            frames.pop_back();
            accept_comma = true;
        } else {
            return true;
        }

        for (;;) {
            int next = peek_nonblank();
            if (next == ',' && accept_comma) {
                eat();
                break;
            }
            bool closes = (next == ']' && frame == '[') || (next == '}' && frame == '{');
            if (!closes) {
                if (next < 0) {
                    return fail_at_peek(frame == '[' ? "EOF while parsing a list"
                                                     : "EOF while parsing an object");
                }
                if (accept_comma) {
                    return fail_at_peek(frame == '[' ? "expected `,` or `]`"
                                                     : "expected `,` or `}`");
                }
                break;
            }
            eat();
            if (frames.empty()) return true;
            frame = frames.back();
            frames.pop_back();
            accept_comma = true;
        }

        if (frame == '{') {
            int key = peek_nonblank();
            if (key == '"') {
                eat();
            } else if (key >= 0) {
                return fail_at_peek("key must be a string");
            } else {
                return fail_at_peek("EOF while parsing an object");
            }
            if (!skip_string()) return false;
            int colon = peek_nonblank();
            if (colon == ':') {
                eat();
            } else if (colon >= 0) {
                return fail_at_peek("expected `:`");
            } else {
                return fail_at_peek("EOF while parsing an object");
            }
        }
        enclosing = frame;
    }
}

// Grammar of a skipped number: no value is built, so no range errors, and
// an early end reads as an invalid number.
bool Reader::skip_number() {
    Reader& r = *this;
    auto next_or_nul = [&r]() {
        int c = r.peek();
        if (c >= 0) r.eat();
        return c < 0 ? 0 : c;
    };
    int first = next_or_nul();
    if (first == '0') {
        if (is_digit(r.peek())) return r.fail_at_peek("invalid number");
    } else if (first >= '1' && first <= '9') {
        while (is_digit(r.peek())) r.eat();
    } else {
        return r.fail_here("invalid number");
    }
    if (r.peek() == '.') {
        r.eat();
        bool digits = false;
        while (is_digit(r.peek())) {
            r.eat();
            digits = true;
        }
        if (!digits) return r.fail_at_peek("invalid number");
    }
    if (r.peek() == 'e' || r.peek() == 'E') {
        r.eat();
        if (r.peek() == '+' || r.peek() == '-') r.eat();
        if (!is_digit(next_or_nul())) return r.fail_here("invalid number");
        while (is_digit(r.peek())) r.eat();
    }
    return true;
}

int Reader::fail_element(std::string message) {
    fail_at_peek(std::move(message));
    return -1;
}

int Reader::next_element(bool& first) {
    int c = peek_nonblank();
    if (c == ']') return 0;
    if (c == ',' && !first) {
        eat();
        c = peek_nonblank();
    } else if (c >= 0) {
        if (!first) return fail_element("expected `,` or `]`");
        first = false;
    } else {
        return fail_element("EOF while parsing a list");
    }
    if (c == ']') return fail_element("trailing comma");
    if (c < 0) return fail_element("EOF while parsing a value");
    return 1;
}

int Reader::next_key(bool& first, std::string& scratch, std::string_view& key) {
    int c = peek_nonblank();
    if (c == '}') return 0;
    if (c == ',' && !first) {
        eat();
        c = peek_nonblank();
    } else if (c >= 0) {
        if (!first) return fail_element("expected `,` or `}`");
        first = false;
    } else {
        return fail_element("EOF while parsing an object");
    }
    if (c == '"') {
        eat();
        return read_string(scratch, key) ? 1 : -1;
    }
    if (c == '}') return fail_element("trailing comma");
    if (c >= 0) return fail_element("key must be a string");
    return fail_element("EOF while parsing a value");
}

bool Reader::expect_colon() {
    int c = peek_nonblank();
    if (c == ':') {
        eat();
        return true;
    }
    if (c >= 0) return fail_at_peek("expected `:`");
    return fail_at_peek("EOF while parsing an object");
}

bool Reader::end_array() {
    int c = peek_nonblank();
    if (c == ']') {
        eat();
        return true;
    }
    if (c == ',') {
        eat();
        return fail_at_peek(peek_nonblank() == ']' ? "trailing comma" : "trailing characters");
    }
    if (c >= 0) return fail_at_peek("trailing characters");
    return fail_at_peek("EOF while parsing a list");
}

bool Reader::end_object() {
    int c = peek_nonblank();
    if (c == '}') {
        eat();
        return true;
    }
    if (c == ',') return fail_at_peek("trailing comma");
    if (c >= 0) return fail_at_peek("trailing characters");
    return fail_at_peek("EOF while parsing an object");
}

void Reader::end_array_after_failure() {
    int c = peek_nonblank();
    if (c == ']') {
        eat();
    } else if (c == ',') {
        eat();
        peek_nonblank();
    }
}

void Reader::end_object_after_failure() {
    if (peek_nonblank() == '}') eat();
}

bool Reader::end_document() {
    if (peek_nonblank() >= 0) return fail_at_peek("trailing characters");
    return true;
}

bool Reader::fail_invalid_type(std::string_view expected) {
    std::string found;
    int c = peek();
    switch (c) {
        case 'n':
            eat();
            if (!expect_literal_rest("ull")) return false;
            found = "null";
            break;
        case 't':
            eat();
            if (!expect_literal_rest("rue")) return false;
            found = "boolean `true`";
            break;
        case 'f':
            eat();
            if (!expect_literal_rest("alse")) return false;
            found = "boolean `false`";
            break;
        case '"': {
            eat();
            std::string scratch;
            std::string_view text;
            if (!read_string(scratch, text)) return false;
            found = describe_string(text);
            break;
        }
        case '[':
            found = "sequence";
            break;
        case '{':
            found = "map";
            break;
        default:
            if (c == '-' || is_digit(c)) {
                if (c == '-') eat();
                Number number;
                if (!read_number(c != '-', number)) return false;
                found = describe_number(number);
                break;
            }
            return fail_at_peek("expected value");
    }
    fail_unplaced("invalid type: " + found + ", expected " + std::string(expected));
    place_error();
    return false;
}

// ---- descriptions ------------------------------------------------------------

std::string describe_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
}

std::string describe_number(const Number& number) {
    switch (number.kind) {
        case ValueKind::U64:
            return "integer `" + std::to_string(number.u64) + "`";
        case ValueKind::I64:
            return "integer `" + std::to_string(number.i64) + "`";
        default:
            return "floating point `" + describe_double(number.f64) + "`";
    }
}

std::string describe_string(std::string_view text) {
    // Shown the way the reference messages quote text: escapes for quotes,
    // backslashes and control characters.
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "string \"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{";
                    if (c >= 0x10) out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                    out += "}";
                } else {
                    out.push_back(ch);
                }
        }
    }
    out += "\"";
    return out;
}

bool unit_variant(const Value& value, std::string_view& name, const Value*& unit,
                  std::string& error) {
    unit = nullptr;
    if (value.is_string()) {
        name = value.string();
        return true;
    }
    if (!value.is_object()) {
        error = "invalid type: " + describe_value(value) + ", expected string or map";
        return false;
    }
    if (value.size != 1) {
        error = "invalid value: map, expected map with a single key";
        return false;
    }
    name = value.members[0].key;
    unit = &value.members[0].value;
    return true;
}

std::string describe_value(const Value& value) {
    switch (value.kind) {
        case ValueKind::Null:
            return "null";
        case ValueKind::Bool:
            return value.boolean ? "boolean `true`" : "boolean `false`";
        case ValueKind::U64:
            return "integer `" + std::to_string(value.u64) + "`";
        case ValueKind::I64:
            return "integer `" + std::to_string(value.i64) + "`";
        case ValueKind::F64:
            return "floating point `" + describe_double(value.f64) + "`";
        case ValueKind::String:
            return describe_string(value.string());
        case ValueKind::Array:
            return "sequence";
        case ValueKind::Object:
            return "map";
    }
    return "null";
}

}  // namespace radar::json
