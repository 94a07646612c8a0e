#include "json_value.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "json_writer.hpp"

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
    // Keep one block for the next command unless it is far larger than what
    // this command needed: one huge request must not pin its memory.
    const std::size_t wanted = 4 * std::max(high_water_, kFirstBlock);
    if (blocks_.size() > 1 || blocks_.front().size > wanted) {
        auto largest =
            std::max_element(blocks_.begin(), blocks_.end(),
                             [](const Block& a, const Block& b) { return a.size < b.size; });
        Block kept = largest->size <= wanted ? std::move(*largest) : Block{};
        blocks_.clear();
        if (kept.data) blocks_.push_back(std::move(kept));
    }
    current_ = 0;
    used_ = 0;
    base_ = 0;
    high_water_ = 0;
}

const Value* Value::find_sorted(std::string_view name) const {
    const Member* first = members;
    const Member* last = members + size;
    const Member* it = std::lower_bound(
        first, last, name, [](const Member& m, std::string_view n) { return key_less(m.key, n); });
    if (it != last && same_text(it->key, name)) return &it->value;
    return nullptr;
}

namespace {

std::string describe_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
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

}  // namespace

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

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + describe_value(found) + ", expected " + std::string(expected);
}

Result<UnitVariant> unit_variant(const Value& value) {
    if (value.is_string()) return UnitVariant{value.string(), nullptr};
    if (!value.is_object()) return parse_error(invalid_type(value, "string or map"));
    if (value.size != 1) return parse_error("invalid value: map, expected map with a single key");
    return UnitVariant{value.members[0].key, &value.members[0].value};
}

}  // namespace radar::json
