#pragma once
// Failures travel as values: an operation returns its result or a UTF-8 message, sometimes paired
// with an upper-case code that the desktop application matches on. A port's failure may carry
// more (a derived failure type) for its caller to decide on.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorn {

struct Failure {
    std::string message;
    std::string code;  // empty for a plain message

    // "CODE: message", or the message alone when it has no code.
    std::string rendered() const { return code.empty() ? message : code + ": " + message; }
};

inline Failure fail(std::string message) { return Failure{std::move(message), {}}; }
inline Failure coded(std::string code, std::string message) { return Failure{std::move(message), std::move(code)}; }

// A failed system call: the system's text and the error value it left (GetLastError, or the
// status the call returned).
struct SystemFailure : Failure {
    uint32_t error_value = 0;
};

inline SystemFailure system_failure(uint32_t error_value, std::string text) {
    return SystemFailure{fail(std::move(text)), error_value};
}

template <class T, class F = Failure>
class [[nodiscard]] Result {
    static_assert(std::is_base_of_v<Failure, F>);

public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    // What converts to the value (a derived pointer, a string literal, ...).
    template <class U>
        requires(!std::is_same_v<std::remove_cvref_t<U>, T> && !std::is_same_v<std::remove_cvref_t<U>, Result> &&
                 !std::is_base_of_v<Failure, std::remove_cvref_t<U>> && std::is_convertible_v<U &&, T>)
    Result(U&& value) : data_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(F failure) : data_(std::in_place_index<1>, std::move(failure)) {}
    // A result whose failure carries more than this one keeps: the rest is dropped.
    template <class G>
        requires(!std::is_same_v<G, F> && std::is_base_of_v<F, G>)
    Result(Result<T, G> other)
        : data_(other ? Data(std::in_place_index<0>, std::move(other).value())
                      : Data(std::in_place_index<1>, static_cast<F>(std::move(other).failure()))) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }

    const std::string& error() const { return failure().message; }
    const F& failure() const& { return std::get<1>(data_); }
    F failure() && { return std::get<1>(std::move(data_)); }
    std::string rendered() const { return failure().rendered(); }

private:
    using Data = std::variant<T, F>;
    Data data_;
};

template <class F>
class [[nodiscard]] Result<void, F> {
    static_assert(std::is_base_of_v<Failure, F>);

public:
    Result() = default;
    Result(F failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }
    // A success reads as an empty failure.
    const std::string& error() const { return failure().message; }
    const F& failure() const& {
        static const F none{};
        return failure_ ? *failure_ : none;
    }
    F failure() && { return failure_ ? std::move(*failure_) : F{}; }
    std::string rendered() const { return failure().rendered(); }

private:
    std::optional<F> failure_;
};

using Status = Result<void>;

}  // namespace vorn
