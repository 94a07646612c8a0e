#include "event.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace radar {

namespace {

using json::Member;
using json::Value;
using json::ValueKind;

// ---- the variant tables --------------------------------------------------------

enum class FieldType : std::uint8_t { Timestamp, Number, Side };

struct Field {
    std::string_view name;
    FieldType type;
};

constexpr std::size_t kMaxFields = 5;

// One variant of the internally tagged Event: its tag, its fields in
// declared order (the array form's order) and in byte-wise name order (the
// order a parsed object's members come in, which decides which failure an
// object reports first).
struct Variant {
    std::string_view tag;
    std::string_view struct_name;  // as length messages name it
    std::size_t count = 0;
    std::array<Field, kMaxFields> fields{};
    std::array<std::uint8_t, kMaxFields> by_name{};
};

constexpr Variant variant(std::string_view tag, std::string_view struct_name,
                          std::initializer_list<Field> fields) {
    Variant v{tag, struct_name};
    for (const Field& field : fields) {
        v.fields[v.count] = field;
        v.by_name[v.count] = static_cast<std::uint8_t>(v.count);
        ++v.count;
    }
    for (std::size_t i = 1; i < v.count; ++i) {
        for (std::size_t j = i;
             j > 0 && v.fields[v.by_name[j]].name < v.fields[v.by_name[j - 1]].name; --j) {
            std::swap(v.by_name[j], v.by_name[j - 1]);
        }
    }
    return v;
}

constexpr std::array<Variant, 3> kVariants = {
    variant("derivatives", "struct variant Event::Derivatives with 4 elements",
            {{"ts", FieldType::Timestamp},
             {"open_interest", FieldType::Number},
             {"funding_rate", FieldType::Number},
             {"mark_price", FieldType::Number}}),
    variant("orderbook", "struct variant Event::Orderbook with 5 elements",
            {{"ts", FieldType::Timestamp},
             {"bid_volume", FieldType::Number},
             {"ask_volume", FieldType::Number},
             {"best_bid", FieldType::Number},
             {"best_ask", FieldType::Number}}),
    variant("liquidation", "struct variant Event::Liquidation with 4 elements",
            {{"ts", FieldType::Timestamp},
             {"side", FieldType::Side},
             {"qty", FieldType::Number},
             {"price", FieldType::Number}}),
};

// Every name an event object may use, "kind" first, each once: objects are
// read in one pass into these slots, before the variant is known.
struct Names {
    std::array<std::string_view, 1 + 3 * kMaxFields> names{};
    std::size_t count = 0;
    // Each variant's fields as positions in `names`.
    std::array<std::array<std::uint8_t, kMaxFields>, 3> of_variant{};

    // By length then bytes, trying `guess` first (fields usually arrive in
    // declared order, which the positions follow); `count` when absent.
    [[nodiscard]] std::size_t find(std::string_view key, std::size_t guess) const {
        if (guess < count && json::same_text(names[guess], key)) return guess;
        for (std::size_t i = 0; i < count; ++i) {
            if (json::same_text(names[i], key)) return i;
        }
        return count;
    }
};

constexpr Names all_names() {
    Names all;
    all.names[all.count++] = "kind";
    for (std::size_t v = 0; v < kVariants.size(); ++v) {
        for (std::size_t f = 0; f < kVariants[v].count; ++f) {
            std::size_t at = 0;
            while (at < all.count && all.names[at] != kVariants[v].fields[f].name) ++at;
            if (at == all.count) all.names[all.count++] = kVariants[v].fields[f].name;
            all.of_variant[v][f] = static_cast<std::uint8_t>(at);
        }
    }
    return all;
}

constexpr Names kNames = all_names();

// Decoded field values, by position in the variant's table.
struct Slots {
    std::int64_t ts = 0;
    Side side = Side::Buy;
    std::array<double, kMaxFields> numbers;  // only the fields set are read
};

// The one place an Event is made, from the positions of the tables above.
inline Event build(std::size_t variant, const Slots& s) {
    switch (variant) {
        case 0:
            return Derivatives{s.ts, s.numbers[1], s.numbers[2], s.numbers[3]};
        case 1:
            return Orderbook{s.ts, s.numbers[1], s.numbers[2], s.numbers[3], s.numbers[4]};
        default:
            return Liquidation{s.ts, s.side, s.numbers[2], s.numbers[3]};
    }
}

// ---- decoding --------------------------------------------------------------------

// The variant a tag names, or why there is none.
Result<std::size_t> decode_tag(const Value& v) {
    if (v.is_string()) {
        for (std::size_t i = 0; i < kVariants.size(); ++i) {
            if (json::same_text(kVariants[i].tag, v.string())) return i;
        }
        return parse_error("unknown variant `" + std::string(v.string()) +
                           "`, expected one of `derivatives`, `orderbook`, `liquidation`");
    }
    return parse_error(json::invalid_type(v, "variant identifier"));
}

Result<Side> decode_side(const Value& v) {
    auto variant = json::unit_variant(v);
    if (!variant) return std::move(variant).error();
    const auto [name, unit] = variant.value();
    if (name != "buy" && name != "sell") {
        return parse_error("unknown variant `" + std::string(name) + "`, expected `buy` or `sell`");
    }
    // A unit variant may carry null or an empty object.
    if (unit != nullptr && unit->kind != ValueKind::Null && !(unit->is_object() && unit->size == 0))
        return parse_error(json::invalid_type(*unit, "unit"));
    return name == "buy" ? Side::Buy : Side::Sell;
}

constexpr auto kMaxTimestamp = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Whether a value fits a field, storing it in its slot when it does; the
// common case, kept apart from the messages of `misfit`.
[[gnu::always_inline]] inline bool fits(const Field& field, std::size_t index, const Value& v,
                                        Slots& slots) {
    switch (field.type) {
        case FieldType::Timestamp:
            if (v.kind == ValueKind::I64 || (v.kind == ValueKind::U64 && v.u64 <= kMaxTimestamp)) {
                slots.ts = v.kind == ValueKind::I64 ? v.i64 : static_cast<std::int64_t>(v.u64);
                return true;
            }
            return false;
        case FieldType::Number:
            if (!v.is_number()) return false;
            slots.numbers[index] = v.as_double();
            return true;
        case FieldType::Side:
            if (v.is_string() && json::same_text(v.string(), "buy")) {
                slots.side = Side::Buy;
                return true;
            }
            if (v.is_string() && json::same_text(v.string(), "sell")) {
                slots.side = Side::Sell;
                return true;
            }
            return false;
    }
    return false;
}

// Why a value does not fit a field, or, for a side in its map form, the
// side it is.
Status misfit(const Field& field, const Value& v, Slots& slots) {
    switch (field.type) {
        case FieldType::Timestamp:
            if (v.kind == ValueKind::U64) {
                return parse_error("invalid value: " + json::describe_value(v) + ", expected i64");
            }
            return parse_error(json::invalid_type(v, "i64"));
        case FieldType::Number:
            return parse_error(json::invalid_type(v, "f64"));
        case FieldType::Side: {
            auto side = decode_side(v);
            if (!side) return std::move(side).error();
            slots.side = side.value();
            return std::nullopt;
        }
    }
    return std::nullopt;
}

Status decode_field(const Field& field, std::size_t index, const Value& v, Slots& slots) {
    if (fits(field, index, v, slots)) return std::nullopt;
    return misfit(field, v, slots);
}

// The variant a tag names: kVariants.size() when none.
std::size_t variant_named(const Value& tag) {
    std::size_t v = 0;
    while (v < kVariants.size() &&
           !(tag.is_string() && json::same_text(kVariants[v].tag, tag.string())))
        ++v;
    return v;
}

// The value of each name, where present.
using Found = std::array<const Value*, kNames.names.size()>;

// The object form from the values of its names: the tag first; then, of
// the fields present, the first failure in name order (the order a parsed
// object's members come in); then the first missing field in declared order.
Result<Event> decode_found(const Found& found) {
    if (found[0] == nullptr) return parse_error("missing field `kind`");
    const std::size_t which = variant_named(*found[0]);
    if (which == kVariants.size()) return std::move(decode_tag(*found[0])).error();
    const Variant& variant = kVariants[which];
    const auto& slot_of = kNames.of_variant[which];
    Slots slots;
    bool complete = true;
    for (std::size_t index = 0; index < variant.count && complete; ++index) {
        const Value* value = found[slot_of[index]];
        complete = value != nullptr && fits(variant.fields[index], index, *value, slots);
    }
    if (complete) return build(which, slots);
    for (std::size_t k = 0; k < variant.count; ++k) {
        const std::size_t index = variant.by_name[k];
        const Value* value = found[slot_of[index]];
        if (value == nullptr) continue;
        if (Status failed = decode_field(variant.fields[index], index, *value, slots))
            return std::move(*failed);
    }
    for (std::size_t index = 0; index < variant.count; ++index) {
        if (found[slot_of[index]] == nullptr) {
            return parse_error("missing field `" + std::string(variant.fields[index].name) + "`");
        }
    }
    return build(which, slots);
}

// Reads an event object's members straight into the slots of their names,
// the last of repeated names counting; other members are read and dropped.
struct ObjectFields : json::StrictVisitor {
    // Storage made a value only where a name is found.
    union Slot {
        Slot() {}  // NOLINT: left unmade on purpose
        Value value;
    };

    explicit ObjectFields(json::TreeBuilder& reading) : builder(reading) {}

    json::TreeBuilder& builder;
    std::array<Slot, kNames.names.size()> values;
    Found found{};

    json::Fault object(json::Reader& reader) {
        std::size_t guess = 0;
        return reader.members([&](std::string_view key) {
            // Looked up first: a key with escapes views the scratch that
            // reading the value overwrites.
            const std::size_t at = kNames.find(key, guess);
            if (const json::Fault fault = reader.colon()) return fault;
            Value value;
            if (const json::Fault fault = builder.value(reader, value)) return fault;
            if (at < kNames.count) {
                found[at] = std::construct_at(&values[at].value, value);
                guess = at + 1;
            }
            return json::kOk;
        });
    }
    // Only objects come here.
    json::Fault scalar(json::Reader& reader, const Value& value) {
        return builder.scalar(reader, value);
    }
    json::Fault array(json::Reader& reader) { return builder.array(reader); }
};

// The array form: the tag, then the fields by position.
Result<Event> decode_array(const Value& v) {
    if (v.size == 0) return parse_error("missing field `kind`");
    auto which = decode_tag(v.items[0]);
    if (!which) return std::move(which).error();
    const Variant& variant = kVariants[which.value()];
    const std::size_t given = v.size - 1;
    Slots slots;
    for (std::size_t index = 0; index < variant.count; ++index) {
        if (index >= given) {
            return parse_error("invalid length " + std::to_string(index) + ", expected " +
                               std::string(variant.struct_name));
        }
        if (Status failed = decode_field(variant.fields[index], index, v.items[index + 1], slots))
            return std::move(*failed);
    }
    if (given > variant.count) {
        return parse_error("invalid length " + std::to_string(given) + ", expected " +
                           std::to_string(variant.count) + " elements in sequence");
    }
    return build(which.value(), slots);
}

}  // namespace

Result<Event> decode_event(const json::Value& value) {
    if (value.is_object()) {
        Found found{};
        for (const Member* m = value.begin_members(); m != value.end_members(); ++m) {
            const std::size_t at = kNames.find(m->key, 0);
            if (at < kNames.count) found[at] = &m->value;
        }
        return decode_found(found);
    }
    if (value.is_array()) return decode_array(value);
    return parse_error(json::invalid_type(value, "internally tagged enum Event"));
}

json::Fault read_event(json::Reader& reader, json::TreeBuilder& builder,
                       std::optional<Result<Event>>& out) {
    if (reader.peek_nonblank() == '{') {
        ObjectFields fields(builder);
        if (const json::Fault fault = reader.value(fields)) return fault;
        out = decode_found(fields.found);
        return json::kOk;
    }
    Value value;
    if (const json::Fault fault = builder.value(reader, value)) return fault;
    out = decode_event(value);
    return json::kOk;
}

Status decode_event_list(const json::Value& value, std::vector<Event>& out) {
    if (!value.is_array()) return parse_error(json::invalid_type(value, "a sequence"));
    // Callers append many lists to one vector: let it grow geometrically.
    if (out.capacity() - out.size() < value.size)
        out.reserve(std::max(out.size() + value.size, 2 * out.capacity()));
    for (const Value* it = value.begin_items(); it != value.end_items(); ++it) {
        auto event = decode_event(*it);
        if (!event) return std::move(event).error();
        out.push_back(event.value());
    }
    return std::nullopt;
}

// ---- the store ---------------------------------------------------------------------

json::Fault EventStore::read_list(json::Reader& reader, json::TreeBuilder& builder,
                                  EventList& out) {
    // The builder, except that an array's elements are decoded one by one.
    struct List : json::StrictVisitor {
        EventStore& store;
        json::TreeBuilder& builder;
        EventList& list;
        json::Fault scalar(json::Reader& r, const Value& value) { return other(r, value); }
        json::Fault object(json::Reader& r) {
            if (const json::Fault fault = builder.object(r)) return fault;
            Value map;
            map.kind = ValueKind::Object;
            return other(r, map);
        }
        json::Fault array(json::Reader& r) {
            return r.elements([&](std::size_t) { return store.read_element(r, builder, list); });
        }
        json::Fault other(json::Reader& /*r*/, const Value& value) {
            store.fail(list, parse_error(json::invalid_type(value, "a sequence")));
            return json::kOk;
        }
    };
    out = EventList{index_, events_.size(), events_.size(), EventList::kNoError};
    List list{{}, *this, builder, out};
    return reader.value(list);
}

json::Fault EventStore::read_element(json::Reader& reader, json::TreeBuilder& builder,
                                     EventList& list) {
    // Each element lives only until it is decoded.
    const json::TreeBuilder::Mark mark = builder.mark();
    std::optional<Result<Event>> event;
    if (const json::Fault fault = read_event(reader, builder, event)) return fault;
    // After a list's first failure its elements are only read.
    if (list.error == EventList::kNoError) {
        if (event->ok()) {
            events_.push_back(event->value());
            list.end = events_.size();
        } else {
            fail(list, std::move(*event).error());
        }
    }
    builder.rollback(mark);
    return json::kOk;
}

void EventStore::fail(EventList& list, CoreError error) {
    errors_.push_back(std::move(error));
    list.error = errors_.size() - 1;
}

Result<std::span<const Event>> EventStore::events(const EventList& list) const {
    if (list.error != EventList::kNoError) return errors_[list.error];
    return std::span<const Event>(events_.data() + list.begin, list.end - list.begin);
}

void EventStore::rollback(Mark mark) noexcept {
    events_.resize(mark.events);
    errors_.resize(mark.errors);
}

void EventStore::clear() noexcept {
    clear_reusing(events_, use_);
    clear_reusing(errors_, kKeptScratch);
}

}  // namespace radar
