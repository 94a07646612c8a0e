#pragma once
// Per-symbol state: bounded series of recent values, the latest book volumes
// and timestamp; and the radar's store of them, ordered by symbol bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"
#include "json_value.hpp"
#include "spec.hpp"

namespace radar {

// Ring buffer of doubles holding at most `window` entries, oldest first.
// Storage grows on demand up to the window; a push at capacity overwrites
// the oldest entry in place, so no data moves. Growing is a step of its own
// (`reserve`), so that a change spanning several series can allocate
// everything it needs before it changes any of them.
class Series {
public:
    Series() = default;
    Series(const Series&) = delete;
    Series& operator=(const Series&) = delete;
    Series(Series&&) noexcept = default;
    Series& operator=(Series&&) noexcept = default;

    // Makes room for `count` more pushes under `window`. On allocation
    // failure it throws and the series is unchanged.
    void reserve(std::uint64_t count, std::uint64_t window);
    // Appends; the room must have been reserved.
    void push(double value, std::uint64_t window) noexcept;
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
    std::unique_ptr<double[]> data_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;  // slot of the oldest entry
    std::size_t size_ = 0;
};

inline constexpr std::int64_t kNoTimestamp = std::numeric_limits<std::int64_t>::min();

// The three derivatives series always hold the same number of entries.
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

// A look-back or count parameter as a count: finite and positive values
// truncate toward zero (saturating), everything else is 0.
[[nodiscard]] std::uint64_t lookback(double x);
// max(2, largest look-back + 1) over the kinds whose first parameter is one.
[[nodiscard]] std::uint64_t window_for(const std::vector<Signal>& signals);
[[nodiscard]] SymbolState new_state(std::uint64_t window);

// Applying events is split in two so that it is all or nothing: `reserve_for`
// allocates whatever the events will need (and may throw, changing nothing
// that can be observed), then `apply_reserved` applies them and cannot fail.
void reserve_for(SymbolState& state, std::span<const Event> events);
void apply_reserved(SymbolState& state, const Event& event) noexcept;
// Both steps over a list.
void apply_events(SymbolState& state, std::span<const Event> events);

// The radar's symbol states, ordered by symbol bytes, with a small cache of
// recently fed symbols so that a feed need not walk the tree.
class StateStore {
public:
    using Map = std::map<std::string, SymbolState, json::KeyLess>;

    explicit StateStore(std::uint64_t window) noexcept : window_(window) {}
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Applies `events` to the symbol's state, made with the store's window on
    // the symbol's first event; an empty list creates no state. All or
    // nothing: when an allocation fails it throws and the store is as before.
    void feed(std::string_view symbol, std::span<const Event> events);
    // Forgets every state; later states get `window`.
    void reset(std::uint64_t window) noexcept;

    [[nodiscard]] const Map& states() const noexcept { return states_; }

private:
    struct Recent {
        std::string_view symbol;  // views the map's key
        SymbolState* state = nullptr;
    };
    // Map nodes never move, so a cached entry stays good until the entry
    // is erased, which only reset does, and reset forgets the cache.
    Recent& recent_slot(std::string_view symbol) noexcept;
    SymbolState* find(std::string_view symbol, Recent& slot) noexcept;

    Map states_;
    std::array<Recent, 256> recent_{};
    std::uint64_t window_;
};

}  // namespace radar
