#pragma once
// Failures travel as values: an operation returns its result or a UTF-8 message.

#include <string>
#include <utility>
#include <variant>

namespace vorn {

struct Failure {
    std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : data_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }

    const std::string& error() const { return std::get<1>(data_).message; }
    Failure failure() const { return std::get<1>(data_); }

private:
    std::variant<T, Failure> data_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failed_(true), message_(std::move(failure.message)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return message_; }
    Failure failure() const { return Failure{message_}; }

private:
    bool failed_ = false;
    std::string message_;
};

using Status = Result<void>;

}  // namespace vorn
