#pragma once
// RadarSpec: what a radar looks for. Read from JSON text (the constructor)
// or from an already parsed value (set_spec), then validated.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "json_value.hpp"

namespace radar {

enum class SignalKind : std::uint8_t {
    OiDelta,
    FundingFlip,
    BookImbalance,
    LiqCluster,
    OiPriceDivergence,
};

inline constexpr std::array<std::string_view, 5> kSignalKindNames = {
    "oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"};

[[nodiscard]] inline std::string_view kind_name(SignalKind kind) {
    return kSignalKindNames[static_cast<std::size_t>(kind)];
}

struct Signal {
    SignalKind kind = SignalKind::OiDelta;
    std::vector<double> params;
    double weight = 1.0;
};

struct RadarSpec {
    std::vector<std::string> venues;
    std::vector<std::string> symbols;
    std::vector<Signal> signals;
    double threshold = 0.0;
    std::optional<std::uint64_t> limit;
};

// The text road: positions in messages, members in order of appearance.
[[nodiscard]] Result<RadarSpec> parse_spec_text(std::string_view text);
// The value road: no positions, members in byte-wise name order.
[[nodiscard]] Result<RadarSpec> spec_from_value(const json::Value& value);
[[nodiscard]] Status validate(const RadarSpec& spec);

[[nodiscard]] std::size_t param_count(SignalKind kind);
// "oi_delta(20,0.05)": kind name and quantized parameters.
[[nodiscard]] std::string signal_label(const Signal& signal);
// std::round without a library call, inline because every factor of every
// symbol is rounded. Exact: below 2^52 the integer part converts exactly
// and the fraction subtracts exactly; from 2^52 up every double is whole.
[[nodiscard]] inline double round_half_away(double q) {
    constexpr double kAllWhole = 4503599627370496.0;  // 2^52
    if (!(std::fabs(q) < kAllWhole)) return q;        // whole, infinite or NaN
    double whole = static_cast<double>(static_cast<std::int64_t>(q));
    if (std::fabs(q - whole) >= 0.5) whole += q < 0 ? -1.0 : 1.0;
    return whole == 0.0 ? std::copysign(0.0, q) : whole;
}

// Rounds to a multiple of 1e-8, halves away from zero, in double arithmetic.
[[nodiscard]] inline double quantize(double x) {
    constexpr double kQuantum = 1e-8;
    return round_half_away(x / kQuantum) * kQuantum;
}

}  // namespace radar
