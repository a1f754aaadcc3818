#pragma once

#include "NSError.h"

#include <cerrno>
#include <string>
#include <utility>
#include <variant>

namespace sentorix::linux_system {

// What every fallible call of the Linux ring gives back: its value, or the interface's error saying
// why not. A result nobody looks at is a warning, and warnings are errors.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(NSError error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const NSError& error() const { return std::get<1>(state_); }
    // The thing asked for is not there (ENOENT): for callers to whom absence is no failure.
    bool missing() const { return !ok() && isMissing(error()); }

    static bool isMissing(const NSError& error) {
        return error.domain() == NSError::POSIXDomain && error.code() == ENOENT;
    }

private:
    std::variant<T, NSError> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(NSError error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const NSError& error() const { return *error_; }
    bool missing() const { return error_ && Result<int>::isMissing(*error_); }
    // For the interface's completion handlers, which take an optional error.
    const OptionalError& optionalError() const { return error_; }

private:
    OptionalError error_;
};

// A POSIX failure whose description names what failed, the way this ring's messages read.
inline NSError failure(int errorNumber, std::string description) {
    return NSError::posix(errorNumber, std::move(description));
}

}  // namespace sentorix::linux_system
