// Checks of core invariants that the Python surface cannot observe:
// bounded series storage, the window rule, rounding, arena reuse, and the
// pieces of a parallel reading (joined only when they meet exactly; rolled
// back otherwise). (The roads of reading requests are compared by
// fuzz/fuzz_reading.cpp.)

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json_value.hpp"
#include "pieces.hpp"
#include "spec.hpp"
#include "symbol_state.hpp"
#include "worker_pool.hpp"

namespace {

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, int line) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

radar::Signal signal(radar::SignalKind kind, std::vector<double> params) {
    return radar::Signal{kind, std::move(params), 1.0};
}

void series_storage_is_bounded_by_the_window() {
    radar::Series series;
    constexpr std::uint64_t kWindow = 21;
    for (int i = 0; i < 1'000'000; ++i) {
        series.reserve(1, kWindow);
        series.push(i, kWindow);
    }
    CHECK(series.size() == kWindow);
    CHECK(series.capacity() == kWindow);
    CHECK(series[0] == 1'000'000 - 21);
    CHECK(series.newest() == 999'999);

    radar::Series short_lived;
    for (int i = 0; i < 3; ++i) {
        short_lived.reserve(1, kWindow);
        short_lived.push(i, kWindow);
    }
    CHECK(short_lived.capacity() < kWindow);  // grown on demand only
    short_lived.reserve(1000, kWindow);       // a batch's room, never past the window
    CHECK(short_lived.capacity() == kWindow);
    CHECK(short_lived.size() == 3 && short_lived.newest() == 2);
}

void window_rule() {
    using radar::SignalKind;
    CHECK(radar::window_for({}) == 2);
    CHECK(radar::window_for({signal(SignalKind::FundingFlip, {50})}) == 2);
    CHECK(radar::window_for({signal(SignalKind::OiDelta, {20, 0.1})}) == 21);
    CHECK(radar::window_for({signal(SignalKind::LiqCluster, {5, 1}),
                             signal(SignalKind::OiPriceDivergence, {12.9, 1})}) == 13);
    CHECK(radar::window_for({signal(SignalKind::OiDelta, {0.5, 1})}) == 2);
    CHECK(radar::window_for({signal(SignalKind::OiDelta, {1, 1})}) == 2);
    CHECK(radar::window_for({signal(SignalKind::OiDelta, {2, 1})}) == 3);
    CHECK(radar::window_for({signal(SignalKind::OiDelta, {1e30, 1})}) ==
          std::numeric_limits<std::uint64_t>::max());
    CHECK(radar::lookback(std::nan("")) == 0);
    CHECK(radar::lookback(-3) == 0);
    CHECK(radar::lookback(INFINITY) == 0);
    CHECK(radar::lookback(18446744073709551616.0) == std::numeric_limits<std::uint64_t>::max());
}

void quantize_examples() {
    CHECK(radar::quantize(0.7) == 0.7000000000000001);
    CHECK(radar::quantize(0.05) == 0.05);
    CHECK(radar::quantize(1e-9) == 0.0);
    CHECK(std::isinf(radar::quantize(1e301)));
    CHECK(radar::quantize(5e-9) == 1e-8);  // halves away from zero
    CHECK(radar::quantize(-5e-9) == -1e-8);
    CHECK(std::signbit(radar::quantize(-1e-9)));

    // The rounding is done without the library; it must match std::round
    // bit for bit, halves, huge values, NaN and infinities included.
    std::mt19937_64 random(3);
    int mismatches = 0;
    for (int i = 0; i < 1'000'000; ++i) {
        const double x =
            i % 2 == 0
                ? std::bit_cast<double>(random())
                : static_cast<double>(static_cast<std::int64_t>(random() % 2001) - 1000) * 5e-9;
        const double want = std::round(x / 1e-8) * 1e-8;
        const double got = radar::quantize(x);
        if (std::bit_cast<std::uint64_t>(want) != std::bit_cast<std::uint64_t>(got) &&
            !(std::isnan(want) && std::isnan(got))) {
            ++mismatches;
        }
    }
    CHECK(mismatches == 0);
}

void arena_reuses_memory() {
    radar::json::Arena arena;
    const auto mark = arena.mark();
    int* first = arena.allocate_array<int>(100);
    arena.rollback(mark);
    CHECK(arena.allocate_array<int>(100) == first);
    arena.reset();
    CHECK(arena.allocate_array<int>(100) == first);
}

// An object of event lists: `symbols` members named by `name(i)`, each list
// holding i % 3 events, the list of symbol 5 with a bad second event.
template <class Name>
std::string lists_object(int symbols, Name name) {
    std::string text = "{";
    for (int i = 0; i < symbols; ++i) {
        if (i > 0) text += ",";
        text += "\"" + name(i) + "\":[";
        for (int e = 0; e < i % 3; ++e) {
            if (e > 0) text += ",";
            text +=
                i == 5 && e == 1
                    ? R"(["derivatives","late",1,2,3])"
                    : R"({"kind":"orderbook","ts":1,"bid_volume":2,"ask_volume":3,"best_bid":4,"best_ask":5})";
        }
        text += "]";
    }
    return text + "}";
}

std::vector<radar::EventStore> fresh_stores() {
    std::vector<radar::EventStore> stores;
    stores.emplace_back(0);
    return stores;
}

void pieces_join_as_one_reading() {
    const std::string text =
        lists_object(600, [](int i) { return "S" + std::to_string(100000 + i); });
    CHECK(radar::guess_piece_starts(text, 1, 4 * radar::pool_size()).size() > 1);
    std::vector<radar::EventStore> stores = fresh_stores();
    std::vector<radar::SymbolList> out;
    const auto end = radar::read_lists_in_pieces(text, 1, 1, stores, out);
    CHECK(end && *end == text.size());
    CHECK(out.size() == 600);
    bool in_order = true;
    bool counts = true;
    for (std::size_t i = 0; i < out.size(); ++i) {
        in_order = in_order && out[i].symbol == "S" + std::to_string(100000 + i);
        const auto events = stores[out[i].list.store].events(out[i].list);
        counts = counts && (i == 5 ? !events.ok() && events.error().text() ==
                                                         "parse: invalid type: string \"late\", "
                                                         "expected i64"
                                   : events.ok() && events.value().size() == i % 3);
    }
    CHECK(in_order);
    CHECK(counts);
}

void a_failed_guess_keeps_nothing() {
    // Keys that end in "]," make the closing quote look like a key's start;
    // long keys make most guesses land on one.
    const std::string text =
        lists_object(600, [](int i) { return std::string(200, 'k') + std::to_string(i) + "],"; });
    const auto starts = radar::guess_piece_starts(text, 1, 4 * radar::pool_size());
    bool decoy = false;
    for (std::size_t start : starts) decoy = decoy || text[start + 1] == ':';
    CHECK(decoy);
    std::vector<radar::EventStore> stores = fresh_stores();
    std::vector<radar::SymbolList> out;
    // Earlier lists in the pieces' stores must survive a failed attempt.
    const std::string earlier = lists_object(600, [](int i) { return std::to_string(i); });
    CHECK(radar::read_lists_in_pieces(earlier, 1, 1, stores, out).has_value());
    std::vector<radar::EventStore::Mark> before;
    for (const radar::EventStore& store : stores) before.push_back(store.mark());
    const std::size_t listed = out.size();
    CHECK(!radar::read_lists_in_pieces(text, 1, 1, stores, out).has_value());
    CHECK(out.size() == listed);
    bool kept = true;
    for (std::size_t i = 0; i < before.size(); ++i) {
        kept = kept && stores[i].mark().events == before[i].events &&
               stores[i].mark().errors == before[i].errors;
    }
    CHECK(kept);
    // Joined lists read before stay readable.
    CHECK(stores[out[4].list.store].events(out[4].list).value().size() == 1);
}

}  // namespace

int main() {
    series_storage_is_bounded_by_the_window();
    window_rule();
    quantize_examples();
    arena_reuses_memory();
    pieces_join_as_one_reading();
    a_failed_guess_keeps_nothing();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
