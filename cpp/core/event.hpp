#pragma once
// Market events and their decoding from parsed JSON values.

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "buffers.hpp"
#include "error.hpp"
#include "json_reader.hpp"
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
// decode_event for a value that may be an `unsorted` object: a valid event
// is decoded as it stands; anything else is decoded from a sorted copy
// (made in `scratch`) so that it fails exactly as a parsed object would.
[[nodiscard]] bool decode_event_in_any_order(const json::Value& value, Event& out,
                                             std::string& error,
                                             std::vector<json::Member>& scratch);
// Reads an event object written plainly (scalar members, no escapes) and
// valid, straight from the text. False on anything else, with the reader
// left somewhere inside the text: the caller must then read it the general
// way, which reports the exact failure.
[[nodiscard]] bool read_plain_event(json::Reader& reader, Event& out);
// Appends the decoded events to `out`; on failure `out` may hold a prefix.
[[nodiscard]] bool decode_event_list(const json::Value& value, std::vector<Event>& out,
                                     std::string& error);

// Decodes event arrays element by element while the request is parsed:
// each list keeps its events, or the failure of its first bad element,
// which is what decoding the whole list would have reported.
class StreamedEvents final : public json::ElementSink {
public:
    void clear();
    std::size_t begin_list() override;
    void element(std::size_t list, const json::Value& element) override;
    bool element_from_text(std::size_t list, json::Reader& reader) override;

    // Reads the root's "events" object in pieces on the worker pool: each
    // piece starts at a guessed member boundary, and the guesses hold only
    // when every piece ends exactly where the next began. False when they
    // do not or anything else is unusual; the parser then reads the object
    // itself.
    bool read_list_object(std::string_view text, std::size_t begin, int depth, json::Arena& arena,
                          json::Value& out, std::size_t& end) override;

    // The events of a streamed array, or its failure.
    [[nodiscard]] bool events_of(const json::Value& array, std::span<const Event>& out,
                                 std::string& error) const;

private:
    static constexpr std::size_t kNoError = static_cast<std::size_t>(-1);
    struct List {
        std::size_t store;  // which of stores_ holds its events
        std::size_t begin;
        std::size_t end;
        std::size_t error;  // index into errors_, or kNoError
    };
    // Events decoded by one thread; store 0 is the parsing thread's. A
    // cache line each, so threads appending to their own do not collide.
    struct alignas(64) Store {
        std::vector<Event> events;
        RecentUse use;
    };
    class PieceSink;

    void decode_into(List& target, std::size_t store, const json::Value& element,
                     std::vector<json::Member>& sorted);
    bool read_plain_into(List& target, std::size_t store, json::Reader& reader);
    void use_stores(std::size_t count);

    std::vector<Store> stores_ = std::vector<Store>(1);
    std::vector<List> lists_;
    std::vector<std::string> errors_;
    std::mutex errors_mutex_;
    std::vector<json::Member> sorted_;
};

// An event list from a value: a streamed array's events, or else decoded
// into `scratch` (which it replaces).
[[nodiscard]] bool event_list(const json::Value& value, const StreamedEvents& streamed,
                              std::vector<Event>& scratch, std::span<const Event>& out,
                              std::string& error);

}  // namespace radar
