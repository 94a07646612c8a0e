#include "json_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

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

std::string_view fault_message(Fault fault) {
    static constexpr std::array<std::string_view, kRecordMismatch> kMessages = {
        "",
        "EOF while parsing a list",
        "EOF while parsing an object",
        "EOF while parsing a string",
        "EOF while parsing a value",
        "expected `:`",
        "expected `,` or `]`",
        "expected `,` or `}`",
        "expected ident",
        "expected value",
        "invalid escape",
        "invalid number",
        "number out of range",
        "control character (\\u0000-\\u001F) found while parsing a string",
        "key must be a string",
        "lone leading surrogate in hex escape",
        "trailing comma",
        "trailing characters",
        "unexpected end of hex escape",
        "recursion limit exceeded",
    };
    return fault < kMessages.size() ? kMessages[fault] : std::string_view();
}

// ---- cursor and failures ---------------------------------------------------

int Reader::skip_blanks() {
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
        ++pos_;
    }
    return -1;
}

Fault Reader::fail(Fault fault, Place place) {
    fault_ = fault;
    error_offset_ = place == Place::Here ? pos_ : std::min(text_.size(), pos_ + 1);
    error_placed_ = true;
    return fault;
}

Fault Reader::fail_record(std::string message) {
    record_message_ = std::move(message);
    fault_ = kRecordMismatch;
    error_placed_ = false;
    return kRecordMismatch;
}

void Reader::place_error() {
    if (!error_placed_) {
        error_offset_ = pos_;
        error_placed_ = true;
    }
}

CoreError Reader::error() const {
    const std::string_view before = text_.substr(0, error_offset_);
    const std::size_t last_newline = before.rfind('\n');
    const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
    const auto line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
    const std::size_t column = error_offset_ - line_start;
    std::string message(fault_ == kRecordMismatch ? record_message_ : fault_message(fault_));
    return parse_error(std::move(message) + " at line " + std::to_string(line) + " column " +
                       std::to_string(column));
}

Fault Reader::fail_invalid_type(std::string_view expected) {
    const int c = peek();
    Value found;
    if (c == '[' || c == '{') {
        found.kind = c == '[' ? ValueKind::Array : ValueKind::Object;
    } else if (const Fault fault = scalar(c, found)) {
        return fault;
    }
    fail_record(invalid_type(found, expected));
    place_error();
    return kRecordMismatch;
}

Fault Reader::literal(std::string_view rest) {
    for (const char expected : rest) {
        if (pos_ >= text_.size()) return fail(kEofValue, Place::Here);
        if (text_[pos_++] != expected) return fail(kExpectedIdent, Place::Here);
    }
    return kOk;
}

// ---- numbers -----------------------------------------------------------------

// Digits while they fit 64 bits go into `mantissa`: the value of short
// literals, computed exactly; past that `exact` turns false.
void Reader::take_digits(std::uint64_t& mantissa, bool& exact) {
    constexpr std::uint64_t kSafe = std::numeric_limits<std::uint64_t>::max() / 10 - 1;
    const char* p = text_.data() + pos_;
    const char* const end = text_.data() + text_.size();
    // Up to eight digits at a time while the mantissa has room for them
    // (timestamps and prices have runs of several digits).
    constexpr std::uint64_t kRoomForEight = 184467440737ULL;  // (2^64 - 1) / 1e8, rounded down
    while (std::endian::native == std::endian::little && end - p >= 8 && mantissa < kRoomForEight) {
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
        } else if (exact) {
            constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
            if (mantissa > (kMax - digit) / 10) {
                exact = false;
            } else {
                mantissa = mantissa * 10 + digit;
            }
        }
    }
    pos_ = static_cast<std::size_t>(p - text_.data());
}

// The exponent part, the cursor on the 'e'. An exponent beyond 32 bits
// makes a non-zero number out of range when positive; otherwise the number
// `vanishes` to zero.
template <Strictness S>
Fault Reader::exponent(bool nonzero, std::int32_t& out, bool& vanishes) {
    eat();
    bool positive = true;
    if (peek() == '+') {
        eat();
    } else if (peek() == '-') {
        eat();
        positive = false;
    }
    if (pos_ >= text_.size()) {
        return fail(S == Strictness::Loose ? kInvalidNumber : kEofValue, Place::Here);
    }
    const char lead = text_[pos_++];
    if (!is_digit(lead)) return fail(kInvalidNumber, Place::Here);
    std::int32_t value = lead - '0';
    constexpr std::int32_t kMaxExp = std::numeric_limits<std::int32_t>::max();
    while (is_digit(peek())) {
        eat();
        const std::int32_t digit = text_[pos_ - 1] - '0';
        if (vanishes) continue;
        if (value > (kMaxExp - digit) / 10) {
            if (S == Strictness::Strict && nonzero && positive) {
                return fail(kNumberOutOfRange, Place::Here);
            }
            vanishes = true;
            continue;
        }
        value = value * 10 + digit;
    }
    out = positive ? value : -value;
    return kOk;
}

template <Strictness S>
Fault Reader::number(bool positive, Value& out) {
    // A loose read has no value to finish, so an early end is just an
    // invalid number.
    constexpr Fault kEarlyEnd = S == Strictness::Loose ? kInvalidNumber : kEofValue;
    const std::size_t start = positive ? pos_ : pos_ - 1;
    if (pos_ >= text_.size()) return fail(kEarlyEnd, Place::Here);
    const char first = text_[pos_++];
    std::uint64_t mantissa = 0;
    bool exact = true;
    if (first == '0') {
        if (is_digit(peek())) return fail(kInvalidNumber, Place::AfterPeek);
    } else if (first >= '1' && first <= '9') {
        mantissa = static_cast<std::uint64_t>(first - '0');
        take_digits(mantissa, exact);
    } else {
        return fail(kInvalidNumber, Place::Here);
    }
    // An integer too long for 64 bits is a double.
    bool is_float = !exact;
    std::int64_t fraction_digits = 0;
    if (peek() == '.') {
        eat();
        const std::size_t fraction_start = pos_;
        take_digits(mantissa, exact);
        fraction_digits = static_cast<std::int64_t>(pos_ - fraction_start);
        if (fraction_digits == 0) {
            return fail(peek() >= 0 ? kInvalidNumber : kEarlyEnd, Place::AfterPeek);
        }
        is_float = true;
    }
    // Past 64 bits the digits cannot all have been zeros.
    const bool nonzero = mantissa != 0 || !exact;
    std::int32_t exponent_value = 0;
    if (peek() == 'e' || peek() == 'E') {
        bool vanishes = false;
        if (const Fault fault = exponent<S>(nonzero, exponent_value, vanishes)) return fault;
        if (vanishes) {
            out.kind = ValueKind::F64;
            out.f64 = positive ? 0.0 : -0.0;
            return kOk;
        }
        is_float = true;
    }
    if (S == Strictness::Loose) return kOk;
    if (!is_float) {
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (positive) {
            out.kind = ValueKind::U64;
            out.u64 = mantissa;
            return kOk;
        }
        if (mantissa != 0 && mantissa <= kMinMagnitude) {
            out.kind = ValueKind::I64;
            out.i64 = mantissa == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                : -static_cast<std::int64_t>(mantissa);
            return kOk;
        }
        // "-0" is the double negative zero; larger magnitudes are doubles.
    }
    // Exact fast path: a mantissa that is a double exactly, scaled by a power
    // of ten that is one too, takes a single correctly rounded operation.
    const std::int64_t power = std::int64_t{exponent_value} - fraction_digits;
    constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
    if (exact && mantissa <= kExactMantissa && power >= -22 && power <= 22) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        double value = static_cast<double>(mantissa);
        value = power < 0 ? value / kPow10[-power] : value * kPow10[power];
        out.kind = ValueKind::F64;
        out.f64 = positive ? value : -value;
        return kOk;
    }
    return to_double(start, positive, nonzero, out);
}

Fault Reader::to_double(std::size_t start, bool positive, bool nonzero, Value& out) {
    const std::string_view literal = text_.substr(start, pos_ - start);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    static_cast<void>(end);
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: too large is an error, too small is zero.
        if (nonzero && literal_overflows(literal)) return fail(kNumberOutOfRange, Place::Here);
        value = positive ? 0.0 : -0.0;
    } else if (ec != std::errc()) {
        return fail(kInvalidNumber, Place::Here);
    }
    if (std::isinf(value)) return fail(kNumberOutOfRange, Place::Here);
    out.kind = ValueKind::F64;
    out.f64 = value;
    return kOk;
}

// ---- strings -----------------------------------------------------------------

Fault Reader::hex4(std::uint16_t& out) {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        return fail(kEofString, Place::Here);
    }
    std::uint32_t value = 0;
    bool valid = true;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(static_cast<unsigned char>(text_[pos_ + i]));
        if (digit < 0) valid = false;
        value = (value << 4) | static_cast<std::uint32_t>(digit & 0xF);
    }
    pos_ += 4;
    if (!valid) return fail(kInvalidEscape, Place::Here);
    out = static_cast<std::uint16_t>(value);
    return kOk;
}

Fault Reader::unicode_escape() {
    std::uint16_t first = 0;
    if (const Fault fault = hex4(first)) return fault;
    if (first >= 0xDC00 && first <= 0xDFFF) return fail(kLoneLeadingSurrogate, Place::Here);
    if (first < 0xD800 || first > 0xDBFF) {
        append_utf8(scratch_, first);
        return kOk;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (const char expected : {'\\', 'u'}) {
        if (pos_ >= text_.size()) return fail(kEofString, Place::Here);
        if (text_[pos_++] != expected) return fail(kUnexpectedEndOfHex, Place::Here);
    }
    std::uint16_t second = 0;
    if (const Fault fault = hex4(second)) return fault;
    if (second < 0xDC00 || second > 0xDFFF) return fail(kLoneLeadingSurrogate, Place::Here);
    const std::uint32_t cp = ((static_cast<std::uint32_t>(first - 0xD800) << 10) |
                              static_cast<std::uint32_t>(second - 0xDC00)) +
                             0x10000;
    append_utf8(scratch_, cp);
    return kOk;
}

// The cursor just after a backslash. A loose read only checks the escape:
// skipped text is not decoded, so surrogates are not paired.
template <Strictness S>
Fault Reader::escape() {
    static constexpr std::string_view kNames = "\"\\/bfnrt";
    static constexpr std::string_view kBytes = "\"\\/\b\f\n\r\t";
    if (pos_ >= text_.size()) return fail(kEofString, Place::Here);
    const char c = text_[pos_++];
    if (c == 'u') {
        if (S == Strictness::Strict) return unicode_escape();
        std::uint16_t ignored = 0;
        return hex4(ignored);
    }
    const std::size_t which = kNames.find(c);
    if (which == std::string_view::npos) return fail(kInvalidEscape, Place::Here);
    if (S == Strictness::Strict) scratch_.push_back(kBytes[which]);
    return kOk;
}

template <Strictness S>
Fault Reader::string(std::string_view& out) {
    constexpr bool kDecodes = S == Strictness::Strict;
    if (kDecodes) scratch_.clear();
    bool escaped = false;
    std::size_t start = pos_;
    for (;;) {
        pos_ = find_string_stop(text_, pos_);
        if (pos_ == text_.size()) return fail(kEofString, Place::Here);
        const char c = text_[pos_];
        if (c == '"') {
            if (!escaped) {
                out = text_.substr(start, pos_ - start);
            } else {
                scratch_.append(text_.data() + start, pos_ - start);
                out = scratch_;
            }
            ++pos_;
            return kOk;
        }
        if (c != '\\') {
            // The strict reader has taken the control byte when it stops.
            if (kDecodes) ++pos_;
            return fail(kControlCharacter, Place::Here);
        }
        if (kDecodes) {
            scratch_.append(text_.data() + start, pos_ - start);
            escaped = true;
        }
        ++pos_;
        if (const Fault fault = escape<S>()) return fault;
        start = pos_;
    }
}

// ---- containers ----------------------------------------------------------------

template <Strictness S>
Fault Reader::next_element(bool& first, bool& end) {
    int c = peek_nonblank();
    if (c == ']') {
        end = true;
        return kOk;
    }
    if (c == ',' && !first) {
        eat();
        c = peek_nonblank();
    } else if (c >= 0) {
        if (!first) return fail(kExpectedListComma, Place::AfterPeek);
        first = false;
    } else {
        return fail(kEofList, Place::AfterPeek);
    }
    // Loosely, "[1,]" is a missing value, which reading it reports.
    if (S == Strictness::Strict && c == ']') return fail(kTrailingComma, Place::AfterPeek);
    if (c < 0) return fail(kEofValue, Place::AfterPeek);
    return kOk;
}

template <Strictness S>
Fault Reader::next_key(bool& first, bool& end, std::string_view& key) {
    int c = peek_nonblank();
    if (c == '}') {
        end = true;
        return kOk;
    }
    if (c == ',' && !first) {
        eat();
        c = peek_nonblank();
    } else if (c >= 0) {
        if (!first) return fail(kExpectedObjectComma, Place::AfterPeek);
        first = false;
    } else {
        return fail(kEofObject, Place::AfterPeek);
    }
    if (c == '"') {
        eat();
        return string<S>(key);
    }
    if (S == Strictness::Loose)
        return fail(c >= 0 ? kKeyMustBeString : kEofObject, Place::AfterPeek);
    if (c == '}') return fail(kTrailingComma, Place::AfterPeek);
    return fail(c >= 0 ? kKeyMustBeString : kEofValue, Place::AfterPeek);
}

Fault Reader::colon_after_blanks() {
    const int c = peek_nonblank();
    if (c == ':') {
        eat();
        return kOk;
    }
    return fail(c >= 0 ? kExpectedColon : kEofObject, Place::AfterPeek);
}

Fault Reader::end_array_after_blanks() {
    const int c = peek_nonblank();
    if (c == ']') {
        eat();
        return kOk;
    }
    if (c == ',') {
        eat();
        return fail(peek_nonblank() == ']' ? kTrailingComma : kTrailingCharacters,
                    Place::AfterPeek);
    }
    return fail(c >= 0 ? kTrailingCharacters : kEofList, Place::AfterPeek);
}

Fault Reader::end_object_after_blanks() {
    const int c = peek_nonblank();
    if (c == '}') {
        eat();
        return kOk;
    }
    if (c == ',') return fail(kTrailingComma, Place::AfterPeek);
    return fail(c >= 0 ? kTrailingCharacters : kEofObject, Place::AfterPeek);
}

void Reader::end_array_after_failure() {
    const int c = peek_nonblank();
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

Fault Reader::end_document() {
    return peek_nonblank() >= 0 ? fail(kTrailingCharacters, Place::AfterPeek) : kOk;
}

// The walk's two strictnesses.
template Fault Reader::string<Strictness::Strict>(std::string_view&);
template Fault Reader::string<Strictness::Loose>(std::string_view&);
template Fault Reader::number<Strictness::Strict>(bool, Value&);
template Fault Reader::number<Strictness::Loose>(bool, Value&);
template Fault Reader::next_element<Strictness::Strict>(bool&, bool&);
template Fault Reader::next_element<Strictness::Loose>(bool&, bool&);
template Fault Reader::next_key<Strictness::Strict>(bool&, bool&, std::string_view&);
template Fault Reader::next_key<Strictness::Loose>(bool&, bool&, std::string_view&);

}  // namespace radar::json
