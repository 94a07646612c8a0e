#include "symbol_state.hpp"

#include <algorithm>
#include <cmath>

namespace radar {

void Series::grow(std::uint64_t window) {
    constexpr std::size_t kInitialCapacity = 4;
    std::uint64_t wanted = capacity_ == 0 ? kInitialCapacity : std::uint64_t{capacity_} * 2;
    wanted = std::min<std::uint64_t>(wanted, window);
    auto bigger = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(wanted));
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = (*this)[i];
    data_ = std::move(bigger);
    capacity_ = static_cast<std::size_t>(wanted);
    head_ = 0;
}

void Series::push(double value, std::uint64_t window) {
    if (size_ < window) {
        if (size_ == capacity_) grow(window);
        std::size_t slot = head_ + size_;
        if (slot >= capacity_) slot -= capacity_;
        data_[slot] = value;
        ++size_;
        return;
    }
    // Full: the new entry takes the oldest one's slot.
    data_[head_] = value;
    if (++head_ == capacity_) head_ = 0;
}

std::uint64_t lookback(double x) {
    if (!std::isfinite(x) || !(x > 0.0)) return 0;
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (x >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

std::uint64_t window_for(const std::vector<Signal>& signals) {
    std::uint64_t longest = 0;
    for (const Signal& signal : signals) {
        const bool has_lookback = signal.kind == SignalKind::OiDelta ||
                                  signal.kind == SignalKind::LiqCluster ||
                                  signal.kind == SignalKind::OiPriceDivergence;
        if (!has_lookback) continue;
        const double first = signal.params.empty() ? 0.0 : signal.params[0];
        longest = std::max(longest, lookback(first));
    }
    // A saturated look-back has no room for +1; it stays the largest count.
    if (longest == std::numeric_limits<std::uint64_t>::max()) return longest;
    return std::max<std::uint64_t>(2, longest + 1);
}

SymbolState new_state(std::uint64_t window) {
    SymbolState state;
    state.window = window;
    return state;
}

namespace {
struct Applier {
    SymbolState& state;
    void operator()(const Derivatives& e) const {
        state.open_interest.push(e.open_interest, state.window);
        state.funding_rate.push(e.funding_rate, state.window);
        state.mark_price.push(e.mark_price, state.window);
    }
    void operator()(const Orderbook& e) const {
        state.book_seen = true;
        state.bid_volume = e.bid_volume;
        state.ask_volume = e.ask_volume;
    }
    void operator()(const Liquidation& e) const { state.liquidations.push(e.qty, state.window); }
};

std::int64_t timestamp_of(const Event& event) {
    return std::visit([](const auto& e) { return e.ts; }, event);
}
}  // namespace

void apply_event(SymbolState& state, const Event& event) {
    std::visit(Applier{state}, event);
    state.ts = std::max(state.ts, timestamp_of(event));
}

SymbolState& state_of(StateStore& store, const std::vector<Signal>& signals,
                      std::string_view symbol) {
    auto it = store.find(symbol);
    if (it == store.end()) {
        it = store.emplace(std::string(symbol), new_state(window_for(signals))).first;
    }
    return it->second;
}

SymbolState& RecentSymbols::state_of(StateStore& store, const std::vector<Signal>& signals,
                                     std::string_view symbol) {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (const char c : symbol) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    Slot& slot = slots_[hash & (slots_.size() - 1)];
    if (slot.state != nullptr && json::same_text(slot.symbol, symbol)) return *slot.state;
    auto it = store.find(symbol);
    if (it == store.end()) {
        it = store.emplace(std::string(symbol), new_state(window_for(signals))).first;
    }
    slot = Slot{it->first, &it->second};
    return it->second;
}

void feed_symbol(StateStore& store, const std::vector<Signal>& signals, std::string_view symbol,
                 const Event& event) {
    apply_event(state_of(store, signals, symbol), event);
}

void clear(StateStore& store) { store.clear(); }

}  // namespace radar
