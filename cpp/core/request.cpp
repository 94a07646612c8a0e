#include "request.hpp"

#include "buffers.hpp"

namespace radar {

Status Request::read(std::string_view text, bool in_pieces) {
    in_pieces_ = in_pieces;
    auto root = builder_.parse(text, [this](std::string_view key, json::Reader& reader) {
        return read_member(key, reader);
    });
    if (!root) return std::move(root).error();
    root_ = root.value();
    return std::nullopt;
}

std::optional<json::Fault> Request::read_member(std::string_view key, json::Reader& reader) {
    if (key.size() == 5 && json::same_text(key, "event")) return read_event(reader);
    if (key.size() == 6 && json::same_text(key, "events")) return read_events(reader);
    return std::nullopt;
}

json::Fault Request::read_event(json::Reader& reader) {
    // Decoded at once; its values are not kept. A later "event" replaces it.
    const json::TreeBuilder::Mark mark = builder_.mark();
    if (const json::Fault fault = radar::read_event(reader, builder_, event_)) return fault;
    builder_.rollback(mark);
    return json::kOk;
}

json::Fault Request::read_events(json::Reader& reader) {
    Events events;
    const int c = reader.peek_nonblank();
    json::Fault fault = json::kOk;
    if (c == '[') {
        events.form = Events::Form::List;
        fault = stores_[0].read_list(reader, builder_, events.list);
    } else if (c == '{') {
        events.form = Events::Form::Map;
        events.first = symbols_.size();
        fault = read_map(reader);
        if (!fault) finish_map(events);
    } else {
        fault = builder_.value(reader, events.other);
    }
    if (fault) return fault;
    events_ = events;  // a later "events" replaces it
    return json::kOk;
}

json::Fault Request::read_map(json::Reader& reader) {
    if (in_pieces_) {
        if (const json::Fault fault = reader.enter_nested()) return fault;
        const std::optional<std::size_t> end = read_lists_in_pieces(
            reader.text(), reader.position() + 1, reader.depth(), stores_, symbols_);
        reader.leave_nested();
        if (end) {
            reader = json::Reader(reader.text(), *end, reader.depth());
            return json::kOk;
        }
    }
    // The builder, except that the object's members are event lists.
    struct Map : json::StrictVisitor {
        Request& request;
        json::Fault scalar(json::Reader& r, const json::Value& v) {
            return request.builder_.scalar(r, v);
        }
        json::Fault array(json::Reader& r) { return request.builder_.array(r); }
        json::Fault object(json::Reader& r) {
            return r.members([&](std::string_view key) {
                key = request.builder_.keep(r, key);
                if (const json::Fault fault = r.colon()) return fault;
                EventList list;
                if (const json::Fault fault =
                        request.stores_[0].read_list(r, request.builder_, list))
                    return fault;
                request.symbols_.push_back(SymbolList{key, list});
                return json::kOk;
            });
        }
    };
    Map map{{}, *this};
    return reader.value(map);
}

void Request::finish_map(Events& events) {
    SymbolList* first = symbols_.data() + events.first;
    events.count = json::sort_unique(first, symbols_.data() + symbols_.size(),
                                     [](const SymbolList& member) { return member.symbol; });
    symbols_.resize(events.first + events.count);
}

json::Value Request::events_as_value() const {
    json::Value value = events_->other;
    if (events_->form == Events::Form::List) value.kind = json::ValueKind::Array;
    if (events_->form == Events::Form::Map) value.kind = json::ValueKind::Object;
    return value;
}

Result<std::span<const Event>> Request::event_list() const {
    if (events_->form != Events::Form::List) {
        return parse_error(json::invalid_type(events_as_value(), "a sequence"));
    }
    return stores_[events_->list.store].events(events_->list);
}

Status Request::scan_input(ScanInput& out) const {
    if (events_->form != Events::Form::Map) {
        return parse_error(json::invalid_type(events_as_value(), "a map"));
    }
    out.symbols.reserve(events_->count);
    out.lists.reserve(events_->count);
    for (std::size_t i = events_->first; i < events_->first + events_->count; ++i) {
        const SymbolList& member = symbols_[i];
        auto events = stores_[member.list.store].events(member.list);
        if (!events) return std::move(events).error();
        out.symbols.push_back(member.symbol);
        out.lists.push_back(events.value());
    }
    return std::nullopt;
}

void Request::clear() noexcept {
    builder_.reset();
    for (EventStore& store : stores_) store.clear();
    clear_reusing(symbols_, kKeptScratch);
    root_ = json::Value();
    event_.reset();
    events_.reset();
}

}  // namespace radar
