#include "command.hpp"

#include <string>
#include <utility>

#include "evaluate.hpp"
#include "event.hpp"
#include "json_value.hpp"
#include "json_writer.hpp"
#include "pieces.hpp"
#include "request.hpp"
#include "scan.hpp"
#include "spec.hpp"
#include "symbol_state.hpp"
#include "version.hpp"

namespace radar {

struct RadarCore {
    explicit RadarCore(RadarSpec validated)
        : spec(std::move(validated)), evaluator(spec.signals), states(window_for(spec.signals)) {}

    // The spec in force, validated when it was set, and its evaluator.
    RadarSpec spec;
    Evaluator evaluator;
    StateStore states;
    // Reused from command to command so steady traffic allocates little.
    Request request;
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

CoreError missing(std::string_view name) {
    return bad_spec("missing \"" + std::string(name) + "\"");
}

class Dispatcher {
public:
    explicit Dispatcher(RadarCore& core) : core_(core), request_(core.request) {}

    std::string run(std::string_view text) {
        if (Status failed = request_.read(text, worth_reading_in_pieces(text.size()))) {
            return error_response(*failed);
        }
        const json::Value* cmd = request_.root().find("cmd");
        if (cmd == nullptr || !cmd->is_string()) return error_response(bad_spec("missing \"cmd\""));
        const std::string_view name = cmd->string();
        if (name == "feed") return feed();
        if (name == "feed_batch") return feed_batch();
        if (name == "scan") return scan_events();
        if (name == "alerts") return alerts();
        if (name == "reset") return reset();
        if (name == "version") return version();
        if (name == "set_spec") return set_spec();
        return error_response(bad_spec("unknown cmd: " + std::string(name)));
    }

private:
    std::string feed() {
        auto symbol = string_member(request_.root(), "symbol");
        if (!symbol) return error_response(symbol.error());
        if (!request_.has_event()) return error_response(missing("event"));
        const Result<Event>& event = request_.event();
        if (!event) return error_response(event.error());
        core_.states.feed(symbol.value(), std::span<const Event>(&event.value(), 1));
        return ok_response();
    }

    std::string feed_batch() {
        auto symbol = string_member(request_.root(), "symbol");
        if (!symbol) return error_response(symbol.error());
        if (!request_.has_events()) return error_response(missing("events"));
        // The whole batch was decoded first: a bad event applies nothing.
        auto events = request_.event_list();
        if (!events) return error_response(events.error());
        core_.states.feed(symbol.value(), events.value());
        return ok_response();
    }

    std::string scan_events() {
        if (!request_.has_events()) return error_response(missing("events"));
        ScanInput& input = core_.scan_input;
        if (Status failed = request_.scan_input(input)) return error_response(*failed);
        return write_report(scan(input, core_.spec, core_.evaluator));
    }

    std::string alerts() {
        return write_report(alerts_report(core_.spec, core_.evaluator, core_.states));
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

    std::string set_spec() {
        const json::Value* value = request_.root().find("spec");
        if (value == nullptr) return error_response(missing("spec"));
        auto spec = spec_from_value(*value);
        if (!spec) return error_response(spec.error());
        if (Status invalid = validate(spec.value())) return error_response(*invalid);
        // Built before anything changes: the new RadarSpec is in force whole
        // or not at all.
        Evaluator evaluator(spec.value().signals);
        core_.spec = std::move(spec).value();
        core_.evaluator = std::move(evaluator);
        core_.states.reset(window_for(core_.spec.signals));
        return ok_response();
    }

    RadarCore& core_;
    Request& request_;
};

// Frees what the command decoded however the command ends.
class CommandScratch {
public:
    explicit CommandScratch(RadarCore& core) : core_(core) {}
    ~CommandScratch() {
        core_.request.clear();
        core_.scan_input.clear();
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
