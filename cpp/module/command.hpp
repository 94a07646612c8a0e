#pragma once
// The command dispatcher: one request text in, one response text out.
// Pure C++ with no Python in sight, so fuzzers and C++ tools can drive it.

#include <memory>
#include <string>
#include <string_view>

#include "error.hpp"

namespace radar {

struct RadarCore;  // the RadarSpec, the symbol state store and scratch memory

// One radar: what a Python `Radar` instance owns.
class Radar {
public:
    // Reads and validates the RadarSpec text; the error is the constructor's
    // ValueError text source.
    static Result<std::unique_ptr<Radar>> create(std::string_view spec_text);

    ~Radar();
    Radar(const Radar&) = delete;
    Radar& operator=(const Radar&) = delete;

    // Runs one request; never fails: every failure is an error response.
    std::string command(std::string_view request);

private:
    explicit Radar(std::unique_ptr<RadarCore> core);
    std::unique_ptr<RadarCore> core_;
};

}  // namespace radar
