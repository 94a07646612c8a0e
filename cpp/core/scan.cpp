#include "scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "json_writer.hpp"
#include "worker_pool.hpp"

namespace radar {

namespace {

// Maps a double to an integer whose order is the IEEE total order.
std::int64_t total_order_key(double x) {
    auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

bool passes(double severity, double threshold) { return severity >= threshold; }  // NaN fails

// Evaluates one symbol into `scratch`; only a symbol that passes gets
// storage of its own.
void keep_if_passing(ScanReport& report, std::string_view symbol, const SymbolState& state,
                     const Evaluator& evaluator, double threshold, Evaluation& scratch) {
    evaluate_into(state, evaluator, scratch);
    if (!passes(scratch.severity, threshold)) return;
    report.alerts.push_back(Alert{symbol, scratch.severity, report.factor_values.size(), state.ts});
    report.factor_values.insert(report.factor_values.end(), scratch.factors.begin(),
                                scratch.factors.end());
}

}  // namespace

ScanReport scan(const ScanInput& input, const RadarSpec& spec, const Evaluator& evaluator) {
    const std::size_t count = input.symbols.size();
    const std::uint64_t window = window_for(spec.signals);
    std::vector<SymbolState> states(count);
    parallel_for(count, [&](std::size_t i) {
        SymbolState state = new_state(window);
        apply_events(state, input.lists[i]);
        states[i] = std::move(state);
    });

    ScanReport report;
    Evaluation scratch;
    for (std::size_t i = 0; i < count; ++i) {
        keep_if_passing(report, input.symbols[i], states[i], evaluator, spec.threshold, scratch);
    }
    rank(report.alerts, spec);
    report.scanned = count;
    report.factor_keys = evaluator.factor_keys();
    return report;
}

ScanReport alerts_report(const RadarSpec& spec, const Evaluator& evaluator,
                         const StateStore& store) {
    ScanReport report;
    Evaluation scratch;
    for (const auto& [symbol, state] : store.states()) {
        keep_if_passing(report, symbol, state, evaluator, spec.threshold, scratch);
    }
    rank(report.alerts, spec);
    report.scanned = store.states().size();
    report.factor_keys = evaluator.factor_keys();
    return report;
}

void rank(std::vector<Alert>& alerts, const RadarSpec& spec) {
    auto ranks_before = [](const Alert& a, const Alert& b) {
        const std::int64_t ka = total_order_key(a.severity);
        const std::int64_t kb = total_order_key(b.severity);
        if (ka != kb) return ka > kb;
        return json::key_less(a.symbol, b.symbol);
    };
    if (spec.limit && alerts.size() > *spec.limit) {
        const auto keep = static_cast<std::ptrdiff_t>(*spec.limit);
        std::partial_sort(alerts.begin(), alerts.begin() + keep, alerts.end(), ranks_before);
        alerts.resize(static_cast<std::size_t>(keep));
    } else {
        std::sort(alerts.begin(), alerts.end(), ranks_before);
    }
}

std::string write_report(const ScanReport& report) {
    // Keys are escaped once, not once per alert.
    std::vector<std::string> keys;
    keys.reserve(report.factor_keys.size());
    for (const std::string& key : report.factor_keys) {
        std::string escaped;
        json::append_string(escaped, key);
        escaped.push_back(':');
        keys.push_back(std::move(escaped));
    }
    std::string out = "{\"alerts\":[";
    for (std::size_t a = 0; a < report.alerts.size(); ++a) {
        const Alert& alert = report.alerts[a];
        if (a > 0) out.push_back(',');
        out += "{\"symbol\":";
        json::append_string(out, alert.symbol);
        out += ",\"severity\":";
        json::append_double(out, alert.severity);
        out += ",\"factors\":{";
        for (std::size_t f = 0; f < keys.size(); ++f) {
            if (f > 0) out.push_back(',');
            out += keys[f];
            json::append_double(out, report.factor_values[alert.first_factor + f]);
        }
        out += "},\"ts\":";
        json::append_i64(out, alert.ts);
        out.push_back('}');
    }
    out += "],\"scanned\":";
    json::append_u64(out, report.scanned);
    out.push_back('}');
    return out;
}

}  // namespace radar
