#include "command.hpp"

#include <string>
#include <utility>
#include <vector>

#include "buffers.hpp"
#include "event.hpp"
#include "json_reader.hpp"
#include "json_value.hpp"
#include "json_writer.hpp"
#include "scan.hpp"
#include "spec.hpp"
#include "symbol_state.hpp"
#include "version.hpp"
#include "worker_pool.hpp"

namespace radar {

struct RadarCore {
    explicit RadarCore(RadarSpec validated)
        : spec(std::move(validated)), states(window_for(spec.signals)) {}

    RadarSpec spec;
    StateStore states;
    // Reused from command to command so steady traffic allocates little.
    json::Arena arena;
    json::DocumentParser parser;
    StreamedEvents streamed;
    std::vector<json::Member> sorted_members;
    std::vector<Event> events;
    ScanInput scan_input;
};

namespace {

std::string error_response(const CoreError& error) {
    std::string out = "{\"error\":";
    json::append_string(out, error.text());
    out += ",\"ok\":false}";
    return out;
}

std::string ok_response() { return "{\"ok\":true}"; }

// A request member that must be a string.
Result<std::string_view> string_member(const json::Value& request, std::string_view name) {
    const json::Value* value = request.find(name);
    if (value == nullptr || !value->is_string()) {
        return bad_spec("missing string \"" + std::string(name) + "\"");
    }
    return value->string();
}

// A request member of any type; its decoder judges the type.
Result<const json::Value*> value_member(const json::Value& request, std::string_view name) {
    const json::Value* value = request.find(name);
    if (value == nullptr) return bad_spec("missing \"" + std::string(name) + "\"");
    return value;
}

// A "feed" written plainly: "cmd", "symbol" and "event" once each, in any
// order, with no other members, a symbol without escapes and a plain, valid
// event. Read straight from the text, it needs no value tree. Anything else
// answers false and takes the general road, which judges it exactly.
bool read_plain_feed(std::string_view text, std::string_view& symbol, Event& event) {
    json::Reader reader(text);
    std::string scratch;  // only ever filled by escapes, which end this road
    unsigned seen = 0;
    const bool read = json::read_object(reader, scratch, [&](std::string_view key) {
        unsigned member = 0;
        if (json::same_text(key, "event")) {
            member = 1;
            if (!read_plain_event(reader, event)) return false;
        } else {
            const bool is_cmd = json::same_text(key, "cmd");
            if (!is_cmd && !json::same_text(key, "symbol")) return false;
            member = is_cmd ? 2 : 4;
            std::string_view value;
            if (reader.peek_nonblank() != '"') return false;
            reader.eat();
            if (!reader.read_string(scratch, value) || value.data() == scratch.data()) return false;
            if (is_cmd && !json::same_text(value, "feed")) return false;
            if (!is_cmd) symbol = value;
        }
        if ((seen & member) != 0) return false;
        seen |= member;
        return true;
    });
    return read && seen == 7 && reader.end_document();
}

class Dispatcher {
public:
    explicit Dispatcher(RadarCore& core) : core_(core) {}

    std::string run(std::string_view text) {
        std::string_view symbol;
        Event event;
        if (read_plain_feed(text, symbol, event)) {
            core_.states.feed(symbol, std::span<const Event>(&event, 1));
            return ok_response();
        }
        json::Value request;
        std::string syntax_error;
        if (!parse_request(text, request, syntax_error)) {
            return error_response(parse_error(std::move(syntax_error)));
        }
        const json::Value* cmd = request.find("cmd");
        if (cmd == nullptr || !cmd->is_string()) return error_response(bad_spec("missing \"cmd\""));
        const std::string_view name = cmd->string();
        if (name == "feed") return feed(request);
        if (name == "feed_batch") return feed_batch(request);
        if (name == "scan") return scan_events(request);
        if (name == "alerts") return alerts();
        if (name == "reset") return reset();
        if (name == "version") return version();
        if (name == "set_spec") return set_spec(request);
        return error_response(bad_spec("unknown cmd: " + std::string(name)));
    }

private:
    // Large requests have their scan lists read in pieces in parallel.
    bool parse_request(std::string_view text, json::Value& request, std::string& error) {
        constexpr std::size_t kParallelReading = std::size_t{1} << 20;
        const bool in_pieces = text.size() >= kParallelReading && available_processors() > 1;
        return core_.parser.parse(text, core_.arena, request, error, &core_.streamed, in_pieces);
    }

    std::string feed(const json::Value& request) {
        auto symbol = string_member(request, "symbol");
        if (!symbol) return error_response(symbol.error());
        auto value = value_member(request, "event");
        if (!value) return error_response(value.error());
        Event event;
        std::string message;
        if (!decode_event_in_any_order(*value.value(), event, message, core_.sorted_members)) {
            return error_response(parse_error(std::move(message)));
        }
        core_.states.feed(symbol.value(), std::span<const Event>(&event, 1));
        return ok_response();
    }

    std::string feed_batch(const json::Value& request) {
        auto symbol = string_member(request, "symbol");
        if (!symbol) return error_response(symbol.error());
        auto value = value_member(request, "events");
        if (!value) return error_response(value.error());
        std::span<const Event> events;
        std::string message;
        // The whole batch is decoded first: a bad event applies nothing.
        if (!event_list(*value.value(), core_.streamed, core_.events, events, message)) {
            return error_response(parse_error(std::move(message)));
        }
        core_.states.feed(symbol.value(), events);
        return ok_response();
    }

    std::string scan_events(const json::Value& request) {
        auto value = value_member(request, "events");
        if (!value) return error_response(value.error());
        ScanInput& input = core_.scan_input;
        input.clear();
        std::string message;
        if (!decode_scan_events(*value.value(), core_.streamed, input, message)) {
            return error_response(parse_error(std::move(message)));
        }
        auto report = scan(input, core_.spec);
        if (!report) return error_response(report.error());
        return write_report(report.value());
    }

    std::string alerts() {
        auto report = alerts_report(core_.spec, core_.states);
        if (!report) return error_response(report.error());
        return write_report(report.value());
    }

    std::string reset() {
        core_.states.reset(window_for(core_.spec.signals));
        return ok_response();
    }

    static std::string version() {
        std::string out = "{\"version\":";
        json::append_string(out, kVersion);
        out.push_back('}');
        return out;
    }

    std::string set_spec(const json::Value& request) {
        auto value = value_member(request, "spec");
        if (!value) return error_response(value.error());
        auto spec = spec_from_value(*value.value());
        if (!spec) return error_response(spec.error());
        if (Status invalid = validate(spec.value())) return error_response(*invalid);
        // Nothing below can fail: the new RadarSpec is in force whole or not at all.
        core_.spec = std::move(spec).value();
        core_.states.reset(window_for(core_.spec.signals));
        return ok_response();
    }

    RadarCore& core_;
};

// Frees what the command decoded however the command ends.
class CommandScratch {
public:
    explicit CommandScratch(RadarCore& core) : core_(core) {}
    ~CommandScratch() {
        core_.arena.reset();
        core_.streamed.clear();
        core_.scan_input.clear();
        clear_reusing(core_.events, kKeptScratch);
        clear_reusing(core_.sorted_members, kKeptScratch);
    }
    CommandScratch(const CommandScratch&) = delete;
    CommandScratch& operator=(const CommandScratch&) = delete;

private:
    RadarCore& core_;
};

}  // namespace

Result<std::unique_ptr<Radar>> Radar::create(std::string_view spec_text) {
    auto spec = parse_spec_text(spec_text);
    if (!spec) return std::move(spec).error();
    if (Status invalid = validate(spec.value())) return std::move(*invalid);
    auto core = std::make_unique<RadarCore>(std::move(spec).value());
    return std::unique_ptr<Radar>(new Radar(std::move(core)));
}

Radar::Radar(std::unique_ptr<RadarCore> core) : core_(std::move(core)) {}
Radar::~Radar() = default;

std::string Radar::command(std::string_view request) {
    CommandScratch scratch(*core_);
    return Dispatcher(*core_).run(request);
}

}  // namespace radar
