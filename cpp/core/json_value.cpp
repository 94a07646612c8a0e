#include "json_value.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "buffers.hpp"
#include "json_reader.hpp"

namespace radar::json {

namespace {
constexpr std::size_t kFirstBlock = 64 * 1024;
}

char* Arena::copy_text(std::string_view text) {
    char* out = allocate_array<char>(text.size() + 1);
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

void* Arena::allocate(std::size_t bytes, std::size_t align) {
    if (bytes == 0) bytes = 1;
    for (;;) {
        if (current_ < blocks_.size()) {
            Block& block = blocks_[current_];
            const std::size_t start = (used_ + align - 1) & ~(align - 1);
            if (start <= block.size && bytes <= block.size - start) {
                used_ = start + bytes;
                high_water_ = std::max(high_water_, base_ + used_);
                return block.data.get() + start;
            }
            if (current_ + 1 < blocks_.size()) {  // a block kept from earlier use
                base_ += block.size;
                ++current_;
                used_ = 0;
                continue;
            }
        }
        add_block(bytes + align);
    }
}

void Arena::add_block(std::size_t at_least) {
    std::size_t size = blocks_.empty() ? kFirstBlock : blocks_.back().size * 2;
    size = std::max(size, at_least);
    std::size_t base = 0;
    for (const Block& block : blocks_) base += block.size;
    // Value-initialising would touch every page up front; default-init does not.
    blocks_.push_back(Block{std::unique_ptr<std::byte[]>(new std::byte[size]), size});
    base_ = base;  // only once the block is there: a failed allocation changes nothing
    current_ = blocks_.size() - 1;
    used_ = 0;
}

void Arena::rollback(Mark mark) noexcept {
    current_ = mark.block;
    used_ = mark.used;
    base_ = mark.base;
}

void Arena::reset() noexcept {
    if (blocks_.empty()) return;
    auto largest = std::max_element(blocks_.begin(), blocks_.end(),
                                    [](const Block& a, const Block& b) { return a.size < b.size; });
    // Keep one block for the next command unless it is far larger than what
    // this command needed: one huge request must not pin its memory.
    const bool keep = largest->size <= 4 * std::max(high_water_, kFirstBlock);
    Block kept = keep ? std::move(*largest) : Block{};
    blocks_.clear();
    if (keep) blocks_.push_back(std::move(kept));
    current_ = 0;
    used_ = 0;
    base_ = 0;
    high_water_ = 0;
}

const Value* Value::find(std::string_view name) const {
    if (kind != ValueKind::Object) return nullptr;
    const Member* first = members;
    const Member* last = members + size;
    const Member* it = std::lower_bound(
        first, last, name, [](const Member& m, std::string_view n) { return key_less(m.key, n); });
    if (it != last && same_text(it->key, name)) return &it->value;
    return nullptr;
}

double Value::as_double() const {
    switch (kind) {
        case ValueKind::U64:
            return static_cast<double>(u64);
        case ValueKind::I64:
            return static_cast<double>(i64);
        default:
            return f64;
    }
}

}  // namespace radar::json

// ---- building trees ----------------------------------------------------------

namespace radar::json {

void set_number(Value& out, const Number& number) {
    out.kind = number.kind;
    switch (number.kind) {
        case ValueKind::U64:
            out.u64 = number.u64;
            break;
        case ValueKind::I64:
            out.i64 = number.i64;
            break;
        default:
            out.f64 = number.f64;
            break;
    }
}

bool read_flat_object(Reader& reader, std::span<Member> room, std::size_t& count) {
    std::string scratch;  // only ever filled by escapes, which end this road
    count = 0;
    return read_object(reader, scratch, [&](std::string_view key) {
        if (count == room.size() || key.data() == scratch.data()) return false;
        Value value;
        const int c = reader.peek_nonblank();
        if (c == '"') {
            reader.eat();
            std::string_view text;
            if (!reader.read_string(scratch, text) || text.data() == scratch.data()) return false;
            value.kind = ValueKind::String;
            value.chars = text.data();
            value.size = text.size();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (c == '-') reader.eat();
            Number number;
            if (!reader.read_number(c != '-', number)) return false;
            set_number(value, number);
        } else {
            return false;
        }
        room[count++] = Member{key, value};
        return true;
    });
}

std::size_t sort_unique_members(Member* first, Member* last) {
    // Also keeps pointer arithmetic off the null `first` of an empty object.
    if (last - first < 2) return static_cast<std::size_t>(last - first);
    auto by_key = [](const Member& a, const Member& b) { return key_less(a.key, b.key); };
    bool strictly_sorted = true;
    for (Member* it = first; it + 1 < last; ++it) {
        if (!key_less(it->key, (it + 1)->key)) {
            strictly_sorted = false;
            break;
        }
    }
    if (strictly_sorted) return static_cast<std::size_t>(last - first);
    if (last - first <= 16) {
        // Small objects are the common case; this stable sort allocates nothing.
        for (Member* it = first + 1; it != last; ++it) {
            Member moving = *it;
            Member* hole = it;
            for (; hole != first && key_less(moving.key, (hole - 1)->key); --hole)
                *hole = *(hole - 1);
            *hole = moving;
        }
    } else {
        std::stable_sort(first, last, by_key);
    }
    Member* out = first;
    for (Member* it = first; it != last; ++it) {
        if (it + 1 != last && (it + 1)->key == it->key) continue;  // a later one wins
        *out++ = *it;
    }
    return static_cast<std::size_t>(out - first);
}

bool DocumentParser::parse(std::string_view text, Arena& arena, Value& out, std::string& error,
                           ElementSink* sink, bool in_pieces) {
    Reader reader(text);
    text_ = text;
    out = Value();
    items_.clear();
    members_.clear();
    sink_ = sink;
    in_pieces_ = in_pieces && sink != nullptr;
    const bool ok = parse_value(reader, arena, out, sink != nullptr ? Role::Root : Role::Plain) &&
                    reader.end_document();
    sink_ = nullptr;
    // Keep modest stacks for the next document, not a huge one's.
    clear_reusing(items_, kKeptScratch);
    clear_reusing(members_, kKeptScratch);
    if (scratch_.capacity() > kKeptScratch) std::string().swap(scratch_);
    if (ok) return true;
    error = reader.error_text();
    return false;
}

bool DocumentParser::parse_value(Reader& reader, Arena& arena, Value& out, Role role) {
    const int c = reader.peek_nonblank();
    switch (c) {
        case -1:
            return reader.fail_at_peek("EOF while parsing a value");
        case 'n':
            reader.eat();
            return reader.expect_literal_rest("ull");
        case 't':
            reader.eat();
            out.kind = ValueKind::Bool;
            out.boolean = true;
            return reader.expect_literal_rest("rue");
        case 'f':
            reader.eat();
            out.kind = ValueKind::Bool;
            return reader.expect_literal_rest("alse");
        case '"': {
            reader.eat();
            std::string_view text;
            if (!reader.read_string(scratch_, text)) return false;
            if (text.data() == scratch_.data() && !text.empty())
                text = {arena.copy_text(text), text.size()};
            out.kind = ValueKind::String;
            out.chars = text.data();
            out.size = text.size();
            return true;
        }
        case '[':
        case '{': {
            if (!reader.enter_nested()) return false;
            if (c == '{' && role == Role::Events && in_pieces_ &&
                sink_reads_object(reader, arena, out)) {
                return true;
            }
            bool ok = false;
            reader.eat();
            if (c == '{') {
                ok = parse_object(reader, arena, out, role);
            } else if (role == Role::Events || role == Role::EventList) {
                ok = parse_streamed_array(reader, arena, out);
            } else {
                ok = parse_array(reader, arena, out);
            }
            reader.leave_nested();
            if (!ok) return false;
            return c == '[' ? reader.end_array() : reader.end_object();
        }
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                if (c == '-') reader.eat();
                Number number;
                if (!reader.read_number(c != '-', number)) return false;
                set_number(out, number);
                return true;
            }
            return reader.fail_at_peek("expected value");
    }
}

bool DocumentParser::sink_reads_object(Reader& reader, Arena& arena, Value& out) {
    std::size_t end = 0;
    if (!sink_->read_list_object(text_, reader.position() + 1, reader.depth(), arena, out, end)) {
        return false;
    }
    reader = Reader(text_, end, reader.depth());
    reader.leave_nested();
    return true;
}

bool DocumentParser::parse_array(Reader& reader, Arena& arena, Value& out) {
    const std::size_t base = items_.size();
    bool first = true;
    for (;;) {
        int next = reader.next_element(first);
        if (next < 0) return false;
        if (next == 0) break;
        Value item;
        if (!parse_value(reader, arena, item, Role::Plain)) return false;
        items_.push_back(item);
    }
    const std::size_t count = items_.size() - base;
    Value* items = count == 0 ? nullptr : arena.allocate_array<Value>(count);
    std::uninitialized_copy(items_.begin() + static_cast<std::ptrdiff_t>(base), items_.end(),
                            items);
    items_.resize(base);
    out.kind = ValueKind::Array;
    out.items = items;
    out.size = count;
    return true;
}

bool DocumentParser::parse_list_members(std::string_view text, std::size_t begin, int depth,
                                        bool first, std::size_t stop, Arena& arena,
                                        ElementSink& sink, std::vector<ListMember>& out,
                                        std::size_t& end) {
    Reader reader(text, begin, depth);
    items_.clear();
    members_.clear();
    const bool ok = read_list_members(reader, first, stop, arena, sink, out);
    end = reader.position();
    clear_reusing(items_, kKeptScratch);
    clear_reusing(members_, kKeptScratch);
    return ok;
}

bool DocumentParser::read_list_members(Reader& reader, bool first, std::size_t stop, Arena& arena,
                                       ElementSink& sink, std::vector<ListMember>& out) {
    constexpr std::size_t kNoStop = static_cast<std::size_t>(-1);
    if (first && reader.peek_nonblank() == '}') {
        reader.eat();
        return stop == kNoStop;
    }
    for (;;) {
        if (reader.peek_nonblank() != '"') return false;
        if (reader.position() == stop) return true;
        if (reader.position() > stop) return false;
        reader.eat();
        std::string_view key;
        if (!reader.read_string(scratch_, key) || key.data() == scratch_.data()) return false;
        if (!reader.expect_colon() || reader.peek_nonblank() != '[' || !reader.enter_nested()) {
            return false;
        }
        reader.eat();
        const std::size_t list = sink.begin_list();
        if (!parse_elements(reader, arena, sink, list) || !reader.end_array()) return false;
        reader.leave_nested();
        out.push_back(ListMember{key, list});
        const int c = reader.peek_nonblank();
        reader.eat();
        if (c == '}') return stop == kNoStop;
        if (c != ',') return false;
    }
}

bool DocumentParser::parse_streamed_array(Reader& reader, Arena& arena, Value& out) {
    const std::size_t list = sink_->begin_list();
    if (!parse_elements(reader, arena, *sink_, list)) return false;
    out.kind = ValueKind::Array;
    out.streamed = true;
    out.u64 = list;
    out.size = 0;
    return true;
}

bool DocumentParser::parse_elements(Reader& reader, Arena& arena, ElementSink& sink,
                                    std::size_t list) {
    bool first = true;
    for (;;) {
        const int next = reader.next_element(first);
        if (next < 0) return false;
        if (next == 0) break;
        const Reader::Mark start = reader.mark();
        if (sink.element_from_text(list, reader)) continue;
        reader.rewind(start);
        // Each element lives only until the sink has taken it.
        const Arena::Mark mark = arena.mark();
        const std::size_t member_base = members_.size();
        Value item;
        if (!parse_value(reader, arena, item, Role::Element)) return false;
        sink.element(list, item);
        members_.resize(member_base);
        arena.rollback(mark);
    }
    return true;
}

bool DocumentParser::parse_object(Reader& reader, Arena& arena, Value& out, Role role) {
    const std::size_t base = members_.size();
    bool first = true;
    for (;;) {
        std::string_view key;
        int next = reader.next_key(first, scratch_, key);
        if (next < 0) return false;
        if (next == 0) break;
        if (key.data() == scratch_.data() && !key.empty()) key = {arena.copy_text(key), key.size()};
        if (!reader.expect_colon()) return false;
        Role member_role = Role::Plain;
        if (role == Role::Root && same_text(key, "events")) member_role = Role::Events;
        if (role == Role::Root && same_text(key, "event")) member_role = Role::Event;
        if (role == Role::Events) member_role = Role::EventList;
        Value value;
        if (!parse_value(reader, arena, value, member_role)) return false;
        members_.push_back(Member{key, value});
    }
    Member* first_member = members_.data() + base;
    if (role == Role::Element) {
        // Left on the stack, unsorted: the sink reads it before anything else
        // is pushed, and sorts only when it must.
        out.kind = ValueKind::Object;
        out.unsorted = true;
        out.members = first_member;
        out.size = members_.size() - base;
        return true;
    }
    // A single event is decoded in text order when it is valid; sorting is
    // left to the decoder's failure path.
    const std::size_t count =
        role == Role::Event ? members_.size() - base
                            : sort_unique_members(first_member, members_.data() + members_.size());
    out.unsorted = role == Role::Event;
    Member* members = count == 0 ? nullptr : arena.allocate_array<Member>(count);
    std::uninitialized_copy(first_member, first_member + count, members);
    members_.resize(base);
    out.kind = ValueKind::Object;
    out.members = members;
    out.size = count;
    return true;
}

}  // namespace radar::json
