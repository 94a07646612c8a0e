// Checks of core invariants that the Python surface cannot observe:
// bounded series storage, the window rule, rounding, arena reuse. (The
// roads of reading requests are compared by fuzz/fuzz_reading.cpp.)

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "json_value.hpp"
#include "spec.hpp"
#include "symbol_state.hpp"

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

}  // namespace

int main() {
    series_storage_is_bounded_by_the_window();
    window_rule();
    quantize_examples();
    arena_reuses_memory();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
