#include "spec.hpp"

#include <cmath>
#include <set>

#include "json_reader.hpp"
#include "json_writer.hpp"

namespace radar {

namespace {

constexpr std::string_view kUnknownKind =
    "`, expected one of `oi_delta`, `funding_flip`, `book_imbalance`, `liq_cluster`, "
    "`oi_price_divergence`";

std::optional<SignalKind> kind_from_name(std::string_view name) {
    for (std::size_t i = 0; i < kSignalKindNames.size(); ++i) {
        if (kSignalKindNames[i] == name) return static_cast<SignalKind>(i);
    }
    return std::nullopt;
}

std::string unknown_kind(std::string_view name) {
    return "unknown variant `" + std::string(name) + std::string(kUnknownKind);
}

std::string missing_field(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

enum SpecField { kVenues, kSymbols, kSignals, kThreshold, kLimit };
constexpr std::array<std::string_view, 5> kSpecFields = {"venues", "symbols", "signals",
                                                         "threshold", "limit"};
enum SignalField { kKind, kParams, kWeight };
constexpr std::array<std::string_view, 3> kSignalFields = {"kind", "params", "weight"};

template <std::size_t N>
int field_index(const std::array<std::string_view, N>& fields, std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (fields[i] == name) return static_cast<int>(i);
    }
    return -1;
}

double number_to_double(const json::Number& n) {
    switch (n.kind) {
        case json::ValueKind::U64:
            return static_cast<double>(n.u64);
        case json::ValueKind::I64:
            return static_cast<double>(n.i64);
        default:
            return n.f64;
    }
}

// ---- the text road ----------------------------------------------------------
// Reads straight from the text so that a semantic error is reported where it
// occurs, before any syntax error further on.
class SpecTextReader {
public:
    explicit SpecTextReader(json::Reader& reader) : r_(reader) {}

    bool read_spec(RadarSpec& spec) {
        return read_record(
            "struct RadarSpec", [&] { return spec_from_array(spec); },
            [&] { return spec_from_object(spec); });
    }

private:
    // An array or object holding a record; anything else is a type error.
    template <class FromArray, class FromObject>
    bool read_record(std::string_view expected, FromArray from_array, FromObject from_object) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != '[' && c != '{') return r_.fail_invalid_type(expected);
        if (!r_.enter_nested()) return false;
        r_.eat();
        bool ok = c == '[' ? from_array() : from_object();
        r_.leave_nested();
        if (ok) {
            ok = c == '[' ? r_.end_array() : r_.end_object();
        } else if (c == '[') {
            r_.end_array_after_failure();
        } else {
            r_.end_object_after_failure();
        }
        // A record-level error (missing field, length) is placed after the
        // closing bracket that revealed it.
        if (!ok) r_.place_error();
        return ok;
    }

    template <class ReadElement>
    bool read_list(ReadElement read_element) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != '[') return r_.fail_invalid_type("a sequence");
        if (!r_.enter_nested()) return false;
        r_.eat();
        bool first = true;
        bool ok = true;
        for (;;) {
            const int next = r_.next_element(first);
            if (next <= 0) {
                ok = next == 0;
                break;
            }
            if (!read_element()) {
                ok = false;
                break;
            }
        }
        r_.leave_nested();
        if (ok) return r_.end_array();
        r_.end_array_after_failure();
        r_.place_error();
        return false;
    }

    bool read_text(std::string& out) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != '"') return r_.fail_invalid_type("a string");
        r_.eat();
        std::string_view text;
        if (!r_.read_string(scratch_, text)) return false;
        out.assign(text);
        return true;
    }

    bool read_text_list(std::vector<std::string>& out) {
        out.clear();
        return read_list([&] {
            out.emplace_back();
            return read_text(out.back());
        });
    }

    bool read_number(std::string_view expected, json::Number& out) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c == '-') {
            r_.eat();
            return r_.read_number(false, out);
        }
        if (c >= '0' && c <= '9') return r_.read_number(true, out);
        return r_.fail_invalid_type(expected);
    }

    bool read_f64(double& out) {
        json::Number n;
        if (!read_number("f64", n)) return false;
        out = number_to_double(n);
        return true;
    }

    bool read_f64_list(std::vector<double>& out) {
        out.clear();
        return read_list([&] {
            double x = 0.0;
            if (!read_f64(x)) return false;
            out.push_back(x);
            return true;
        });
    }

    bool read_limit(std::optional<std::uint64_t>& out) {
        if (r_.peek_nonblank() == 'n') {
            r_.eat();
            out.reset();
            return r_.expect_literal_rest("ull");
        }
        json::Number n;
        if (!read_number("usize", n)) return false;
        if (n.kind == json::ValueKind::U64) {
            out = n.u64;
            return true;
        }
        const std::string found = json::describe_number(n);
        r_.fail_unplaced(n.kind == json::ValueKind::I64
                             ? "invalid value: " + found + ", expected usize"
                             : "invalid type: " + found + ", expected usize");
        r_.place_error();
        return false;
    }

    // A kind name in quotes, looked up among the five.
    bool read_kind_name(SignalKind& out) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != '"') return r_.fail_invalid_type("variant identifier");
        r_.eat();
        std::string_view name;
        if (!r_.read_string(scratch_, name)) return false;
        auto kind = kind_from_name(name);
        if (!kind) {
            r_.fail_unplaced(unknown_kind(name));
            r_.place_error();
            return false;
        }
        out = *kind;
        return true;
    }

    bool read_null_unit() {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != 'n') return r_.fail_invalid_type("unit");
        r_.eat();
        return r_.expect_literal_rest("ull");
    }

    // "name" or {"name":null}.
    bool read_kind(SignalKind& out) {
        const int c = r_.peek_nonblank();
        if (c == '"') return read_kind_name(out);
        if (c < 0) return r_.fail_at_peek("EOF while parsing a value");
        if (c != '{') return r_.fail_at_peek("expected value");
        if (!r_.enter_nested()) return false;
        r_.eat();
        const bool ok = read_kind_name(out) && r_.expect_colon() && read_null_unit();
        r_.leave_nested();
        if (!ok) return false;
        const int close = r_.peek_nonblank();
        if (close == '}') {
            r_.eat();
            return true;
        }
        if (close >= 0) return r_.fail_here("expected value");
        return r_.fail_here("EOF while parsing an object");
    }

    bool read_signal(Signal& signal) {
        return read_record(
            "struct Signal", [&] { return signal_from_array(signal); },
            [&] { return signal_from_object(signal); });
    }

    bool signal_from_array(Signal& signal) {
        bool first = true;
        int next = r_.next_element(first);
        if (next < 0) return false;
        if (next == 0)
            return r_.fail_unplaced("invalid length 0, expected struct Signal with 3 elements");
        if (!read_kind(signal.kind)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 1 && !read_f64_list(signal.params)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 1 && !read_f64(signal.weight)) return false;
        return true;
    }

    bool signal_from_object(Signal& signal) {
        return read_members(kSignalFields, kKind, [&](int field) {
            switch (field) {
                case kKind:
                    return read_kind(signal.kind);
                case kParams:
                    return read_f64_list(signal.params);
                default:
                    return read_f64(signal.weight);
            }
        });
    }

    // The members of a record's object form, in order of appearance: a
    // field named twice fails before its value is read; other names are
    // skipped; the `required` field must have been seen by the end.
    template <std::size_t N, class ReadField>
    bool read_members(const std::array<std::string_view, N>& fields, int required,
                      ReadField read_field) {
        std::array<bool, N> seen{};
        bool first = true;
        for (;;) {
            std::string_view key;
            const int next = r_.next_key(first, scratch_, key);
            if (next < 0) return false;
            if (next == 0) break;
            const int field = field_index(fields, key);
            const auto index = static_cast<std::size_t>(field);
            if (field >= 0 && seen[index]) {
                return r_.fail_unplaced("duplicate field `" + std::string(fields[index]) + "`");
            }
            if (!r_.expect_colon()) return false;
            if (!(field >= 0 ? read_field(field) : r_.skip_value())) return false;
            if (field >= 0) seen[index] = true;
        }
        if (!seen[static_cast<std::size_t>(required)]) {
            return r_.fail_unplaced(missing_field(fields[static_cast<std::size_t>(required)]));
        }
        return true;
    }

    bool read_signals(std::vector<Signal>& out) {
        out.clear();
        return read_list([&] {
            out.emplace_back();
            return read_signal(out.back());
        });
    }

    bool spec_from_array(RadarSpec& spec) {
        bool first = true;
        int next = r_.next_element(first);
        if (next < 0) return false;
        if (next == 1 && !read_text_list(spec.venues)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 1 && !read_text_list(spec.symbols)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 0)
            return r_.fail_unplaced("invalid length 2, expected struct RadarSpec with 5 elements");
        if (!read_signals(spec.signals)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 1 && !read_f64(spec.threshold)) return false;
        if ((next = r_.next_element(first)) < 0) return false;
        if (next == 1 && !read_limit(spec.limit)) return false;
        return true;
    }

    bool spec_from_object(RadarSpec& spec) {
        return read_members(kSpecFields, kSignals, [&](int field) {
            switch (field) {
                case kVenues:
                    return read_text_list(spec.venues);
                case kSymbols:
                    return read_text_list(spec.symbols);
                case kSignals:
                    return read_signals(spec.signals);
                case kThreshold:
                    return read_f64(spec.threshold);
                default:
                    return read_limit(spec.limit);
            }
        });
    }

    json::Reader& r_;
    std::string scratch_;
};

// ---- the value road ----------------------------------------------------------

using json::Value;
using json::ValueKind;

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + json::describe_value(found) + ", expected " + std::string(expected);
}

bool value_text_list(const Value& v, std::vector<std::string>& out, std::string& error) {
    if (!v.is_array()) {
        error = invalid_type(v, "a sequence");
        return false;
    }
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        if (!it->is_string()) {
            error = invalid_type(*it, "a string");
            return false;
        }
        out.emplace_back(it->string());
    }
    return true;
}

bool value_f64(const Value& v, double& out, std::string& error) {
    if (!v.is_number()) {
        error = invalid_type(v, "f64");
        return false;
    }
    out = v.as_double();
    return true;
}

bool value_f64_list(const Value& v, std::vector<double>& out, std::string& error) {
    if (!v.is_array()) {
        error = invalid_type(v, "a sequence");
        return false;
    }
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        double x = 0.0;
        if (!value_f64(*it, x, error)) return false;
        out.push_back(x);
    }
    return true;
}

bool value_limit(const Value& v, std::optional<std::uint64_t>& out, std::string& error) {
    switch (v.kind) {
        case ValueKind::Null:
            out.reset();
            return true;
        case ValueKind::U64:
            out = v.u64;
            return true;
        case ValueKind::I64:
            error = "invalid value: " + json::describe_value(v) + ", expected usize";
            return false;
        default:
            error = invalid_type(v, "usize");
            return false;
    }
}

bool value_kind(const Value& v, SignalKind& out, std::string& error) {
    std::string_view name;
    const Value* unit = nullptr;
    if (!json::unit_variant(v, name, unit, error)) return false;
    auto kind = kind_from_name(name);
    if (!kind) {
        error = unknown_kind(name);
        return false;
    }
    if (unit != nullptr && unit->kind != ValueKind::Null) {
        error = invalid_type(*unit, "unit");
        return false;
    }
    out = *kind;
    return true;
}

std::string too_long(std::size_t length) {
    return "invalid length " + std::to_string(length) + ", expected fewer elements in array";
}

bool value_signal(const Value& v, Signal& signal, std::string& error) {
    if (v.is_array()) {
        const std::size_t n = v.size;
        if (n == 0) {
            error = "invalid length 0, expected struct Signal with 3 elements";
            return false;
        }
        if (!value_kind(v.items[0], signal.kind, error)) return false;
        if (n > 1 && !value_f64_list(v.items[1], signal.params, error)) return false;
        if (n > 2 && !value_f64(v.items[2], signal.weight, error)) return false;
        if (n > 3) {
            error = too_long(n);
            return false;
        }
        return true;
    }
    if (!v.is_object()) {
        error = invalid_type(v, "struct Signal");
        return false;
    }
    bool has_kind = false;
    for (const json::Member* m = v.begin_members(); m != v.end_members(); ++m) {
        bool ok = true;
        switch (field_index(kSignalFields, m->key)) {
            case kKind:
                ok = value_kind(m->value, signal.kind, error), has_kind = true;
                break;
            case kParams:
                ok = value_f64_list(m->value, signal.params, error);
                break;
            case kWeight:
                ok = value_f64(m->value, signal.weight, error);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    if (!has_kind) {
        error = missing_field("kind");
        return false;
    }
    return true;
}

bool value_signals(const Value& v, std::vector<Signal>& out, std::string& error) {
    if (!v.is_array()) {
        error = invalid_type(v, "a sequence");
        return false;
    }
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        out.emplace_back();
        if (!value_signal(*it, out.back(), error)) return false;
    }
    return true;
}

bool value_spec(const Value& v, RadarSpec& spec, std::string& error) {
    if (v.is_array()) {
        const std::size_t n = v.size;
        if (n > 0 && !value_text_list(v.items[0], spec.venues, error)) return false;
        if (n > 1 && !value_text_list(v.items[1], spec.symbols, error)) return false;
        if (n < 3) {
            error = "invalid length 2, expected struct RadarSpec with 5 elements";
            return false;
        }
        if (!value_signals(v.items[2], spec.signals, error)) return false;
        if (n > 3 && !value_f64(v.items[3], spec.threshold, error)) return false;
        if (n > 4 && !value_limit(v.items[4], spec.limit, error)) return false;
        if (n > 5) {
            error = too_long(n);
            return false;
        }
        return true;
    }
    if (!v.is_object()) {
        error = invalid_type(v, "struct RadarSpec");
        return false;
    }
    bool has_signals = false;
    for (const json::Member* m = v.begin_members(); m != v.end_members(); ++m) {
        bool ok = true;
        switch (field_index(kSpecFields, m->key)) {
            case kVenues:
                ok = value_text_list(m->value, spec.venues, error);
                break;
            case kSymbols:
                ok = value_text_list(m->value, spec.symbols, error);
                break;
            case kSignals:
                ok = value_signals(m->value, spec.signals, error), has_signals = true;
                break;
            case kThreshold:
                ok = value_f64(m->value, spec.threshold, error);
                break;
            case kLimit:
                ok = value_limit(m->value, spec.limit, error);
                break;
            default:
                break;
        }
        if (!ok) return false;
    }
    if (!has_signals) {
        error = missing_field("signals");
        return false;
    }
    return true;
}

}  // namespace

Result<RadarSpec> parse_spec_text(std::string_view text) {
    json::Reader reader(text);
    SpecTextReader spec_reader(reader);
    RadarSpec spec;
    if (spec_reader.read_spec(spec) && reader.end_document()) return spec;
    return parse_error(reader.error_text());
}

Result<RadarSpec> spec_from_value(const json::Value& value) {
    RadarSpec spec;
    std::string error;
    if (value_spec(value, spec, error)) return spec;
    return parse_error(std::move(error));
}

std::size_t param_count(SignalKind kind) {
    return kind == SignalKind::FundingFlip || kind == SignalKind::BookImbalance ? 1 : 2;
}

std::string signal_label(const Signal& signal) {
    std::string label(kind_name(signal.kind));
    label.push_back('(');
    for (std::size_t i = 0; i < signal.params.size(); ++i) {
        if (i > 0) label.push_back(',');
        json::append_plain_decimal(label, quantize(signal.params[i]));
    }
    label.push_back(')');
    return label;
}

Status validate(const RadarSpec& spec) {
    if (spec.signals.empty()) return bad_spec("at least one signal is required");
    if (!std::isfinite(spec.threshold)) return bad_spec("threshold must be finite");
    if (spec.limit && *spec.limit == 0) return bad_spec("limit must be greater than zero");
    std::set<std::string, std::less<>> labels;
    for (const Signal& signal : spec.signals) {
        const std::string_view kind = kind_name(signal.kind);
        const std::size_t expected = param_count(signal.kind);
        if (signal.params.size() != expected) {
            return bad_spec(std::string(kind) + " takes " + std::to_string(expected) +
                            " parameter(s), got " + std::to_string(signal.params.size()));
        }
        if (!std::isfinite(signal.weight) || signal.weight < 0.0) {
            return bad_spec(std::string(kind) + " weight must be finite and non-negative");
        }
        std::string label = signal_label(signal);
        if (labels.count(label) != 0) return bad_spec("duplicate signal: " + label);
        labels.insert(std::move(label));
    }
    return std::nullopt;
}

}  // namespace radar
