// Fuzzes the deferring read of a request (the road large scans take, with
// their event lists read in parallel) against the plain read of the same
// text, whatever its size.
//
// Input: one request text. The harness checks, and aborts on a violation:
// - when the deferring read succeeds, so does the plain read: it never
//   accepts a text the plain read rejects (a failure there only makes the
//   radar read plainly, so it may fail more often, never less);
// - when both succeed, they give equal trees: the same members in the same
//   order, and for every streamed list the same events or the same first
//   decoding failure.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>

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

bool same_list(const Value& a, const StreamedEvents& sa, const Value& b, const StreamedEvents& sb) {
    std::span<const Event> ea;
    std::span<const Event> eb;
    std::string error_a;
    std::string error_b;
    const bool ok_a = sa.events_of(a, ea, error_a);
    const bool ok_b = sb.events_of(b, eb, error_b);
    if (ok_a != ok_b) return false;
    if (!ok_a) return error_a == error_b;
    if (ea.size() != eb.size()) return false;
    for (std::size_t i = 0; i < ea.size(); ++i) {
        if (!same_event(ea[i], eb[i])) return false;
    }
    return true;
}

bool same_tree(const Value& a, const StreamedEvents& sa, const Value& b, const StreamedEvents& sb) {
    if (a.kind != b.kind || a.streamed != b.streamed || a.unsorted != b.unsorted) return false;
    if (a.streamed) return same_list(a, sa, b, sb);
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
                if (!same_tree(a.items[i], sa, b.items[i], sb)) return false;
            }
            return true;
        case ValueKind::Object:
            if (a.size != b.size) return false;
            for (std::size_t i = 0; i < a.size; ++i) {
                if (a.members[i].key != b.members[i].key ||
                    !same_tree(a.members[i].value, sa, b.members[i].value, sb)) {
                    return false;
                }
            }
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    radar::json::DocumentParser plain_parser;
    radar::json::Arena plain_arena;
    StreamedEvents plain_events;
    Value plain;
    std::string plain_error;
    const bool plain_ok =
        plain_parser.parse(text, plain_arena, plain, plain_error, &plain_events, false);

    radar::json::DocumentParser parser;
    radar::json::Arena arena;
    StreamedEvents events;
    Value deferred;
    std::string error;
    const bool deferred_ok = parser.parse(text, arena, deferred, error, &events, true) &&
                             events.read_deferred(text, parser.deferred());

    if (deferred_ok && !plain_ok)
        fail("the deferring read accepts what the plain read rejects", text);
    if (deferred_ok && !same_tree(plain, plain_events, deferred, events)) {
        fail("the deferring and the plain read give different trees", text);
    }
    return 0;
}
