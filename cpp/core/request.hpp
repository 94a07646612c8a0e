#pragma once
// A command text, read once. The root object's members become a generic
// value, except "event" and "events", which are decoded while they are read:
// a batch or a scan never exists as a value tree. Their failures are kept
// and reported only when the command asks for them, so a request fails with
// the same error, at the same step, as if it had been parsed whole first.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "event.hpp"
#include "json_tree.hpp"
#include "json_value.hpp"
#include "pieces.hpp"
#include "scan.hpp"

namespace radar {

class Request {
public:
    // Reads `text`; a syntax error is a Parse error with its position. With
    // `in_pieces`, an "events" object is read in pieces in parallel.
    [[nodiscard]] Status read(std::string_view text, bool in_pieces);

    // The root value, without "event" and "events" when it is an object.
    [[nodiscard]] const json::Value& root() const noexcept { return root_; }

    [[nodiscard]] bool has_event() const noexcept { return event_.has_value(); }
    // The decoded "event"; it must be there.
    [[nodiscard]] const Result<Event>& event() const { return *event_; }

    [[nodiscard]] bool has_events() const noexcept { return events_.has_value(); }
    // "events" as one list of events (feed_batch); it must be there.
    [[nodiscard]] Result<std::span<const Event>> event_list() const;
    // "events" as the map from symbol to event list of a scan, in byte-wise
    // symbol order; it must be there.
    [[nodiscard]] Status scan_input(ScanInput& out) const;

    // Forgets the request, keeping storage that recent commands needed.
    void clear() noexcept;

private:
    // The "events" member as it was written.
    struct Events {
        enum class Form : std::uint8_t { List, Map, Other };
        Form form = Form::Other;
        EventList list;         // Form::List
        std::size_t first = 0;  // Form::Map: its members in symbols_
        std::size_t count = 0;
        json::Value other;  // Form::Other
    };

    // Takes "event" and "events" from the root object; leaves the rest.
    std::optional<json::Fault> read_member(std::string_view key, json::Reader& reader);
    json::Fault read_event(json::Reader& reader);
    json::Fault read_events(json::Reader& reader);
    json::Fault read_map(json::Reader& reader);
    // Sorts the map's members byte-wise, keeping the last of repeated symbols.
    void finish_map(Events& events);
    [[nodiscard]] json::Value events_as_value() const;

    json::TreeBuilder builder_;
    std::vector<EventStore> stores_ = std::vector<EventStore>(1, EventStore(0));
    std::vector<SymbolList> symbols_;
    json::Value root_;
    std::optional<Result<Event>> event_;
    std::optional<Events> events_;
    bool in_pieces_ = false;
};

}  // namespace radar
