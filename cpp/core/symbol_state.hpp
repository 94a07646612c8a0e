#pragma once
// Per-symbol state: bounded series of recent values, the latest book volumes
// and timestamp; and the radar's store of them, ordered by symbol bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"
#include "json_value.hpp"
#include "spec.hpp"

namespace radar {

// Ring buffer of doubles holding at most `window` entries, oldest first.
// Storage grows on demand up to the window; a push at capacity overwrites
// the oldest entry in place, so no data moves.
class Series {
public:
    Series() = default;
    Series(const Series&) = delete;
    Series& operator=(const Series&) = delete;
    Series(Series&&) noexcept = default;
    Series& operator=(Series&&) noexcept = default;

    void push(double value, std::uint64_t window);
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }
    // i = 0 is the oldest entry.
    [[nodiscard]] double operator[](std::size_t i) const {
        std::size_t slot = head_ + i;
        if (slot >= capacity_) slot -= capacity_;
        return data_[slot];
    }
    [[nodiscard]] double newest() const { return (*this)[size_ - 1]; }

private:
    void grow(std::uint64_t window);

    std::unique_ptr<double[]> data_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;  // slot of the oldest entry
    std::size_t size_ = 0;
};

inline constexpr std::int64_t kNoTimestamp = std::numeric_limits<std::int64_t>::min();

struct SymbolState {
    bool book_seen = false;
    double bid_volume = 0.0;
    double ask_volume = 0.0;
    Series open_interest;
    Series funding_rate;
    Series mark_price;
    Series liquidations;
    std::int64_t ts = kNoTimestamp;
    std::uint64_t window = 2;
};

// Ordered by symbol bytes; the comparator is inlined, which matters for the
// lookup every "feed" makes.
using StateStore = std::map<std::string, SymbolState, json::KeyLess>;

// The states of recently used symbols, found without a walk down the
// store's tree. Map nodes never move, so an entry stays good until the
// store is cleared, which must forget them all.
class RecentSymbols {
public:
    // The symbol's state, created with the window of `signals` on first use.
    SymbolState& state_of(StateStore& store, const std::vector<Signal>& signals,
                          std::string_view symbol);
    void forget() { slots_.fill(Slot{}); }

private:
    struct Slot {
        std::string_view symbol;  // views the store's key
        SymbolState* state = nullptr;
    };
    std::array<Slot, 256> slots_{};
};

// A look-back or count parameter as a count: finite and positive values
// truncate toward zero (saturating), everything else is 0.
[[nodiscard]] std::uint64_t lookback(double x);
// max(2, largest look-back + 1) over the kinds whose first parameter is one.
[[nodiscard]] std::uint64_t window_for(const std::vector<Signal>& signals);
[[nodiscard]] SymbolState new_state(std::uint64_t window);
void apply_event(SymbolState& state, const Event& event);
// The symbol's state, created with the window of `signals` on first use.
[[nodiscard]] SymbolState& state_of(StateStore& store, const std::vector<Signal>& signals,
                                    std::string_view symbol);
void feed_symbol(StateStore& store, const std::vector<Signal>& signals, std::string_view symbol,
                 const Event& event);
void clear(StateStore& store);

}  // namespace radar
