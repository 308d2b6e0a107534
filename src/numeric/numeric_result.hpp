// Failures of the numerical kernels travel as values: a kernel returns either
// its value or a NumericError carrying one fixed, static message text that
// names the kernel where the failure arose.  Callers pass an inner error on
// unchanged (`if (!r) return r.error();`), so the text that reaches Python is
// the innermost one.  Nothing here throws or allocates.
#pragma once

#include <utility>

namespace tarnivox {

struct NumericError {
    const char* message;  // static storage, never freed; never null
};

// A value of type T or a NumericError.  The message pointer doubles as the
// tag: null while a value is held, so Numeric<double> is two machine words.
// T must be default-constructible (double and std::vector<double> are the only
// ones used); a failure holds a default T, which for a vector allocates nothing.
template <class T>
class Numeric {
public:
    Numeric(const T& value) : value_(value) {}
    Numeric(T&& value) : value_(std::move(value)) {}
    Numeric(NumericError error) : error_(error) {}

    explicit operator bool() const noexcept { return error_.message == nullptr; }

    // The value; only meaningful when the result is true.
    const T& operator*() const noexcept { return value_; }

    // The error; only meaningful when the result is false.
    NumericError error() const noexcept { return error_; }

private:
    T value_{};
    NumericError error_{nullptr};
};

inline NumericError numeric_error(const char* message) { return NumericError{message}; }

}  // namespace tarnivox
