// Fuzzes the road a request is read by against the plain reading of the
// same text into a value tree, whatever its size: "event" and "events"
// decoded while the text is read (event lists element by element, single
// events straight from the text), sequentially and in pieces (the road of
// large scans, with the "events" object cut at guessed list boundaries and
// read in parallel).
//
// Input: one request text. The harness checks, and aborts on a violation,
// that both readings accept exactly the texts the plain read accepts, with
// the same error otherwise, and agree with the plain tree: the same other
// members in the same order, and for "event" and "events" the event, list
// or map, or the first failure, that decoding the plain tree's value gives.

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
#include "json_tree.hpp"
#include "json_value.hpp"
#include "request.hpp"
#include "scan.hpp"

namespace {

using radar::Event;
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

bool same_tree(const Value& a, const Value& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::Null:
            return true;
        case ValueKind::Bool:
            return a.boolean == b.boolean;
        case ValueKind::U64:
        case ValueKind::I64:
            return a.u64 == b.u64;
        case ValueKind::F64:
            return same_double(a.f64, b.f64);
        case ValueKind::String:
            return a.string() == b.string();
        case ValueKind::Array:
            if (a.size != b.size) return false;
            for (std::size_t i = 0; i < a.size; ++i) {
                if (!same_tree(a.items[i], b.items[i])) return false;
            }
            return true;
        case ValueKind::Object:
            if (a.size != b.size) return false;
            for (std::size_t i = 0; i < a.size; ++i) {
                if (a.members[i].key != b.members[i].key ||
                    !same_tree(a.members[i].value, b.members[i].value)) {
                    return false;
                }
            }
            return true;
    }
    return false;
}

template <class T>
bool same_outcome(const radar::Result<T>& a, const radar::Result<T>& b,
                  bool (*same)(const T&, const T&)) {
    if (a.ok() != b.ok()) return false;
    return a.ok() ? same(a.value(), b.value()) : a.error().text() == b.error().text();
}

bool same_status(const radar::Status& a, const radar::Status& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || a->text() == b->text();
}

// The root object of the plain tree without "event" and "events".
bool same_root(const Value& plain, const Value& root) {
    if (!plain.is_object()) return same_tree(plain, root);
    std::vector<radar::json::Member> others;
    for (const auto* m = plain.begin_members(); m != plain.end_members(); ++m) {
        if (m->key != "event" && m->key != "events") others.push_back(*m);
    }
    Value expected = plain;
    expected.members = others.data();
    expected.size = others.size();
    return same_tree(expected, root);
}

bool same_event_member(const Value& plain, const radar::Request& request) {
    const Value* event = plain.find("event");
    if ((event != nullptr) != request.has_event()) return false;
    if (event == nullptr) return true;
    auto same = [](const Event& a, const Event& b) { return same_event(a, b); };
    return same_outcome<Event>(radar::decode_event(*event), request.event(), same);
}

// "events" as a feed_batch list and as a scan map, each against decoding
// the plain value.
bool same_events_member(const Value& plain, const radar::Request& request) {
    const Value* events = plain.find("events");
    if ((events != nullptr) != request.has_events()) return false;
    if (events == nullptr) return true;

    std::vector<Event> expected;
    radar::Status expected_status = radar::decode_event_list(*events, expected);
    auto list = request.event_list();
    if (list.ok() == expected_status.has_value()) return false;
    if (list.ok() ? !same_events(expected, list.value())
                  : list.error().text() != expected_status->text()) {
        return false;
    }

    radar::ScanInput input;
    const radar::Status status = request.scan_input(input);
    radar::Status expected_scan;
    std::size_t listed = 0;
    if (!events->is_object()) {
        expected_scan = radar::parse_error(radar::json::invalid_type(*events, "a map"));
    } else {
        for (const auto* m = events->begin_members(); m != events->end_members(); ++m) {
            expected.clear();
            if ((expected_scan = radar::decode_event_list(m->value, expected))) break;
            if (!status && (input.symbols.size() <= listed || input.symbols[listed] != m->key ||
                            !same_events(expected, input.lists[listed]))) {
                return false;
            }
            ++listed;
        }
    }
    return same_status(expected_scan, status) && (status || listed == input.symbols.size());
}

// Reads `text` as a request (in pieces when asked) and compares the
// outcome with the plain read's.
void check_road(std::string_view text, const char* road, bool in_pieces,
                const radar::Result<Value>& plain) {
    radar::Request request;
    const radar::Status status = request.read(text, in_pieces);
    const std::string prefix = std::string(road) + " and the plain read ";
    if (status.has_value() == plain.ok()) fail((prefix + "disagree on the syntax").c_str(), text);
    if (status) {
        if (status->text() != plain.error().text()) {
            fail((prefix + "give different errors").c_str(), text);
        }
        return;
    }
    if (!same_root(plain.value(), request.root())) {
        fail((prefix + "give different values").c_str(), text);
    }
    if (plain.value().is_object() && (!same_event_member(plain.value(), request) ||
                                      !same_events_member(plain.value(), request))) {
        fail((prefix + "decode different events").c_str(), text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    radar::json::TreeBuilder plain_builder;
    const radar::Result<Value> plain = plain_builder.parse(text);
    check_road(text, "reading as a request", false, plain);
    check_road(text, "reading in pieces", true, plain);
    return 0;
}
