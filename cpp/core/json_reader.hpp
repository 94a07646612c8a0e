#pragma once
// Pull reader over UTF-8 JSON text. It reports syntax errors with the
// message and byte offset that the protocol fixes, and it is shared by the
// generic value builder and the RadarSpec reader so both fail at the same
// places with the same texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json_value.hpp"

namespace radar::json {

// A parsed number, keeping the kind the literal had.
struct Number {
    ValueKind kind = ValueKind::U64;  // U64, I64 or F64
    std::uint64_t u64 = 0;
    std::int64_t i64 = 0;
    double f64 = 0.0;
};

// Arrays and objects nest at most this deep; one more level is an error.
inline constexpr int kMaxDepth = 127;

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

    // A place to come back to after trying to read something one way.
    struct Mark {
        std::size_t position;
        int depth;
    };
    [[nodiscard]] Mark mark() const { return Mark{pos_, depth_}; }
    // Back to `mark`, forgetting any error recorded since.
    void rewind(Mark mark) {
        pos_ = mark.position;
        depth_ = mark.depth;
        message_.clear();
        error_placed_ = false;
    }

    // ---- errors -------------------------------------------------------
    // Every failing function returns false with the error recorded here.
    // `fail_here` places the error at the cursor, `fail_at_peek` just after
    // the byte under the cursor, `fail_unplaced` leaves the place to be
    // fixed later by `place_error` (for errors found by a record decoder).
    bool fail_here(std::string message);
    bool fail_at_peek(std::string message);
    bool fail_unplaced(std::string message);
    void place_error();
    [[nodiscard]] const std::string& error_message() const { return message_; }
    // "message at line L column C"
    [[nodiscard]] std::string error_text() const;

    // ---- nesting ------------------------------------------------------
    // Called with the cursor on an opening bracket.
    bool enter_nested();
    void leave_nested() { --depth_; }
    [[nodiscard]] int depth() const { return depth_; }

    // ---- scalars ------------------------------------------------------
    // After the first letter of a literal: checks the remaining letters.
    bool expect_literal_rest(std::string_view rest);
    // With the cursor on a digit, or just after a '-' when !positive.
    bool read_number(bool positive, Number& out);
    // Just after the opening quote. `out` views the text itself when the
    // string has no escapes, else `scratch`, which is overwritten.
    bool read_string(std::string& scratch, std::string_view& out);
    bool skip_string();
    // Skips one whole value, of any depth, checking its syntax.
    bool skip_value();

    // ---- containers ---------------------------------------------------
    // Next array element: 1 a value follows, 0 the array ends (the ']' is
    // left for end_array), -1 error.
    int next_element(bool& first);
    // Next object key: 1 key read into `key`, 0 the object ends, -1 error.
    int next_key(bool& first, std::string& scratch, std::string_view& key);
    bool expect_colon();
    bool end_array();
    bool end_object();
    // What end_array / end_object do to the cursor when the record inside
    // already failed: their own verdict is dropped, their moves are not.
    void end_array_after_failure();
    void end_object_after_failure();
    // Only white space may follow the document.
    bool end_document();

    // A value that cannot be what the caller wanted: reads a scalar to
    // describe it ("invalid type: integer `5`, expected f64"), placed after
    // it, or before the bracket of an array or object.
    bool fail_invalid_type(std::string_view expected);

private:
    int skip_blanks();
    int fail_element(std::string message);  // fail_at_peek for next_element/next_key
    bool read_escape(std::string& scratch);
    bool read_unicode_escape(std::string& scratch);
    bool read_hex4(std::uint16_t& out);
    bool skip_escape();
    bool skip_number();
    bool finish_float(std::size_t start, bool positive, bool mantissa_nonzero, Number& out);

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::string message_;
    std::size_t error_offset_ = 0;
    bool error_placed_ = false;
};

// Takes the elements of event arrays one at a time while a request is
// parsed, so that large batches never exist as a value tree.
class ElementSink {
public:
    virtual ~ElementSink() = default;
    // Starts a list and returns its id.
    virtual std::size_t begin_list() = 0;
    // One element; it is freed as soon as this returns.
    virtual void element(std::size_t list, const Value& element) = 0;
    // May take the next element straight from the text, the reader on its
    // first byte: true when it did, having read it whole and checked it;
    // false leaves it to the parser (which rewinds the reader).
    virtual bool element_from_text(std::size_t /*list*/, Reader& /*reader*/) { return false; }
    // May read a whole object of lists itself (the root's "events" object
    // of a parse `in_pieces`), starting just after its '{' at `begin`, inside
    // `depth` open arrays and objects, this one included. On success it
    // fills `out` with an object of streamed arrays held by `arena` and sets
    // `end` just after the object's '}'. False leaves the object to the
    // parser, with nothing of it kept.
    virtual bool read_list_object(std::string_view /*text*/, std::size_t /*begin*/, int /*depth*/,
                                  Arena& /*arena*/, Value& /*out*/, std::size_t& /*end*/) {
        return false;
    }
};

// A member of an object of lists, as read by parse_list_members.
struct ListMember {
    std::string_view key;
    std::size_t list;  // the sink's id
};

// Builds generic value trees. Its stacks are reused from one document to
// the next, so keep one per radar.
class DocumentParser {
public:
    // Parses a whole text into a tree held by `arena` (strings without
    // escapes view into `text`). On failure returns false and sets `error`
    // to "message at line L column C".
    //
    // With a sink, the arrays in the root object's "events" member (that
    // member itself when it is an array, else the arrays among its members)
    // are streamed to the sink and left in the tree as `streamed` arrays,
    // and an object in the root's "event" member is left `unsorted`.
    //
    // With `in_pieces` too, the sink is offered the root's "events" object
    // to read by itself (see ElementSink::read_list_object); when it
    // declines, the object is read here as usual, so errors stay exact.
    bool parse(std::string_view text, Arena& arena, Value& out, std::string& error,
               ElementSink* sink = nullptr, bool in_pieces = false);

    // Reads members of an object whose values are all arrays, handing their
    // elements to `sink`, from `begin`: just after the object's '{' when
    // `first`, else at the opening quote of a member's key. Stops at the key
    // that starts at `stop`, or after the object's '}' when `stop` is npos;
    // `end` is where it stopped. False on anything else: a syntax error, a
    // member that is not an array, a key with escapes, reaching the end of
    // the object before `stop` or passing `stop` inside a member. Keys view
    // into `text`.
    bool parse_list_members(std::string_view text, std::size_t begin, int depth, bool first,
                            std::size_t stop, Arena& arena, ElementSink& sink,
                            std::vector<ListMember>& out, std::size_t& end);

private:
    // Where a value sits, as far as streaming cares.
    enum class Role : std::uint8_t { Plain, Root, Events, EventList, Element, Event };

    // `out` must be a default Value.
    bool parse_value(Reader& reader, Arena& arena, Value& out, Role role);
    bool parse_array(Reader& reader, Arena& arena, Value& out);
    bool parse_streamed_array(Reader& reader, Arena& arena, Value& out);
    bool parse_elements(Reader& reader, Arena& arena, ElementSink& sink, std::size_t list);
    bool parse_object(Reader& reader, Arena& arena, Value& out, Role role);
    // With the cursor on the '{' of the root's "events" object, entered:
    // lets the sink read the whole object, and moves past it when it did.
    bool sink_reads_object(Reader& reader, Arena& arena, Value& out);
    bool read_list_members(Reader& reader, bool first, std::size_t stop, Arena& arena,
                           ElementSink& sink, std::vector<ListMember>& out);

    std::string_view text_;
    std::vector<Value> items_;
    std::vector<Member> members_;
    std::string scratch_;
    ElementSink* sink_ = nullptr;
    bool in_pieces_ = false;
};

// Reads an object member by member, the reader on (or before blanks and)
// its '{': `read_member(key)` reads each value, the reader past the colon,
// and answers whether all is well. A key with escapes views `scratch`,
// which the next key or string overwrites.
template <class ReadMember>
bool read_object(Reader& reader, std::string& scratch, ReadMember read_member) {
    if (reader.peek_nonblank() != '{' || !reader.enter_nested()) return false;
    reader.eat();
    bool first = true;
    for (;;) {
        std::string_view key;
        const int next = reader.next_key(first, scratch, key);
        if (next < 0) return false;
        if (next == 0) break;
        if (!reader.expect_colon() || !read_member(key)) return false;
    }
    if (!reader.end_object()) return false;
    reader.leave_nested();
    return true;
}

// Stores a number in a value, keeping its kind.
void set_number(Value& out, const Number& number);

// Reads an object whose members are all plain scalars (strings without
// escapes, and numbers) into `room`, in text order, repeats included. False
// on anything else, more members than `room` holds included: the reader is
// then somewhere inside the text and the caller must read it another way.
// Strings view into the text.
bool read_flat_object(Reader& reader, std::span<Member> room, std::size_t& count);

// An enum value of unit variants, written "name" or {"name": unit}: the
// name, and the unit value of the map form (null for the string form).
// Anything else fails with the message the reference reader gives.
bool unit_variant(const Value& value, std::string_view& name, const Value*& unit,
                  std::string& error);

// Rendering of a value found where something else was expected, as the
// "invalid type" messages show it: null, boolean `true`, integer `5`,
// floating point `5.0`, string "x", sequence, map.
std::string describe_value(const Value& value);
std::string describe_number(const Number& number);
std::string describe_string(std::string_view text);
std::string describe_double(double value);

}  // namespace radar::json
