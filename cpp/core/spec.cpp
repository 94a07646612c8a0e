#include "spec.hpp"

#include <algorithm>
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

// The field of that name, if the record has one.
template <std::size_t N>
std::optional<int> field_index(const std::array<std::string_view, N>& fields,
                               std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (fields[i] == name) return static_cast<int>(i);
    }
    return std::nullopt;
}

// ---- the text road ----------------------------------------------------------
// Reads straight from the text so that a semantic error is reported where it
// occurs, before any syntax error further on.
class SpecTextReader {
public:
    explicit SpecTextReader(json::Reader& reader) : r_(reader) {}

    json::Fault read_spec(RadarSpec& spec) {
        return read_record(
            "struct RadarSpec", [&] { return spec_from_array(spec); },
            [&] { return spec_from_object(spec); });
    }

private:
    // The next value, which must start with `opening` or be one of `expected`.
    json::Fault expect(int opening, std::string_view expected) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail(json::kEofValue, json::Place::AfterPeek);
        if (c != opening) return r_.fail_invalid_type(expected);
        return json::kOk;
    }

    // An array or object holding a record; anything else is a type error.
    template <class FromArray, class FromObject>
    json::Fault read_record(std::string_view expected, FromArray from_array,
                            FromObject from_object) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail(json::kEofValue, json::Place::AfterPeek);
        if (c != '[' && c != '{') return r_.fail_invalid_type(expected);
        return nested(c, [&] { return c == '[' ? from_array() : from_object(); });
    }

    // Reads inside the array or object at the cursor; a record-level error
    // (missing field, length) is placed after the closing bracket that
    // revealed it.
    template <class Inside>
    json::Fault nested(int c, Inside inside) {
        if (const json::Fault fault = r_.enter_nested()) return fault;
        r_.eat();
        json::Fault fault = inside();
        r_.leave_nested();
        if (!fault) return c == '[' ? r_.end_array() : r_.end_object();
        if (c == '[') {
            r_.end_array_after_failure();
        } else {
            r_.end_object_after_failure();
        }
        r_.place_error();
        return fault;
    }

    template <class ReadElement>
    json::Fault read_list(ReadElement read_element) {
        if (const json::Fault fault = expect('[', "a sequence")) return fault;
        return nested('[',
                      [&] { return r_.elements([&](std::size_t) { return read_element(); }); });
    }

    json::Fault read_text(std::string& out) {
        if (const json::Fault fault = expect('"', "a string")) return fault;
        json::Value text;
        if (const json::Fault fault = r_.scalar('"', text)) return fault;
        out.assign(text.string());
        return json::kOk;
    }

    json::Fault read_text_list(std::vector<std::string>& out) {
        out.clear();
        return read_list([&] {
            out.emplace_back();
            return read_text(out.back());
        });
    }

    json::Fault read_number(std::string_view expected, json::Value& out) {
        const int c = r_.peek_nonblank();
        if (c < 0) return r_.fail(json::kEofValue, json::Place::AfterPeek);
        if (c != '-' && (c < '0' || c > '9')) return r_.fail_invalid_type(expected);
        return r_.scalar(c, out);
    }

    json::Fault read_f64(double& out) {
        json::Value n;
        if (const json::Fault fault = read_number("f64", n)) return fault;
        out = n.as_double();
        return json::kOk;
    }

    json::Fault read_f64_list(std::vector<double>& out) {
        out.clear();
        return read_list([&] {
            double x = 0.0;
            if (const json::Fault fault = read_f64(x)) return fault;
            out.push_back(x);
            return json::kOk;
        });
    }

    json::Fault read_limit(std::optional<std::uint64_t>& out) {
        if (r_.peek_nonblank() == 'n') {
            r_.eat();
            out.reset();
            return r_.literal("ull");
        }
        json::Value n;
        if (const json::Fault fault = read_number("usize", n)) return fault;
        if (n.kind == json::ValueKind::U64) {
            out = n.u64;
            return json::kOk;
        }
        r_.fail_record(n.kind == json::ValueKind::I64
                           ? "invalid value: " + json::describe_value(n) + ", expected usize"
                           : json::invalid_type(n, "usize"));
        r_.place_error();
        return json::kRecordMismatch;
    }

    // A kind name in quotes, looked up among the five.
    json::Fault read_kind_name(SignalKind& out) {
        if (const json::Fault fault = expect('"', "variant identifier")) return fault;
        json::Value name;
        if (const json::Fault fault = r_.scalar('"', name)) return fault;
        auto kind = kind_from_name(name.string());
        if (!kind) {
            r_.fail_record(unknown_kind(name.string()));
            r_.place_error();
            return json::kRecordMismatch;
        }
        out = *kind;
        return json::kOk;
    }

    json::Fault read_null_unit() {
        if (const json::Fault fault = expect('n', "unit")) return fault;
        r_.eat();
        return r_.literal("ull");
    }

    // "name" or {"name":null}.
    json::Fault read_kind(SignalKind& out) {
        const int c = r_.peek_nonblank();
        if (c == '"') return read_kind_name(out);
        if (c < 0) return r_.fail(json::kEofValue, json::Place::AfterPeek);
        if (c != '{') return r_.fail(json::kExpectedValue, json::Place::AfterPeek);
        if (const json::Fault fault = r_.enter_nested()) return fault;
        r_.eat();
        json::Fault fault = read_kind_name(out);
        if (!fault) fault = r_.colon();
        if (!fault) fault = read_null_unit();
        r_.leave_nested();
        if (fault) return fault;
        const int close = r_.peek_nonblank();
        if (close == '}') {
            r_.eat();
            return json::kOk;
        }
        return r_.fail(close >= 0 ? json::kExpectedValue : json::kEofObject, json::Place::Here);
    }

    json::Fault read_signal(Signal& signal) {
        return read_record(
            "struct Signal", [&] { return signal_from_array(signal); },
            [&] { return signal_from_object(signal); });
    }

    json::Fault signal_from_array(Signal& signal) {
        std::size_t count = 0;
        const json::Fault fault = r_.elements(
            [&](std::size_t index) {
                count = index + 1;
                switch (index) {
                    case 0:
                        return read_kind(signal.kind);
                    case 1:
                        return read_f64_list(signal.params);
                    default:
                        return read_f64(signal.weight);
                }
            },
            3);
        if (fault) return fault;
        if (count == 0)
            return r_.fail_record("invalid length 0, expected struct Signal with 3 elements");
        return json::kOk;
    }

    json::Fault signal_from_object(Signal& signal) {
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
    // skipped (loosely, within the nesting limit); the `required` field
    // must have been seen by the end.
    template <std::size_t N, class ReadField>
    json::Fault read_members(const std::array<std::string_view, N>& fields, int required,
                             ReadField read_field) {
        std::array<bool, N> seen{};
        const json::Fault fault = r_.members([&](std::string_view key) {
            const std::optional<int> field = field_index(fields, key);
            const auto index = static_cast<std::size_t>(field.value_or(0));
            if (field && seen[index]) {
                return r_.fail_record("duplicate field `" + std::string(fields[index]) + "`");
            }
            if (const json::Fault colon = r_.colon()) return colon;
            if (!field) {
                json::Skipper<json::Strictness::Loose> skipper;
                return r_.value(skipper);
            }
            seen[index] = true;
            return read_field(*field);
        });
        if (fault) return fault;
        if (!seen[static_cast<std::size_t>(required)]) {
            return r_.fail_record(missing_field(fields[static_cast<std::size_t>(required)]));
        }
        return json::kOk;
    }

    json::Fault read_signals(std::vector<Signal>& out) {
        out.clear();
        return read_list([&] {
            out.emplace_back();
            return read_signal(out.back());
        });
    }

    json::Fault spec_from_array(RadarSpec& spec) {
        std::size_t count = 0;
        const json::Fault fault = r_.elements(
            [&](std::size_t index) {
                count = index + 1;
                switch (index) {
                    case 0:
                        return read_text_list(spec.venues);
                    case 1:
                        return read_text_list(spec.symbols);
                    case 2:
                        return read_signals(spec.signals);
                    case 3:
                        return read_f64(spec.threshold);
                    default:
                        return read_limit(spec.limit);
                }
            },
            5);
        if (fault) return fault;
        if (count < 3) {
            return r_.fail_record("invalid length 2, expected struct RadarSpec with 5 elements");
        }
        return json::kOk;
    }

    json::Fault spec_from_object(RadarSpec& spec) {
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
};

// ---- the value road ----------------------------------------------------------

using json::Value;
using json::ValueKind;

Status value_text_list(const Value& v, std::vector<std::string>& out) {
    if (!v.is_array()) return parse_error(json::invalid_type(v, "a sequence"));
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        if (!it->is_string()) return parse_error(json::invalid_type(*it, "a string"));
        out.emplace_back(it->string());
    }
    return std::nullopt;
}

Status value_f64(const Value& v, double& out) {
    if (!v.is_number()) return parse_error(json::invalid_type(v, "f64"));
    out = v.as_double();
    return std::nullopt;
}

Status value_f64_list(const Value& v, std::vector<double>& out) {
    if (!v.is_array()) return parse_error(json::invalid_type(v, "a sequence"));
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        double x = 0.0;
        if (Status failed = value_f64(*it, x)) return failed;
        out.push_back(x);
    }
    return std::nullopt;
}

Status value_limit(const Value& v, std::optional<std::uint64_t>& out) {
    switch (v.kind) {
        case ValueKind::Null:
            out.reset();
            return std::nullopt;
        case ValueKind::U64:
            out = v.u64;
            return std::nullopt;
        case ValueKind::I64:
            return parse_error("invalid value: " + json::describe_value(v) + ", expected usize");
        default:
            return parse_error(json::invalid_type(v, "usize"));
    }
}

Status value_kind(const Value& v, SignalKind& out) {
    auto variant = json::unit_variant(v);
    if (!variant) return std::move(variant).error();
    auto kind = kind_from_name(variant.value().name);
    if (!kind) return parse_error(unknown_kind(variant.value().name));
    const Value* unit = variant.value().unit;
    if (unit != nullptr && unit->kind != ValueKind::Null) {
        return parse_error(json::invalid_type(*unit, "unit"));
    }
    out = *kind;
    return std::nullopt;
}

CoreError too_long(std::size_t length) {
    return parse_error("invalid length " + std::to_string(length) +
                       ", expected fewer elements in array");
}

// The members of a record's object form, in byte-wise name order; the
// `required` field must be among them.
template <std::size_t N, class ReadField>
Status value_members(const Value& v, const std::array<std::string_view, N>& fields, int required,
                     ReadField read_field) {
    bool has_required = false;
    for (const json::Member* m = v.begin_members(); m != v.end_members(); ++m) {
        const std::optional<int> field = field_index(fields, m->key);
        if (!field) continue;
        has_required = has_required || *field == required;
        if (Status failed = read_field(*field, m->value)) return failed;
    }
    if (!has_required)
        return parse_error(missing_field(fields[static_cast<std::size_t>(required)]));
    return std::nullopt;
}

Status value_signal(const Value& v, Signal& signal) {
    if (v.is_array()) {
        const std::size_t n = v.size;
        if (n == 0) return parse_error("invalid length 0, expected struct Signal with 3 elements");
        if (Status failed = value_kind(v.items[0], signal.kind)) return failed;
        if (n > 1) {
            if (Status failed = value_f64_list(v.items[1], signal.params)) return failed;
        }
        if (n > 2) {
            if (Status failed = value_f64(v.items[2], signal.weight)) return failed;
        }
        if (n > 3) return too_long(n);
        return std::nullopt;
    }
    if (!v.is_object()) return parse_error(json::invalid_type(v, "struct Signal"));
    return value_members(v, kSignalFields, kKind, [&](int field, const Value& value) {
        switch (field) {
            case kKind:
                return value_kind(value, signal.kind);
            case kParams:
                return value_f64_list(value, signal.params);
            default:
                return value_f64(value, signal.weight);
        }
    });
}

Status value_signals(const Value& v, std::vector<Signal>& out) {
    if (!v.is_array()) return parse_error(json::invalid_type(v, "a sequence"));
    out.clear();
    for (const Value* it = v.begin_items(); it != v.end_items(); ++it) {
        out.emplace_back();
        if (Status failed = value_signal(*it, out.back())) return failed;
    }
    return std::nullopt;
}

Status value_spec_field(int field, const Value& value, RadarSpec& spec) {
    switch (field) {
        case kVenues:
            return value_text_list(value, spec.venues);
        case kSymbols:
            return value_text_list(value, spec.symbols);
        case kSignals:
            return value_signals(value, spec.signals);
        case kThreshold:
            return value_f64(value, spec.threshold);
        default:
            return value_limit(value, spec.limit);
    }
}

Status value_spec(const Value& v, RadarSpec& spec) {
    if (v.is_array()) {
        const std::size_t n = v.size;
        for (std::size_t i = 0; i < std::min<std::size_t>(n, 5); ++i) {
            if (Status failed = value_spec_field(static_cast<int>(i), v.items[i], spec)) {
                return failed;
            }
        }
        if (n < 3)
            return parse_error("invalid length 2, expected struct RadarSpec with 5 elements");
        if (n > 5) return too_long(n);
        return std::nullopt;
    }
    if (!v.is_object()) return parse_error(json::invalid_type(v, "struct RadarSpec"));
    return value_members(v, kSpecFields, kSignals, [&](int field, const Value& value) {
        return value_spec_field(field, value, spec);
    });
}

}  // namespace

Result<RadarSpec> parse_spec_text(std::string_view text) {
    json::Reader reader(text);
    SpecTextReader spec_reader(reader);
    RadarSpec spec;
    json::Fault fault = spec_reader.read_spec(spec);
    if (!fault) fault = reader.end_document();
    if (fault) return reader.error();
    return spec;
}

Result<RadarSpec> spec_from_value(const json::Value& value) {
    RadarSpec spec;
    if (Status failed = value_spec(value, spec)) return std::move(*failed);
    return spec;
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
