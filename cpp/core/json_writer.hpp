#pragma once
// Compact JSON writing: string escaping and the number forms of responses.

#include <cstdint>
#include <string>
#include <string_view>

namespace radar::json {

// A JSON string with quotes: '"' and '\' escaped, \b \t \n \f \r for those
// controls, \u00XX (lowercase) for the other controls, everything else raw.
void append_string(std::string& out, std::string_view text);

// Shortest text that reads back as the same double: ".0" on integral
// values, plain decimals for magnitudes in [1e-5, 1e16), exponent form
// otherwise ("1e-8", "1.5e-7", "1e+16"), null for NaN and infinities.
void append_double(std::string& out, double value);

// Shortest round-trip digits in plain notation with no exponent and no
// trailing ".0" ("20", "0.05", "0.00000001"), "inf", "-inf" or "NaN".
void append_plain_decimal(std::string& out, double value);

void append_u64(std::string& out, std::uint64_t value);
void append_i64(std::string& out, std::int64_t value);

}  // namespace radar::json
