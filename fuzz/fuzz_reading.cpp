// Fuzzes the roads a request can be read by against the plain reading of
// the same text into a value tree, whatever its size: streaming (event lists
// decoded element by element while the request is read, plain events taken
// straight from the text) and in pieces (the road of large scans, with the
// "events" object cut at guessed list boundaries and read in parallel).
//
// Input: one request text. The harness checks, and aborts on a violation,
// that both roads accept exactly the texts the plain read accepts, with the
// same error otherwise, and agree with the plain tree: the same members in
// the same order, and for every streamed list or single event the events,
// or the first failure, that decoding the plain tree's value gives.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "event.hpp"
#include "json_check.hpp"
#include "json_reader.hpp"
#include "json_value.hpp"

namespace {

using radar::Event;
using radar::StreamedEvents;
using radar::json::Value;
using radar::json::ValueKind;

[[noreturn]] void fail(const char* why, std::string_view text) {
    std::fprintf(stderr, "invariant violated: %s\n", why);
    fuzzcheck::dump("request", text);
    std::abort();
}

bool same_double(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_event(const Event& a, const Event& b) {
    if (a.index() != b.index()) return false;
    if (const auto* x = std::get_if<radar::Derivatives>(&a)) {
        const auto& y = std::get<radar::Derivatives>(b);
        return x->ts == y.ts && same_double(x->open_interest, y.open_interest) &&
               same_double(x->funding_rate, y.funding_rate) &&
               same_double(x->mark_price, y.mark_price);
    }
    if (const auto* x = std::get_if<radar::Orderbook>(&a)) {
        const auto& y = std::get<radar::Orderbook>(b);
        return x->ts == y.ts && same_double(x->bid_volume, y.bid_volume) &&
               same_double(x->ask_volume, y.ask_volume) && same_double(x->best_bid, y.best_bid) &&
               same_double(x->best_ask, y.best_ask);
    }
    const auto& x = std::get<radar::Liquidation>(a);
    const auto& y = std::get<radar::Liquidation>(b);
    return x.ts == y.ts && x.side == y.side && same_double(x.qty, y.qty) &&
           same_double(x.price, y.price);
}

bool same_events(std::span<const Event> a, std::span<const Event> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_event(a[i], b[i])) return false;
    }
    return true;
}

// A list of the plain tree, decoded, against a streamed list.
bool same_list(const Value& plain, const Value& list, const StreamedEvents& events) {
    std::vector<Event> expected;
    std::string expected_error;
    const bool expected_ok = radar::decode_event_list(plain, expected, expected_error);
    std::span<const Event> got;
    std::string error;
    if (events.events_of(list, got, error) != expected_ok) return false;
    return expected_ok ? same_events(expected, got) : error == expected_error;
}

// A single event of the plain tree against the same one left in text order.
bool same_single_event(const Value& plain, const Value& event) {
    Event expected;
    std::string expected_error;
    const bool expected_ok = radar::decode_event(plain, expected, expected_error);
    Event got;
    std::string error;
    std::vector<radar::json::Member> scratch;
    if (radar::decode_event_in_any_order(event, got, error, scratch) != expected_ok) return false;
    return expected_ok ? same_event(expected, got) : error == expected_error;
}

bool same_tree(const Value& plain, const Value& other, const StreamedEvents& events) {
    if (other.streamed) return plain.is_array() && same_list(plain, other, events);
    if (other.unsorted) return plain.is_object() && same_single_event(plain, other);
    if (plain.kind != other.kind) return false;
    switch (plain.kind) {
        case ValueKind::Null:
            return true;
        case ValueKind::Bool:
            return plain.boolean == other.boolean;
        case ValueKind::U64:
        case ValueKind::I64:
            return plain.u64 == other.u64;
        case ValueKind::F64:
            return same_double(plain.f64, other.f64);
        case ValueKind::String:
            return plain.string() == other.string();
        case ValueKind::Array:
            if (plain.size != other.size) return false;
            for (std::size_t i = 0; i < plain.size; ++i) {
                if (!same_tree(plain.items[i], other.items[i], events)) return false;
            }
            return true;
        case ValueKind::Object:
            if (plain.size != other.size) return false;
            for (std::size_t i = 0; i < plain.size; ++i) {
                if (plain.members[i].key != other.members[i].key ||
                    !same_tree(plain.members[i].value, other.members[i].value, events)) {
                    return false;
                }
            }
            return true;
    }
    return false;
}

// Reads `text` with a sink (streaming, and `in_pieces` when asked) and
// compares the outcome with the plain read's.
void check_road(std::string_view text, const char* road, bool in_pieces, bool plain_ok,
                const std::string& plain_error, const Value& plain) {
    radar::json::DocumentParser parser;
    radar::json::Arena arena;
    StreamedEvents events;
    Value value;
    std::string error;
    const bool ok = parser.parse(text, arena, value, error, &events, in_pieces);
    const std::string prefix = std::string(road) + " and the plain read ";
    if (ok != plain_ok) fail((prefix + "disagree on the syntax").c_str(), text);
    if (!ok && error != plain_error) fail((prefix + "give different errors").c_str(), text);
    if (ok && !same_tree(plain, value, events)) {
        fail((prefix + "give different values").c_str(), text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    radar::json::DocumentParser plain_parser;
    radar::json::Arena plain_arena;
    Value plain;
    std::string plain_error;
    const bool plain_ok = plain_parser.parse(text, plain_arena, plain, plain_error);

    check_road(text, "streaming", false, plain_ok, plain_error, plain);
    check_road(text, "reading in pieces", true, plain_ok, plain_error, plain);
    return 0;
}
