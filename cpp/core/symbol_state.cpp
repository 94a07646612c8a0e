#include "symbol_state.hpp"

#include <algorithm>
#include <cmath>

namespace radar {

void Series::reserve(std::uint64_t count, std::uint64_t window) {
    const std::uint64_t wanted = std::min<std::uint64_t>(window, size_ + count);
    if (wanted <= capacity_) return;
    // Doubling keeps a symbol fed one event at a time to a few allocations.
    constexpr std::uint64_t kInitialCapacity = 4;
    const std::uint64_t doubled = capacity_ == 0 ? kInitialCapacity : std::uint64_t{capacity_} * 2;
    const auto capacity = static_cast<std::size_t>(std::min(window, std::max(wanted, doubled)));
    auto bigger = std::make_unique_for_overwrite<double[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = (*this)[i];
    data_ = std::move(bigger);
    capacity_ = capacity;
    head_ = 0;
}

void Series::push(double value, std::uint64_t window) noexcept {
    if (size_ < window) {
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
    void operator()(const Derivatives& e) const noexcept {
        state.open_interest.push(e.open_interest, state.window);
        state.funding_rate.push(e.funding_rate, state.window);
        state.mark_price.push(e.mark_price, state.window);
    }
    void operator()(const Orderbook& e) const noexcept {
        state.book_seen = true;
        state.bid_volume = e.bid_volume;
        state.ask_volume = e.ask_volume;
    }
    void operator()(const Liquidation& e) const noexcept {
        state.liquidations.push(e.qty, state.window);
    }
};

std::int64_t timestamp_of(const Event& event) noexcept {
    return std::visit([](const auto& e) { return e.ts; }, event);
}
}  // namespace

void reserve_for(SymbolState& state, std::span<const Event> events) {
    std::uint64_t derivatives = 0;
    std::uint64_t liquidations = 0;
    for (const Event& event : events) {
        derivatives += std::holds_alternative<Derivatives>(event) ? 1 : 0;
        liquidations += std::holds_alternative<Liquidation>(event) ? 1 : 0;
    }
    // A series that grew before a later one failed keeps only spare capacity.
    state.open_interest.reserve(derivatives, state.window);
    state.funding_rate.reserve(derivatives, state.window);
    state.mark_price.reserve(derivatives, state.window);
    state.liquidations.reserve(liquidations, state.window);
}

void apply_reserved(SymbolState& state, const Event& event) noexcept {
    std::visit(Applier{state}, event);
    state.ts = std::max(state.ts, timestamp_of(event));
}

void apply_events(SymbolState& state, std::span<const Event> events) {
    reserve_for(state, events);
    for (const Event& event : events) apply_reserved(state, event);
}

StateStore::Recent& StateStore::recent_slot(std::string_view symbol) noexcept {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (const char c : symbol) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return recent_[hash & (recent_.size() - 1)];
}

SymbolState* StateStore::find(std::string_view symbol, Recent& slot) noexcept {
    if (slot.state != nullptr && json::same_text(slot.symbol, symbol)) return slot.state;
    auto it = states_.find(symbol);
    if (it == states_.end()) return nullptr;
    slot = Recent{it->first, &it->second};
    return &it->second;
}

void StateStore::feed(std::string_view symbol, std::span<const Event> events) {
    if (events.empty()) return;
    Recent& slot = recent_slot(symbol);
    if (SymbolState* state = find(symbol, slot)) {
        apply_events(*state, events);
        return;
    }
    // A new symbol's state is built aside and inserted only when complete.
    SymbolState fresh = new_state(window_);
    apply_events(fresh, events);
    auto it = states_.emplace(std::string(symbol), std::move(fresh)).first;
    slot = Recent{it->first, &it->second};
}

void StateStore::reset(std::uint64_t window) noexcept {
    states_.clear();
    recent_.fill(Recent{});
    window_ = window;
}

}  // namespace radar
