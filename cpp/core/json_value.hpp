#pragma once
// The generic JSON value every request is parsed into once, and the arena
// that holds a value tree. A tree is only valid while its arena and the
// request text it views into are alive.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

namespace radar::json {

// Bump allocator for one command's value tree. Blocks are kept across
// commands so a steady stream of requests touches no fresh pages.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    template <class T>
    [[nodiscard]] T* allocate_array(std::size_t count) {
        static_assert(std::is_trivially_destructible_v<T>);
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
    }
    [[nodiscard]] char* copy_text(std::string_view text);

    // Frees everything allocated since the last reset. Keeps one block for
    // the next command, unless it is far larger than this command needed.
    void reset() noexcept;

    // A point to free back to: everything allocated after it goes at once.
    struct Mark {
        std::size_t block;
        std::size_t used;
        std::size_t base;
    };
    [[nodiscard]] Mark mark() const noexcept { return Mark{current_, used_, base_}; }
    void rollback(Mark mark) noexcept;

private:
    void* allocate(std::size_t bytes, std::size_t align);
    void add_block(std::size_t at_least);

    struct Block {
        std::unique_ptr<std::byte[]> data;
        std::size_t size;
    };
    std::vector<Block> blocks_;
    std::size_t current_ = 0;     // block being filled
    std::size_t used_ = 0;        // bytes used in it
    std::size_t base_ = 0;        // bytes of the blocks before it
    std::size_t high_water_ = 0;  // most bytes in use since the last reset
};

enum class ValueKind : std::uint8_t { Null, Bool, U64, I64, F64, String, Array, Object };

struct Member;

// Numbers keep their kind: u64 (an unsigned integer literal that fits),
// i64 (a negative integer literal that fits) or f64 (everything else).
struct Value {
    ValueKind kind = ValueKind::Null;
    bool boolean = false;
    // An array whose elements were handed to an ElementSink while parsing
    // instead of being kept: `size` is 0 and `u64` is the sink's list id.
    bool streamed = false;
    // An object whose members are still in text order, repeats included
    // (only ever handed to an ElementSink; see sort_unique_members).
    bool unsorted = false;
    std::size_t size = 0;  // string bytes, array items or object members
    union {
        std::uint64_t u64;
        std::int64_t i64;
        double f64;
        const char* chars;
        const Value* items;
        const Member* members;
    };

    Value() : u64(0) {}

    [[nodiscard]] bool is_object() const { return kind == ValueKind::Object; }
    [[nodiscard]] bool is_array() const { return kind == ValueKind::Array; }
    [[nodiscard]] bool is_string() const { return kind == ValueKind::String; }
    [[nodiscard]] bool is_number() const {
        return kind == ValueKind::U64 || kind == ValueKind::I64 || kind == ValueKind::F64;
    }
    [[nodiscard]] std::string_view string() const { return {chars, size}; }
    [[nodiscard]] const Value* begin_items() const { return items; }
    [[nodiscard]] const Value* end_items() const { return items + size; }
    [[nodiscard]] const Member* begin_members() const { return members; }
    [[nodiscard]] const Member* end_members() const;

    // Member by exact byte-wise name; objects are sorted so this is a
    // binary search. Null when absent or when this is not an object.
    [[nodiscard]] const Value* find(std::string_view name) const;

    // The number as a double: integers round to the nearest double.
    [[nodiscard]] double as_double() const;
};

// Byte-wise order of texts, a prefix first; inline because object keys are
// short and compared often.
[[nodiscard]] inline bool key_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

// Equality of short texts without a library call.
[[nodiscard]] inline bool same_text(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// key_less as a transparent comparator, for maps keyed by text.
struct KeyLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        return key_less(a, b);
    }
};

// Object members are sorted byte-wise by key with unique keys.
struct Member {
    std::string_view key;
    Value value;
};

inline const Member* Value::end_members() const { return members + size; }

// Sorts members byte-wise by key, keeping only the last of repeated keys,
// as parsed objects hold them. Returns the number kept.
std::size_t sort_unique_members(Member* first, Member* last);

}  // namespace radar::json
