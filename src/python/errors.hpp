// How failures reach Python.
//
// * Argument errors are ordinary Python exceptions, left in the interpreter's
//   error indicator by the conversion that failed.
// * Numeric errors of the kernels are values (NumericError) until the very
//   end of a call, where they become RuntimeError.
// * Internal faults (a failed consistency check, a result object that cannot
//   be made) are thrown as InternalFault.  Only the entry guard catches them,
//   so every vector a computation owns is released on the way out by RAII; the
//   guard raises them as PanicException, a BaseException that ordinary
//   `except Exception` handlers do not swallow.
#pragma once

#include <string>

#include "python/ref.hpp"

namespace tarnivox::py {

struct InternalFault {
    std::string message;
};

[[noreturn]] void fault(std::string message);

// The PanicException type ("pyo3_runtime.PanicException", base BaseException),
// made once per process at first use.  Returns a borrowed reference, or NULL
// with a Python exception set.  Its name, like the texts of this layer, is
// kept as it is because callers catch and match on it.
PyObject* panic_exception_type() noexcept;

// A pending exception taken out of the interpreter, normalised.
struct FetchedError {
    Ref type, value, traceback;
    void restore() noexcept;  // back into the error indicator
};

// Takes the pending exception.  A PanicException raised by Python code that
// the call invoked is not an ordinary error: it is printed with its traceback
// and resumed as an internal fault (this throws InternalFault).
FetchedError fetch_error();

// Runs the handlers of signals that arrived meanwhile (on the main thread;
// elsewhere CPython defers them).  True when one raised, as Ctrl-C's does,
// its exception then set: the poll of every StopPoll of a call, so that long
// conversions and computations stop there.
bool signal_handler_raised();

// Raises type(message) with the usual implicit exception chaining.
void raise_message(PyObject* type, const char* message) noexcept;

// Raises PanicException(message); aborts the process if even that fails.
void raise_panic(const std::string& message) noexcept;

// str(obj) as UTF-8, characters that UTF-8 cannot encode (lone surrogates)
// replaced by U+FFFD.  Returns false, with the Python error set, if str() fails.
bool str_lossy(PyObject* obj, std::string& out);

}  // namespace tarnivox::py
