// Fuzzes the RadarSpec text road, parse_spec_text, and validate after it.
//
// Checked, aborting on a violation:
// - a failure reads "parse: <message> at line L column C", the position a
//   real place in the text; validate's failures read "bad spec: ...";
// - the text road accepts only JSON (skipped members are read loosely:
//   surrogates unpaired, numbers unbounded; nested at most 127 deep like
//   the rest);
// - when the same text also parses as a request value, the value road
//   (spec_from_value, as set_spec uses it) reads the very same spec;
// - a valid spec makes a radar whose alerts and scan over every event kind
//   answer compact JSON reports (evaluation of arbitrary parameters).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "command.hpp"
#include "json_check.hpp"
#include "json_tree.hpp"
#include "spec.hpp"

namespace {

[[noreturn]] void fail(const char* why, std::string_view text, std::string_view detail) {
    std::fprintf(stderr, "invariant violated: %s\n", why);
    fuzzcheck::dump("spec text", text);
    fuzzcheck::dump("detail", detail);
    std::abort();
}

bool same_double(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_spec(const radar::RadarSpec& a, const radar::RadarSpec& b) {
    if (a.venues != b.venues || a.symbols != b.symbols || a.limit != b.limit ||
        !same_double(a.threshold, b.threshold) || a.signals.size() != b.signals.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.signals.size(); ++i) {
        const radar::Signal& x = a.signals[i];
        const radar::Signal& y = b.signals[i];
        if (x.kind != y.kind || !same_double(x.weight, y.weight) ||
            x.params.size() != y.params.size()) {
            return false;
        }
        for (std::size_t p = 0; p < x.params.size(); ++p) {
            if (!same_double(x.params[p], y.params[p])) return false;
        }
    }
    return true;
}

// Events of every kind over two symbols, enough samples for look-backs of a
// few; then the same fed and ranked with alerts.
constexpr std::string_view kScan =
    R"({"cmd":"scan","events":{"A":[)"
    R"({"kind":"derivatives","ts":1,"open_interest":100,"funding_rate":0.0004,"mark_price":50},)"
    R"({"kind":"derivatives","ts":2,"open_interest":110,"funding_rate":-0.0006,"mark_price":47.5},)"
    R"({"kind":"derivatives","ts":3,"open_interest":0,"funding_rate":0,"mark_price":0},)"
    R"({"kind":"orderbook","ts":4,"bid_volume":300,"ask_volume":100,"best_bid":1,"best_ask":2},)"
    R"({"kind":"liquidation","ts":5,"side":"buy","qty":400,"price":1},)"
    R"(["liquidation",6,"sell",1e300,2]],)"
    R"("B":[["derivatives",-1,-5,1e-300,-1e308],["orderbook",0,0,0,0,0]],"C":[]}})";
constexpr std::string_view kFeed =
    R"({"cmd":"feed_batch","symbol":"A","events":[)"
    R"(["derivatives",1,100,0.0004,50],["derivatives",2,110,-0.0006,47.5],)"
    R"(["orderbook",3,300,100,1,2],["liquidation",4,"buy",400,1]]})";

void check_report(std::string_view spec_text, std::string_view response) {
    fuzzcheck::Rules compact;
    compact.compact = true;
    compact.max_depth = 0;
    if (!fuzzcheck::Checker(response, compact).document() ||
        response.rfind(R"({"alerts":[)", 0) != 0) {
        fail("a valid spec's radar did not answer a compact report", spec_text, response);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto spec = radar::parse_spec_text(text);
    if (!spec) {
        const std::string error = spec.error().text();
        std::size_t line = 0;
        std::size_t column = 0;
        if (error.rfind("parse: ", 0) != 0 || !fuzzcheck::positioned(error, line, column)) {
            fail("spec error is not \"parse: ... at line L column C\"", text, error);
        }
        if (!fuzzcheck::position_in_text(text, line, column)) {
            fail("spec error position outside the text", text, error);
        }
        return 0;
    }

    fuzzcheck::Rules loose;
    loose.pair_surrogates = false;
    loose.number_range = false;
    if (!fuzzcheck::Checker(text, loose).document())
        fail("the RadarSpec reader accepted text that is not JSON", text, "");

    const radar::Status invalid = radar::validate(spec.value());
    if (invalid && invalid->text().rfind("bad spec: ", 0) != 0) {
        fail("validation error without the bad spec prefix", text, invalid->text());
    }

    // The value road over the same text, where it is a well-formed request value.
    {
        radar::json::TreeBuilder builder;
        auto value = builder.parse(text);
        if (value) {
            auto from_value = radar::spec_from_value(value.value());
            if (!from_value)
                fail("the value road rejects what the text road read", text,
                     from_value.error().text());
            if (!same_spec(spec.value(), from_value.value()))
                fail("the two roads read different specs", text, "");
        }
    }

    auto created = radar::Radar::create(text);
    if (invalid) {
        if (created || created.error().text() != invalid->text())
            fail("the constructor disagrees with validate", text, "");
        return 0;
    }
    if (!created) fail("the constructor rejects a valid spec", text, created.error().text());
    radar::Radar& radar = *created.value();
    check_report(text, radar.command(kScan));
    if (radar.command(kFeed) != R"({"ok":true})") fail("feeding a valid radar failed", text, "");
    check_report(text, radar.command(R"({"cmd":"alerts"})"));
    return 0;
}
