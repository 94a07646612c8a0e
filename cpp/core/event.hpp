#pragma once
// Market events: the records, their one decoder (both JSON forms, from a
// parsed value or straight from the text), and the store that keeps event
// lists decoded while a request is read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "buffers.hpp"
#include "error.hpp"
#include "json_reader.hpp"
#include "json_tree.hpp"
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

// One event, from its object form (members in any order, the last of
// repeated names counting, as in a parsed object) or its array form.
// Failures are Parse errors without position.
[[nodiscard]] Result<Event> decode_event(const json::Value& value);
// The same straight from the text, the reader before the value, which it
// reads whole (with `builder`, whose values are not kept). A syntax fault
// ends reading and is returned; otherwise `out` holds the event or why the
// value is not one.
[[nodiscard]] json::Fault read_event(json::Reader& reader, json::TreeBuilder& builder,
                                     std::optional<Result<Event>>& out);
// Appends the decoded events to `out`; on failure `out` may hold a prefix.
[[nodiscard]] Status decode_event_list(const json::Value& value, std::vector<Event>& out);

// An event list as read from a request: its events in a store, or the
// failure of its first bad element (which is what decoding the whole list
// would have reported).
struct EventList {
    static constexpr std::size_t kNoError = static_cast<std::size_t>(-1);
    std::size_t store = 0;  // which store holds it
    std::size_t begin = 0;  // its events in that store
    std::size_t end = 0;
    std::size_t error = kNoError;  // its failure in that store
};

// Event lists decoded element by element while a request is read, so that
// large batches never exist as a value tree. Each thread that reads lists
// has a store of its own, so that threads never share one.
class EventStore {
public:
    explicit EventStore(std::size_t index) : index_(index) {}

    // Reads a value as an event list, the reader before it: an array
    // element by element, anything else as the failure it is.
    json::Fault read_list(json::Reader& reader, json::TreeBuilder& builder, EventList& out);
    [[nodiscard]] Result<std::span<const Event>> events(const EventList& list) const;

    // What a failed attempt must give back: everything added after a mark.
    struct Mark {
        std::size_t events;
        std::size_t errors;
    };
    [[nodiscard]] Mark mark() const noexcept { return Mark{events_.size(), errors_.size()}; }
    void rollback(Mark mark) noexcept;
    // Empties the store, keeping storage that recent commands needed.
    void clear() noexcept;

private:
    json::Fault read_element(json::Reader& reader, json::TreeBuilder& builder, EventList& list);
    void fail(EventList& list, CoreError error);

    std::size_t index_;
    std::vector<Event> events_;
    std::vector<CoreError> errors_;
    RecentUse use_;
};

}  // namespace radar
