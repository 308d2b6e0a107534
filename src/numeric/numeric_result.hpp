// Failures of the numerical kernels travel as values: a kernel returns either
// its value or a NumericError carrying one fixed, static message text that
// names the kernel where the failure arose.  Callers pass an inner error on
// unchanged, so the text that reaches Python is the innermost one.
#pragma once

#include <expected>

namespace tarnivox {

struct NumericError {
    const char* message;  // static storage, never freed
};

template <class T>
using Numeric = std::expected<T, NumericError>;

inline std::unexpected<NumericError> numeric_error(const char* message) {
    return std::unexpected<NumericError>(NumericError{message});
}

}  // namespace tarnivox
