#pragma once
// The generic JSON value every request is parsed into once, and the arena
// that holds a value tree. A tree is only valid while its arena and the
// request text it views into are alive.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error.hpp"

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

    // Member by exact byte-wise name: a scan of small objects, a binary
    // search of large ones (members are sorted). Null when absent or when
    // this is not an object.
    [[nodiscard]] const Value* find(std::string_view name) const;

    [[nodiscard]] const Value* find_sorted(std::string_view name) const;

    // The number as a double: integers round to the nearest double.
    [[nodiscard]] double as_double() const {
        switch (kind) {
            case ValueKind::U64:
                return static_cast<double>(u64);
            case ValueKind::I64:
                return static_cast<double>(i64);
            default:
                return f64;
        }
    }
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

// Equality of texts, short ones (keys, names) without a library call: two
// overlapping loads from each end cover up to 16 bytes.
[[nodiscard]] inline bool same_text(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    auto load = [](const char* p, auto width) {
        decltype(width) word;
        std::memcpy(&word, p, sizeof word);
        return word;
    };
    if (n >= 8 && n <= 16) {
        return load(x, std::uint64_t{}) == load(y, std::uint64_t{}) &&
               load(x + n - 8, std::uint64_t{}) == load(y + n - 8, std::uint64_t{});
    }
    if (n >= 4 && n < 8) {
        return load(x, std::uint32_t{}) == load(y, std::uint32_t{}) &&
               load(x + n - 4, std::uint32_t{}) == load(y + n - 4, std::uint32_t{});
    }
    if (n > 16) return std::memcmp(x, y, n) == 0;
    // 0 to 3 bytes: the first, the middle and the last cover them.
    return n == 0 || (x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1]);
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

inline const Value* Value::find(std::string_view name) const {
    // A request's handful of members is faster scanned than searched.
    constexpr std::size_t kScanned = 8;
    if (kind != ValueKind::Object) return nullptr;
    if (size > kScanned) return find_sorted(name);
    for (const Member* it = members; it != members + size; ++it) {
        if (same_text(it->key, name)) return &it->value;
    }
    return nullptr;
}

// Sorts items byte-wise by `key(item)`, keeping only the last of repeated
// keys, as parsed objects hold their members. Returns the number kept.
template <class T, class Key>
std::size_t sort_unique(T* first, T* last, Key key) {
    // Also keeps pointer arithmetic off the null `first` of an empty object.
    if (last - first < 2) return static_cast<std::size_t>(last - first);
    auto by_key = [&](const T& a, const T& b) { return key_less(key(a), key(b)); };
    bool strictly_sorted = true;
    for (T* it = first; it + 1 < last; ++it) {
        if (!by_key(*it, *(it + 1))) {
            strictly_sorted = false;
            break;
        }
    }
    if (strictly_sorted) return static_cast<std::size_t>(last - first);
    if (last - first <= 16) {
        // Small objects are the common case; this stable sort allocates nothing.
        for (T* it = first + 1; it != last; ++it) {
            T moving = *it;
            T* hole = it;
            for (; hole != first && by_key(moving, *(hole - 1)); --hole) *hole = *(hole - 1);
            *hole = moving;
        }
    } else {
        std::stable_sort(first, last, by_key);
    }
    T* out = first;
    for (T* it = first; it != last; ++it) {
        if (it + 1 != last && key(*(it + 1)) == key(*it)) continue;  // a later one wins
        *out++ = *it;
    }
    return static_cast<std::size_t>(out - first);
}

inline std::size_t sort_unique_members(Member* first, Member* last) {
    return sort_unique(first, last, [](const Member& member) { return member.key; });
}

// Rendering of a value found where something else was expected, as the
// "invalid type" messages show it: null, boolean `true`, integer `5`,
// floating point `5.0`, string "x", sequence, map.
std::string describe_value(const Value& value);
// "invalid type: <found>, expected <expected>"
std::string invalid_type(const Value& found, std::string_view expected);

// An enum value of unit variants, written "name" or {"name": unit}: its name,
// and the unit value of the map form (null for the string form). Anything
// else fails with the message the reference reader gives.
struct UnitVariant {
    std::string_view name;
    const Value* unit = nullptr;
};
Result<UnitVariant> unit_variant(const Value& value);

}  // namespace radar::json
