#pragma once
// Reading JSON text: the one walk over the grammar and its cursor.
//
// `Reader::value(visitor)` reads one value of any kind: scalars are handed
// to the visitor whole, and arrays and objects to its `array` / `object`,
// which read their elements and members with `elements` / `members`,
// usually by walking each one in turn. The tree builder (json_tree.hpp), the
// event sinks (event.hpp) and the skipper below are such visitors; the
// RadarSpec text road (spec.cpp) reads its records with the same cursor.
//
// Failures: every function that can fail returns a Fault, and every
// failure goes through one path, which keeps the first fault and where it
// happened; `error()` turns it into the "message at line L column C" text.
// A Fault converts to true when it is a failure.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "json_value.hpp"

namespace radar::json {

// Every way reading can fail; fault_message has each one's text.
enum Fault : std::uint8_t {
    kOk = 0,
    kEofList,
    kEofObject,
    kEofString,
    kEofValue,
    kExpectedColon,
    kExpectedListComma,
    kExpectedObjectComma,
    kExpectedIdent,
    kExpectedValue,
    kInvalidEscape,
    kInvalidNumber,
    kNumberOutOfRange,
    kControlCharacter,
    kKeyMustBeString,
    kLoneLeadingSurrogate,
    kTrailingComma,
    kTrailingCharacters,
    kUnexpectedEndOfHex,
    kRecursionLimit,
    // JSON that does not fit the record being read; the reader keeps the
    // message (fail_record).
    kRecordMismatch,
};

[[nodiscard]] std::string_view fault_message(Fault fault);

// Arrays and objects nest at most this deep; one more level is an error.
inline constexpr int kMaxDepth = 127;

// Where a fault is placed: at the cursor, or just after the byte under it.
enum class Place : std::uint8_t { Here, AfterPeek };

// How strictly a walk reads. Strict reads every value as the generic value
// builder must. Loose is the grammar of values a record ignores: strings
// are not decoded (so surrogates go unpaired), numbers are not converted
// (no range errors; an early end is an invalid number), and a trailing
// comma reads as a missing value or key.
enum class Strictness : std::uint8_t { Strict, Loose };

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}
    // Resumes reading at `position`, inside `depth` open arrays and objects.
    Reader(std::string_view text, std::size_t position, int depth)
        : text_(text), pos_(position), depth_(depth) {}

    // ---- cursor -------------------------------------------------------
    [[nodiscard]] int peek() const {
        return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
    }
    // Skips JSON white space and returns the next byte, or -1 at the end.
    int peek_nonblank() {
        // Compact JSON has no blanks: answer that case without a call.
        if (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c > ' ') return c;
        }
        return skip_blanks();
    }
    void eat() { ++pos_; }
    [[nodiscard]] std::size_t position() const { return pos_; }
    [[nodiscard]] int depth() const { return depth_; }
    [[nodiscard]] std::string_view text() const { return text_; }
    // Whether a string just read was decoded into the reader's scratch
    // (it had escapes; the next string read overwrites it) rather than
    // viewing the text.
    [[nodiscard]] bool in_scratch(std::string_view s) const {
        return !s.empty() && s.data() == scratch_.data();
    }

    // ---- the walk -----------------------------------------------------
    // One value, the cursor before it (blanks allowed). The visitor has
    // `kStrictness`, `scalar(reader, value)` (strings view the text or the
    // scratch), and `array(reader)` / `object(reader)`, called with the
    // cursor just after the opening bracket, inside its nesting level.
    template <class Visitor>
    Fault value(Visitor& visitor);

    // The elements of an array, the cursor just after its '[':
    // `element(index)` reads each, the cursor on its first byte. Stops at
    // the ']' (left for end_array) or after `limit` elements.
    template <Strictness S = Strictness::Strict, class Element>
    Fault elements(Element&& element, std::size_t limit = static_cast<std::size_t>(-1));
    // The members of an object, the cursor just after its '{':
    // `member(key)` is called just after each key and reads the colon
    // (`colon()`) and the value. Stops at the '}' (left for end_object).
    template <Strictness S = Strictness::Strict, class Member>
    Fault members(Member&& member);

    Fault colon() {
        // Compact JSON: the colon right after the key.
        if (pos_ < text_.size() && text_[pos_] == ':') {
            ++pos_;
            return kOk;
        }
        return colon_after_blanks();
    }
    Fault end_array() {
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return kOk;
        }
        return end_array_after_blanks();
    }
    Fault end_object() {
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return kOk;
        }
        return end_object_after_blanks();
    }
    // What end_array / end_object do to the cursor when the record inside
    // already failed: their own verdict is dropped, their moves are not.
    void end_array_after_failure();
    void end_object_after_failure();
    // Only white space may follow the document.
    Fault end_document();

    // ---- failures -----------------------------------------------------
    Fault fail(Fault fault, Place place);
    // A value that does not fit a record: placed later by place_error
    // (after the bracket that revealed it), or at once by the caller.
    Fault fail_record(std::string message);
    void place_error();
    // The value under the cursor cannot be what the caller wanted: reads a
    // scalar to describe it ("invalid type: integer `5`, expected f64"),
    // placed after it, or before the bracket of an array or object.
    Fault fail_invalid_type(std::string_view expected);
    // "message at line L column C", as a Parse error.
    [[nodiscard]] CoreError error() const;

    // ---- scalars and nesting (for record readers) ---------------------
    // After the first letter of a literal: checks the remaining letters.
    Fault literal(std::string_view rest);
    // A string, the cursor just after its opening quote.
    Fault read_string(std::string_view& out) { return string<Strictness::Strict>(out); }
    // A scalar, the cursor on its first byte `c`.
    template <Strictness S = Strictness::Strict>
    Fault scalar(int c, Value& out);
    // Called with the cursor on an opening bracket.
    Fault enter_nested() {
        if (depth_ < kMaxDepth) {
            ++depth_;
            return kOk;
        }
        return fail(kRecursionLimit, Place::AfterPeek);
    }
    void leave_nested() { --depth_; }

private:
    int skip_blanks();
    Fault colon_after_blanks();
    Fault end_array_after_blanks();
    Fault end_object_after_blanks();
    // Strings, the cursor just after the opening quote.
    template <Strictness S>
    Fault string(std::string_view& out);
    template <Strictness S>
    Fault escape();
    Fault unicode_escape();
    Fault hex4(std::uint16_t& out);
    // Numbers, the cursor on a digit, or just after a '-' when !positive.
    template <Strictness S>
    Fault number(bool positive, Value& out);
    void take_digits(std::uint64_t& mantissa, bool& exact);
    template <Strictness S>
    Fault exponent(bool nonzero, std::int32_t& out, bool& vanishes);
    // The literal from `start` correctly rounded, the long way.
    Fault to_double(std::size_t start, bool positive, bool nonzero, Value& out);
    // Before an array element or an object key; `end` when the container
    // closes here.
    template <Strictness S>
    Fault next_element(bool& first, bool& end);
    template <Strictness S>
    Fault next_key(bool& first, bool& end, std::string_view& key);

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::string scratch_;
    Fault fault_ = kOk;
    std::size_t error_offset_ = 0;
    bool error_placed_ = false;
    std::string record_message_;
};

// The strictness of visitors that read values as the generic value builder
// does (a base, since local classes cannot declare it themselves).
struct StrictVisitor {
    static constexpr Strictness kStrictness = Strictness::Strict;
};

// Walks a value and keeps nothing: the grammar check of values a reader
// ignores.
template <Strictness S>
struct Skipper {
    static constexpr Strictness kStrictness = S;
    Fault scalar(Reader& /*reader*/, const Value& /*value*/) { return kOk; }
    Fault array(Reader& reader) {
        return reader.elements<S>([&](std::size_t) { return reader.value(*this); });
    }
    Fault object(Reader& reader) {
        return reader.members<S>([&](std::string_view) {
            if (const Fault fault = reader.colon()) return fault;
            return reader.value(*this);
        });
    }
};

// ---- templates ---------------------------------------------------------------

template <class Visitor>
Fault Reader::value(Visitor& visitor) {
    const int c = peek_nonblank();
    if (c == '[' || c == '{') {
        if (const Fault fault = enter_nested()) return fault;
        eat();
        const Fault fault = c == '[' ? visitor.array(*this) : visitor.object(*this);
        leave_nested();
        if (fault) return fault;
        return c == '[' ? end_array() : end_object();
    }
    Value scalar_value;
    if (const Fault fault = scalar<Visitor::kStrictness>(c, scalar_value)) return fault;
    return visitor.scalar(*this, scalar_value);
}

template <Strictness S>
[[gnu::always_inline]] inline Fault Reader::scalar(int c, Value& out) {
    switch (c) {
        case 'n':
            eat();
            return literal("ull");
        case 't':
            eat();
            out.kind = ValueKind::Bool;
            out.boolean = true;
            return literal("rue");
        case 'f':
            eat();
            out.kind = ValueKind::Bool;
            return literal("alse");
        case '"': {
            eat();
            std::string_view text;
            if (const Fault fault = string<S>(text)) return fault;
            out.kind = ValueKind::String;
            out.chars = text.data();
            out.size = text.size();
            return kOk;
        }
        case '-':
            eat();
            return number<S>(false, out);
        default:
            if (c >= '0' && c <= '9') return number<S>(true, out);
            return fail(c < 0 ? kEofValue : kExpectedValue, Place::AfterPeek);
    }
}

template <Strictness S, class Element>
Fault Reader::elements(Element&& element, std::size_t limit) {
    bool first = true;
    for (std::size_t index = 0; index < limit; ++index) {
        bool end = false;
        if (const Fault fault = next_element<S>(first, end)) return fault;
        if (end) break;
        if (const Fault fault = element(index)) return fault;
    }
    return kOk;
}

template <Strictness S, class Member>
Fault Reader::members(Member&& member) {
    bool first = true;
    for (;;) {
        bool end = false;
        std::string_view key;
        if (const Fault fault = next_key<S>(first, end, key)) return fault;
        if (end) return kOk;
        if (const Fault fault = member(key)) return fault;
    }
}

}  // namespace radar::json
