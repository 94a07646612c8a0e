#pragma once
// The radar's one error type and the result type every fallible core
// operation returns. Failures are values: nothing in the core's public
// interface throws (allocation failure aside, which the module maps to
// MemoryError).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace radar {

enum class ErrorKind : std::uint8_t { Parse, UnknownIndicator, BadSpec, Data };

struct CoreError {
    ErrorKind kind;
    std::string message;

    // The display text: the kind's prefix followed by the message.
    [[nodiscard]] std::string text() const;
};

[[nodiscard]] inline CoreError parse_error(std::string message) {
    return CoreError{ErrorKind::Parse, std::move(message)};
}
[[nodiscard]] inline CoreError bad_spec(std::string message) {
    return CoreError{ErrorKind::BadSpec, std::move(message)};
}

// A value or a CoreError.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}          // NOLINT
    Result(CoreError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    [[nodiscard]] T& value() & { return std::get<0>(v_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(v_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(v_)); }
    [[nodiscard]] const CoreError& error() const& { return std::get<1>(v_); }
    [[nodiscard]] CoreError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, CoreError> v_;
};

// Outcome of an operation that yields nothing on success.
using Status = std::optional<CoreError>;

}  // namespace radar
