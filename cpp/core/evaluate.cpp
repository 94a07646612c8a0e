#include "evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace radar {

namespace {

constexpr double kEps = 1e-12;

// Levels used as denominators never go below EPS; NaN becomes EPS too.
double floor_denominator(double x) { return std::fmax(x, kEps); }

double finish(double raw) {
    if (!std::isfinite(raw)) return 0.0;
    if (raw < 0.0) return 0.0;
    if (raw > 1.0) return 1.0;
    return raw;
}

double oi_delta(const Signal& s, const SymbolState& state) {
    const std::uint64_t k = lookback(s.params[0]);
    const std::size_t n = state.open_interest.size();
    if (n <= k) return 0.0;
    const double old_value = state.open_interest[n - 1 - static_cast<std::size_t>(k)];
    const double new_value = state.open_interest.newest();
    return finish(std::fabs((new_value - old_value) / floor_denominator(old_value)) / s.params[1]);
}

double funding_flip(const Signal& s, const SymbolState& state) {
    const Series& rates = state.funding_rate;
    if (rates.size() < 2) return 0.0;
    const double newest = rates.newest();
    const double previous = rates[rates.size() - 2];
    double raw = std::fabs(newest) / s.params[0];
    if (newest * previous < 0.0) raw = raw + raw;
    return finish(raw);
}

double book_imbalance(const Signal& s, const SymbolState& state) {
    if (!state.book_seen) return 0.0;
    const double bid = state.bid_volume;
    const double ask = state.ask_volume;
    return finish(std::fabs((bid - ask) / floor_denominator(bid + ask)) / s.params[0]);
}

double liq_cluster(const Signal& s, const SymbolState& state) {
    const Series& qty = state.liquidations;
    if (qty.empty()) return 0.0;
    const std::size_t m =
        static_cast<std::size_t>(std::min<std::uint64_t>(qty.size(), lookback(s.params[0])));
    if (m == 0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = qty.size() - m; i < qty.size(); ++i) sum += qty[i];
    return finish(sum / s.params[1]);
}

double oi_price_divergence(const Signal& s, const SymbolState& state) {
    const std::uint64_t k = lookback(s.params[0]);
    const std::size_t n = state.open_interest.size();
    if (n <= k) return 0.0;
    const std::size_t i = n - 1 - static_cast<std::size_t>(k);
    const Series& oi = state.open_interest;
    const Series& price = state.mark_price;
    const double oi_change = (oi.newest() - oi[i]) / floor_denominator(oi[i]);
    const double price_change = (price.newest() - price[i]) / floor_denominator(price[i]);
    const double divergence = std::fmax(-oi_change * price_change, 0.0);
    return finish(divergence / (s.params[1] * s.params[1]));
}

}  // namespace

Evaluator::Evaluator(const std::vector<Signal>& signals) : signals_(signals) {
    std::vector<std::string> labels;
    labels.reserve(signals.size());
    for (const Signal& signal : signals) labels.push_back(signal_label(signal));
    std::vector<std::size_t> order(labels.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return labels[a] < labels[b]; });
    slots_.resize(labels.size());
    for (std::size_t pos = 0; pos < order.size(); ++pos) {
        slots_[order[pos]] = pos;
        keys_.push_back(labels[order[pos]]);
    }
    keys_.emplace_back("severity");
}

double signal_factor(const Signal& signal, const SymbolState& state) {
    switch (signal.kind) {
        case SignalKind::OiDelta:
            return oi_delta(signal, state);
        case SignalKind::FundingFlip:
            return funding_flip(signal, state);
        case SignalKind::BookImbalance:
            return book_imbalance(signal, state);
        case SignalKind::LiqCluster:
            return liq_cluster(signal, state);
        case SignalKind::OiPriceDivergence:
            return oi_price_divergence(signal, state);
    }
    return 0.0;
}

void evaluate_into(const SymbolState& state, const Evaluator& evaluator, Evaluation& result) {
    const std::vector<Signal>& signals = evaluator.signals();
    result.factors.resize(signals.size() + 1);
    double weighted_sum = 0.0;
    double weight_sum = 0.0;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        const double factor = signal_factor(signals[i], state);
        weighted_sum += factor * signals[i].weight;
        weight_sum += signals[i].weight;
        result.factors[evaluator.slot_of(i)] = quantize(factor);
    }
    result.severity = weight_sum > 0.0 ? quantize(weighted_sum / weight_sum) : 0.0;
    result.factors.back() = result.severity;
}

}  // namespace radar
