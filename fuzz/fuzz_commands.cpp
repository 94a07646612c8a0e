// Fuzzes the command dispatcher with sequences of requests, so that state
// changes (feed, feed_batch, set_spec, reset) interleave with reads (scan,
// alerts) and with failures.
//
// Input: requests separated by '\n'; each input drives one fresh radar.
// After every request the harness checks, and aborts on a violation:
// - the response is one compact JSON value;
// - an error response is exactly {"error":<string>,"ok":false}, its text
//   starting "parse: " or "bad spec: ";
// - a request that is not well-formed JSON (by an independent checker) gets
//   a "parse: ... at line L column C" error naming a real place in it, and
//   a well-formed one never does;
// - per command: the exact answers of version, reset, alerts and of the
//   missing-member and unknown-command errors; {"ok":true} for a successful
//   feed, feed_batch, set_spec and reset; a report for scan and alerts;
// - nothing but a successful feed, feed_batch, set_spec or reset changes the
//   "alerts" answer; reset and set_spec leave it empty;
// - a scan repeated gives the same text (the parallel state building is
//   independent of scheduling);
// - a twin radar, sent the same requests except that every "feed" goes to it
//   as a "feed_batch" of that one event, answers the same texts and keeps the
//   same "alerts": a single event and a list of events are decoded by
//   different code (in text order, and element by element while the request
//   is read);
// - a successful scan answers what "alerts" answers on a fresh radar with the
//   same spec after a "feed_batch" of each symbol's events (when no symbol's
//   list is empty: only a scan counts those).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "command.hpp"
#include "json_check.hpp"

namespace {

// Every signal kind with short look-backs, so a few events reach them; a
// window of 7, so series grow their storage and then wrap around; and a
// threshold of 0, so every stored symbol shows in "alerts".
constexpr std::string_view kSpec =
    R"({"signals":[{"kind":"oi_delta","params":[2,0.1]},)"
    R"({"kind":"funding_flip","params":[0.001]},)"
    R"({"kind":"book_imbalance","params":[0.5]},)"
    R"({"kind":"liq_cluster","params":[6,1000]},)"
    R"({"kind":"oi_price_divergence","params":[1,0.1],"weight":2}],"threshold":0})";

constexpr std::string_view kAlerts = R"({"cmd":"alerts"})";
constexpr std::string_view kEmptyReport = R"({"alerts":[],"scanned":0})";
constexpr std::string_view kOk = R"({"ok":true})";

[[noreturn]] void fail(const char* why, std::string_view request, std::string_view response) {
    std::fprintf(stderr, "invariant violated: %s\n", why);
    fuzzcheck::dump("request", request);
    fuzzcheck::dump("response", response);
    std::abort();
}

struct Reply {
    std::string text;
    bool is_error = false;
    std::string error;  // decoded error text
    bool positioned = false;
    std::size_t line = 0;
    std::size_t column = 0;
};

bool is_report(std::string_view text) {
    constexpr std::string_view kHead = R"({"alerts":[)";
    constexpr std::string_view kTail = R"(],"scanned":)";
    if (text.substr(0, kHead.size()) != kHead || text.empty() || text.back() != '}') return false;
    const std::size_t tail = text.rfind(kTail);
    if (tail == std::string_view::npos) return false;
    const std::string_view count =
        text.substr(tail + kTail.size(), text.size() - 1 - tail - kTail.size());
    if (count.empty() || (count.size() > 1 && count[0] == '0')) return false;
    for (char c : count) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Runs one request and checks the response's form.
Reply run(radar::Radar& radar, std::string_view request) {
    Reply reply;
    reply.text = radar.command(request);
    const std::string& text = reply.text;
    fuzzcheck::Rules compact;
    compact.compact = true;
    compact.max_depth = 0;
    std::vector<fuzzcheck::Member> members;
    fuzzcheck::Checker checker(text, compact);
    if (!checker.document(&members)) fail("response is not compact JSON", request, text);

    constexpr std::string_view kHead = R"({"error":)";
    constexpr std::string_view kTail = R"(,"ok":false})";
    if (text.substr(0, kHead.size()) != kHead) {
        if (fuzzcheck::find_member(members, "error") != nullptr) {
            fail("\"error\" member in a response that is not an error object", request, text);
        }
        return reply;
    }
    reply.is_error = true;
    if (members.size() != 2 || members[0].key != "error" || members[1].key != "ok" ||
        members[1].value != "false" || text.size() < kTail.size() ||
        std::string_view(text).substr(text.size() - kTail.size()) != kTail) {
        fail("error response is not {\"error\":...,\"ok\":false}", request, text);
    }
    if (!fuzzcheck::Checker::decode_string(members[0].value, reply.error)) {
        fail("\"error\" is not a string", request, text);
    }
    const std::string_view error = reply.error;
    if (error.substr(0, 7) != "parse: " && error.substr(0, 10) != "bad spec: ") {
        fail("error text has neither the parse nor the bad spec prefix", request, text);
    }
    reply.positioned =
        error.substr(0, 7) == "parse: " && fuzzcheck::positioned(error, reply.line, reply.column);
    return reply;
}

void expect_text(const Reply& reply, std::string_view expected, const char* why,
                 std::string_view request) {
    if (reply.text != expected) fail(why, request, reply.text);
}

void expect_error(const Reply& reply, std::string_view expected, std::string_view request) {
    if (!reply.is_error || reply.error != expected) {
        std::fprintf(stderr, "expected error text: %.*s\n", static_cast<int>(expected.size()),
                     expected.data());
        fail("wrong error text", request, reply.text);
    }
}

// An error of a member that did not decode: "parse: ...", without position.
void expect_ok_or_decode_error(const Reply& reply, std::string_view request, bool spec_checks) {
    if (!reply.is_error) {
        expect_text(reply, kOk, "success is not {\"ok\":true}", request);
        return;
    }
    const bool parse = reply.error.rfind("parse: ", 0) == 0;
    if (!(parse || spec_checks) || reply.positioned) {
        fail("a member that does not decode must give an unplaced parse error", request,
             reply.text);
    }
}

// The text with its JSON white space removed (outside strings it is all
// there is; good enough to spot "[]" and "{}").
std::string squeezed(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') out.push_back(c);
    }
    return out;
}

// A JSON string holding these bytes.
std::string quoted(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

// The scan's report rebuilt through the store: a fresh radar with the same RadarSpec,
// one feed_batch per symbol (the last list of a repeated symbol), alerts.
// Empty when the comparison does not apply.
std::string scan_through_store(std::string_view spec_text, std::string_view events_text) {
    std::vector<fuzzcheck::Member> symbols;
    fuzzcheck::Checker checker(events_text, fuzzcheck::Rules{});
    if (!checker.document(&symbols)) return {};
    auto created = radar::Radar::create(spec_text);
    if (!created) return {};  // the text road refuses what the value road took (repeated names)
    radar::Radar& fresh = *created.value();
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (fuzzcheck::find_member(symbols, symbols[i].key) != &symbols[i])
            continue;  // a later one wins
        if (squeezed(symbols[i].value) == "[]") return {};
        std::string request =
            R"({"cmd":"feed_batch","symbol":)" + quoted(symbols[i].key) + R"(,"events":)";
        request += symbols[i].value;
        request += "}";
        const std::string response = fresh.command(request);
        if (response != kOk)
            fail("an event list that scan accepted does not feed", request, response);
    }
    return fresh.command(kAlerts);
}

// What a request may do to the stored state, judged from its reply.
enum class Effect { None, Changes, Empties };

struct Outcome {
    Effect effect = Effect::None;
    std::string response;
    std::string twin_request;  // what the twin is sent instead; empty: the same
};

// `spec_text` is the text of the radar's current spec, kept up to date.
Effect check_request(radar::Radar& radar, std::string_view request,
                     const std::string& alerts_before, std::string& spec_text, Outcome& outcome) {
    std::vector<fuzzcheck::Member> members;
    fuzzcheck::Checker checker(request, fuzzcheck::Rules{});
    const bool well_formed = checker.document(&members);
    const Reply reply = run(radar, request);
    outcome.response = reply.text;
    std::string& twin_request = outcome.twin_request;

    if (!well_formed) {
        if (!reply.positioned)
            fail("malformed request without a positioned parse error", request, reply.text);
        if (!fuzzcheck::position_in_text(request, reply.line, reply.column)) {
            fail("error position outside the request", request, reply.text);
        }
        return Effect::None;
    }
    if (reply.positioned) fail("well-formed request rejected as malformed", request, reply.text);

    const fuzzcheck::Member* cmd =
        checker.top_is_object() ? fuzzcheck::find_member(members, "cmd") : nullptr;
    std::string name;
    if (cmd == nullptr || !fuzzcheck::Checker::decode_string(cmd->value, name)) {
        expect_error(reply, R"(bad spec: missing "cmd")", request);
        return Effect::None;
    }
    auto member = [&](std::string_view key) { return fuzzcheck::find_member(members, key); };
    auto is_string = [](const fuzzcheck::Member* m) {
        return m != nullptr && m->value.front() == '"';
    };

    if (name == "version") {
        expect_text(reply, R"({"version":"0.2.0"})", "wrong version answer", request);
        return Effect::None;
    }
    if (name == "reset") {
        expect_text(reply, kOk, "reset must answer {\"ok\":true}", request);
        return Effect::Empties;
    }
    if (name == "alerts") {
        if (!is_report(reply.text)) fail("alerts did not answer a report", request, reply.text);
        if (reply.text != alerts_before)
            fail("alerts answered differently twice in a row", request, reply.text);
        return Effect::None;
    }
    if (name == "feed" || name == "feed_batch") {
        const bool batch = name == "feed_batch";
        if (!is_string(member("symbol"))) {
            expect_error(reply, R"(bad spec: missing string "symbol")", request);
            return Effect::None;
        }
        const fuzzcheck::Member* payload = member(batch ? "events" : "event");
        if (payload == nullptr) {
            expect_error(reply,
                         batch ? R"(bad spec: missing "events")" : R"(bad spec: missing "event")",
                         request);
            return Effect::None;
        }
        expect_ok_or_decode_error(reply, request, false);
        // The list puts the event one level deeper; at the nesting limit the
        // twin's request would not parse.
        if (!batch && checker.depth() < 126) {
            twin_request = R"({"cmd":"feed_batch","symbol":)";
            twin_request += member("symbol")->value;
            twin_request += R"(,"events":[)";
            twin_request += payload->value;
            twin_request += "]}";
        }
        // An empty batch creates no state.
        if (batch && squeezed(payload->value) == "[]") {
            expect_text(reply, kOk, "an empty batch must succeed", request);
            return Effect::None;
        }
        return reply.is_error ? Effect::None : Effect::Changes;
    }
    if (name == "scan") {
        const fuzzcheck::Member* events = member("events");
        if (events == nullptr) {
            expect_error(reply, R"(bad spec: missing "events")", request);
            return Effect::None;
        }
        if (events->value.front() != '{') {
            if (!reply.is_error || reply.error.rfind("parse: invalid type: ", 0) != 0 ||
                !reply.error.ends_with(", expected a map")) {
                fail("scan of a non-object must fail with the map type message", request,
                     reply.text);
            }
            return Effect::None;
        }
        if (reply.is_error) {
            if (reply.error.rfind("parse: ", 0) != 0 || reply.positioned) {
                fail("scan may only fail on events that do not decode", request, reply.text);
            }
            return Effect::None;
        }
        if (!is_report(reply.text)) fail("scan did not answer a report", request, reply.text);
        if (squeezed(events->value) == "{}") {
            expect_text(reply, kEmptyReport, "a scan of no symbols must be empty", request);
        }
        const Reply again = run(radar, request);
        if (again.text != reply.text)
            fail("the same scan answered differently", request, again.text);
        const std::string stored = scan_through_store(spec_text, events->value);
        if (!stored.empty() && stored != reply.text) {
            fuzzcheck::dump("spec", spec_text);
            fuzzcheck::dump("alerts after feeding", stored);
            fail("scan and feed_batch + alerts disagree", request, reply.text);
        }
        return Effect::None;
    }
    if (name == "set_spec") {
        if (member("spec") == nullptr) {
            expect_error(reply, R"(bad spec: missing "spec")", request);
            return Effect::None;
        }
        expect_ok_or_decode_error(reply, request, true);
        if (reply.is_error) return Effect::None;
        spec_text = member("spec")->value;
        return Effect::Empties;
    }
    expect_error(reply, "bad spec: unknown cmd: " + name, request);
    return Effect::None;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto created = radar::Radar::create(kSpec);
    if (!created) {
        std::fprintf(stderr, "the harness spec is rejected: %s\n", created.error().text().c_str());
        std::abort();
    }
    radar::Radar& radar = *created.value();
    auto twin_created = radar::Radar::create(kSpec);
    radar::Radar& twin = *twin_created.value();
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // A new radar stores nothing. Not asked: the first request must meet the
    // dispatcher as fresh as a host's first command does.
    std::string alerts(kEmptyReport);
    std::string spec_text(kSpec);

    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view request = input.substr(start, end - start);
        start = end + 1;

        Outcome outcome;
        const Effect effect = check_request(radar, request, alerts, spec_text, outcome);
        const std::string_view twin_request =
            outcome.twin_request.empty() ? request : outcome.twin_request;
        const std::string twin_response = twin.command(twin_request);
        if (twin_response != outcome.response) {
            fuzzcheck::dump("twin request", twin_request);
            fuzzcheck::dump("twin response", twin_response);
            fail("the twin radar answered differently", request, outcome.response);
        }
        std::string after = radar.command(kAlerts);
        if (!is_report(after)) fail("alerts did not answer a report", kAlerts, after);
        if (effect == Effect::None && after != alerts) {
            std::fprintf(stderr, "alerts before: %s\n", alerts.c_str());
            fail("a request that may not change the state changed \"alerts\"", request, after);
        }
        if (effect == Effect::Empties && after != kEmptyReport) {
            fail("reset or set_spec left symbols in the store", request, after);
        }
        const std::string twin_after = twin.command(kAlerts);
        if (twin_after != after) {
            fuzzcheck::dump("twin alerts", twin_after);
            fail("the twin radar's alerts differ", request, after);
        }
        alerts = std::move(after);
    }
    return 0;
}
