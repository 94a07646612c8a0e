#pragma once
// The generic value builder: the walk's visitor that makes value trees.
// Trees live in the builder's arena until `reset`, and strings without
// escapes view into the text, which must outlive them.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "json_reader.hpp"
#include "json_value.hpp"

namespace radar::json {

class TreeBuilder {
public:
    static constexpr Strictness kStrictness = Strictness::Strict;

    TreeBuilder() = default;
    TreeBuilder(const TreeBuilder&) = delete;
    TreeBuilder& operator=(const TreeBuilder&) = delete;

    // A whole text as one tree, valid until the next parse or reset.
    Result<Value> parse(std::string_view text);
    // The same, offering each member of the root object (when the root is
    // an object) to `hook(key, reader)` first, the reader just after the
    // colon. The hook answers std::nullopt to leave the member to the
    // builder, or reads the value itself and answers how that went; the
    // members it takes are left out of the tree.
    template <class Hook>
    Result<Value> parse(std::string_view text, Hook&& hook);

    // One value, the reader before it.
    Fault value(Reader& reader, Value& out);
    // Values built after a mark are freed at once by rolling back to it.
    struct Mark {
        Arena::Mark arena;
        std::size_t members;
    };
    [[nodiscard]] Mark mark() const noexcept { return Mark{arena_.mark(), members_.size()}; }
    void rollback(Mark mark) noexcept;
    // Frees every tree; keeps modest stacks and blocks for the next command.
    void reset() noexcept;
    [[nodiscard]] Arena& arena() noexcept { return arena_; }
    // A key or string the reader just read, made to last: copied to the
    // arena when it views the reader's scratch.
    std::string_view keep(const Reader& reader, std::string_view text) {
        return reader.in_scratch(text) ? copy(text) : text;
    }

    // The walk's visitor.
    Fault scalar(Reader& reader, const Value& value);
    Fault array(Reader& reader);
    Fault object(Reader& reader);

private:
    struct NoHook {
        std::optional<Fault> operator()(std::string_view /*key*/, Reader& /*reader*/) const {
            return std::nullopt;
        }
    };
    std::string_view copy(std::string_view text);
    // Reads an object's members onto the stack, in text order.
    template <class Hook>
    Fault collect_members(Reader& reader, Hook& hook);
    // Makes the members from `base` up the built object: copied to the
    // arena, or left on the stack `in_place` (for the root object, which is
    // the last thing built before the next parse or reset).
    void finish_object(std::size_t base, bool in_place = false);
    Arena arena_;
    std::vector<Value> items_;
    std::vector<Member> members_;
    Value built_;  // the value the walk last finished
};

// Inline, scalars straight into `out`: every member and element of every
// request comes through here.
[[gnu::always_inline]] inline Fault TreeBuilder::value(Reader& reader, Value& out) {
    const int c = reader.peek_nonblank();
    if (c != '[' && c != '{') {
        if (const Fault fault = reader.scalar(c, out)) return fault;
        if (out.is_string()) out.chars = keep(reader, out.string()).data();
        return kOk;
    }
    const Fault fault = reader.value(*this);
    out = built_;
    return fault;
}

inline Fault TreeBuilder::scalar(Reader& reader, const Value& value) {
    built_ = value;
    if (value.is_string()) built_.chars = keep(reader, value.string()).data();
    return kOk;
}

template <class Hook>
Fault TreeBuilder::collect_members(Reader& reader, Hook& hook) {
    return reader.members([&](std::string_view key) -> Fault {
        key = keep(reader, key);
        if (const Fault fault = reader.colon()) return fault;
        if (const std::optional<Fault> taken = hook(key, reader)) return *taken;
        Value member;
        if (const Fault fault = value(reader, member)) return fault;
        members_.push_back(Member{key, member});
        return kOk;
    });
}

template <class Hook>
Result<Value> TreeBuilder::parse(std::string_view text, Hook&& hook) {
    // The builder itself, except that the root object asks the hook.
    struct Root : StrictVisitor {
        TreeBuilder& builder;
        Hook& hook;
        Fault scalar(Reader& reader, const Value& value) { return builder.scalar(reader, value); }
        Fault array(Reader& reader) { return builder.array(reader); }
        Fault object(Reader& reader) {
            const std::size_t base = builder.members_.size();
            if (const Fault fault = builder.collect_members(reader, hook)) return fault;
            // Nothing is read after the root: its members stay where they are.
            builder.finish_object(base, /*in_place=*/true);
            return kOk;
        }
    };
    Reader reader(text);
    Root root{{}, *this, hook};
    Fault fault = reader.value(root);
    if (!fault) fault = reader.end_document();
    if (fault) return reader.error();
    return built_;
}

}  // namespace radar::json
