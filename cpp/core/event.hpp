#pragma once
// Market events and their decoding from parsed JSON values.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "error.hpp"
#include "json_value.hpp"

namespace radar {

enum class Side : std::uint8_t { Buy, Sell };

struct Derivatives {
    std::int64_t ts;
    double open_interest;
    double funding_rate;
    double mark_price;
};

struct Orderbook {
    std::int64_t ts;
    double bid_volume;
    double ask_volume;
    double best_bid;
    double best_ask;
};

struct Liquidation {
    std::int64_t ts;
    Side side;
    double qty;
    double price;
};

using Event = std::variant<Derivatives, Orderbook, Liquidation>;

// Failures carry the message alone; callers make it a Parse error.
[[nodiscard]] bool decode_event(const json::Value& value, Event& out, std::string& error);
// Appends the decoded events to `out`; on failure `out` may hold a prefix.
[[nodiscard]] bool decode_event_list(const json::Value& value, std::vector<Event>& out,
                                     std::string& error);

}  // namespace radar
