#include "event.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "buffers.hpp"
#include "json_reader.hpp"
#include "worker_pool.hpp"

namespace radar {

namespace {

using json::Member;
using json::Value;
using json::ValueKind;

enum class Variant : std::uint8_t { Derivatives, Orderbook, Liquidation };
enum class FieldType : std::uint8_t { Timestamp, Number, SideName };

struct FieldInfo {
    std::string_view name;
    FieldType type;
};

struct VariantInfo {
    std::string_view tag;
    std::string_view struct_name;  // as length messages name it
    std::array<FieldInfo, 5> fields;
    std::size_t field_count;
};

constexpr std::array<VariantInfo, 3> kVariants = {{
    {"derivatives",
     "struct variant Event::Derivatives with 4 elements",
     {{{"ts", FieldType::Timestamp},
       {"open_interest", FieldType::Number},
       {"funding_rate", FieldType::Number},
       {"mark_price", FieldType::Number},
       {"", FieldType::Number}}},
     4},
    {"orderbook",
     "struct variant Event::Orderbook with 5 elements",
     {{{"ts", FieldType::Timestamp},
       {"bid_volume", FieldType::Number},
       {"ask_volume", FieldType::Number},
       {"best_bid", FieldType::Number},
       {"best_ask", FieldType::Number}}},
     5},
    {"liquidation",
     "struct variant Event::Liquidation with 4 elements",
     {{{"ts", FieldType::Timestamp},
       {"side", FieldType::SideName},
       {"qty", FieldType::Number},
       {"price", FieldType::Number},
       {"", FieldType::Number}}},
     4},
}};

// Decoded field values of one event, in declared order.
struct Fields {
    std::int64_t ts = 0;
    std::array<double, 4> numbers{};  // the double fields, in declared order
    Side side = Side::Buy;
    std::array<bool, 5> present{};
};

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + json::describe_value(found) + ", expected " + std::string(expected);
}

bool decode_tag(const Value& v, Variant& out, std::string& error) {
    if (!v.is_string()) {
        error = invalid_type(v, "variant identifier");
        return false;
    }
    for (std::size_t i = 0; i < kVariants.size(); ++i) {
        if (json::same_text(kVariants[i].tag, v.string())) {
            out = static_cast<Variant>(i);
            return true;
        }
    }
    error = "unknown variant `" + std::string(v.string()) +
            "`, expected one of `derivatives`, `orderbook`, `liquidation`";
    return false;
}

bool decode_timestamp(const Value& v, std::int64_t& out, std::string& error) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (v.kind == ValueKind::I64) {
        out = v.i64;
        return true;
    }
    if (v.kind == ValueKind::U64) {
        if (v.u64 <= kMax) {
            out = static_cast<std::int64_t>(v.u64);
            return true;
        }
        error = "invalid value: " + json::describe_value(v) + ", expected i64";
        return false;
    }
    error = invalid_type(v, "i64");
    return false;
}

bool decode_side(const Value& v, Side& out, std::string& error) {
    std::string_view name;
    const Value* unit = nullptr;
    if (!json::unit_variant(v, name, unit, error)) return false;
    if (name == "buy") {
        out = Side::Buy;
    } else if (name == "sell") {
        out = Side::Sell;
    } else {
        error = "unknown variant `" + std::string(name) + "`, expected `buy` or `sell`";
        return false;
    }
    // A unit variant may carry null or an empty object.
    const bool unit_ok =
        unit == nullptr || unit->kind == ValueKind::Null || (unit->is_object() && unit->size == 0);
    if (!unit_ok) {
        error = invalid_type(*unit, "unit");
        return false;
    }
    return true;
}

bool decode_field(const VariantInfo& info, std::size_t index, const Value& v, Fields& fields,
                  std::string& error) {
    bool ok = true;
    switch (info.fields[index].type) {
        case FieldType::Timestamp:
            ok = decode_timestamp(v, fields.ts, error);
            break;
        case FieldType::SideName:
            ok = decode_side(v, fields.side, error);
            break;
        case FieldType::Number: {
            if (!v.is_number()) {
                error = invalid_type(v, "f64");
                return false;
            }
            // Double fields fill `numbers` in declared order, skipping ts and side.
            std::size_t slot = 0;
            for (std::size_t i = 0; i < index; ++i) {
                if (info.fields[i].type == FieldType::Number) ++slot;
            }
            fields.numbers[slot] = v.as_double();
            break;
        }
    }
    fields.present[index] = ok;
    return ok;
}

Event build_event(Variant variant, const Fields& f) {
    switch (variant) {
        case Variant::Derivatives:
            return Derivatives{f.ts, f.numbers[0], f.numbers[1], f.numbers[2]};
        case Variant::Orderbook:
            return Orderbook{f.ts, f.numbers[0], f.numbers[1], f.numbers[2], f.numbers[3]};
        case Variant::Liquidation:
            return Liquidation{f.ts, f.side, f.numbers[0], f.numbers[1]};
    }
    return Derivatives{};
}

int field_index(const VariantInfo& info, std::string_view name) {
    for (std::size_t i = 0; i < info.field_count; ++i) {
        if (json::same_text(info.fields[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

// Object form: the tag is found during a walk in byte-wise name order;
// field values are decoded afterwards in the same order, and missing
// fields are reported last, in declared order.
bool decode_event_object(const Value& v, Event& out, std::string& error) {
    const Value* tag = nullptr;
    for (const Member* m = v.begin_members(); m != v.end_members(); ++m) {
        if (json::same_text(m->key, "kind")) {
            tag = &m->value;
            break;
        }
    }
    Variant variant{};
    if (tag != nullptr && !decode_tag(*tag, variant, error)) return false;
    if (tag == nullptr) {
        error = "missing field `kind`";
        return false;
    }
    const VariantInfo& info = kVariants[static_cast<std::size_t>(variant)];
    Fields fields;
    for (const Member* m = v.begin_members(); m != v.end_members(); ++m) {
        if (&m->value == tag) continue;
        const int index = field_index(info, m->key);
        if (index < 0) continue;
        if (!decode_field(info, static_cast<std::size_t>(index), m->value, fields, error))
            return false;
    }
    for (std::size_t i = 0; i < info.field_count; ++i) {
        if (!fields.present[i]) {
            error = "missing field `" + std::string(info.fields[i].name) + "`";
            return false;
        }
    }
    out = build_event(variant, fields);
    return true;
}

// Array form: the tag, then the fields by position.
bool decode_event_array(const Value& v, Event& out, std::string& error) {
    if (v.size == 0) {
        error = "missing field `kind`";
        return false;
    }
    Variant variant{};
    if (!decode_tag(v.items[0], variant, error)) return false;
    const VariantInfo& info = kVariants[static_cast<std::size_t>(variant)];
    const std::size_t given = v.size - 1;
    Fields fields;
    for (std::size_t i = 0; i < info.field_count; ++i) {
        if (i >= given) {
            error = "invalid length " + std::to_string(i) + ", expected " +
                    std::string(info.struct_name);
            return false;
        }
        if (!decode_field(info, i, v.items[i + 1], fields, error)) return false;
    }
    if (given > info.field_count) {
        error = "invalid length " + std::to_string(given) + ", expected " +
                std::to_string(info.field_count) + " elements in sequence";
        return false;
    }
    out = build_event(variant, fields);
    return true;
}

// Every field name of every variant, for the decoder of valid objects.
enum class FieldName : std::uint8_t {
    Kind,
    Ts,
    OpenInterest,
    FundingRate,
    MarkPrice,
    BidVolume,
    AskVolume,
    BestBid,
    BestAsk,
    Side,
    Qty,
    Price,
    Other,  // a member no variant has
};
constexpr std::size_t kFieldNames = static_cast<std::size_t>(FieldName::Other);

// Compares the length first, so most keys are told apart without reading them.
FieldName field_name(std::string_view key) {
    using enum FieldName;
    switch (key.size()) {
        case 2:
            return key == "ts" ? Ts : Other;
        case 3:
            return key == "qty" ? Qty : Other;
        case 4:
            return key == "kind" ? Kind : key == "side" ? Side : Other;
        case 5:
            return key == "price" ? Price : Other;
        case 8:
            return key == "best_bid" ? BestBid : key == "best_ask" ? BestAsk : Other;
        case 10:
            return key == "mark_price"   ? MarkPrice
                   : key == "bid_volume" ? BidVolume
                   : key == "ask_volume" ? AskVolume
                                         : Other;
        case 12:
            return key == "funding_rate" ? FundingRate : Other;
        case 13:
            return key == "open_interest" ? OpenInterest : Other;
        default:
            return Other;
    }
}

// The common case of an object in text order: no repeated member, a good
// tag, every field present and well typed. Any doubt answers false, and the
// caller decodes the sorted object for the exact failure.
bool decode_valid_object(const Value& v, Event& out) {
    std::array<const Value*, kFieldNames> found{};
    for (const Member* m = v.begin_members(); m != v.end_members(); ++m) {
        const FieldName name = field_name(m->key);
        if (name == FieldName::Other) continue;
        const Value*& slot = found[static_cast<std::size_t>(name)];
        if (slot != nullptr) return false;  // repeated
        slot = &m->value;
    }
    auto field = [&](FieldName name) { return found[static_cast<std::size_t>(name)]; };
    auto number = [&](FieldName name, double& x) {
        const Value* value = field(name);
        if (value == nullptr || !value->is_number()) return false;
        x = value->as_double();
        return true;
    };
    std::string ignored;
    Variant variant{};
    std::int64_t ts = 0;
    if (field(FieldName::Kind) == nullptr ||
        !decode_tag(*field(FieldName::Kind), variant, ignored) || field(FieldName::Ts) == nullptr ||
        !decode_timestamp(*field(FieldName::Ts), ts, ignored)) {
        return false;
    }
    using FieldName::AskVolume, FieldName::BestAsk, FieldName::BestBid, FieldName::BidVolume,
        FieldName::FundingRate, FieldName::MarkPrice, FieldName::OpenInterest, FieldName::Price,
        FieldName::Qty;
    switch (variant) {
        case Variant::Derivatives: {
            Derivatives d{ts, 0, 0, 0};
            if (!number(OpenInterest, d.open_interest) || !number(FundingRate, d.funding_rate) ||
                !number(MarkPrice, d.mark_price)) {
                return false;
            }
            out = d;
            return true;
        }
        case Variant::Orderbook: {
            Orderbook b{ts, 0, 0, 0, 0};
            if (!number(BidVolume, b.bid_volume) || !number(AskVolume, b.ask_volume) ||
                !number(BestBid, b.best_bid) || !number(BestAsk, b.best_ask)) {
                return false;
            }
            out = b;
            return true;
        }
        case Variant::Liquidation: {
            Liquidation l{ts, Side::Buy, 0, 0};
            const Value* side = field(FieldName::Side);
            if (side == nullptr || !decode_side(*side, l.side, ignored) || !number(Qty, l.qty) ||
                !number(Price, l.price)) {
                return false;
            }
            out = l;
            return true;
        }
    }
    return false;
}

}  // namespace

bool read_plain_event(json::Reader& reader, Event& out) {
    // Room for every field plus the tag, and a few members the decoder ignores.
    std::array<Member, 8> room;
    std::size_t count = 0;
    if (!json::read_flat_object(reader, room, count)) return false;
    Value object;
    object.kind = ValueKind::Object;
    object.unsorted = true;
    object.members = room.data();
    object.size = count;
    return decode_valid_object(object, out);
}

bool decode_event_in_any_order(const json::Value& value, Event& out, std::string& error,
                               std::vector<json::Member>& scratch) {
    if (!value.unsorted) return decode_event(value, out, error);
    if (decode_valid_object(value, out)) return true;
    // Something is off: decode the members in their proper order so that
    // the failure reported is the one a parsed object gives.
    scratch.assign(value.begin_members(), value.end_members());
    json::Value sorted = value;
    sorted.unsorted = false;
    sorted.members = scratch.data();
    sorted.size = json::sort_unique_members(scratch.data(), scratch.data() + scratch.size());
    return decode_event(sorted, out, error);
}

bool decode_event(const json::Value& value, Event& out, std::string& error) {
    if (value.is_object()) return decode_event_object(value, out, error);
    if (value.is_array()) return decode_event_array(value, out, error);
    error = invalid_type(value, "internally tagged enum Event");
    return false;
}

bool decode_event_list(const json::Value& value, std::vector<Event>& out, std::string& error) {
    if (!value.is_array()) {
        error = invalid_type(value, "a sequence");
        return false;
    }
    // Callers append many lists to one vector: let it grow geometrically.
    if (out.capacity() - out.size() < value.size)
        out.reserve(std::max(out.size() + value.size, 2 * out.capacity()));
    for (const Value* it = value.begin_items(); it != value.end_items(); ++it) {
        Event event;
        if (!decode_event(*it, event, error)) return false;
        out.push_back(event);
    }
    return true;
}

void StreamedEvents::clear() {
    for (Store& store : stores_) clear_reusing(store.events, store.use);
    clear_reusing(lists_, kKeptScratch);
    clear_reusing(errors_, kKeptScratch);
}

std::size_t StreamedEvents::begin_list() {
    const std::size_t next = stores_[0].events.size();
    lists_.push_back(List{0, next, next, kNoError});
    return lists_.size() - 1;
}

void StreamedEvents::element(std::size_t list, const json::Value& element) {
    decode_into(lists_[list], 0, element, sorted_);
}

bool StreamedEvents::element_from_text(std::size_t list, json::Reader& reader) {
    return read_plain_into(lists_[list], 0, reader);
}

bool StreamedEvents::read_plain_into(List& target, std::size_t store, json::Reader& reader) {
    Event event;
    if (!read_plain_event(reader, event)) return false;
    if (target.error != kNoError) return true;  // only the first failure of a list counts
    std::vector<Event>& events = stores_[store].events;
    events.push_back(event);
    target.end = events.size();
    return true;
}

void StreamedEvents::decode_into(List& target, std::size_t store, const json::Value& element,
                                 std::vector<json::Member>& sorted) {
    if (target.error != kNoError) return;  // only the first failure of a list counts
    Event event;
    std::string message;
    if (!decode_event_in_any_order(element, event, message, sorted)) {
        const std::lock_guard<std::mutex> lock(errors_mutex_);
        target.error = errors_.size();
        errors_.push_back(std::move(message));
        return;
    }
    std::vector<Event>& events = stores_[store].events;
    events.push_back(event);
    target.end = events.size();
}

void StreamedEvents::use_stores(std::size_t count) {
    if (stores_.size() < count + 1) stores_.resize(count + 1);
}

// Takes the lists of one piece of an object of lists, numbered from 0
// within the piece until they join the others.
class StreamedEvents::PieceSink final : public json::ElementSink {
public:
    PieceSink(StreamedEvents& owner, std::size_t store) : owner_(owner), store_(store) {}
    std::size_t begin_list() override {
        const std::size_t next = owner_.stores_[store_].events.size();
        lists.push_back(List{store_, next, next, kNoError});
        return lists.size() - 1;
    }
    void element(std::size_t list, const json::Value& element) override {
        owner_.decode_into(lists[list], store_, element, sorted_);
    }
    bool element_from_text(std::size_t list, json::Reader& reader) override {
        return owner_.read_plain_into(lists[list], store_, reader);
    }

    std::vector<List> lists;
    std::vector<json::ListMember> members;
    std::size_t end = 0;
    bool read = false;

private:
    StreamedEvents& owner_;
    std::size_t store_;
    std::vector<json::Member> sorted_;
};

namespace {

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The opening quote of the next key after a list's end at or after `from`:
// `]`, `,` and `"` with nothing but blanks between them.
std::size_t next_key_after_list(std::string_view text, std::size_t from) {
    for (std::size_t close = text.find(']', from); close != std::string_view::npos;
         close = text.find(']', close + 1)) {
        std::size_t at = close + 1;
        while (at < text.size() && is_blank(text[at])) ++at;
        if (at == text.size() || text[at] != ',') continue;
        ++at;
        while (at < text.size() && is_blank(text[at])) ++at;
        if (at < text.size() && text[at] == '"') return at;
    }
    return std::string_view::npos;
}

// Where pieces of an object of lists probably start: at the first key after
// a list's end from evenly spaced points. A wrong guess is caught when the
// pieces are joined.
std::vector<std::size_t> guess_piece_starts(std::string_view text, std::size_t begin,
                                            std::size_t pieces) {
    std::vector<std::size_t> starts{begin};
    const std::size_t span = text.size() - begin;
    for (std::size_t i = 1; i < pieces; ++i) {
        const std::size_t from = std::max(begin + span / pieces * i, starts.back() + 1);
        const std::size_t found = next_key_after_list(text, from);
        if (found == std::string_view::npos) break;
        starts.push_back(found);
    }
    return starts;
}

}  // namespace

bool StreamedEvents::read_list_object(std::string_view text, std::size_t begin, int depth,
                                      json::Arena& arena, json::Value& out, std::size_t& end) {
    constexpr std::size_t kNoStop = static_cast<std::size_t>(-1);
    const std::vector<std::size_t> starts = guess_piece_starts(text, begin, 4 * pool_size());
    const std::size_t pieces = starts.size();
    use_stores(pieces);
    std::vector<PieceSink> sinks;
    sinks.reserve(pieces);
    for (std::size_t piece = 0; piece < pieces; ++piece) sinks.emplace_back(*this, piece + 1);
    std::vector<std::size_t> kept(pieces);
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        kept[piece] = stores_[piece + 1].events.size();
    }
    parallel_for(pieces, [&](std::size_t piece) {
        json::DocumentParser parser;
        json::Arena piece_arena;
        PieceSink& sink = sinks[piece];
        const std::size_t stop = piece + 1 < pieces ? starts[piece + 1] : kNoStop;
        std::size_t at = 0;
        sink.read = parser.parse_list_members(text, starts[piece], depth, piece == 0, stop,
                                              piece_arena, sink, sink.members, at) &&
                    (stop == kNoStop || at == stop);
        sink.end = at;
    });
    const bool joined =
        std::all_of(sinks.begin(), sinks.end(), [](const PieceSink& sink) { return sink.read; });
    if (!joined) {
        for (std::size_t piece = 0; piece < pieces; ++piece) {
            stores_[piece + 1].events.resize(kept[piece]);
        }
        return false;
    }
    std::size_t count = 0;
    for (const PieceSink& sink : sinks) count += sink.members.size();
    json::Member* members = count == 0 ? nullptr : arena.allocate_array<json::Member>(count);
    std::size_t next = 0;
    for (const PieceSink& sink : sinks) {
        for (const json::ListMember& member : sink.members) {
            json::Value list;
            list.kind = json::ValueKind::Array;
            list.streamed = true;
            list.u64 = lists_.size();
            lists_.push_back(sink.lists[member.list]);
            members[next++] = json::Member{member.key, list};
        }
    }
    out.kind = json::ValueKind::Object;
    out.members = members;
    out.size = json::sort_unique_members(members, members + count);
    end = sinks.back().end;
    return true;
}

bool StreamedEvents::events_of(const json::Value& array, std::span<const Event>& out,
                               std::string& error) const {
    const List& list = lists_[static_cast<std::size_t>(array.u64)];
    if (list.error != kNoError) {
        error = errors_[list.error];
        return false;
    }
    out = std::span<const Event>(stores_[list.store].events.data() + list.begin,
                                 list.end - list.begin);
    return true;
}

bool event_list(const json::Value& value, const StreamedEvents& streamed,
                std::vector<Event>& scratch, std::span<const Event>& out, std::string& error) {
    if (value.streamed) return streamed.events_of(value, out, error);
    scratch.clear();
    if (!decode_event_list(value, scratch, error)) return false;
    out = scratch;
    return true;
}

}  // namespace radar
