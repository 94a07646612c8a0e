#pragma once
// Signal evaluation: one symbol's state and a RadarSpec's signals in, one
// factor per signal and their weighted mean (the severity) out.

#include <cstddef>
#include <string>
#include <vector>

#include "spec.hpp"
#include "symbol_state.hpp"

namespace radar {

// What evaluation needs from a spec, prepared once: the signals and their
// factor labels in byte-wise order, "severity" last.
class Evaluator {
public:
    explicit Evaluator(const std::vector<Signal>& signals);

    [[nodiscard]] const std::vector<Signal>& signals() const { return signals_; }
    // Keys of an Evaluation's factors, in order: the sorted labels, then "severity".
    [[nodiscard]] const std::vector<std::string>& factor_keys() const { return keys_; }
    // Position in factor_keys() of signal i's label.
    [[nodiscard]] std::size_t slot_of(std::size_t signal) const { return slots_[signal]; }

private:
    std::vector<Signal> signals_;
    std::vector<std::string> keys_;
    std::vector<std::size_t> slots_;
};

struct Evaluation {
    double severity = 0.0;
    // Rounded factors keyed by Evaluator::factor_keys(), so the last entry
    // is the severity.
    std::vector<double> factors;
};

// The raw factor of one signal, unrounded, in [0, 1].
[[nodiscard]] double signal_factor(const Signal& signal, const SymbolState& state);
// Evaluates a state into an existing Evaluation, reusing its storage.
void evaluate_into(const SymbolState& state, const Evaluator& evaluator, Evaluation& result);

}  // namespace radar
