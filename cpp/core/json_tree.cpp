#include "json_tree.hpp"

#include <memory>

#include "buffers.hpp"

namespace radar::json {

Result<Value> TreeBuilder::parse(std::string_view text) { return parse(text, NoHook{}); }

void TreeBuilder::rollback(Mark mark) noexcept {
    arena_.rollback(mark.arena);
    members_.resize(mark.members);
}

void TreeBuilder::reset() noexcept {
    arena_.reset();
    clear_reusing(items_, kKeptScratch);
    clear_reusing(members_, kKeptScratch);
}

std::string_view TreeBuilder::copy(std::string_view text) {
    return {arena_.copy_text(text), text.size()};
}

Fault TreeBuilder::array(Reader& reader) {
    const std::size_t base = items_.size();
    const Fault fault = reader.elements([&](std::size_t) {
        Value item;
        if (const Fault item_fault = value(reader, item)) return item_fault;
        items_.push_back(item);
        return kOk;
    });
    if (fault) return fault;
    const std::size_t count = items_.size() - base;
    Value* items = count == 0 ? nullptr : arena_.allocate_array<Value>(count);
    std::uninitialized_copy(items_.begin() + static_cast<std::ptrdiff_t>(base), items_.end(),
                            items);
    items_.resize(base);
    built_ = Value();
    built_.kind = ValueKind::Array;
    built_.items = items;
    built_.size = count;
    return kOk;
}

Fault TreeBuilder::object(Reader& reader) {
    const std::size_t base = members_.size();
    NoHook none;
    if (const Fault fault = collect_members(reader, none)) return fault;
    finish_object(base);
    return kOk;
}

void TreeBuilder::finish_object(std::size_t base, bool in_place) {
    Member* first = members_.data() + base;
    const std::size_t count = sort_unique_members(first, members_.data() + members_.size());
    Member* members = first;
    if (!in_place) {
        members = count == 0 ? nullptr : arena_.allocate_array<Member>(count);
        std::uninitialized_copy(first, first + count, members);
        members_.resize(base);
    }
    built_ = Value();
    built_.kind = ValueKind::Object;
    built_.members = members;
    built_.size = count;
}

}  // namespace radar::json
