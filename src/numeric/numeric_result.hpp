// Failures of the numerical kernels travel as values: a kernel returns either
// its value or a NumericError carrying one fixed, static message text that
// names the kernel where the failure arose.  Callers pass an inner error on
// unchanged (`if (!r) return r.error();`), so the text that reaches Python is
// the innermost one.  Nothing here throws or allocates.
#pragma once

#include <cassert>
#include <utility>

namespace tarnivox {

class NumericError {
public:
    // A kernel's failure, or a computation that stopped because its caller
    // asked it to (see StopPoll), whose caller already knows why.
    enum class Kind : unsigned char { kernel, stopped };

    // `message` is a text of static storage, never freed.  A null text is a
    // programming error; rather than let it pass for a value (or reach
    // Python as a null string), a release build reports it in words.
    explicit NumericError(const char* message, Kind kind = Kind::kernel) noexcept
        : message_(message ? message : NULL_MESSAGE), kind_(kind) {
        assert(message != nullptr && "a numeric error needs a message");
    }

    const char* message() const noexcept { return message_; }
    Kind kind() const noexcept { return kind_; }

    static constexpr const char* NULL_MESSAGE = "internal: null numeric error message";

private:
    const char* message_;
    Kind kind_;
};

// A value of type T or a NumericError.  The error's text doubles as the tag:
// null while a value is held (an error's text never is).  T must be
// default-constructible (double and std::vector<double> are the only ones
// used); a failure holds a default T, which for a vector allocates nothing.
template <class T>
class Numeric {
public:
    Numeric(const T& value) : value_(value) {}
    Numeric(T&& value) : value_(std::move(value)) {}
    Numeric(NumericError error) noexcept
        : message_(error.message()), kind_(error.kind()) {}

    explicit operator bool() const noexcept { return message_ == nullptr; }

    // The value; only meaningful when the result is true.
    const T& operator*() const noexcept { return value_; }

    // The error; only meaningful when the result is false.
    NumericError error() const noexcept {
        assert(message_ != nullptr && "error() of a value");
        return NumericError(message_, kind_);
    }

private:
    T value_{};
    const char* message_ = nullptr;  // the error's text; null while a value is held
    NumericError::Kind kind_ = NumericError::Kind::kernel;
};

inline NumericError numeric_error(const char* message) { return NumericError(message); }

}  // namespace tarnivox
