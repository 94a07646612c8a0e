#pragma once
// Scanning: states built from a batch of events (or the radar's own store),
// evaluated, filtered by the threshold, ranked, cut to the limit, and
// written as the report.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "buffers.hpp"
#include "evaluate.hpp"
#include "event.hpp"
#include "spec.hpp"
#include "symbol_state.hpp"

namespace radar {

// The "events" map of a scan, in byte-wise symbol order. Symbols and lists
// view into the request and its decoded events, so this lives no longer
// than the command.
struct ScanInput {
    std::vector<std::string_view> symbols;
    std::vector<std::span<const Event>> lists;

    // Empties the input, keeping modest storage for the next scan.
    void clear() {
        clear_reusing(symbols, kKeptScratch);
        clear_reusing(lists, kKeptScratch);
    }
};

struct Alert {
    std::string_view symbol;  // views the request or the store
    double severity = 0.0;
    std::size_t first_factor = 0;  // its factors: ScanReport::factor_values from here
    std::int64_t ts = kNoTimestamp;
};

struct ScanReport {
    std::vector<Alert> alerts;
    std::uint64_t scanned = 0;
    std::vector<std::string> factor_keys;  // labels in byte order, then "severity"
    // Every alert's factors, factor_keys.size() values each, keyed by
    // factor_keys: one buffer rather than one per alert.
    std::vector<double> factor_values;
};

// Both take the validated spec in force and its evaluator, made when the
// spec was set; neither can fail.
[[nodiscard]] ScanReport scan(const ScanInput& input, const RadarSpec& spec,
                              const Evaluator& evaluator);
[[nodiscard]] ScanReport alerts_report(const RadarSpec& spec, const Evaluator& evaluator,
                                       const StateStore& store);
// Severity descending (IEEE total order), then symbol ascending; then the
// limit. Symbols are unique, so that order is total and no sort need be stable.
void rank(std::vector<Alert>& alerts, const RadarSpec& spec);
[[nodiscard]] std::string write_report(const ScanReport& report);

}  // namespace radar
